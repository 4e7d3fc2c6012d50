// One hive of the portable registry: its SQLite file, the connection to it, and a cache of what
// was read from it. Internal to the portable store.
#ifndef VELMO_PLATFORM_SQLITE_HIVE_H_
#define VELMO_PLATFORM_SQLITE_HIVE_H_

#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "platform/registry_api.h"

namespace velmo::platform::hive {

inline constexpr sqlite3_int64 kRootKeyId = 1;

// Raised inside a call and turned into its status at the seam.
struct Failure {
  RegStatus status;
};
[[noreturn]] void Fail(RegStatus status);

// The form a name is matched by: Windows upper-cases each UTF-16 unit on its own and leaves
// surrogates as they are. UTF-16LE bytes, with as many code units as the name.
std::string Fold(std::u16string_view name);
// What the read cache knows a key path by: the key it starts from, `view` (whatever else decides
// the walk) and the folded path. Paths that fold alike split alike.
std::string PathKey(sqlite3_int64 base, char view, std::u16string_view path);

// A prepared statement lent by the hive's cache, reset and given back when it goes out of scope;
// or, when the cached one is out on loan already, one of its own, finalized then. Two loans of
// one statement would reset each other's rows.
class Statement {
 public:
  // Lends `stmt`, marking `*lent` until it is given back; null `lent` owns `stmt` instead.
  Statement(sqlite3_stmt* stmt, bool* lent) : stmt_(stmt), lent_(lent) {
    if (lent_ != nullptr) *lent_ = true;
  }
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& Bind(int index, sqlite3_int64 value);
  Statement& BindText(int index, std::u16string_view text);
  Statement& BindBlob(int index, const void* data, size_t size);
  Statement& BindBlob(int index, const std::string& bytes) {
    return BindBlob(index, bytes.data(), bytes.size());
  }
  bool Step();  // true while there is a row to read
  void Reset() { sqlite3_reset(stmt_); }

  sqlite3_int64 Int(int column) { return sqlite3_column_int64(stmt_, column); }
  std::u16string Text(int column);
  std::string Blob(int column);

 private:
  sqlite3_stmt* stmt_;
  bool* lent_;
};

struct CachedValue {
  std::uint32_t type;
  std::string data;
};

// Where a path below a key leads: the key's row (0 when missing) and how many levels it went down.
struct ResolvedPath {
  sqlite3_int64 id;
  std::size_t levels;
};

class Hive;

// Tests only: called where another process could act between two steps. Set before the store is
// used, from one thread.
struct TestHooks {
  // A directory was made for a hive and is not yet given its mode and owner.
  std::function<void(const std::filesystem::path& dir)> after_mkdir;
  // A read has its stamp and has not yet taken its snapshot.
  std::function<void()> after_stamp;
};
TestHooks& HooksForTesting();

// Which process holds a lock that keeps writers of the hive `file` out, as "process N (name) of
// user U"; empty when none is seen. Locks of this process are not seen.
std::string LockHolder(const std::filesystem::path& file);

// Raised when answers already given from the cache turn out to be older than the snapshot that a
// later question had to read; the read call then starts again.
struct StaleCache {};

// What one read call sees: answers from the cache while the file has not changed since they were
// read, from the database otherwise. The first question the cache cannot answer opens a read
// transaction, so that every answer of one call comes from one state of the file.
class HiveReader {
 public:
  HiveReader(Hive& hive, sqlite3* db, bool use_cache)
      : hive_(hive), db_(db), use_cache_(use_cache) {}
  ~HiveReader();
  HiveReader(const HiveReader&) = delete;
  HiveReader& operator=(const HiveReader&) = delete;

  // No file yet, or a file with nothing in it: only the empty root key.
  bool empty() const { return db_ == nullptr; }

  sqlite3_int64 Child(sqlite3_int64 parent, std::u16string_view name);  // 0 when missing
  bool Alive(sqlite3_int64 key);
  // The value, or null when there is none; valid until the next call on this reader.
  const CachedValue* Find(sqlite3_int64 key, std::u16string_view name);

