#include "library_commands.h"

#include <iostream>
#include <memory>
#include <optional>

#include "config/parameter_cache.h"
#include "context/application_context.h"
#include "explain.h"
#include "platform/text.h"
#include "registry/registry_module.h"
#include "store_access.h"
#include "tool_platform.h"
#include "velmo/moltra_global_class.h"

namespace velmo::tools {

namespace {

using platform::FromUtf8;
using platform::ToUtf8;

struct LibraryOptions {
  std::string host_version;
  std::string name;
  std::string value;
  std::vector<std::string> words;  // the directory of a switch, the files of pp
};

// Prints the events of a switch as they arrive.
class PrintingListener final : public UserEvents {
 public:
  void UserChanging(std::u16string_view new_user, bool& cancel) override {
    std::cout << "UserChanging NewUser=\"" << ToUtf8(new_user)
              << "\" Cancel=" << (cancel ? "true" : "false") << "\n";
  }
  void UserChanged(std::u16string_view old_user, std::u16string_view new_user) override {
    std::cout << "UserChanged OldUser=\"" << ToUtf8(old_user) << "\" NewUser=\"" << ToUtf8(new_user)
              << "\"\n";
  }
};

std::string Shown(const std::u16string& text) { return text.empty() ? "(none)" : ToUtf8(text); }

int Status(MOLTRAGlobalClass& g) {
  const ApplicationContext& context = CurrentContext();
  std::cout << "application            " << ToUtf8(g.Application()) << "\n"
            << "version                " << ToUtf8(g.Version()) << "\n"
            << "release                " << Shown(context.version_info().release()) << "\n"
            << "service pack           " << Shown(g.MOLTRAG_GetServicePack()) << "\n"
            << "application directory  " << Shown(g.AppPath()) << "\n"
            << "user directory         " << Shown(g.UserPath()) << "\n"
            << "language               " << g.Langue() << "\n"
            << "debug                  " << (g.MOLTRAG_IsDebug() ? "on" : "off") << "\n"
            << "VelmoCFG               " << (g.VelmoCFG() ? "loaded" : "none") << "\n"
            << "GeometrieDat           " << (g.GeometrieDat() ? "loaded" : "none") << "\n";
  return kExitOk;
}

int Get(MOLTRAGlobalClass& g, Family family, const LibraryOptions& o) {
  const std::u16string name = FromUtf8(o.name);
  std::cout << ToUtf8(family == Family::kInterface ? g.RegReadInterfaceValue(name)
                                                   : g.RegReadSecurityValue(name))
            << "\n";
  return kExitOk;
}

// Writes through the library and says where each copy landed: a settings value's machine copy
// goes to the user's hive when the machine key cannot be made (the library's fallback), which
// leaves the machine without it, so that is a failure here.
int Set(MOLTRAGlobalClass& g, Family family, const LibraryOptions& o) {
  ApplicationContext& context = CurrentContext();
  platform::RegistryApi& api = *context.platform.registry;
  const std::u16string name = FromUtf8(o.name);
  const std::u16string value = FromUtf8(o.value);
  const std::u16string key = FamilyKey(context, family);
  const std::string user_key = "HKCU\\" + ToUtf8(key);
  if (family == Family::kInterface) {
    if (!g.RegWriteInterfaceValue(name, value)) {
      std::cerr << "velmoctl: " << o.name << " was not stored in " << user_key << "\n";
      return kExitFailed;
    }
    std::cout << "user's copy:     " << user_key << "\n";
    return kExitOk;
  }
  // The same attempt the library's write makes first; its only effect is the key it makes,
  // which the write would make anyway.
  platform::RegKey probe = 0;
  const bool machine_writable =
      api.CreateKey(platform::kHkeyLocalMachine, key,
                    platform::kKeyWrite | platform::kKeyWow64_32Key, &probe) == 0;
  if (machine_writable) api.CloseKey(probe);
  const bool stored = g.RegWriteSecurityValue(name, value);
  const bool user_copy =
      registry::RegReadString(api, registry::RegRootCurrentUser, key, name) == value;
  std::cout << "user's copy:     " << (user_copy ? user_key : "not stored") << "\n";
  if (!stored) {
    std::cout << "machine copy:    not stored\n";
    std::cerr << "velmoctl: " << o.name << " was not stored in both hives\n";
    return kExitFailed;
  }
  if (!machine_writable) {
    std::cout << "machine copy:    landed in the user's hive, " << user_key << "\n";
    std::cerr << "velmoctl: the machine hive is not writable ("
              << HiveName(platform::kHkeyLocalMachine)
              << "), so the machine's copy went to the user's hive; other users do not get it\n";
    return kExitFailed;
  }
  std::cout << "machine copy:    HKLM\\" << ToUtf8(key) << " (32-bit view)\n";
  return kExitOk;
}

int ExplainCommand(Family family, const LibraryOptions& o) {
  Explain(CurrentContext(), family, FromUtf8(o.name), std::cout);
  return kExitOk;
}

int ForgetCommand(Family family, const LibraryOptions& o) {
  return Forget(CurrentContext(), family, FromUtf8(o.name), std::cout, std::cerr) ? kExitOk
                                                                                  : kExitFailed;
}

int SwitchUser(MOLTRAGlobalClass& g, const LibraryOptions& o) {
  g.Advise(std::make_shared<PrintingListener>());
  const std::int32_t status = g.MOLTRAG_EcrireUser(FromUtf8(o.words.at(0)));
  std::cout << "result " << status << "\n";
  if (status != 0) {
    std::cerr << "velmoctl: the switch failed\n";
    return kExitFailed;
  }
  return kExitOk;
}

int RequestFiles(MOLTRAGlobalClass& g, const LibraryOptions& o) {
  int exit = kExitOk;
  for (const std::string& file : o.words) {
    const std::u16string name = FromUtf8(file);
    std::shared_ptr<PPDocument> pp;
    const std::int32_t status = g.MOLTRAG_GetPP(name, pp);
    std::cout << file << ": status " << status;
    if (const std::optional<CacheEntryInfo> entry = CacheEntryOf(CurrentContext(), name);
        status == 0 && entry) {
      std::cout << ", slot " << entry->slot << ", accesses " << entry->accesses;
    }
    std::cout << "\n";
    if (status != 0) exit = kExitFailed;
  }
  return exit;
}

using Body = std::function<int(MOLTRAGlobalClass&, const LibraryOptions&)>;

// A leaf command: --host-version, and a body run after start-up.
CLI::App* Leaf(CLI::App* parent, const char* name, const char* description,
               const std::shared_ptr<LibraryOptions>& o, Action* action, Body body) {
  CLI::App* command = parent->add_subcommand(name, description);
  command->add_option("--host-version", o->host_version,
                      "the host's version string given to start-up (default: none, which is "
                      "2008)");
  command->callback([o, action, body] {
    *action = [o, body] {
      StartToolContext();
      MOLTRAGlobalClass g;
      if (g.MOLTRAG_Init(FromUtf8(o->host_version)) != 0) {
        std::cerr << "velmoctl: start-up failed\n";
        return kExitFailed;
      }
      return body(g, *o);
    };
  });
  return command;
}

void AddName(CLI::App* command, LibraryOptions* o) {
  command->add_option("NAME", o->name, "the value's name")->required();
}

void AddFamily(CLI::App& app, Family family, const std::shared_ptr<LibraryOptions>& o,
               Action* action) {
  const bool interface = family == Family::kInterface;
  CLI::App* parent = app.add_subcommand(
      FamilyName(family),
      interface ? "the current user's interface values (user's hive, machine's as default)"
                : "settings values (user's hive, then the machine's; written to both)");
  parent->require_subcommand(1);
  AddName(
      Leaf(parent, "get", "the value an add-in reads (copied from the machine on first read)", o,
           action,
           [family](MOLTRAGlobalClass& g, const LibraryOptions& x) { return Get(g, family, x); }),
      o.get());
  CLI::App* set =
      Leaf(parent, "set",
           interface ? "store in the user's hive"
                     : "store in the user's hive and the machine's; exit 1 when the machine's "
                       "copy could not go there",
           o, action,
           [family](MOLTRAGlobalClass& g, const LibraryOptions& x) { return Set(g, family, x); });
  AddName(set, o.get());
  set->add_option("VALUE", o->value, "the text to store")->required();
  AddName(Leaf(parent, "forget",
               "delete the user's copy only, so that the machine's value comes through", o, action,
               [family](MOLTRAGlobalClass&, const LibraryOptions& x) {
                 return ForgetCommand(family, x);
               }),
          o.get());
}

}  // namespace

void AddLibraryCommands(CLI::App& app, Action* action) {
  auto o = std::make_shared<LibraryOptions>();
  Leaf(&app, "status", "start up as the host would and show the context", o, action,
       [](MOLTRAGlobalClass& g, const LibraryOptions&) { return Status(g); });
  AddFamily(app, Family::kInterface, o, action);
  AddFamily(app, Family::kSetting, o, action);

  CLI::App* explain = app.add_subcommand(
      "explain",
      "which value an add-in reads now, and where it comes from; after the start-up it only "
      "reads");
  explain->require_subcommand(1);
  for (const Family family : {Family::kInterface, Family::kSetting}) {
    AddName(
        Leaf(explain, FamilyName(family),
             family == Family::kInterface ? "an interface value" : "a settings value", o, action,
             [family](MOLTRAGlobalClass&, const LibraryOptions& x) {
               return ExplainCommand(family, x);
             }),
        o.get());
  }

  CLI::App* user = app.add_subcommand("user", "the current user");
  user->require_subcommand(1);
  Leaf(user, "switch", "switch the current user, showing the two events", o, action, SwitchUser)
      ->add_option("DIR", o->words, "the new user directory")
      ->required()
      ->expected(1);
  Leaf(&app, "pp", "request parameter files through the cache", o, action, RequestFiles)
      ->add_option("FILE", o->words, "parameter files")
      ->required();
}

}  // namespace velmo::tools
