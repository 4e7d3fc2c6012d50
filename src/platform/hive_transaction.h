// One transaction of a hive's connection, or one savepoint within it, rolled back when it goes
// out of scope uncommitted.
//
// Beginning fails by throwing Failure; Commit returns SQLite's result and leaves the transaction
// open when it fails; rolling back never fails. `restore`, when given, is the connection's
// knowledge of its schema, which the writes of the transaction may change: rolling back puts it
// back as it was when the transaction began. Owned and used by one thread at a time, under the
// hive's lock; the connection must outlive the transaction unless it is dropped first.
#ifndef VELMO_PLATFORM_HIVE_TRANSACTION_H_
#define VELMO_PLATFORM_HIVE_TRANSACTION_H_

#include <sqlite3.h>

namespace velmo::platform::hive {

class Transaction {
 public:
  enum class Kind {
    kRead,       // BEGIN: a snapshot for reading
    kWrite,      // BEGIN IMMEDIATE: the write lock, taken at once
    kSavepoint,  // a savepoint in the transaction under way
  };

  Transaction() = default;  // none
  Transaction(sqlite3* db, Kind kind, bool* restore = nullptr);
  ~Transaction() { Rollback(); }
  Transaction(Transaction&& other) noexcept { *this = static_cast<Transaction&&>(other); }
  Transaction& operator=(Transaction&& other) noexcept;
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  bool is_open() const { return db_ != nullptr; }
  // What `*restore` was when the transaction began.
  bool restore_value() const { return restore_value_; }

  // COMMIT, or RELEASE of a savepoint: SQLITE_OK, and the transaction is over.
  int Commit();
  // Undoes what the transaction wrote. For a savepoint, false when it could not be undone alone
  // (SQLite has rolled back the whole transaction, or the rollback failed); `*restore` is then
  // left to the enclosing transaction.
  bool Rollback() noexcept;
  // The connection is closing, which ends the transaction: forgets it without a word to SQLite.
  void Drop() noexcept { db_ = nullptr; }

 private:
  sqlite3* db_ = nullptr;
  Kind kind_ = Kind::kRead;
  bool* restore_ = nullptr;
  bool restore_value_ = false;
};

}  // namespace velmo::platform::hive

#endif  // VELMO_PLATFORM_HIVE_TRANSACTION_H_