  // Where `path`, split into keys by `parts_of()`, leads below the live key `base`. A path asked
  // again in the same state of the file is answered whole, without being split.
  template <typename Parts>
  ResolvedPath Walk(sqlite3_int64 base, char view, std::u16string_view path, Parts&& parts_of) {
    const std::string text = PathKey(base, view, path);
    if (const ResolvedPath* known = KnownPath(text)) return *known;
    const auto parts = parts_of();
    ResolvedPath found{base, parts.size()};
    if (empty()) {
      if (!parts.empty()) found.id = 0;
      return found;
    }
    if (!Alive(base)) Fail(kErrorKeyDeleted);
    for (const auto& part : parts) {
      found.id = Child(found.id, part);
      if (found.id == 0) break;
    }
    RememberPath(text, found);
    return found;
  }

  // For what the cache does not hold.
  Statement Prepare(const char* sql);

  void Finish();

 private:
  void Begin();
  const ResolvedPath* KnownPath(const std::string& text);
  void RememberPath(const std::string& text, ResolvedPath path);

  Hive& hive_;
  sqlite3* db_;
  const bool use_cache_;
  bool served_from_cache_ = false;
  bool in_transaction_ = false;
  bool owns_transaction_ = true;  // not the one of changes under way
  CachedValue uncached_;          // what Find answers when the cache is not used
};

class Hive {
 public:
  // `file_mode` and `dir_mode` are what the file and the directories made for it get, whatever
  // the umask. A hive `for_its_owner` (the user's) that root makes is given to the owner of the
  // directory it is made in.
  Hive(std::filesystem::path file, mode_t file_mode, mode_t dir_mode, bool has_views,
       bool for_its_owner)
      : file_(std::move(file)),
        file_mode_(file_mode),
        dir_mode_(dir_mode),
        has_views_(has_views),
        for_its_owner_(for_its_owner) {}
  ~Hive() { Close(); }
  Hive(const Hive&) = delete;
  Hive& operator=(const Hive&) = delete;

  bool has_views() const { return has_views_; }
  const std::filesystem::path& file() const { return file_; }
  // Changes whenever the cache is dropped: what was read under one generation is still so.
  std::uint64_t generation() const { return generation_; }

  // Whether this process may change the hive (its file, and the journal files beside it). Root
  // never writes through a symbolic link, nor a file of someone else's; no one adopts an empty
  // file of someone else's.
  bool Writable() const;

  // Runs `body(reader)` and returns what it returns.
  template <typename Body>
  auto Read(Body&& body) {
    // Lost changes are not read as if they had never been made: they fail until they end.
    if (changes_lost_) Fail(*changes_lost_);
    for (int attempt = 0;; ++attempt) {
      sqlite3* db = OpenForReading();
      // Under a stream of writes from elsewhere the cache may never settle; then go without.
      // What a transaction of changes has not committed yet is never kept.
      HiveReader reader(*this, db, /*use_cache=*/attempt < 2 && !changes_open_);
      try {
        auto result = body(reader);
        reader.Finish();
        // Read without the index: the answer holds only if no writer came meanwhile.
        if (alone_since_ && FileSignature() != *alone_since_) {
          Close();
          continue;
        }
        return result;
      } catch (const StaleCache&) {
        continue;
      } catch (...) {
        Forget(db);
        throw;
      }
    }
  }

  // Runs `body(db)` in a write transaction, committed when it returns kErrorSuccess and rolled
  // back otherwise. Between BeginChanges and the end of them, that transaction is a savepoint in
  // the one transaction of the changes.
  template <typename Body>
  RegStatus Write(Body&& body) {
    if (changes_) return WriteInChanges(body);
    sqlite3* db = OpenForWriting();
    Begin(db, "BEGIN IMMEDIATE");
    // A schema made in a transaction that does not commit is not there afterwards.
    const bool had_schema = initialized_;
    try {
      EnsureSchema(db);
      const RegStatus status = body(db);
      Exec(db, status == kErrorSuccess ? "COMMIT" : "ROLLBACK");
      if (status != kErrorSuccess) initialized_ = had_schema;
      if (status == kErrorSuccess && !had_schema) UseWal(db);
      return status;
    } catch (...) {
      initialized_ = had_schema;
      Forget(db);
      throw;
    }
  }

