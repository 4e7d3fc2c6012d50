// velmoctl: the library's own command-line tool.
#include <CLI/CLI.hpp>
#include <iostream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>

#include <objbase.h>
#include <shellapi.h>

#include "platform/text.h"
#endif

#include "doctor.h"
#include "library_commands.h"
#include "reg_command.h"

namespace {

const char kStore[] =
    "The registry is kept in /var/lib/moltra/registry/machine.db (HKLM) and\n"
    "${XDG_CONFIG_HOME:-$HOME/.config}/moltra/registry/user.db (HKCU); setting\n"
    "MOLTRA_REGISTRY_DIR puts both in that directory instead. Exit status: 0 on success, 1 when\n"
    "the store or the library refuses, 2 for a bad command line. See velmoctl(1).";

// CLI11 answers --help before it looks at the words, so "velmoctl frobnicate --help" would show
// help and succeed; a word that should name a command and names none is refused first. Only the
// commands that have subcommands take no option with a value, so the walk needs no more.
const char* UnknownCommand(CLI::App* app, int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (app->get_subcommands({}).empty()) return nullptr;
    if (word.starts_with("-") && word != "--") continue;
    CLI::App* next = nullptr;
    for (CLI::App* sub : app->get_subcommands({})) {
      if (sub->check_name(word)) next = sub;
    }
    if (next == nullptr) return argv[i];
    app = next;
  }
  return nullptr;
}

#ifdef _WIN32
// The command line as the person typed it, in UTF-8, which the narrow argv of a Windows program
// would have squeezed into the ANSI code page.
std::vector<std::string> Utf8Arguments() {
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::string> words;
  for (int i = 0; wide != nullptr && i < count; ++i) {
    words.push_back(velmo::platform::ToUtf8(reinterpret_cast<const char16_t*>(wide[i])));
  }
  LocalFree(wide);
  return words;
}
#endif

}  // namespace

int main(int argc, char** argv) {
  using namespace velmo::tools;
#ifdef _WIN32
  // The documents of a start-up are the companions' objects, which live in this apartment.
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  SetConsoleOutputCP(CP_UTF8);
  std::vector<std::string> words = Utf8Arguments();
  std::vector<char*> pointers;
  for (std::string& word : words) pointers.push_back(word.data());
  if (!pointers.empty()) {
    argc = static_cast<int>(pointers.size());
    argv = pointers.data();
  }
#endif
  CLI::App app("velmoctl: the command-line tool of VELMOSWGlobalLib", "velmoctl");
  app.set_version_flag("--version", "velmoctl " VELMO_VERSION);
  app.require_subcommand(1);
  app.footer(kStore);
  Action action;
  AddRegCommands(app, &action);
  AddLibraryCommands(app, &action);
  AddDoctorCommand(app, &action);
  if (const char* word = UnknownCommand(&app, argc, argv)) {
    std::cerr << "velmoctl: unknown command " << word << " (see 'velmoctl --help')\n";
    return kExitUsage;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error) == 0 ? kExitOk : kExitUsage;
  }
  return action ? action() : kExitUsage;
}
