// velmoctl: the library's own command-line tool.
#include <iostream>
#include <string>
#include <vector>

#include "library_commands.h"
#include "platform/hive_paths.h"
#include "platform/sqlite_registry.h"
#include "reg_command.h"

namespace {

const char kUsage[] =
    "usage: velmoctl COMMAND ...\n"
    "\n"
    "commands:\n"
    "  reg ...                          read and write the registry (see 'velmoctl reg --help')\n";

const char kStore[] =
    "\n"
    "The registry is kept in /var/lib/moltra/registry/machine.db (HKLM) and\n"
    "${XDG_CONFIG_HOME:-$HOME/.config}/moltra/registry/user.db (HKCU); setting\n"
    "MOLTRA_REGISTRY_DIR puts both in that directory instead.\n";

bool WantsHelp(const std::vector<std::string>& args) {
  for (const std::string& arg : args) {
    if (arg == "--help" || arg == "-h") return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace velmo;
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    (args.empty() ? std::cerr : std::cout) << kUsage << tools::kLibraryUsage << kStore;
    return args.empty() ? tools::kExitUsage : tools::kExitOk;
  }
  const std::string command = args[0];
  args.erase(args.begin());
  if (WantsHelp(args)) {
    std::cout << (command == "reg" ? tools::kRegUsage : tools::kLibraryUsage);
    return tools::kExitOk;
  }
  if (command == "reg") {
    const platform::HivePaths paths = platform::DefaultHivePaths();
    auto registry = platform::NewSqliteRegistry(paths);
    return tools::RunRegCommand(*registry, paths, args, std::cout, std::cerr);
  }
  if (tools::IsLibraryCommand(command)) {
    return tools::RunLibraryCommand(command, args, std::cout, std::cerr);
  }
  std::cerr << "velmoctl: unknown command " << command << " (see 'velmoctl --help')\n";
  return tools::kExitUsage;
}