  // The writes that follow become one transaction, begun by the first of them and ended by
  // CommitChanges or AbandonChanges: see RegistryApi::BeginChanges.
  void BeginChanges() {
    changes_ = true;
    created_in_changes_.clear();
  }
  RegStatus CommitChanges();
  void AbandonChanges();

  Statement Prepare(sqlite3* db, const char* sql);

  // Copies the hive, as one committed state, into the new file `to` (0600), which replaces
  // `to` once whole. kErrorFileNotFound when the hive has no file or nothing in it.
  void Backup(const std::filesystem::path& to);
  // Replaces what the hive holds by what `from` holds, in one write: processes that have the
  // hive open see it at their next read. `from` must be a sound hive of ours (kErrorBadDb,
  // kErrorRegistryCorrupt otherwise), checked before anything is written. Not within changes.
  void Restore(const std::filesystem::path& from);

  // The keys created by the changes under way: they are gone if the changes do not commit, and
  // the keys created next may take their rows. Taken once the changes did not commit.
  void NoteCreated(sqlite3_int64 id) {
    if (changes_) created_in_changes_.insert(id);
  }
  std::set<sqlite3_int64> TakeCreatedInChanges() { return std::exchange(created_in_changes_, {}); }

  // Inside an operation the file at the path is compared with the open one, and the stamp read,
  // once rather than at every call; a write of this process reads the stamp again. An operation
  // that begins looks afresh, whatever others are under way; a call outside them always does.
  void BeginOperation() {
    ++operation_depth_;
    path_checked_ = stamp_checked_ = false;
  }
  void EndOperation() {
    if (--operation_depth_ == 0) path_checked_ = stamp_checked_ = false;
  }
  // Whether the calls that follow belong to an operation under way.
  void SetCallInOperation(bool in_operation) { call_in_operation_ = in_operation; }

 private:
  friend class HiveReader;

  sqlite3* OpenForReading();
  sqlite3* OpenForWriting();
  sqlite3* Open(bool create);
  void Create();
  // Whether the file at the path is no longer the one open.
  bool Replaced() const;
  // Gives the log and index beside the hive its mode and owner, where this process may.
  void MatchJournalFiles(const struct stat& hive) const;
  // Whether a reader that may not open the index can read the file alone: the file is in WAL
  // mode, its index is closed to this process and its log holds no frames.
  bool ReadableAlone() const;
  // What changes when anyone writes the file or its log.
  std::array<std::int64_t, 7> FileSignature() const;
  bool OwnedAsItShouldBe(const std::filesystem::path& file, bool must_exist,
                         bool any_owner = false) const;
  bool SafeForRoot(bool to_write) const;
  bool MadeHere() const;
  void UseWal(sqlite3* db);
  void EnsureSchema(sqlite3* db);
  bool HasSchema(sqlite3* db);
  static void Begin(sqlite3* db, const char* sql);
  static void Exec(sqlite3* db, const char* sql);
  template <typename Body>
  RegStatus WriteInChanges(Body& body) {
    if (changes_lost_) return *changes_lost_;
    sqlite3* db = db_;
    if (!changes_open_) {
      db = OpenForWriting();
      Begin(db, "BEGIN IMMEDIATE");
      changes_open_ = true;
      schema_before_changes_ = initialized_;
    }
    stamp_checked_ = false;
    const bool had_schema = initialized_;
    Exec(db, "SAVEPOINT change");
    try {
      EnsureSchema(db);
      const RegStatus status = body(db);
      if (status != kErrorSuccess) {
        Exec(db, "ROLLBACK TO change");
        initialized_ = had_schema;
      }
      Exec(db, "RELEASE change");
      // Listings read before it are no longer what the changes hold.
      if (status == kErrorSuccess) ++generation_;

      return status;
    } catch (const Failure& failure) {
      UndoChange(db, had_schema, failure.status);
      throw;
    } catch (...) {
      UndoChange(db, had_schema, kErrorRegistryIoFailed);
      throw;
    }
  }
  // After a change failed by throwing: undoes it alone, or, when SQLite has rolled back the
  // whole transaction already, records the changes as lost with `why`.
  void UndoChange(sqlite3* db, bool had_schema, RegStatus why);
  // Rolls the changes' transaction back; `lost` says why, when they did not end by choice.
  void EndChanges(sqlite3* db, std::optional<RegStatus> lost);

