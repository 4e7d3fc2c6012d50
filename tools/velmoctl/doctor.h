// `velmoctl doctor`: every fault that keeps the add-in from starting for this user, found in one
// run. Each check reads only, except the last, which runs start-up as the host would (and so
// writes what a start-up writes).
#ifndef VELMO_TOOLS_VELMOCTL_DOCTOR_H_
#define VELMO_TOOLS_VELMOCTL_DOCTOR_H_

#include <CLI/CLI.hpp>
#include <ostream>
#include <string>
#include <vector>

#include "platform/file_system.h"
#include "platform/registry_api.h"
#include "reg_command.h"

namespace velmo::tools {

enum class Verdict { kOk, kWarning, kFault };

struct Finding {
  Verdict verdict = Verdict::kOk;
  std::string check;  // a short name, the same in every run
  std::string found;  // what was found, with the place it was found in
  std::string mend;   // one command or action; empty when nothing needs mending
};

// Findings in the order the checks ran. Not thread-safe.
class DoctorReport {
 public:
  void Add(Verdict verdict, std::string check, std::string found, std::string mend = {});
  const std::vector<Finding>& findings() const { return findings_; }
  bool HasFault() const;

  // One line per finding: verdict, check, what was found and, after "->", the mend.
  void WriteText(std::ostream& out) const;
  // One JSON document: {"faults": N, "warnings": N, "checks": [{verdict, check, found, mend}]}.
  void WriteJson(std::ostream& out) const;

 private:
  std::vector<Finding> findings_;
};

// The registry values start-up reads for this user, in its views and order, and the directories
// and files they name, under the release key a first start-up with `host_version` uses (none
// stands for the default). Reads only.
void CheckSettings(platform::RegistryApi& registry, platform::FileSystem& files,
                   std::u16string_view host_version, DoctorReport& report);

// The three servers' COM registration in both registry views and both scopes, which the host's
// bitness needs and which shadows which. Reads only.
void CheckServers(platform::RegistryApi& registry, platform::FileSystem& files,
                  DoctorReport& report);

#ifndef _WIN32
// The portable store's hive files: present, owned and moded safely, readable and writable as this
// user needs them, with the files beside them, and sound by SQLite's quick check. Reads only.
void CheckHiveFiles(DoctorReport& report);
#endif

// Adds `doctor [--json] [--host-version V]`.
void AddDoctorCommand(CLI::App& app, Action* action);

}  // namespace velmo::tools

#endif  // VELMO_TOOLS_VELMOCTL_DOCTOR_H_
