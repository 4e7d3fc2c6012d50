#include "platform/hive_wal_stamp.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "platform/hive_statement.h"

namespace velmo::platform::hive {

namespace {

// SQLite maps the WAL index in regions of this size; its header leads the first.
constexpr int kWalIndexRegion = 32768;
constexpr size_t kWalIndexHeader = 48;

// SQLite's own test of the WAL index header, given its two copies (48 bytes each): equal copies,
// marked initialised, of the version SQLite writes, with a sound checksum. Anything else is a
// header being written, or zeroed and not yet rebuilt.
bool SoundIndexHeader(const unsigned char* copies) {
  if (std::memcmp(copies, copies + kWalIndexHeader, kWalIndexHeader) != 0) return false;
  std::uint32_t words[kWalIndexHeader / 4];
  std::memcpy(words, copies, kWalIndexHeader);
  if (copies[12] == 0 || words[0] != 3007000) return false;
  std::uint32_t s1 = 0;
  std::uint32_t s2 = 0;
  for (int i = 0; i < 10; i += 2) {
    s1 += words[i] + s2;
    s2 += words[i + 1] + s1;
  }
  return s1 == words[10] && s2 == words[11];
}

}  // namespace

void WalStamp::Close() {
  file_fd_.reset();
  shm_fd_.reset();
  ForgetIndex();
}

void WalStamp::ForgetIndex() {
  wal_index_ = WalIndex::kUnknown;
  main_file_ = nullptr;
}

// SQLite increments the change counter (offset 24 of the file) in every transaction that changes
// a file in rollback mode, and rewrites the WAL index header (its first 48 bytes) in every commit
// to the log. Reading them unlocked is enough: a write whose call returned before this read
// began is in them, and a write still in progress cannot yet be expected. A value read unlocked
// may be one that a rollback takes back, and so later name another state: what is kept under a
// stamp is read in a snapshot taken while the stamp did not move (HiveReader).
//
// In WAL mode the header alone changes with every commit, and SQLite keeps it mapped for as long
// as the connection is open, so it is read there without a system call. That mapping cannot go
// stale: the connection holds the index's dead-man lock, without which no process empties the
// file, and a shared lock on the hive, without which none leaves WAL mode. A header that SQLite
// would not trust (a commit half written, or one zeroed by a process that found the index
// unused and not yet rebuilt) keeps nothing. Read off the file, a rebuilt header may repeat one
// read before, the state having changed by a checkpoint since: the file's size and time of
// change are part of the stamp then.
std::optional<Stamp> WalStamp::Read() {
  Stamp stamp{};
  unsigned char copies[2 * kWalIndexHeader];
  if (wal_index_ == WalIndex::kMapped) {
    if (const unsigned char* index = MappedWalIndex()) {
      // A commit writes the second copy, then the first.
      std::atomic_thread_fence(std::memory_order_acquire);
      std::memcpy(copies, index, kWalIndexHeader);
      std::atomic_thread_fence(std::memory_order_acquire);
      std::memcpy(copies + kWalIndexHeader, index + kWalIndexHeader, kWalIndexHeader);
      if (!SoundIndexHeader(copies)) return std::nullopt;
      std::memcpy(stamp.data() + 4, copies, kWalIndexHeader);
      return stamp;
    }
    wal_index_ = WalIndex::kUnavailable;
  }
  unsigned char header[28];
  struct stat st {};
  if (file_fd_.get() < 0 || ::pread(file_fd_.get(), header, sizeof header, 0) != sizeof header ||
      ::fstat(file_fd_.get(), &st) != 0) {
    return std::nullopt;
  }
  std::memcpy(stamp.data(), header + 24, 4);
  const std::int64_t times[3] = {st.st_size, st.st_mtim.tv_sec, st.st_mtim.tv_nsec};
  std::memcpy(stamp.data() + 4 + kWalIndexHeader, times, sizeof times);
  if (header[18] != 2) return stamp;  // rollback mode: the counter tells
  if (shm_fd_.get() < 0) shm_fd_.reset(::open(Beside(file_, "-shm").c_str(), O_RDONLY | O_CLOEXEC));
  if (shm_fd_.get() < 0 || ::pread(shm_fd_.get(), copies, sizeof copies, 0) != sizeof copies ||
      !SoundIndexHeader(copies)) {
    return std::nullopt;
  }
  std::memcpy(stamp.data() + 4, copies, kWalIndexHeader);
  return stamp;
}

// Asked of SQLite rather than read off the file: only the connection's own mode tells whether it
// holds the locks above. A reader that may not write the index and finds no other process using
// it gets none, and its stamp is read from the files.
void WalStamp::LookForIndex(sqlite3* db) {
  wal_index_ = WalIndex::kUnavailable;
  bool wal = false;
  {
    const std::string mode = FirstText(db, "PRAGMA journal_mode");
    wal = mode == "wal";
  }
  sqlite3_file* file = nullptr;
  if (!wal || sqlite3_file_control(db, "main", SQLITE_FCNTL_FILE_POINTER, &file) != SQLITE_OK ||
      file == nullptr || file->pMethods == nullptr || file->pMethods->iVersion < 2 ||
      file->pMethods->xShmMap == nullptr) {
    return;
  }
  main_file_ = file;
  wal_index_ = WalIndex::kMapped;
  if (MappedWalIndex() == nullptr) wal_index_ = WalIndex::kUnavailable;
}

// Asked again at each read rather than kept: SQLite answers from its own table of regions.
const unsigned char* WalStamp::MappedWalIndex() {
  volatile void* region = nullptr;
  const int rc = main_file_->pMethods->xShmMap(main_file_, 0, kWalIndexRegion, 0, &region);
  // A read-only index that another process keeps answers SQLITE_READONLY, and is sound; one that
  // no process keeps answers SQLITE_READONLY_CANTINIT.
  if (rc != SQLITE_OK && rc != SQLITE_READONLY) return nullptr;
  return static_cast<const unsigned char*>(const_cast<void*>(region));
}

bool ReadableAlone(const std::filesystem::path& file, int fd) {
  unsigned char header[20];
  if (fd < 0 || ::pread(fd, header, sizeof header, 0) != sizeof header || header[18] != 2) {
    return false;
  }
  const UniqueFd index(::open(Beside(file, "-shm").c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (index.get() >= 0 || errno != EACCES) return false;
  struct stat log {};
  return ::stat(Beside(file, "-wal").c_str(), &log) != 0 ? errno == ENOENT : log.st_size == 0;
}

Signature FileSignature(const std::filesystem::path& file, int fd) {
  Signature signature{};
  struct stat st {};
  unsigned char counter[4] = {};
  if (fd >= 0 && ::fstat(fd, &st) == 0 && ::pread(fd, counter, 4, 24) == 4) {
    signature = {(counter[0] << 24) | (counter[1] << 16) | (counter[2] << 8) | counter[3],
                 st.st_size, st.st_mtim.tv_sec, st.st_mtim.tv_nsec};
  }
  if (::stat(Beside(file, "-wal").c_str(), &st) == 0) {
    signature[4] = st.st_size;
    signature[5] = st.st_mtim.tv_nsec;
    signature[6] = static_cast<std::int64_t>(st.st_ino);
  }
  return signature;
}

Signature WalStamp::FileSignature() const { return hive::FileSignature(file_, file_fd_.get()); }

}  // namespace velmo::platform::hive
