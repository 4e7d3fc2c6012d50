#include "platform/hive_schema.h"

#include "platform/hive_failure.h"
#include "platform/hive_statement.h"

namespace velmo::platform::hive {

namespace {

constexpr int kApplicationId = 0x564C4D4F;  // "VLMO" in the file header marks a hive of ours.
constexpr int kSchemaVersion = 1;

}  // namespace

bool HasSchema(sqlite3* db) {
  // A write transaction has given an empty file its first page already.
  const bool writing = !sqlite3_get_autocommit(db);
  sqlite3_stmt* stmt = nullptr;
  Check(sqlite3_prepare_v2(db,
                           "SELECT (SELECT application_id FROM pragma_application_id),"
                           " (SELECT user_version FROM pragma_user_version),"
                           " (SELECT count(*) FROM sqlite_master),"
                           " (SELECT page_count FROM pragma_page_count)",
                           -1, &stmt, nullptr));
  const int rc = sqlite3_step(stmt);
  const sqlite3_int64 id = sqlite3_column_int64(stmt, 0);
  const sqlite3_int64 version = sqlite3_column_int64(stmt, 1);
  const sqlite3_int64 objects = sqlite3_column_int64(stmt, 2);
  const sqlite3_int64 pages = sqlite3_column_int64(stmt, 3);
  sqlite3_finalize(stmt);
  if (rc != SQLITE_ROW) Fail(StatusOfSqlite(rc));
  if (objects == 0 && (pages == 0 || writing || id == kApplicationId)) return false;
  if (id != kApplicationId || version != kSchemaVersion) Fail(kErrorBadDb);
  return true;
}

void CreateSchema(sqlite3* db) {
  Exec(db,
       "PRAGMA application_id = 1447841103;"
       "PRAGMA user_version = 1;"
       // Values are listed in the order they were first set, as the Windows registry does; the
       // rowid keeps that order because a later write updates the row in place.
       "CREATE TABLE keys (id INTEGER PRIMARY KEY AUTOINCREMENT,"
       " parent INTEGER REFERENCES keys(id) ON DELETE CASCADE,"
       " name TEXT NOT NULL, fold BLOB NOT NULL);"
       "CREATE UNIQUE INDEX keys_by_name ON keys (parent, fold);"
       "CREATE TABLE vals (key INTEGER NOT NULL REFERENCES keys(id) ON DELETE CASCADE,"
       " name TEXT NOT NULL, fold BLOB NOT NULL, type INTEGER NOT NULL, data BLOB NOT NULL,"
       " UNIQUE (key, fold));"
       "INSERT INTO keys (id, parent, name, fold) VALUES (1, NULL, '', x'');");
  static_assert(kApplicationId == 1447841103 && kSchemaVersion == 1 && kRootKeyId == 1);
}

void CheckIsSoundHive(sqlite3* db) {
  if (FirstText(db,
                "SELECT (SELECT application_id FROM pragma_application_id) = 1447841103 AND"
                " (SELECT user_version FROM pragma_user_version) = 1 AND"
                " (SELECT count(*) FROM sqlite_master WHERE type = 'table' AND"
                " name IN ('keys', 'vals')) = 2") != "1") {
    Fail(kErrorBadDb);
  }
  if (FirstText(db, "PRAGMA quick_check(1)") != "ok") Fail(kErrorRegistryCorrupt);
}

}  // namespace velmo::platform::hive
