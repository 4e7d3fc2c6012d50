#include "doctor.h"

#include <iostream>
#include <memory>
#include <optional>

#include "context/application_context.h"
#include "context/directories.h"
#include "context/startup.h"
#include "key_reader.h"
#include "platform/system_registry.h"
#include "platform/text.h"
#include "registry/registry_module.h"
#include "registry/settings_keys.h"
#include "tool_platform.h"
#include "velmo/moltra_global_class.h"

namespace velmo::tools {

using namespace velmo::platform;
using registry::RegRootCurrentUser;
using registry::RegRootLocalMachine;

namespace {

const char* VerdictName(Verdict verdict) {
  switch (verdict) {
    case Verdict::kOk:
      return "ok";
    case Verdict::kWarning:
      return "warning";
    case Verdict::kFault:
      return "fault";
  }
  return "fault";
}

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20) {
      static const char kHex[] = "0123456789abcdef";
      out += "\\u00";
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string U8(std::u16string_view text) { return ToUtf8(text); }

std::string Quoted(std::u16string_view text) { return "\"" + U8(text) + "\""; }

// A shell word for a mend the reader pastes: single quotes hold anything but a single quote.
std::string ShellWord(std::string_view text) {
  std::string out = "'";
  for (const char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

const std::u16string kUsersKeyMachine = u"SOFTWARE\\MOLTRA\\USERS";
const std::u16string kUsersKeyUser = u"Software\\MOLTRA\\Users";
const std::u16string kPathFallback = u"PathVELMO_SW2";
const std::u16string kUserDefault = u"UserVELMO_SW2";

std::string RootName(RegKey root) { return root == kHkeyCurrentUser ? "HKCU" : "HKLM"; }

std::string ViewName(std::uint32_t view) {
  if (view == kKeyWow64_32Key) return " (32-bit view)";
  if (view == kKeyWow64_64Key) return " (64-bit view)";
  return "";
}

std::string Place(RegKey root, std::uint32_t view, std::u16string_view key,
                  std::u16string_view name) {
  return RootName(root) + "\\" + U8(key) + " " + Quoted(name) + ViewName(view);
}

// How a document of the directory `directory` + `file` fares: missing, unreadable or loaded.
void CheckDocument(FileSystem& files, const std::u16string& directory, std::u16string_view file,
                   const std::string& check, Verdict when_missing, const std::string& mend,
                   DoctorReport& report) {
  const std::u16string path = directory + std::u16string(file);
  if (!files.FileExists(path)) {
    report.Add(when_missing, check, U8(path) + " is missing", mend);
    return;
  }
  bool loaded = false;
  try {
    loaded = NewBuiltInDocuments()->NewConfigDocument()->Load(path);
  } catch (const std::exception& failure) {
    report.Add(Verdict::kFault, check, U8(path) + " could not be loaded: " + failure.what(),
               "replace it with the installed copy");
    return;
  }
  if (loaded) {
    report.Add(Verdict::kOk, check, U8(path) + " loads");
  } else {
    report.Add(Verdict::kFault, check, U8(path) + " cannot be read or is not text",
               "make it readable by this user, or replace it with the installed copy");
  }
}

std::string SetPathMend(const std::u16string& key, const std::string& directory) {
  return "velmoctl reg set --32 " + ShellWord("HKLM\\" + U8(key)) + " PATH " + ShellWord(directory);
}

// Start-up's application directory: "PATH" under the machine's release key (32-bit view first),
// else PathVELMO_SW2, which it then writes as "PATH".
void CheckApplicationDirectory(RegistryApi& api, FileSystem& files, const std::u16string& key,
                               DoctorReport& report) {
  const std::string check = "application directory";
  const std::string place32 = Place(kHkeyLocalMachine, kKeyWow64_32Key, key, u"PATH");
  const auto path32 = ReadText(api, kHkeyLocalMachine, kKeyWow64_32Key, key, u"PATH");
  const auto path64 = ReadText(api, kHkeyLocalMachine, kKeyWow64_64Key, key, u"PATH");
  const std::u16string fallback =
      registry::RegReadPath(api, RegRootLocalMachine, kUsersKeyMachine, kPathFallback);
  const std::string fallback_place = "HKLM\\" + U8(kUsersKeyMachine) + " " + Quoted(kPathFallback);
  std::u16string directory;
  if (path32 && !path32->empty()) {
    directory = *path32;
    report.Add(Verdict::kOk, check, place32 + " = " + U8(directory));
  } else if (path64 && !path64->empty()) {
    report.Add(Verdict::kFault, check,
               "only the 64-bit view holds PATH (" + U8(*path64) +
                   "); start-up reads the 32-bit view, so it will take " + fallback_place +
                   (fallback.empty() ? ", which is missing" : " = " + U8(fallback)),
               SetPathMend(key, U8(*path64)));
    return;
  } else if (!fallback.empty()) {
    // An empty PATH counts as missing: start-up takes the installer's directory.
    directory = fallback;
    report.Add(Verdict::kWarning, check,
               place32 + (path32 ? " is empty" : " is missing") + "; start-up will take " +
                   fallback_place + " = " + U8(fallback) + " and write it as PATH",
               SetPathMend(key, U8(fallback)));
  } else {
    report.Add(Verdict::kFault, check,
               "neither " + place32 + " nor " + fallback_place + " names a directory",
               SetPathMend(key, "DIR"));
    return;
  }
  directory = WithTrailingSeparator(directory);
  if (!files.DirectoryExists(directory)) {
    report.Add(Verdict::kFault, "application directory exists", U8(directory) + " does not exist",
               "install the add-in there, or " + SetPathMend(key, "DIR"));
    return;
  }
  report.Add(Verdict::kOk, "application directory exists", U8(directory));
  CheckDocument(files, directory, u"Dat\\Geometrie.dat", "geometry configuration", Verdict::kFault,
                "copy Geometrie.dat from the installation into " + U8(directory) + "Dat", report);
}

// Start-up's user directory: "USER" under the user's release key; only when that is empty, the
// default UserVELMO_SW2, the user's then the machine's. A USER naming a missing directory has no
// fallback.
void CheckUserDirectory(RegistryApi& api, FileSystem& files, const std::u16string& key,
                        DoctorReport& report) {
  const std::string check = "user directory";
  const std::string place = Place(kHkeyCurrentUser, 0, key, u"USER");
  const std::string mend = "velmoctl user switch DIR, with DIR an existing user directory";
  std::u16string directory = registry::RegReadPath(api, RegRootCurrentUser, key, u"USER");
  if (!directory.empty()) {
    if (!files.DirectoryExists(directory)) {
      report.Add(Verdict::kFault, check,
                 place + " names " + U8(directory) +
                     ", which does not exist: start-up finds no user and tries no default",
                 mend);
      return;
    }
    report.Add(Verdict::kOk, check, place + " = " + U8(directory));
  } else {
    std::string from = "HKCU\\" + U8(kUsersKeyUser) + " " + Quoted(kUserDefault);
    directory = registry::RegReadPath(api, RegRootCurrentUser, kUsersKeyUser, kUserDefault);
    if (directory.empty()) {
      from = "HKLM\\" + U8(kUsersKeyUser) + " " + Quoted(kUserDefault);
      directory = registry::RegReadPath(api, RegRootLocalMachine, kUsersKeyUser, kUserDefault);
    }
    if (directory.empty()) {
      report.Add(Verdict::kFault, check,
                 place + " is not set and no default " + U8(kUserDefault) +
                     " exists (user's or machine's): start-up finds no user",
                 mend);
      return;
    }
    if (!files.DirectoryExists(directory)) {
      report.Add(Verdict::kFault, check,
                 place + " is not set and the default " + from + " names " + U8(directory) +
                     ", which does not exist",
                 mend);
      return;
    }
    report.Add(Verdict::kOk, check,
               place + " is not set; start-up will take " + from + " = " + U8(directory) +
                   " and store it as USER");
  }
  CheckDocument(files, WithTrailingSeparator(directory), u"dat\\velmo.cfg", "user configuration",
                Verdict::kWarning,
                "copy velmo.cfg from the installation into " +
                    U8(WithTrailingSeparator(directory)) +
                    "dat, or VelmoCFG holds only the application's values",
                report);
}

// "Langue" and "DEBUG" as start-up reads them: the user's copy, else the machine's.
void CheckInterfaceValues(RegistryApi& api, const std::u16string& key, DoctorReport& report) {
  const std::u16string interface_key = key + u"\\Interface";
  const auto user_langue = ReadText(api, kHkeyCurrentUser, 0, interface_key, u"Langue");
  const std::u16string langue =
      user_langue ? *user_langue
                  : registry::RegReadString(api, RegRootLocalMachine, interface_key, u"Langue");
  const std::string langue_place =
      user_langue ? Place(kHkeyCurrentUser, 0, interface_key, u"Langue") : "the machine's copy";
  const std::string set_langue = "velmoctl interface set Langue 1";
  if (langue.empty()) {
    report.Add(Verdict::kOk, "language", "\"Langue\" is not set: start-up stores 1");
  } else if (const auto number = ParseLangue(langue); !number) {
    report.Add(Verdict::kWarning, "language",
               langue_place + " = " + Quoted(langue) + " is no number: start-up uses 1",
               set_langue);
  } else if (*number < 1) {
    report.Add(Verdict::kWarning, "language",
               langue_place + " = " + Quoted(langue) + " is below 1: start-up stores 1",
               set_langue);
  } else {
    report.Add(Verdict::kOk, "language", langue_place + " = " + Quoted(langue));
  }
  const auto user_debug = ReadText(api, kHkeyCurrentUser, 0, interface_key, u"DEBUG");
  const std::u16string debug =
      user_debug ? *user_debug
                 : registry::RegReadString(api, RegRootLocalMachine, interface_key, u"DEBUG");
  report.Add(Verdict::kOk, "debug", std::string("\"DEBUG\" ") + (debug == u"1" ? "on" : "off"));
}

// A user's copy of a machine value hides every later change of the machine value.
void CheckShadows(RegistryApi& api, const std::u16string& key, DoctorReport& report) {
  int shadows = 0;
  for (const auto& [family, subkey] :
       {std::pair{"interface", u"\\Interface"}, std::pair{"setting", u"\\Settings"}}) {
    const std::u16string family_key = key + subkey;
    std::vector<std::u16string> names;
    std::int32_t count = 0;
    if (!registry::RegEnumValueNames(api, RegRootLocalMachine, family_key, names, count)) continue;
    for (std::int32_t i = 0; i < count && i < static_cast<std::int32_t>(names.size()); ++i) {
      const std::u16string& name = names[i];
      const auto mine = ReadText(api, kHkeyCurrentUser, 0, family_key, name);
      const std::u16string theirs =
          registry::RegReadString(api, RegRootLocalMachine, family_key, name);
      if (!mine || *mine == theirs) continue;
      ++shadows;
      report.Add(Verdict::kWarning, "user copy shadows machine",
                 Place(kHkeyCurrentUser, 0, family_key, name) + " = " + Quoted(*mine) +
                     " hides the machine's " + Quoted(theirs),
                 std::string("velmoctl ") + family + " forget " + ShellWord(U8(name)));
    }
  }
  if (shadows == 0) {
    report.Add(Verdict::kOk, "user copy shadows machine",
               "no user's copy differs from the machine's");
  }
}

// Keeps the boxes a start-up would have shown, instead of showing them.
class RecordingMessageBox final : public MessageBoxApi {
 public:
  void Show(std::u16string_view text, std::u16string_view title, MessageIcon) override {
    shown.push_back(U8(title) + ": " + U8(text));
  }
  std::vector<std::string> shown;
};

void CheckStartUp(const std::string& host_version, DoctorReport& report) {
  auto boxes = std::make_shared<RecordingMessageBox>();
  Platform platform = ToolPlatform();
  platform.message_box = boxes;
  ResetCurrentContext(std::move(platform));
  MOLTRAGlobalClass g;
  const std::int32_t status = g.MOLTRAG_Init(FromUtf8(host_version));
  for (std::string& box : boxes->shown) {
    for (char& c : box) {
      if (c == '\r' || c == '\n') c = ' ';
    }
    report.Add(Verdict::kFault, "start-up message", "start-up showed " + box,
               "mend the faults above, then run velmoctl doctor again");
  }
  const std::string found =
      "result " + std::to_string(status) + ", application directory " +
      (g.AppPath().empty() ? "(none)" : U8(g.AppPath())) + ", user directory " +
      (g.UserPath().empty() ? "(none)" : U8(g.UserPath())) + ", language " +
      std::to_string(g.Langue()) + ", GeometrieDat " + (g.GeometrieDat() ? "loaded" : "none") +
      ", VelmoCFG " + (g.VelmoCFG() ? "loaded" : "none");
  const bool whole = status == 0 && !g.AppPath().empty() && !g.UserPath().empty();
  report.Add(whole ? Verdict::kOk : Verdict::kFault, "start-up", found,
             whole ? "" : "mend the faults above, then run velmoctl doctor again");
}

struct DoctorOptions {
  std::string host_version;
  bool json = false;
  bool no_start_up = false;
};

int RunDoctor(const DoctorOptions& o) {
  DoctorReport report;
  std::unique_ptr<RegistryApi> registry = NewSystemRegistry();
  std::unique_ptr<FileSystem> files = NewSystemFileSystem();
#ifndef _WIN32
  CheckHiveFiles(report);
#else
  CheckServers(*registry, *files, report);
#endif
  CheckSettings(*registry, *files, FromUtf8(o.host_version), report);
  registry.reset();
  if (!o.no_start_up) CheckStartUp(o.host_version, report);
  if (o.json) {
    report.WriteJson(std::cout);
  } else {
    report.WriteText(std::cout);
  }
  return report.HasFault() ? kExitFailed : kExitOk;
}

}  // namespace

void DoctorReport::Add(Verdict verdict, std::string check, std::string found, std::string mend) {
  findings_.push_back({verdict, std::move(check), std::move(found), std::move(mend)});
}

bool DoctorReport::HasFault() const {
  for (const Finding& finding : findings_) {
    if (finding.verdict == Verdict::kFault) return true;
  }
  return false;
}

void DoctorReport::WriteText(std::ostream& out) const {
  for (const Finding& f : findings_) {
    std::string verdict = VerdictName(f.verdict);
    verdict.resize(8, ' ');
    out << verdict << f.check << ": " << f.found;
    if (!f.mend.empty()) out << "  -> " << f.mend;
    out << "\n";
  }
}

void DoctorReport::WriteJson(std::ostream& out) const {
  int faults = 0;
  int warnings = 0;
  for (const Finding& f : findings_) {
    faults += f.verdict == Verdict::kFault;
    warnings += f.verdict == Verdict::kWarning;
  }
  out << "{\"faults\": " << faults << ", \"warnings\": " << warnings << ", \"checks\": [";
  const char* separator = "\n";
  for (const Finding& f : findings_) {
    out << separator << "  {\"verdict\": " << JsonString(VerdictName(f.verdict))
        << ", \"check\": " << JsonString(f.check) << ", \"found\": " << JsonString(f.found)
        << ", \"mend\": " << JsonString(f.mend) << "}";
    separator = ",\n";
  }
  out << "\n]}\n";
}

void CheckSettings(RegistryApi& registry, FileSystem& files, std::u16string_view host_version,
                   DoctorReport& report) {
  // The release key a first start-up with this version would use.
  ApplicationContext context{Platform{}};
  context.version_info().Select(host_version.empty() ? kDefaultVersion : host_version);
  const std::u16string key = registry::ReleaseKey(context);
  CheckApplicationDirectory(registry, files, key, report);
  CheckUserDirectory(registry, files, key, report);
  CheckInterfaceValues(registry, key, report);
  CheckShadows(registry, key, report);
}

void AddDoctorCommand(CLI::App& app, Action* action) {
  auto o = std::make_shared<DoctorOptions>();
  CLI::App* doctor = app.add_subcommand(
      "doctor",
      "check everything the add-in needs to start for this user: one line per check, ok, "
      "warning or fault, with the mend; exit 1 when any is a fault");
  doctor->add_flag("--json", o->json, "print the findings as one JSON document");
  doctor->add_option("--host-version", o->host_version,
                     "the host's version string given to start-up (default: none, which is 2008)");
  doctor->add_flag("--no-start-up", o->no_start_up,
                   "leave out the start-up run, which writes what a start-up writes");
  doctor->callback([o, action] { *action = [o] { return RunDoctor(*o); }; });
}

}  // namespace velmo::tools