  // After a failure: leaves no transaction open, and drops the connection when the file turned
  // out to be damaged, so that the next call looks at it afresh. Within changes, only damage
  // ends their transaction.
  void Forget(sqlite3* db);
  void Close();

  // What changes with every commit: the file's change counter, and the header of the WAL index;
  // read off the files, also the file's size and time of change, which a rebuilt index header
  // cannot repeat.
  using Stamp = std::array<unsigned char, 80>;
  std::optional<Stamp> ReadStamp();
  // In a read transaction: whether the connection is in WAL mode with its index mapped.
  void LookForWalIndex(sqlite3* db);
  const unsigned char* MappedWalIndex();
  // Drops the cache unless `stamp` is the one the cache was filled under; true when it was kept.
  bool ValidateCache(const std::optional<Stamp>& stamp);
  bool Cacheable() const { return cache_stamp_.has_value(); }

  static int BusyWait(void* hive, int count);

  const std::filesystem::path file_;
  const mode_t file_mode_;
  const mode_t dir_mode_;
  const bool has_views_;
  const bool for_its_owner_;
  sqlite3* db_ = nullptr;
  bool read_write_ = false;  // how db_ was opened
  bool checked_ = false;     // quick_check passed on db_
  int file_fd_ = -1;         // the file again, to read its change counter without a lock
  int shm_fd_ = -1;          // the WAL index, likewise
  // The WAL index as SQLite maps it for db_, once looked for.
  enum class WalIndex { kUnknown, kMapped, kUnavailable };
  WalIndex wal_index_ = WalIndex::kUnknown;
  sqlite3_file* main_file_ = nullptr;  // db_'s, while kMapped
  // db_ reads the file alone (immutable), under this signature; opened again for every read.
  std::optional<std::array<std::int64_t, 7>> alone_since_;
  dev_t open_dev_ = 0;  // the file open, which the one at the path is compared with
  ino_t open_ino_ = 0;
  bool initialized_ = false;
  std::chrono::steady_clock::time_point busy_since_;
  struct Made {
    dev_t dev;
    ino_t ino;
    uid_t owner;
  };
  std::optional<Made> made_;  // the file this object made
  // By the SQL text itself; each text is a literal, which outlives the hive.
  struct Cached {
    sqlite3_stmt* stmt = nullptr;
    bool lent = false;
  };
  std::unordered_map<std::string_view, Cached> statements_;

  std::optional<Stamp> cache_stamp_;
  bool changes_ = false;       // between BeginChanges and their end
  bool changes_open_ = false;  // their transaction has begun on db_
  bool schema_before_changes_ = false;
  std::optional<RegStatus> changes_lost_;  // their transaction was rolled back, and why
  std::set<sqlite3_int64> created_in_changes_;
  int operation_depth_ = 0;
  bool call_in_operation_ = false;
  bool path_checked_ = false;   // in this operation
  bool stamp_checked_ = false;  // likewise, and not written since
  std::uint64_t generation_ = 0;
  std::unordered_map<std::string, sqlite3_int64> children_;             // parent id and folded name
  std::unordered_map<std::string, std::optional<CachedValue>> values_;  // key id and folded name
  std::unordered_map<sqlite3_int64, bool> alive_;                       // key id
  std::unordered_map<std::string, ResolvedPath> paths_;                 // see HiveReader::Walk
};

}  // namespace velmo::platform::hive

#endif  // VELMO_PLATFORM_SQLITE_HIVE_H_
