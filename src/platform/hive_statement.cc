#include "platform/hive_statement.h"

#include "platform/hive_failure.h"

namespace velmo::platform::hive {

namespace {

int Bytes(size_t size) {
  if (size > 0x7FFFFFFF) Fail(kErrorInvalidParameter);
  return static_cast<int>(size);
}

}  // namespace

RegStatus StatusOfSqlite(int rc, sqlite3* db) {
  switch (rc & 0xFF) {
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
      return kErrorAccessDenied;
    case SQLITE_CANTOPEN:
      return db != nullptr ? StatusOfErrno(sqlite3_system_errno(db)) : kErrorAccessDenied;
    case SQLITE_NOTADB:
    case SQLITE_FORMAT:
      return kErrorBadDb;
    case SQLITE_CORRUPT:
      return kErrorRegistryCorrupt;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return kErrorBusy;
    case SQLITE_NOMEM:
      return kErrorOutOfMemory;
    default:
      return kErrorRegistryIoFailed;
  }
}

void Check(int rc, sqlite3* db) {
  if (rc != SQLITE_OK) Fail(StatusOfSqlite(rc, db));
}

void Exec(sqlite3* db, const char* sql) { Check(sqlite3_exec(db, sql, nullptr, nullptr, nullptr)); }

std::string FirstText(sqlite3* db, const char* sql) {
  sqlite3_stmt* stmt = nullptr;
  Check(sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr), db);
  const int rc = sqlite3_step(stmt);
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
  std::string result = text != nullptr ? text : "";
  sqlite3_finalize(stmt);
  if (rc != SQLITE_ROW) Fail(rc == SQLITE_DONE ? kErrorBadDb : StatusOfSqlite(rc, db));
  return result;
}

Statement::~Statement() {
  if (lent_ == nullptr) {
    sqlite3_finalize(stmt_);
    return;
  }
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
  *lent_ = false;
}

Statement& Statement::Bind(int index, sqlite3_int64 value) {
  Check(sqlite3_bind_int64(stmt_, index, value));
  return *this;
}

Statement& Statement::BindText(int index, std::u16string_view text) {
  Check(sqlite3_bind_text16(stmt_, index, text.data(), Bytes(text.size() * 2), SQLITE_TRANSIENT));
  return *this;
}

Statement& Statement::BindBlob(int index, const void* data, size_t size) {
  // A null pointer would bind NULL rather than an empty blob.
  Check(size == 0 ? sqlite3_bind_zeroblob(stmt_, index, 0)
                  : sqlite3_bind_blob(stmt_, index, data, Bytes(size), SQLITE_TRANSIENT));
  return *this;
}

bool Statement::Step() {
  const int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  Fail(StatusOfSqlite(rc));
}

std::u16string Statement::Text(int column) {
  const auto* text = static_cast<const char16_t*>(sqlite3_column_text16(stmt_, column));
  const size_t bytes = static_cast<size_t>(sqlite3_column_bytes16(stmt_, column));
  if (text == nullptr && sqlite3_errcode(sqlite3_db_handle(stmt_)) == SQLITE_NOMEM) {
    Fail(kErrorOutOfMemory);
  }
  return text == nullptr ? std::u16string() : std::u16string(text, bytes / 2);
}

std::string Statement::Blob(int column) {
  const auto* data = static_cast<const char*>(sqlite3_column_blob(stmt_, column));
  const size_t size = static_cast<size_t>(sqlite3_column_bytes(stmt_, column));
  if (data == nullptr && size == 0 && sqlite3_errcode(sqlite3_db_handle(stmt_)) == SQLITE_NOMEM) {
    Fail(kErrorOutOfMemory);
  }
  return data == nullptr ? std::string() : std::string(data, size);
}

Statement StatementCache::Prepare(sqlite3* db, const char* sql) {
  Cached& cached = statements_[sql];
  if (cached.lent) {
    sqlite3_stmt* own = nullptr;
    const int rc = sqlite3_prepare_v2(db, sql, -1, &own, nullptr);
    if (rc != SQLITE_OK) Fail(StatusOfSqlite(rc));
    return Statement(own, nullptr);
  }
  if (cached.stmt == nullptr) {
    const int rc =
        sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &cached.stmt, nullptr);
    if (rc != SQLITE_OK) {
      statements_.erase(sql);
      Fail(StatusOfSqlite(rc));
    }
  }
  return Statement(cached.stmt, &cached.lent);
}

void StatementCache::Clear() {
  for (auto& [sql, cached] : statements_) sqlite3_finalize(cached.stmt);
  statements_.clear();
}

}  // namespace velmo::platform::hive
