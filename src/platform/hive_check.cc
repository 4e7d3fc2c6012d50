#include "platform/hive_check.h"

#include <sqlite3.h>

namespace velmo::platform {

std::string QuickCheckHive(const std::filesystem::path& file) {
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOFOLLOW, nullptr);
  std::string answer;
  if (rc == SQLITE_OK) {
    sqlite3_busy_timeout(db, 2000);
    sqlite3_stmt* stmt = nullptr;
    rc = sqlite3_prepare_v2(db, "PRAGMA quick_check", -1, &stmt, nullptr);
    // One row "ok", or one row per fault found.
    while (rc == SQLITE_OK && sqlite3_step(stmt) == SQLITE_ROW) {
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
      if (!answer.empty()) answer += "; ";
      answer += text != nullptr ? text : "";
    }
    if (rc == SQLITE_OK) rc = sqlite3_finalize(stmt);
  }
  if (rc != SQLITE_OK) answer = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
  sqlite3_close(db);
  return answer.empty() ? "no answer" : answer;
}

}  // namespace velmo::platform
