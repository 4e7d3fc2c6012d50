#include "platform/hive_transaction.h"

#include <utility>

#include "platform/hive_statement.h"

namespace velmo::platform::hive {

namespace {

// One name serves: savepoints are never nested here.
constexpr const char* kBegin[] = {"BEGIN", "BEGIN IMMEDIATE", "SAVEPOINT change"};

}  // namespace

Transaction::Transaction(sqlite3* db, Kind kind, bool* restore)
    : kind_(kind), restore_(restore), restore_value_(restore != nullptr && *restore) {
  Exec(db, kBegin[static_cast<int>(kind)]);
  db_ = db;
}

Transaction& Transaction::operator=(Transaction&& other) noexcept {
  if (this != &other) {
    Rollback();
    db_ = std::exchange(other.db_, nullptr);
    kind_ = other.kind_;
    restore_ = other.restore_;
    restore_value_ = other.restore_value_;
  }
  return *this;
}

int Transaction::Commit() {
  const int rc = sqlite3_exec(db_, kind_ == Kind::kSavepoint ? "RELEASE change" : "COMMIT", nullptr,
                              nullptr, nullptr);
  if (rc == SQLITE_OK) db_ = nullptr;
  return rc;
}

bool Transaction::Rollback() noexcept {
  if (db_ == nullptr) return true;
  sqlite3* const db = std::exchange(db_, nullptr);
  bool undone = true;
  if (kind_ == Kind::kSavepoint) {
    undone = !sqlite3_get_autocommit(db) && sqlite3_exec(db, "ROLLBACK TO change; RELEASE change",
                                                         nullptr, nullptr, nullptr) == SQLITE_OK;
  } else if (!sqlite3_get_autocommit(db)) {
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  if (undone && restore_ != nullptr) *restore_ = restore_value_;
  return undone;
}

}  // namespace velmo::platform::hive
