#include "platform/sqlite_hive.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include <unicode/uchar.h>
#include <unicode/utf16.h>

namespace velmo::platform::hive {
namespace {

constexpr int kApplicationId = 0x564C4D4F;  // "VLMO" in the file header marks a hive of ours.
constexpr int kSchemaVersion = 1;
constexpr int kBusyTimeoutMs = 15000;
constexpr size_t kCacheLimit = 8192;  // entries of each map; past it the map starts again

RegStatus StatusOfSqlite(int rc) {
  switch (rc & 0xFF) {
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
    case SQLITE_CANTOPEN:
      return kErrorAccessDenied;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_FORMAT:
      return kErrorBadDb;
    case SQLITE_NOMEM:
      return kErrorOutOfMemory;
    default:
      return kErrorRegistryIoFailed;
  }
}

void Check(int rc) {
  if (rc != SQLITE_OK) Fail(StatusOfSqlite(rc));
}

int Bytes(size_t size) {
  if (size > 0x7FFFFFFF) Fail(kErrorInvalidParameter);
  return static_cast<int>(size);
}

RegStatus StatusOfErrno(int error) {
  return error == EACCES || error == EPERM || error == EROFS ? kErrorAccessDenied
                                                             : kErrorRegistryIoFailed;
}

// Makes the missing directories above `file`, each with `mode`.
void MakeParentDirectories(const std::filesystem::path& file, mode_t mode) {
  std::filesystem::path dir;
  for (const auto& part : file.parent_path()) {
    dir /= part;
    if (::mkdir(dir.c_str(), mode) != 0 && errno != EEXIST) Fail(StatusOfErrno(errno));
  }
}

// Whether this process could create a file in the directory of `file`, or in the nearest
// directory above it that exists.
bool DirectoryWritable(const std::filesystem::path& file) {
  std::filesystem::path dir = file.parent_path();
  std::error_code ignored;
  while (!dir.empty() && !std::filesystem::exists(dir, ignored) && dir != dir.parent_path()) {
    dir = dir.parent_path();
  }
  if (dir.empty()) dir = ".";
  return ::access(dir.c_str(), W_OK | X_OK) == 0;
}

std::string CacheKey(sqlite3_int64 id, std::u16string_view name) {
  std::string key(reinterpret_cast<const char*>(&id), sizeof id);
  return key + Fold(name);
}

}  // namespace

void Fail(RegStatus status) { throw Failure{status}; }

std::string Fold(std::u16string_view name) {
  std::string out;
  out.reserve(name.size() * 2);
  for (char16_t unit : name) {
    // Windows upper-cases each UTF-16 unit alone: a surrogate is not a character, and a letter
    // outside the first plane keeps its case.
    if (unit >= u'a' && unit <= u'z') {
      unit = static_cast<char16_t>(unit - u'a' + u'A');
    } else if (unit >= 0x80 && !U16_IS_SURROGATE(unit)) {
      const UChar32 upper = u_toupper(unit);
      if (upper <= 0xFFFF) unit = static_cast<char16_t>(upper);
    }
    out.push_back(static_cast<char>(unit & 0xFF));
    out.push_back(static_cast<char>(unit >> 8));
  }
  return out;
}

// ---- Statement

Statement::~Statement() {
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
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

// ---- HiveReader

HiveReader::~HiveReader() {
  if (in_transaction_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
}

void HiveReader::Begin() {
  if (in_transaction_) return;
  Hive::Begin(db_, "BEGIN");
  in_transaction_ = true;
  // The first read takes the shared lock; from then on no one can change the file, so its
  // counter now is the one of this transaction's snapshot.
  hive_.Prepare(db_, "SELECT 1 FROM keys WHERE id = 1").Step();
  if (!hive_.ValidateCache() && served_from_cache_) throw StaleCache{};
}

void HiveReader::Finish() {
  if (!in_transaction_) return;
  in_transaction_ = false;
  Hive::Exec(db_, "COMMIT");
}

Statement HiveReader::Prepare(const char* sql) {
  Begin();
  return hive_.Prepare(db_, sql);
}

sqlite3_int64 HiveReader::Child(sqlite3_int64 parent, std::u16string_view name) {
  if (db_ == nullptr) return 0;
  std::string key = CacheKey(parent, name);
  if (use_cache_ && !in_transaction_) {
    if (const auto it = hive_.children_.find(key); it != hive_.children_.end()) {
      served_from_cache_ = true;
      return it->second;
    }
  }
  Statement find = Prepare("SELECT id FROM keys WHERE parent = ?1 AND fold = ?2");
  find.Bind(1, parent).BindBlob(2, key.substr(sizeof parent));
  const sqlite3_int64 id = find.Step() ? find.Int(0) : 0;
  if (use_cache_ && hive_.Cacheable()) {
    if (hive_.children_.size() >= kCacheLimit) hive_.children_.clear();
    hive_.children_.insert_or_assign(std::move(key), id);
  }
  return id;
}

bool HiveReader::Alive(sqlite3_int64 key) {
  if (key == kRootKeyId) return true;
  if (db_ == nullptr) return false;
  if (use_cache_ && !in_transaction_) {
    if (const auto it = hive_.alive_.find(key); it != hive_.alive_.end()) {
      served_from_cache_ = true;
      return it->second;
    }
  }
  Statement find = Prepare("SELECT 1 FROM keys WHERE id = ?1");
  find.Bind(1, key);
  const bool alive = find.Step();
  if (use_cache_ && hive_.Cacheable()) {
    if (hive_.alive_.size() >= kCacheLimit) hive_.alive_.clear();
    hive_.alive_.insert_or_assign(key, alive);
  }
  return alive;
}

std::optional<CachedValue> HiveReader::Find(sqlite3_int64 key, std::u16string_view name) {
  if (db_ == nullptr) return std::nullopt;
  std::string cache_key = CacheKey(key, name);
  if (use_cache_ && !in_transaction_) {
    if (const auto it = hive_.values_.find(cache_key); it != hive_.values_.end()) {
      served_from_cache_ = true;
      return it->second;
    }
  }
  Statement find = Prepare("SELECT type, data FROM vals WHERE key = ?1 AND fold = ?2");
  find.Bind(1, key).BindBlob(2, cache_key.substr(sizeof key));
  std::optional<CachedValue> value;
  if (find.Step()) value = CachedValue{static_cast<std::uint32_t>(find.Int(0)), find.Blob(1)};
  if (use_cache_ && hive_.Cacheable()) {
    if (hive_.values_.size() >= kCacheLimit) hive_.values_.clear();
    hive_.values_.insert_or_assign(std::move(cache_key), value);
  }
  return value;
}

// ---- Hive

bool Hive::Writable() const {
  if (!DirectoryWritable(file_)) return false;
  return ::access(file_.c_str(), W_OK) == 0 || errno == ENOENT;
}

Statement Hive::Prepare(sqlite3* db, const char* sql) {
  sqlite3_stmt*& stmt = statements_[sql];
  if (stmt == nullptr) {
    const int rc = sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
    if (rc != SQLITE_OK) {
      statements_.erase(sql);
      Fail(StatusOfSqlite(rc));
    }
  }
  return Statement(stmt);
}

void Hive::Begin(sqlite3* db, const char* sql) { Exec(db, sql); }

void Hive::Exec(sqlite3* db, const char* sql) {
  Check(sqlite3_exec(db, sql, nullptr, nullptr, nullptr));
}

sqlite3* Hive::OpenForReading() {
  sqlite3* db = Open(/*create=*/false);
  if (db == nullptr) return nullptr;
  if (!initialized_) initialized_ = HasSchema(db);
  if (!initialized_) return nullptr;
  ValidateCache();
  return db;
}

sqlite3* Hive::OpenForWriting() {
  if (!Writable()) Fail(kErrorAccessDenied);
  sqlite3* db = Open(/*create=*/true);
  // Takes effect only while the file is still empty; names then keep their exact code units.
  if (!initialized_) Exec(db, "PRAGMA encoding = 'UTF-16le'");
  return db;
}

sqlite3* Hive::Open(bool create) {
  if (db_ != nullptr) return db_;
  struct stat st {};
  if (::stat(file_.c_str(), &st) != 0) {
    if (errno != ENOENT) Fail(StatusOfErrno(errno));
    if (!create) return nullptr;
    MakeParentDirectories(file_, dir_mode_);
    // Made here rather than by SQLite so that the file gets this hive's permissions; an empty
    // file is an empty database.
    const int fd = ::open(file_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, file_mode_);
    if (fd < 0 && errno != EEXIST) Fail(StatusOfErrno(errno));
    if (fd >= 0) ::close(fd);
  } else if (!S_ISREG(st.st_mode)) {
    Fail(kErrorBadDb);
  }

  sqlite3* db = nullptr;
  const int rc =
      sqlite3_open_v2(file_.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    sqlite3_close_v2(db);
    Fail(StatusOfSqlite(rc));
  }
  try {
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    sqlite3_db_config(db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
    sqlite3_db_config(db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
    // A rollback journal rather than WAL: a WAL database cannot be read by a process that may
    // not create its -shm file, which is every ordinary user of a machine hive owned by root.
    // FULL syncs the journal before the database is touched and the database before the
    // journal goes, so a returned write survives a crash of the process or of the machine.
    Exec(db, "PRAGMA synchronous = FULL; PRAGMA foreign_keys = ON");
    initialized_ = HasSchema(db);
  } catch (...) {
    sqlite3_close_v2(db);
    throw;
  }
  db_ = db;
  counter_fd_ = ::open(file_.c_str(), O_RDONLY | O_CLOEXEC);
  return db_;
}

// Whether the file holds our tables. An empty database holds nothing yet; a database holding
// anything else is not a hive and is left alone.
bool Hive::HasSchema(sqlite3* db) {
  sqlite3_stmt* stmt = nullptr;
  Check(sqlite3_prepare_v2(db,
                           "SELECT (SELECT application_id FROM pragma_application_id),"
                           " (SELECT user_version FROM pragma_user_version),"
                           " (SELECT count(*) FROM sqlite_master)",
                           -1, &stmt, nullptr));
  const int rc = sqlite3_step(stmt);
  const sqlite3_int64 id = sqlite3_column_int64(stmt, 0);
  const sqlite3_int64 version = sqlite3_column_int64(stmt, 1);
  const sqlite3_int64 objects = sqlite3_column_int64(stmt, 2);
  sqlite3_finalize(stmt);
  if (rc != SQLITE_ROW) Fail(StatusOfSqlite(rc));
  if (objects == 0) return false;
  if (id != kApplicationId || version != kSchemaVersion) Fail(kErrorBadDb);
  return true;
}

void Hive::EnsureSchema(sqlite3* db) {
  if (initialized_) return;
  // Another process may have made it between our look and our lock.
  if (HasSchema(db)) {
    initialized_ = true;
    return;
  }
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
  initialized_ = true;
}

void Hive::Forget(sqlite3* db) {
  if (db == nullptr) return;
  const int rc = sqlite3_errcode(db) & 0xFF;
  // A failed COMMIT may leave the transaction open; never leave it so.
  if (!sqlite3_get_autocommit(db)) sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
  cache_counter_.reset();
  if (rc == SQLITE_CORRUPT || rc == SQLITE_NOTADB) Close();
}

void Hive::Close() {
  for (auto& [sql, stmt] : statements_) sqlite3_finalize(stmt);
  statements_.clear();
  if (db_ != nullptr) sqlite3_close_v2(db_);
  db_ = nullptr;
  if (counter_fd_ >= 0) ::close(counter_fd_);
  counter_fd_ = -1;
  initialized_ = false;
  cache_counter_.reset();
}

// SQLite increments the change counter (offset 24 of the header) in every transaction that
// changes the file, and writes it with the rest of the transaction. Reading it unlocked is
// enough: a write whose call returned before this read began has its counter in the file, and
// a write still in progress cannot yet be expected. A counter that did not move means nothing
// committed since the cache was filled, so the cache is exactly as coherent as the file.
bool Hive::ValidateCache() {
  unsigned char bytes[4];
  std::optional<std::uint32_t> counter;
  if (counter_fd_ >= 0 && ::pread(counter_fd_, bytes, 4, 24) == 4) {
    counter = std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16 |
              std::uint32_t{bytes[2]} << 8 | bytes[3];
  }
  const bool kept = counter && counter == cache_counter_;
  if (!kept) {
    ++generation_;
    children_.clear();
    values_.clear();
    alive_.clear();
  }
  cache_counter_ = counter;
  return kept;
}

}  // namespace velmo::platform::hive
