#include "platform/sqlite_hive.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unicode/uchar.h>
#include <unicode/utf16.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <random>
#include <system_error>
#include <thread>

namespace velmo::platform::hive {

namespace {

constexpr int kApplicationId = 0x564C4D4F;  // "VLMO" in the file header marks a hive of ours.
constexpr int kSchemaVersion = 1;
constexpr auto kBusyTimeout = std::chrono::milliseconds(15000);
constexpr size_t kCacheLimit = 8192;  // entries of each map; past it the map starts again
// What is longer is read again each time rather than kept, so that the maps stay within a few
// tens of megabytes whatever is asked: settings are short, while a value may hold megabytes and a
// path 512 levels of 255 characters.
constexpr size_t kCachedBytesLimit = 4096;
// SQLite maps the WAL index in regions of this size; its header leads the first.
constexpr int kWalIndexRegion = 32768;
constexpr size_t kWalIndexHeader = 48;

RegStatus StatusOfErrno(int error) {
  return error == EACCES || error == EPERM || error == EROFS ? kErrorAccessDenied
                                                             : kErrorRegistryIoFailed;
}

RegStatus StatusOfSqlite(int rc, sqlite3* db = nullptr) {
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

void Check(int rc, sqlite3* db = nullptr) {
  if (rc != SQLITE_OK) Fail(StatusOfSqlite(rc, db));
}

int Bytes(size_t size) {
  if (size > 0x7FFFFFFF) Fail(kErrorInvalidParameter);
  return static_cast<int>(size);
}

// The nearest directory above `file` that exists.
std::filesystem::path ExistingParent(const std::filesystem::path& file) {
  std::filesystem::path dir = file.parent_path();
  std::error_code ignored;
  while (!dir.empty() && !std::filesystem::exists(dir, ignored) && dir != dir.parent_path()) {
    dir = dir.parent_path();
  }
  return dir.empty() ? "." : dir;
}

// Makes the missing directories above `file`, each with `mode` and belonging to `owner`.
void MakeParentDirectories(const std::filesystem::path& file, mode_t mode, uid_t owner) {
  std::filesystem::path dir;
  for (const auto& part : file.parent_path()) {
    dir /= part;
    if (::mkdir(dir.c_str(), mode) != 0) {
      if (errno != EEXIST) Fail(StatusOfErrno(errno));
      continue;
    }
    // mkdir leaves out what the umask takes away.
    if (::chmod(dir.c_str(), mode) != 0) Fail(StatusOfErrno(errno));
    if (owner != ::geteuid() && ::chown(dir.c_str(), owner, static_cast<gid_t>(-1)) != 0) {
      Fail(StatusOfErrno(errno));
    }
  }
}

// Whether this process could create a file in the directory of `file`, or in the nearest
// directory above it that exists.
bool DirectoryWritable(const std::filesystem::path& file) {
  return ::access(ExistingParent(file).c_str(), W_OK | X_OK) == 0;
}

std::filesystem::path Beside(const std::filesystem::path& file, const char* suffix) {
  return file.string() + suffix;
}

constexpr const char* kJournalSuffixes[] = {"-wal", "-shm", "-journal"};

void AppendFold(std::string& out, std::u16string_view name) {
  out.reserve(out.size() + name.size() * 2);
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
}

std::string CacheKey(sqlite3_int64 id, std::u16string_view name) {
  std::string key;
  key.reserve(sizeof id + name.size() * 2);
  key.append(reinterpret_cast<const char*>(&id), sizeof id);
  AppendFold(key, name);
  return key;
}

template <typename Map>
typename Map::mapped_type& Remember(Map& map, typename Map::key_type key,
                                    typename Map::mapped_type value) {
  if (map.size() >= kCacheLimit) map.clear();
  return map.insert_or_assign(std::move(key), std::move(value)).first->second;
}

}  // namespace

void Fail(RegStatus status) { throw Failure{status}; }

std::string Fold(std::u16string_view name) {
  std::string out;
  AppendFold(out, name);
  return out;
}

std::string PathKey(sqlite3_int64 base, char view, std::u16string_view path) {
  std::string key = CacheKey(base, u"");
  key.push_back(view);
  AppendFold(key, path);
  return key;
}

// ---- Statement

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

// ---- HiveReader

HiveReader::~HiveReader() {
  if (in_transaction_ && owns_transaction_) {
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
}

void HiveReader::Begin() {
  if (in_transaction_) return;
  if (hive_.changes_open_) {
    // Reads see the changes' own writes, in their transaction.
    in_transaction_ = true;
    owns_transaction_ = false;
    return;
  }
  // Read before the snapshot is taken, so that the snapshot is no older than the stamp: what
  // is read in it may be kept under the stamp, and is dropped by the next commit.
  const std::optional<Hive::Stamp> stamp = hive_.ReadStamp();
  Hive::Begin(db_, "BEGIN");
  in_transaction_ = true;
  hive_.Prepare(db_, "SELECT 1 FROM keys WHERE id = 1").Step();
  if (hive_.wal_index_ == Hive::WalIndex::kUnknown) hive_.LookForWalIndex(db_);
  if (!hive_.ValidateCache(stamp) && served_from_cache_) throw StaleCache{};
}

void HiveReader::Finish() {
  if (!in_transaction_) return;
  in_transaction_ = false;
  if (owns_transaction_) Hive::Exec(db_, "COMMIT");
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
  if (use_cache_ && hive_.Cacheable()) Remember(hive_.children_, std::move(key), id);
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
  if (use_cache_ && hive_.Cacheable()) Remember(hive_.alive_, key, alive);
  return alive;
}

const CachedValue* HiveReader::Find(sqlite3_int64 key, std::u16string_view name) {
  if (db_ == nullptr) return nullptr;
  std::string cache_key = CacheKey(key, name);
  if (use_cache_ && !in_transaction_) {
    if (const auto it = hive_.values_.find(cache_key); it != hive_.values_.end()) {
      served_from_cache_ = true;
      return it->second ? &*it->second : nullptr;
    }
  }
  Statement find = Prepare("SELECT type, data FROM vals WHERE key = ?1 AND fold = ?2");
  find.Bind(1, key).BindBlob(2, cache_key.substr(sizeof key));
  std::optional<CachedValue> value;
  if (find.Step()) value = CachedValue{static_cast<std::uint32_t>(find.Int(0)), find.Blob(1)};
  if (!use_cache_ || !hive_.Cacheable() || (value && value->data.size() > kCachedBytesLimit)) {
    if (!value) return nullptr;
    uncached_ = std::move(*value);
    return &uncached_;
  }
  const auto& kept = Remember(hive_.values_, std::move(cache_key), std::move(value));
  return kept ? &*kept : nullptr;
}

const ResolvedPath* HiveReader::KnownPath(const std::string& text) {
  if (db_ == nullptr || !use_cache_ || in_transaction_) return nullptr;
  const auto it = hive_.paths_.find(text);
  if (it == hive_.paths_.end()) return nullptr;
  served_from_cache_ = true;
  return &it->second;
}

void HiveReader::RememberPath(const std::string& text, ResolvedPath path) {
  if (use_cache_ && hive_.Cacheable() && text.size() <= kCachedBytesLimit) {
    Remember(hive_.paths_, text, path);
  }
}

// ---- Hive

uid_t Hive::Owner() const {
  const uid_t self = ::geteuid();
  if (self != 0 || !for_its_owner_) return self;
  struct stat st {};
  return ::stat(ExistingParent(file_).c_str(), &st) == 0 ? st.st_uid : self;
}

// Root must not be led to write a file it did not mean to: through a link, or a file of another
// user's planted where the hive should be.
bool Hive::OwnedAsItShouldBe(const std::filesystem::path& file, bool must_exist,
                             bool any_owner) const {
  struct stat st {};
  if (::lstat(file.c_str(), &st) != 0) return !must_exist && errno == ENOENT;
  if (S_ISLNK(st.st_mode) || !S_ISREG(st.st_mode) || st.st_nlink != 1) return false;
  return any_owner || st.st_uid == 0 || (MadeHere() && st.st_uid == made_->owner);
}

// Reading touches the index beside the hive; a link there would lead root's writes elsewhere.
bool Hive::SafeForRoot(bool to_write) const {
  if (!OwnedAsItShouldBe(file_, true, !to_write)) return false;
  for (const char* suffix : kJournalSuffixes) {
    if (!OwnedAsItShouldBe(Beside(file_, suffix), false, !to_write)) return false;
  }
  return true;
}

// Whether the file at the path is the one this object made, for its owner.
bool Hive::MadeHere() const {
  struct stat st {};
  return made_ && ::lstat(file_.c_str(), &st) == 0 && st.st_dev == made_->dev &&
         st.st_ino == made_->ino;
}

bool Hive::Writable() const {
  if (!DirectoryWritable(file_)) return false;
  struct stat st {};
  if (::stat(file_.c_str(), &st) != 0) return errno == ENOENT;
  if (::access(file_.c_str(), W_OK) != 0) return false;
  if (::geteuid() == 0 && !SafeForRoot(/*to_write=*/true)) return false;
  // An empty file is an empty database, but only one of the caller's is ours to fill.
  return st.st_size > 0 || st.st_uid == ::geteuid() || MadeHere();
}

Statement Hive::Prepare(sqlite3* db, const char* sql) {
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

void Hive::Begin(sqlite3* db, const char* sql) { Exec(db, sql); }

void Hive::Exec(sqlite3* db, const char* sql) {
  Check(sqlite3_exec(db, sql, nullptr, nullptr, nullptr));
}

sqlite3* Hive::OpenForReading() {
  sqlite3* db = Open(/*create=*/false);
  if (db == nullptr) return nullptr;
  if (!initialized_) initialized_ = HasSchema(db);
  if (!initialized_) return nullptr;
  if (!stamp_checked_) {
    ValidateCache(ReadStamp());
    stamp_checked_ = operation_depth_ > 0;
  }
  return db;
}

sqlite3* Hive::OpenForWriting() {
  stamp_checked_ = false;  // what this writes moves the stamp
  if (!Writable()) Fail(kErrorAccessDenied);
  sqlite3* db = Open(/*create=*/true);
  // Takes effect only while the file is still empty; names then keep their exact code units.
  if (!initialized_) Exec(db, "PRAGMA encoding = 'UTF-16le'");
  // Damage SQLite meets only on the page it lies in is found before anything is written.
  if (initialized_ && !checked_) {
    sqlite3_stmt* stmt = nullptr;
    Check(sqlite3_prepare_v2(db, "PRAGMA quick_check(1)", -1, &stmt, nullptr));
    const int rc = sqlite3_step(stmt);
    const auto* result = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
    const bool ok = rc == SQLITE_ROW && result != nullptr && std::string_view(result) == "ok";
    sqlite3_finalize(stmt);
    if (!ok) {
      Close();
      Fail(rc == SQLITE_ROW || rc == SQLITE_CORRUPT ? kErrorRegistryCorrupt : StatusOfSqlite(rc));
    }
    checked_ = true;
  }
  return db;
}

bool Hive::Replaced() const {
  struct stat now {};
  if (::stat(file_.c_str(), &now) != 0) return true;
  return file_fd_ < 0 || now.st_dev != open_dev_ || now.st_ino != open_ino_;
}

// Made here rather than by SQLite so that the file gets this hive's mode and owner. An empty file
// is an empty database.
void Hive::Create() {
  const uid_t owner = Owner();
  MakeParentDirectories(file_, dir_mode_, owner);
  const int fd =
      ::open(file_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, file_mode_);
  if (fd < 0) {
    if (errno != EEXIST) Fail(StatusOfErrno(errno));
    return;
  }
  // A log or journal that a removed hive left beside it is not removed here: another process
  // may already be writing the new file, and SQLite itself drops those it finds beside an empty
  // database, under its locks.
  struct stat st {};
  const bool ok = ::fchmod(fd, file_mode_) == 0 &&
                  (owner == ::geteuid() || ::fchown(fd, owner, static_cast<gid_t>(-1)) == 0) &&
                  ::fstat(fd, &st) == 0;
  const int error = errno;
  ::close(fd);
  if (!ok) {
    ::unlink(file_.c_str());
    Fail(StatusOfErrno(error));
  }
  made_ = Made{st.st_dev, st.st_ino, owner};
}

sqlite3* Hive::Open(bool create) {
  // Changes under way hold the write lock on the file open; they end with it.
  if (changes_open_) return db_;
  if (db_ != nullptr) {
    // A file removed, or replaced by a restore, is let go of, and the one now at the path used.
    if ((path_checked_ || !Replaced()) && (read_write_ || !create)) {
      path_checked_ = operation_depth_ > 0;
      return db_;
    }
    Close();
  }
  struct stat st {};
  if (::stat(file_.c_str(), &st) != 0) {
    if (errno != ENOENT) Fail(StatusOfErrno(errno));
    if (!create) return nullptr;
    Create();
  } else if (!S_ISREG(st.st_mode)) {
    Fail(kErrorBadDb);
  }
  if (::geteuid() == 0 && !SafeForRoot(/*to_write=*/false)) Fail(kErrorAccessDenied);
  const bool read_write = Writable();
  if (create && !read_write) Fail(kErrorAccessDenied);

  const int fd = ::open(file_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) Fail(StatusOfErrno(errno));
  struct stat opened {};
  if (::fstat(fd, &opened) != 0) {
    const int error = errno;
    ::close(fd);
    Fail(StatusOfErrno(error));
  }
  sqlite3* db = nullptr;
  const int rc = sqlite3_open_v2(
      file_.c_str(), &db,
      (read_write ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY) | SQLITE_OPEN_NOMUTEX, nullptr);
  try {
    Check(rc, db);
    sqlite3_busy_handler(db, &Hive::BusyWait, this);
    sqlite3_db_config(db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
    sqlite3_db_config(db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
    // FULL syncs the log before a commit returns, so a returned write survives a crash of the
    // process or of the machine.
    Exec(db, "PRAGMA synchronous = FULL; PRAGMA foreign_keys = ON");
    initialized_ = HasSchema(db);
    if (read_write) {
      // The log and its index stay when the last connection closes: a reader that may not
      // create them could not open the hive otherwise. Kept short by checkpoints.
      int persist = 1;
      sqlite3_file_control(db, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
      Exec(db, "PRAGMA journal_size_limit = 1048576; PRAGMA wal_autocheckpoint = 256");
      if (initialized_) UseWal(db);
    }
  } catch (...) {
    sqlite3_close_v2(db);
    ::close(fd);
    throw;
  }
  db_ = db;
  read_write_ = read_write;
  file_fd_ = fd;
  open_dev_ = opened.st_dev;
  open_ino_ = opened.st_ino;
  path_checked_ = operation_depth_ > 0;
  return db_;
}

// A rollback journal left by a writer that died can be rolled back only by a process that may
// write the file, and until then no one else can read the hive. The log of WAL needs no such
// repair: every reader, even one that may write nothing, reads the last committed state.
void Hive::UseWal(sqlite3* db) {
  sqlite3_exec(db, "PRAGMA journal_mode = WAL", nullptr, nullptr, nullptr);
  // A read makes the log and its index, which stay: a process that writes nothing more would
  // otherwise leave a hive in WAL mode without them, which no one who may not create them reads.
  sqlite3_exec(db, "SELECT 1 FROM sqlite_master LIMIT 1", nullptr, nullptr, nullptr);
  wal_index_ = WalIndex::kUnknown;
  main_file_ = nullptr;
}

// Whether the file holds our tables. An empty database holds nothing yet, and is adopted when it
// is an empty file or was marked as ours; a database holding anything else is not a hive and is
// left alone.
bool Hive::HasSchema(sqlite3* db) {
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
  checked_ = true;
}

void Hive::Forget(sqlite3* db) {
  if (db == nullptr) return;
  const int rc = sqlite3_errcode(db) & 0xFF;
  if (changes_open_) {
    if (rc == SQLITE_CORRUPT || rc == SQLITE_NOTADB) {
      Close();
    } else if (sqlite3_get_autocommit(db)) {
      EndChanges(db, StatusOfSqlite(rc));
    }
    return;
  }
  // A failed COMMIT may leave the transaction open; never leave it so.
  if (!sqlite3_get_autocommit(db)) sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
  cache_stamp_.reset();
  if (rc == SQLITE_CORRUPT || rc == SQLITE_NOTADB) Close();
}

void Hive::UndoChange(sqlite3* db, bool had_schema, RegStatus why) {
  if (!sqlite3_get_autocommit(db) && sqlite3_exec(db, "ROLLBACK TO change; RELEASE change", nullptr,
                                                  nullptr, nullptr) == SQLITE_OK) {
    initialized_ = had_schema;
    return;
  }
  EndChanges(db, why);
}

void Hive::EndChanges(sqlite3* db, std::optional<RegStatus> lost) {
  if (!sqlite3_get_autocommit(db)) sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
  changes_open_ = false;
  changes_lost_ = lost;
  initialized_ = schema_before_changes_;
  cache_stamp_.reset();
}

RegStatus Hive::CommitChanges() {
  changes_ = false;
  if (changes_lost_) {
    const RegStatus why = *changes_lost_;
    changes_lost_.reset();
    return why;
  }
  if (!changes_open_) return kErrorSuccess;
  changes_open_ = false;
  stamp_checked_ = false;
  // With no schema nothing was changed; committing would still give a new file its first page,
  // unmarked, which no one would take for a hive.
  const int rc = sqlite3_exec(db_, initialized_ ? "COMMIT" : "ROLLBACK", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) {
    const RegStatus why = StatusOfSqlite(rc, db_);
    initialized_ = schema_before_changes_;
    Forget(db_);
    return why;
  }
  if (!schema_before_changes_ && initialized_) UseWal(db_);
  return kErrorSuccess;
}

void Hive::AbandonChanges() {
  changes_ = false;
  changes_lost_.reset();
  if (changes_open_) EndChanges(db_, std::nullopt);
}

void Hive::Close() {
  if (changes_open_) {
    // Closing rolls their transaction back.
    changes_open_ = false;
    changes_lost_ = kErrorRegistryIoFailed;
  }
  for (auto& [sql, cached] : statements_) sqlite3_finalize(cached.stmt);
  statements_.clear();
  if (db_ != nullptr) sqlite3_close_v2(db_);
  db_ = nullptr;
  for (int* fd : {&file_fd_, &shm_fd_}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
  read_write_ = false;
  checked_ = false;
  initialized_ = false;
  wal_index_ = WalIndex::kUnknown;
  main_file_ = nullptr;
  cache_stamp_.reset();
  path_checked_ = stamp_checked_ = false;
}

// SQLite increments the change counter (offset 24 of the file) in every transaction that changes
// a file in rollback mode, and rewrites the WAL index header (its first 48 bytes) in every commit
// to the log. Reading them unlocked is enough: a write whose call returned before this read
// began is in them, and a write still in progress cannot yet be expected.
//
// In WAL mode the header alone changes with every commit, and SQLite keeps it mapped for as long
// as the connection is open, so it is read there without a system call. That mapping cannot go
// stale: the connection holds the index's dead-man lock, without which no process empties the
// file, and a shared lock on the hive, without which none leaves WAL mode. A commit writes the
// header's second copy, then its first; two copies that differ are a commit half written, and
// nothing is kept under them.
std::optional<Hive::Stamp> Hive::ReadStamp() {
  if (wal_index_ == WalIndex::kMapped) {
    if (const unsigned char* index = MappedWalIndex()) {
      Stamp stamp{};
      std::atomic_thread_fence(std::memory_order_acquire);
      std::memcpy(stamp.data() + 4, index, kWalIndexHeader);
      std::atomic_thread_fence(std::memory_order_acquire);
      if (std::memcmp(stamp.data() + 4, index + kWalIndexHeader, kWalIndexHeader) != 0) {
        return std::nullopt;
      }
      return stamp;
    }
    wal_index_ = WalIndex::kUnavailable;
  }
  Stamp stamp{};
  if (file_fd_ < 0 || ::pread(file_fd_, stamp.data(), 4, 24) != 4) return std::nullopt;
  if (shm_fd_ < 0) shm_fd_ = ::open(Beside(file_, "-shm").c_str(), O_RDONLY | O_CLOEXEC);
  if (shm_fd_ >= 0 && ::pread(shm_fd_, stamp.data() + 4, 48, 0) < 0) return std::nullopt;
  return stamp;
}

// Asked of SQLite rather than read off the file: only the connection's own mode tells whether it
// holds the locks above. A reader that may not write the index and finds no other process using
// it gets none, and its stamp is read from the files.
void Hive::LookForWalIndex(sqlite3* db) {
  wal_index_ = WalIndex::kUnavailable;
  bool wal = false;
  {
    Statement mode = Prepare(db, "PRAGMA journal_mode");
    if (mode.Step()) wal = mode.Text(0) == u"wal";
  }
  sqlite3_file* file = nullptr;
  if (!wal || sqlite3_file_control(db, "main", SQLITE_FCNTL_FILE_POINTER, &file) != SQLITE_OK ||
      file == nullptr || file->pMethods == nullptr || file->pMethods->iVersion < 2 ||
      file->pMethods->xShmMap == nullptr) {
    return;
  }
  main_file_ = file;
  wal_index_ = WalIndex::kMapped;
  if (MappedWalIndex() == nullptr) wal_index_ = WalIndex::kUnavailable;
}

// Asked again at each read rather than kept: SQLite answers from its own table of regions.
const unsigned char* Hive::MappedWalIndex() {
  volatile void* region = nullptr;
  const int rc = main_file_->pMethods->xShmMap(main_file_, 0, kWalIndexRegion, 0, &region);
  // A read-only index that another process keeps answers SQLITE_READONLY, and is sound; one that
  // no process keeps answers SQLITE_READONLY_CANTINIT.
  if (rc != SQLITE_OK && rc != SQLITE_READONLY) return nullptr;
  return static_cast<const unsigned char*>(const_cast<void*>(region));
}

bool Hive::ValidateCache(const std::optional<Stamp>& stamp) {
  const bool kept = stamp && stamp == cache_stamp_;
  if (!kept) {
    ++generation_;
    children_.clear();
    values_.clear();
    alive_.clear();
    paths_.clear();
  }
  cache_stamp_ = stamp;
  return kept;
}

// SQLite's own wait backs off to 100 ms between tries, so that a writer who has waited long
// tries least often and loses to newcomers until its time runs out. Every waiter here tries
// about once a millisecond, whatever it has waited.
int Hive::BusyWait(void* opaque, int count) {
  auto* hive = static_cast<Hive*>(opaque);
  const auto now = std::chrono::steady_clock::now();
  if (count == 0) hive->busy_since_ = now;
  if (now - hive->busy_since_ >= kBusyTimeout) return 0;
  thread_local std::minstd_rand random(std::random_device{}());
  std::this_thread::sleep_for(std::chrono::microseconds(500 + random() % 1000));
  return 1;
}

}  // namespace velmo::platform::hive
