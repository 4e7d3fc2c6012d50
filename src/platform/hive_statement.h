// Prepared statements of a hive's connection, and SQLite's results as the seam's statuses.
//
// A Statement is lent by its connection's StatementCache and given back, reset, when it goes out
// of scope; asked for while the cached one is out on loan, it is one of its own, finalized then:
// two loans of one statement would reset each other's rows. Fails by throwing Failure with the
// status of SQLite's result. A cache and its statements are used by one thread at a time, under
// their hive's lock, and the cache is cleared before its connection closes.
#ifndef VELMO_PLATFORM_HIVE_STATEMENT_H_
#define VELMO_PLATFORM_HIVE_STATEMENT_H_

#include <sqlite3.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/registry_api.h"

namespace velmo::platform::hive {

// SQLite's result code `rc` as a status; `db`, when given, tells why a file could not be opened.
RegStatus StatusOfSqlite(int rc, sqlite3* db = nullptr);
// Fails with the status of `rc` unless it is SQLITE_OK.
void Check(int rc, sqlite3* db = nullptr);
// Runs `sql`, which returns no rows.
void Exec(sqlite3* db, const char* sql);
// The first column of the first row of `sql`, as text; kErrorBadDb when there is no row.
std::string FirstText(sqlite3* db, const char* sql);

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

class StatementCache {
 public:
  StatementCache() = default;
  ~StatementCache() { Clear(); }
  StatementCache(const StatementCache&) = delete;
  StatementCache& operator=(const StatementCache&) = delete;

  // `sql` is a literal, which outlives the cache: it is kept by its address and length.
  Statement Prepare(sqlite3* db, const char* sql);
  // Finalizes every statement; none may be out on loan.
  void Clear();

 private:
  struct Cached {
    sqlite3_stmt* stmt = nullptr;
    bool lent = false;
  };
  std::unordered_map<std::string_view, Cached> statements_;
};

}  // namespace velmo::platform::hive

#endif  // VELMO_PLATFORM_HIVE_STATEMENT_H_
