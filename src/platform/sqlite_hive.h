// One hive of the portable store: the connection to its SQLite file, the transactions on it, and
// the changes that span calls. The layers beneath keep apart what SQLite keeps apart: the file
// policy (hive_file_policy.h), the schema (hive_schema.h), statements (hive_statement.h), the
// read cache and its keys (hive_read_cache.h, hive_reader.h), the WAL stamp (hive_wal_stamp.h)
// and the transaction (hive_transaction.h).
//
// Fails by throwing Failure, which the registry call turns into its status; after a failure no
// transaction is left open but that of changes under way, and a damaged file is let go of. Not
// thread-safe: its owner (SqliteRegistry) calls it under one lock. Owns its connection, the
// descriptors it reads through and every statement it prepared.
#ifndef VELMO_PLATFORM_SQLITE_HIVE_H_
#define VELMO_PLATFORM_SQLITE_HIVE_H_

#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <utility>

#include "platform/hive_failure.h"
#include "platform/hive_file_policy.h"
#include "platform/hive_read_cache.h"
#include "platform/hive_reader.h"
#include "platform/hive_schema.h"
#include "platform/hive_statement.h"
#include "platform/hive_test_hooks.h"
#include "platform/hive_transaction.h"
#include "platform/hive_wal_stamp.h"
#include "platform/registry_api.h"

namespace velmo::platform::hive {

class Hive {
 public:
  // `file_mode`, `dir_mode` and `for_its_owner` as FilePolicy takes them. A hive `has_views`
  // when it is the machine's, with a 32-bit view.
  Hive(std::filesystem::path file, mode_t file_mode, mode_t dir_mode, bool has_views,
       bool for_its_owner)
      : has_views_(has_views),
        policy_(file, file_mode, dir_mode, for_its_owner),
        stamp_(std::move(file)) {}
  ~Hive() { Close(); }
  Hive(const Hive&) = delete;
  Hive& operator=(const Hive&) = delete;

  bool has_views() const { return has_views_; }
  const std::filesystem::path& file() const { return policy_.file(); }
  // Changes whenever what was read may have changed: what was read under one generation is
  // still so.
  std::uint64_t generation() const { return cache_.generation(); }

  // See FilePolicy::Writable.
  bool Writable() const { return policy_.Writable(); }

  // Runs `body(reader)` and returns what it returns.
  template <typename Body>
  auto Read(Body&& body) {
    // Lost changes are not read as if they had never been made: they fail until they end.
    if (changes_lost_) Fail(*changes_lost_);
    for (int attempt = 0;; ++attempt) {
      sqlite3* db = OpenForReading();
      // Under a stream of writes from elsewhere the cache may never settle; then go without.
      // What a transaction of changes has not committed yet is never kept.
      const bool in_changes = changes_.is_open();
      HiveReader reader(db, cache_, stamp_, statements_, in_changes,
                        /*use_cache=*/attempt < 2 && !in_changes);
      ForgetOnFailure forget(*this, db, &reader);
      try {
        auto result = body(reader);
        reader.Finish();
        forget.Dismiss();
        // Read without the index: the answer holds only if no writer came meanwhile.
        if (alone_since_ && stamp_.FileSignature() != *alone_since_) {
          Close();
          continue;
        }
        return result;
      } catch (const StaleCache&) {
        forget.Dismiss();
        continue;
      }
    }
  }

  // Runs `body(db)` in a write transaction, committed when it returns kErrorSuccess and rolled
  // back otherwise. Between BeginChanges and the end of them, that transaction is a savepoint in
  // the one transaction of the changes.
  template <typename Body>
  RegStatus Write(Body&& body) {
    if (changes_requested_) return WriteInChanges(body);
    sqlite3* db = OpenForWriting();
    // A schema made in a transaction that does not commit is not there afterwards.
    Transaction write(db, Transaction::Kind::kWrite, &schema_known_);
    ForgetOnFailure forget(*this, db, &write);
    EnsureSchema(db);
    const RegStatus status = body(db);
    if (status == kErrorSuccess) Check(write.Commit());
    forget.Dismiss();
    if (status == kErrorSuccess && !write.restore_value()) UseWal(db);
    return status;
  }

  // The writes that follow become one transaction, begun by the first of them and ended by
  // CommitChanges or AbandonChanges: see RegistryApi::BeginChanges.
  void BeginChanges() {
    changes_requested_ = true;
    created_in_changes_.clear();
  }
  RegStatus CommitChanges();
  void AbandonChanges();

