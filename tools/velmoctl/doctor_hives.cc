// The portable store's files, as seen by the user who runs the add-in.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "doctor.h"
#include "platform/hive_check.h"
#include "platform/hive_paths.h"

namespace velmo::tools {

namespace {

std::string UserName(uid_t uid) {
  const passwd* entry = ::getpwuid(uid);
  return entry != nullptr ? entry->pw_name : "uid " + std::to_string(uid);
}

std::string Mode(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

std::string Facts(const std::string& file, const struct stat& st) {
  return file + " (" + Mode(st.st_mode) + ", " + UserName(st.st_uid) + ")";
}

std::string Word(const std::string& text) { return "'" + text + "'"; }

// One hive and the two files SQLite keeps beside it: the write-ahead log and its index, which
// every reader needs as much as the hive itself.
void CheckHive(const std::string& label, const std::filesystem::path& hive, bool must_write,
               DoctorReport& report) {
  const std::string check = label + " hive";
  const std::string file = hive.string();
  struct stat st {};
  if (::lstat(file.c_str(), &st) != 0) {
    if (must_write) {
      report.Add(Verdict::kOk, check, file + " does not exist yet; the first write makes it");
    } else {
      report.Add(Verdict::kWarning, check,
                 file + " does not exist: no machine value (PATH, the defaults) can be found",
                 "as root: velmoctl reg set --32 'HKLM\\SOFTWARE\\MOLTRA\\VELMO_SW2\\VELMO_SW2 2' "
                 "PATH DIR");
    }
    return;
  }
  if (!S_ISREG(st.st_mode)) {
    report.Add(Verdict::kFault, check, file + " is not a regular file (a link or a directory)",
               "remove it and restore the hive: velmoctl reg restore ROOT BACKUP");
    return;
  }
  if ((st.st_mode & S_IWOTH) != 0) {
    report.Add(Verdict::kFault, check, Facts(file, st) + ": anyone may write it",
               "chmod o-w " + Word(file));
  }
  const int need = must_write ? R_OK | W_OK : R_OK;
  if (::access(file.c_str(), need) != 0) {
    report.Add(Verdict::kFault, check,
               Facts(file, st) + ": " + UserName(::geteuid()) + " may not " +
                   (must_write ? "read and write" : "read") + " it",
               must_write ? "as root: chown " + UserName(::geteuid()) + " " + Word(file)
                          : "as root: chmod a+r " + Word(file));
    return;
  }
  int side_faults = 0;
  for (const char* suffix : {"-wal", "-shm"}) {
    const std::string side = file + suffix;
    struct stat side_st {};
    if (::lstat(side.c_str(), &side_st) != 0) continue;
    if (::access(side.c_str(), need) != 0) {
      ++side_faults;
      report.Add(Verdict::kFault, check,
                 Facts(side, side_st) + " beside a usable hive: " + UserName(::geteuid()) +
                     " may not " + (must_write ? "read and write" : "read") +
                     " it, so every read of the hive fails",
                 "as " + (st.st_uid == 0 ? std::string("root") : UserName(st.st_uid) + " or root") +
                     ": chmod " + Mode(st.st_mode) + " " + Word(side) + " && chown " +
                     UserName(st.st_uid) + " " + Word(side));
    } else if (side_st.st_uid != st.st_uid) {
      report.Add(Verdict::kWarning, check,
                 Facts(side, side_st) + " belongs to another user than the hive (" +
                     UserName(st.st_uid) + ")",
                 "as root: chown " + UserName(st.st_uid) + " " + Word(side));
    }
  }
  if (side_faults > 0) return;
  const std::string sound = platform::QuickCheckHive(hive);
  if (sound != "ok") {
    report.Add(Verdict::kFault, check, file + " fails SQLite's quick check: " + sound,
               "velmoctl reg restore " + std::string(label == "machine" ? "HKLM" : "HKCU") +
                   " BACKUP (a copy made by velmoctl reg backup)");
    return;
  }
  report.Add(Verdict::kOk, check, Facts(file, st) + " is sound and usable");
}

}  // namespace

void CheckHiveFiles(DoctorReport& report) {
  const platform::HivePaths paths = platform::DefaultHivePaths();
  CheckHive("machine", paths.machine, /*must_write=*/::geteuid() == 0, report);
  CheckHive("user", paths.user, /*must_write=*/true, report);
}

}  // namespace velmo::tools
