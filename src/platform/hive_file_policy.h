// Where a hive's file lies and who may touch it: the directories made for it, its mode and owner,
// the journal files beside it, and what root refuses (a link it did not make, a file of another
// user's). Plain POSIX: no SQLite here.
//
// Fails by throwing Failure: kErrorAccessDenied for what is refused, the errno's status for what
// the system fails. Questions (Writable, SafeForRoot) never throw. A FilePolicy belongs to one
// hive and is used under that hive's lock; LockHolder may be called from any thread.
#ifndef VELMO_PLATFORM_HIVE_FILE_POLICY_H_
#define VELMO_PLATFORM_HIVE_FILE_POLICY_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <utility>

namespace velmo::platform::hive {

// A file descriptor, closed when it goes.
class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    reset(std::exchange(other.fd_, -1));
    return *this;
  }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1);

 private:
  int fd_;
};

// The journal file `suffix` ("-wal", "-shm", "-journal") of the hive `file`.
std::filesystem::path Beside(const std::filesystem::path& file, const char* suffix);

class FilePolicy {
 public:
  // `file_mode` and `dir_mode` are what the file and the directories made for it get, whatever
  // the umask. A hive `for_its_owner` (the user's) that root makes is given to the owner of the
  // nearest directory that exists.
  FilePolicy(std::filesystem::path file, mode_t file_mode, mode_t dir_mode, bool for_its_owner)
      : file_(std::move(file)),
        file_mode_(file_mode),
        dir_mode_(dir_mode),
        for_its_owner_(for_its_owner) {}

  const std::filesystem::path& file() const { return file_; }

  // Whether this process may change the hive (its file, and the journal files beside it). Root
  // never writes through a symbolic link, nor a file of someone else's; no one adopts an empty
  // file of someone else's.
  bool Writable() const;
  // Whether root may open the hive, to read or `to_write`: neither the file nor a journal file
  // beside it is a link or a file that could lead root's writes elsewhere.
  bool SafeForRoot(bool to_write) const;

  // Makes the file empty, with its mode and owner, and the missing directories above it; clears
  // what a removed hive left beside it first. Does nothing when a file is there already.
  void Create();
  // Gives the log and index beside the hive the mode and owner of `hive`, where this process
  // may; never fails.
  void MatchJournalFiles(const struct stat& hive) const;

 private:
  bool OwnedAsItShouldBe(const std::filesystem::path& file, bool must_exist, bool any_owner) const;
  bool MadeHere() const;

  const std::filesystem::path file_;
  const mode_t file_mode_;
  const mode_t dir_mode_;
  const bool for_its_owner_;
  struct Made {
    dev_t dev;
    ino_t ino;
    uid_t owner;
  };
  std::optional<Made> made_;  // the file this object made
};

// Which process holds a lock that keeps writers of the hive `file` out, as "process N (name) of
// user U"; empty when none is seen. Locks of this process are not seen.
std::string LockHolder(const std::filesystem::path& file);

}  // namespace velmo::platform::hive

#endif  // VELMO_PLATFORM_HIVE_FILE_POLICY_H_
