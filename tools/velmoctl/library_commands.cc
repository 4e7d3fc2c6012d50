#include "library_commands.h"

#include <ostream>

#include "config/parameter_cache.h"
#include "context/application_context.h"
#include "platform/text.h"
#include "reg_command.h"
#include "velmo/moltra_global_class.h"

namespace velmo::tools {

const char kLibraryUsage[] =
    "  status [--host-version V]        start up as the host would and show the context\n"
    "  interface get NAME               an interface value of the current user\n"
    "  interface set NAME VALUE\n"
    "  setting get NAME                 a settings value (user's hive, then the machine's)\n"
    "  setting set NAME VALUE           written to both hives\n"
    "  user switch DIR                  switch the current user, showing the two events\n"
    "  pp FILE...                       request parameter files through the cache\n"
    "\n"
    "Every one of these starts up first, with --host-version (default: none, which is 2008).\n";

namespace {

using platform::FromUtf8;
using platform::ToUtf8;

struct Usage {
  std::string message;
};

// Prints the events of a switch as they arrive.
class PrintingListener final : public UserEvents {
 public:
  explicit PrintingListener(std::ostream& out) : out_(out) {}
  void UserChanging(std::u16string_view new_user, bool& cancel) override {
    out_ << "UserChanging NewUser=\"" << ToUtf8(new_user)
         << "\" Cancel=" << (cancel ? "true" : "false") << "\n";
  }
  void UserChanged(std::u16string_view old_user, std::u16string_view new_user) override {
    out_ << "UserChanged OldUser=\"" << ToUtf8(old_user) << "\" NewUser=\"" << ToUtf8(new_user)
         << "\"\n";
  }

 private:
  std::ostream& out_;
};

std::string Shown(const std::u16string& text) { return text.empty() ? "(none)" : ToUtf8(text); }

int Status(MOLTRAGlobalClass& g, std::ostream& out) {
  const ApplicationContext& context = CurrentContext();
  out << "application            " << ToUtf8(g.Application()) << "\n"
      << "version                " << ToUtf8(g.Version()) << "\n"
      << "release                " << Shown(context.release) << "\n"
      << "service pack           " << Shown(g.MOLTRAG_GetServicePack()) << "\n"
      << "application directory  " << Shown(g.AppPath()) << "\n"
      << "user directory         " << Shown(g.UserPath()) << "\n"
      << "language               " << g.Langue() << "\n"
      << "debug                  " << (g.MOLTRAG_IsDebug() ? "on" : "off") << "\n"
      << "VelmoCFG               " << (g.VelmoCFG() ? "loaded" : "none") << "\n"
      << "GeometrieDat           " << (g.GeometrieDat() ? "loaded" : "none") << "\n";
  return kExitOk;
}

int Values(MOLTRAGlobalClass& g, bool interface_values, const std::vector<std::string>& args,
           std::ostream& out, std::ostream& err) {
  if (args.empty()) throw Usage{"missing get or set"};
  const std::string& action = args[0];
  if (action == "get" && args.size() == 2) {
    const std::u16string name = FromUtf8(args[1]);
    out << ToUtf8(interface_values ? g.RegReadInterfaceValue(name) : g.RegReadSecurityValue(name))
        << "\n";
    return kExitOk;
  }
  if (action == "set" && args.size() == 3) {
    const std::u16string name = FromUtf8(args[1]);
    const std::u16string value = FromUtf8(args[2]);
    if (interface_values ? g.RegWriteInterfaceValue(name, value)
                         : g.RegWriteSecurityValue(name, value)) {
      return kExitOk;
    }
    err << "velmoctl: " << args[1] << " was not stored\n";
    return kExitFailed;
  }
  throw Usage{action == "get"   ? "get takes NAME"
              : action == "set" ? "set takes NAME VALUE"
                                : "unknown action " + action};
}

int SwitchUser(MOLTRAGlobalClass& g, const std::vector<std::string>& args, std::ostream& out,
               std::ostream& err) {
  if (args.size() != 2 || args[0] != "switch") throw Usage{"use: user switch DIR"};
  g.Advise(std::make_shared<PrintingListener>(out));
  const std::int32_t status = g.MOLTRAG_EcrireUser(FromUtf8(args[1]));
  out << "result " << status << "\n";
  if (status != 0) {
    err << "velmoctl: the switch failed\n";
    return kExitFailed;
  }
  return kExitOk;
}

int RequestFiles(MOLTRAGlobalClass& g, const std::vector<std::string>& args, std::ostream& out) {
  if (args.empty()) throw Usage{"missing FILE"};
  int exit = kExitOk;
  for (const std::string& file : args) {
    const std::u16string name = FromUtf8(file);
    std::shared_ptr<PPDocument> pp;
    const std::int32_t status = g.MOLTRAG_GetPP(name, pp);
    out << file << ": status " << status;
    const ApplicationContext& context = CurrentContext();
    if (const int slot = CacheSlotOf(context, name); status == 0 && slot >= 0) {
      out << ", slot " << slot << ", accesses " << (*context.pp_cache)[slot]->nbAcces();
    }
    out << "\n";
    if (status != 0) exit = kExitFailed;
  }
  return exit;
}

}  // namespace

bool IsLibraryCommand(const std::string& command) {
  return command == "status" || command == "interface" || command == "setting" ||
         command == "user" || command == "pp";
}

int RunLibraryCommand(const std::string& command, const std::vector<std::string>& words,
                      std::ostream& out, std::ostream& err) {
  try {
    std::string host_version;
    std::vector<std::string> args;
    for (size_t i = 0; i < words.size(); ++i) {
      if (words[i] == "--host-version") {
        if (++i == words.size()) throw Usage{"--host-version needs a value"};
        host_version = words[i];
      } else if (words[i].starts_with("--")) {
        throw Usage{"unknown option " + words[i]};
      } else {
        args.push_back(words[i]);
      }
    }
    MOLTRAGlobalClass g;
    if (g.MOLTRAG_Init(FromUtf8(host_version)) != 0) {
      err << "velmoctl: start-up failed\n";
      return kExitFailed;
    }
    if (command == "status") {
      if (!args.empty()) throw Usage{"status takes no argument"};
      return Status(g, out);
    }
    if (command == "interface") return Values(g, true, args, out, err);
    if (command == "setting") return Values(g, false, args, out, err);
    if (command == "user") return SwitchUser(g, args, out, err);
    return RequestFiles(g, args, out);
  } catch (const Usage& usage) {
    err << "velmoctl " << command << ": " << usage.message << " (see 'velmoctl --help')\n";
    return kExitUsage;
  }
}

}  // namespace velmo::tools
