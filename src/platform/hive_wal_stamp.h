// The stamp of a hive: what changes with every commit to its file, whoever makes it, read without
// taking a lock, so that a read cache knows when what it holds is no longer the file's state.
// Also what tells whether a reader can read the file alone, and a signature of the file and its
// log for such a reader.
//
// Never fails: what cannot be read gives no stamp, which keeps nothing cached. Used under its
// hive's lock; owns the descriptors it reads through.
#ifndef VELMO_PLATFORM_HIVE_WAL_STAMP_H_
#define VELMO_PLATFORM_HIVE_WAL_STAMP_H_

#include <sqlite3.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>

#include "platform/hive_file_policy.h"

namespace velmo::platform::hive {

using Stamp = std::array<unsigned char, 80>;
// What changes when anyone writes the file or its log.
using Signature = std::array<std::int64_t, 7>;

// Whether a reader that may not open the index can read the hive `file` (open as `fd`) alone:
// the file is in WAL mode, its index is closed to this process and its log holds no frames.
bool ReadableAlone(const std::filesystem::path& file, int fd);
Signature FileSignature(const std::filesystem::path& file, int fd);

class WalStamp {
 public:
  explicit WalStamp(std::filesystem::path file) : file_(std::move(file)) {}
  WalStamp(const WalStamp&) = delete;
  WalStamp& operator=(const WalStamp&) = delete;

  // Reads through `file`, the hive's file opened again, until Close.
  void Open(UniqueFd file) { file_fd_ = std::move(file); }
  bool is_open() const { return file_fd_.get() >= 0; }
  // Lets go of the descriptors and of the index of the connection closed.
  void Close();

  std::optional<Stamp> Read();
  // In a read transaction on `db`, once after it opened or changed its journal mode: whether the
  // connection is in WAL mode with its index mapped, where Read then finds the header.
  bool knows_index() const { return wal_index_ != WalIndex::kUnknown; }
  void LookForIndex(sqlite3* db);
  // The connection's journal mode may have changed: looked for again at the next read.
  void ForgetIndex();

  // FileSignature of the file open.
  Signature FileSignature() const;

 private:
  const unsigned char* MappedWalIndex();

  const std::filesystem::path file_;
  UniqueFd file_fd_;  // the file again, to read its change counter without a lock
  UniqueFd shm_fd_;   // the WAL index, likewise
  // The WAL index as SQLite maps it for the connection, once looked for.
  enum class WalIndex { kUnknown, kMapped, kUnavailable };
  WalIndex wal_index_ = WalIndex::kUnknown;
  sqlite3_file* main_file_ = nullptr;  // the connection's, while kMapped
};

}  // namespace velmo::platform::hive

#endif  // VELMO_PLATFORM_HIVE_WAL_STAMP_H_
