#include "platform/hive_file_policy.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <random>
#include <system_error>

#include "platform/hive_failure.h"
#include "platform/hive_test_hooks.h"

namespace velmo::platform::hive {

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

std::filesystem::path Beside(const std::filesystem::path& file, const char* suffix) {
  return file.string() + suffix;
}

namespace {

constexpr const char* kJournalSuffixes[] = {"-wal", "-shm", "-journal"};

// The nearest directory above `file` that exists.
std::filesystem::path ExistingParent(const std::filesystem::path& file) {
  std::filesystem::path dir = file.parent_path();
  std::error_code ignored;
  while (!dir.empty() && !std::filesystem::exists(dir, ignored) && dir != dir.parent_path()) {
    dir = dir.parent_path();
  }
  return dir.empty() ? "." : dir;
}

// Whether root may follow the link `name` in `dir`: only one that no other user can have made
// or can replace.
bool TrustedLink(int dir, const char* name) {
  struct stat link {};
  struct stat holder {};
  if (::fstatat(dir, name, &link, AT_SYMLINK_NOFOLLOW) != 0 || ::fstat(dir, &holder) != 0) {
    return false;
  }
  return S_ISLNK(link.st_mode) && link.st_uid == 0 && holder.st_uid == 0 &&
         ((holder.st_mode & (S_IWGRP | S_IWOTH)) == 0 || (holder.st_mode & S_ISVTX) != 0);
}

// The directory that is to hold `file`, with the missing ones made on the way, each with `mode`.
// Walked from descriptors, and each directory made is given its mode and owner through one, so
// that no name that a user swaps between two steps leads root elsewhere; nor does root follow a
// link that another user could have made. `*owner` is the owner of the nearest directory that
// exists when root makes a hive `for_its_owner`, the process itself otherwise; the directories
// made are given to it.
UniqueFd OpenParentDirectory(const std::filesystem::path& file, mode_t mode, bool for_its_owner,
                             uid_t* owner) {
  const uid_t self = ::geteuid();
  *owner = self;
  const std::filesystem::path parent = file.parent_path();
  UniqueFd dir(::open(parent.is_absolute() ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0) Fail(StatusOfErrno(errno));
  std::filesystem::path walked = parent.is_absolute() ? "/" : "";
  bool making = false;
  for (const auto& part : parent.relative_path()) {
    const std::string name = part.string();
    if (name.empty() || name == ".") continue;
    walked /= part;
    int next = -1;
    if (!making) {
      next = ::openat(dir.get(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (next < 0 && (errno == ENOTDIR || errno == ELOOP)) {
        if (self == 0 && !TrustedLink(dir.get(), name.c_str())) Fail(kErrorAccessDenied);
        next = ::openat(dir.get(), name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
      }
      if (next < 0 && errno != ENOENT) Fail(StatusOfErrno(errno));
      if (next < 0) {
        making = true;
        struct stat st {};
        if (self == 0 && for_its_owner && ::fstat(dir.get(), &st) == 0) *owner = st.st_uid;
      }
    }
    if (making) {
      if (::mkdirat(dir.get(), name.c_str(), mode) != 0 && errno != EEXIST) {
        Fail(StatusOfErrno(errno));
      }
      if (HooksForTesting().after_mkdir) HooksForTesting().after_mkdir(walked);
      next = ::openat(dir.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      struct stat st {};
      if (next < 0 || ::fstat(next, &st) != 0) {
        Fail(errno == ELOOP || errno == ENOTDIR ? kErrorAccessDenied : StatusOfErrno(errno));
      }
      UniqueFd made(next);
      // One made meanwhile by someone else is used only when it is the owner's.
      if (st.st_uid != self && st.st_uid != *owner) Fail(kErrorAccessDenied);
      // mkdir leaves out what the umask takes away.
      if (st.st_uid == self &&
          (::fchmod(next, mode) != 0 ||
           (*owner != self && ::fchown(next, *owner, static_cast<gid_t>(-1)) != 0))) {
        Fail(StatusOfErrno(errno));
      }
      next = ::dup(made.get());
      if (next < 0) Fail(StatusOfErrno(errno));
    }
    dir.reset(next);
  }
  return dir;
}

// Puts an empty file with `mode` and `owner` at `name` in `dir` in one step, whatever was there.
void ReplaceWithEmpty(int dir, const std::string& name, mode_t mode, uid_t owner) {
  std::minstd_rand random(std::random_device{}());
  for (int attempt = 0;; ++attempt) {
    const std::string temp = "." + name + "." + std::to_string(random());
    UniqueFd fd(
        ::openat(dir, temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (fd.get() < 0) {
      if (errno == EEXIST && attempt < 16) continue;
      Fail(StatusOfErrno(errno));
    }
    if (::fchmod(fd.get(), mode) != 0 ||
        (owner != ::geteuid() && ::fchown(fd.get(), owner, static_cast<gid_t>(-1)) != 0) ||
        ::renameat(dir, temp.c_str(), dir, name.c_str()) != 0) {
      const int error = errno;
      ::unlinkat(dir, temp.c_str(), 0);
      Fail(StatusOfErrno(error));
    }
    return;
  }
}

// Whether this process could create a file in the directory of `file`, or in the nearest
// directory above it that exists.
bool DirectoryWritable(const std::filesystem::path& file) {
  return ::access(ExistingParent(file).c_str(), W_OK | X_OK) == 0;
}

}  // namespace

// Root must not be led to write a file it did not mean to: through a link, or a file of another
// user's planted where the hive should be.
bool FilePolicy::OwnedAsItShouldBe(const std::filesystem::path& file, bool must_exist,
                                   bool any_owner) const {
  struct stat st {};
  if (::lstat(file.c_str(), &st) != 0) return !must_exist && errno == ENOENT;
  if (S_ISLNK(st.st_mode) || !S_ISREG(st.st_mode) || st.st_nlink != 1) return false;
  return any_owner || st.st_uid == 0 || (MadeHere() && st.st_uid == made_->owner);
}

// Reading touches the index beside the hive; a link there would lead root's writes elsewhere.
bool FilePolicy::SafeForRoot(bool to_write) const {
  if (!OwnedAsItShouldBe(file_, true, !to_write)) return false;
  for (const char* suffix : kJournalSuffixes) {
    if (!OwnedAsItShouldBe(Beside(file_, suffix), false, !to_write)) return false;
  }
  return true;
}

// Whether the file at the path is the one this object made, for its owner.
bool FilePolicy::MadeHere() const {
  struct stat st {};
  return made_ && ::lstat(file_.c_str(), &st) == 0 && st.st_dev == made_->dev &&
         st.st_ino == made_->ino;
}

bool FilePolicy::Writable() const {
  if (!DirectoryWritable(file_)) return false;
  struct stat st {};
  if (::stat(file_.c_str(), &st) != 0) return errno == ENOENT;
  if (::access(file_.c_str(), W_OK) != 0) return false;
  if (::geteuid() == 0 && !SafeForRoot(/*to_write=*/true)) return false;
  // An empty file is an empty database, but only one of the caller's is ours to fill.
  return st.st_size > 0 || st.st_uid == ::geteuid() || MadeHere();
}

// Made here rather than by SQLite so that the file gets this hive's mode and owner. An empty file
// is an empty database.
void FilePolicy::Create() {
  uid_t owner = 0;
  const UniqueFd dir = OpenParentDirectory(file_, dir_mode_, for_its_owner_, &owner);
  // Processes that make the file take turns, so that only the one that makes it clears what a
  // removed hive left beside it. Without a descriptor to lock, one goes on alone.
  const UniqueFd lock(::openat(dir.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (lock.get() >= 0) ::flock(lock.get(), LOCK_EX);
  const std::string name = file_.filename().string();
  struct stat st {};
  if (::fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return;
  // Before the file exists, so that no process opens it with them: a log left by a removed hive
  // would be replayed into the new one, and an index that a process of the removed one still
  // holds would be shared with it. The index is replaced in one step, never missing.
  for (const char* suffix : {"-wal", "-journal"}) {
    if (::unlinkat(dir.get(), (name + suffix).c_str(), 0) != 0 && errno != ENOENT) {
      Fail(StatusOfErrno(errno));
    }
  }
  ReplaceWithEmpty(dir.get(), name + "-shm", file_mode_, owner);
  const int fd = ::openat(dir.get(), name.c_str(),
                          O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, file_mode_);
  if (fd < 0) {
    if (errno != EEXIST) Fail(StatusOfErrno(errno));
    return;
  }
  const bool ok = ::fchmod(fd, file_mode_) == 0 &&
                  (owner == ::geteuid() || ::fchown(fd, owner, static_cast<gid_t>(-1)) == 0) &&
                  ::fstat(fd, &st) == 0;
  const int error = errno;
  ::close(fd);
  if (!ok) {
    ::unlinkat(dir.get(), name.c_str(), 0);
    Fail(StatusOfErrno(error));
  }
  made_ = Made{st.st_dev, st.st_ino, owner};
}

void FilePolicy::MatchJournalFiles(const struct stat& hive) const {
  for (const char* suffix : {"-wal", "-shm"}) {
    const UniqueFd fd(
        ::open(Beside(file_, suffix).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
      continue;
    }
    // Best effort: what this process may not change, it leaves.
    if ((st.st_mode & 07777) != (hive.st_mode & 07777)) {
      (void)::fchmod(fd.get(), hive.st_mode & 07777);
    }
    if (::geteuid() == 0 && (st.st_uid != hive.st_uid || st.st_gid != hive.st_gid)) {
      (void)::fchown(fd.get(), hive.st_uid, hive.st_gid);
    }
  }
}

// SQLite locks the byte at 120 of the index to write through the log, and the pending and
// reserved bytes of the file (at 1 GiB) to write in rollback mode.
std::string LockHolder(const std::filesystem::path& file) {
  struct Lock {
    const char* suffix;
    off_t start;
    off_t length;
  };
  for (const Lock& lock : {Lock{"-shm", 120, 1}, Lock{"", 0x40000000, 2}}) {
    const UniqueFd fd(::open(Beside(file, lock.suffix).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct flock probe {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    probe.l_start = lock.start;
    probe.l_len = lock.length;
    if (fd.get() < 0 || ::fcntl(fd.get(), F_GETLK, &probe) != 0 || probe.l_type == F_UNLCK) {
      continue;
    }
    // A lock of an open file description belongs to no one process.
    if (probe.l_pid <= 0) return "a process unknown (an open file description's lock)";
    std::string name;
    std::ifstream(std::filesystem::path("/proc") / std::to_string(probe.l_pid) / "comm") >> name;
    std::string text = "process " + std::to_string(probe.l_pid);
    if (!name.empty()) text += " (" + name + ")";
    struct stat st {};
    if (::stat(("/proc/" + std::to_string(probe.l_pid)).c_str(), &st) == 0) {
      const struct passwd* user = ::getpwuid(st.st_uid);
      text +=
          " of user " + (user != nullptr ? std::string(user->pw_name) : std::to_string(st.st_uid));
    }
    return text;
  }
  return {};
}

}  // namespace velmo::platform::hive