  Statement Prepare(sqlite3* db, const char* sql) { return statements_.Prepare(db, sql); }

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
    if (changes_requested_) created_in_changes_.insert(id);
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
  sqlite3* OpenForReading();
  sqlite3* OpenForWriting();
  sqlite3* Open(bool create);
  // Whether the file at the path is no longer the one open.
  bool Replaced() const;
  void UseWal(sqlite3* db);
  void EnsureSchema(sqlite3* db);
  template <typename Body>
  RegStatus WriteInChanges(Body& body) {
    if (changes_lost_) return *changes_lost_;
    if (!changes_.is_open()) {
      sqlite3* db = OpenForWriting();
      changes_ = Transaction(db, Transaction::Kind::kWrite, &schema_known_);
    }
    sqlite3* db = db_;
    stamp_checked_ = false;
    Transaction change(db, Transaction::Kind::kSavepoint, &schema_known_);
    try {
      EnsureSchema(db);
      const RegStatus status = body(db);
      if (status != kErrorSuccess) {
        if (!change.Rollback()) {
          const RegStatus why = StatusOfSqlite(sqlite3_errcode(db));
          EndChanges(why);
          Fail(why);
        }
        return status;
      }
      Check(change.Commit());
      // Listings read before it are no longer what the changes hold.
      cache_.NextGeneration();
      return status;
    } catch (const Failure& failure) {
      if (!change.Rollback()) EndChanges(failure.status);
      throw;
    } catch (...) {
      if (!change.Rollback()) EndChanges(kErrorRegistryIoFailed);
      throw;
    }
  }
  // Rolls the changes' transaction back; `lost` says why, when they did not end by choice.
  void EndChanges(std::optional<RegStatus> lost);

  // After a failure: leaves no transaction open (`open`, when given, is rolled back), and drops
  // the connection when the file turned out to be damaged, so that the next call looks at it
  // afresh. Within changes, only damage ends their transaction.
  void Forget(sqlite3* db, Transaction* open = nullptr);
  // Forgets `db` as above unless dismissed before it goes, as when an exception leaves the scope
  // it guards: the reader's snapshot or the transaction `open` first, before the connection may
  // close.
  class ForgetOnFailure {
   public:
    ForgetOnFailure(Hive& hive, sqlite3* db, HiveReader* reader)
        : hive_(hive), db_(db), reader_(reader) {}
    ForgetOnFailure(Hive& hive, sqlite3* db, Transaction* open = nullptr)
        : hive_(hive), db_(db), open_(open) {}
    ~ForgetOnFailure() {
      if (dismissed_) return;
      if (reader_ != nullptr) reader_->Abandon();
      hive_.Forget(db_, open_);
    }
    ForgetOnFailure(const ForgetOnFailure&) = delete;
    ForgetOnFailure& operator=(const ForgetOnFailure&) = delete;
    void Dismiss() { dismissed_ = true; }

   private:
    Hive& hive_;
    sqlite3* const db_;
    HiveReader* const reader_ = nullptr;
    Transaction* const open_ = nullptr;
    bool dismissed_ = false;
  };
  void Close();

  static int BusyWait(void* hive, int count);

  const bool has_views_;
  FilePolicy policy_;
  WalStamp stamp_;
  ReadCache cache_;
  StatementCache statements_;

  sqlite3* db_ = nullptr;
  bool read_write_ = false;    // how db_ was opened
  bool checked_ = false;       // quick_check passed on db_
  bool schema_known_ = false;  // db_'s file holds our tables
  // db_ reads the file alone (immutable), under this signature; opened again for every read.
  std::optional<Signature> alone_since_;
  dev_t open_dev_ = 0;  // the file open, which the one at the path is compared with
  ino_t open_ino_ = 0;
  std::chrono::steady_clock::time_point busy_since_;

  bool changes_requested_ = false;         // between BeginChanges and their end
  Transaction changes_;                    // their transaction, once the first write began it
  std::optional<RegStatus> changes_lost_;  // their transaction was rolled back, and why
  std::set<sqlite3_int64> created_in_changes_;

  int operation_depth_ = 0;
  bool call_in_operation_ = false;
  bool path_checked_ = false;   // in this operation
  bool stamp_checked_ = false;  // likewise, and not written since
};

}  // namespace velmo::platform::hive

#endif  // VELMO_PLATFORM_SQLITE_HIVE_H_
