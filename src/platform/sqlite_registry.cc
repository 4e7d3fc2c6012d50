#include "platform/sqlite_registry.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/system_registry.h"
#include "platform/text.h"

namespace velmo::platform {
namespace {

constexpr int kApplicationId = 0x564C4D4F;  // "VLMO" in the file header marks a hive of ours.
constexpr int kSchemaVersion = 1;
constexpr int kBusyTimeoutMs = 15000;
constexpr size_t kMaxKeyNameLength = 255;
constexpr size_t kMaxValueNameLength = 16383;
constexpr sqlite3_int64 kRootKeyId = 1;
constexpr std::uint32_t kWriteAccess = kKeySetValue | kKeyCreateSubKey;
constexpr std::uint32_t kAllAccess = 0xF003F;

// Raised inside a call and turned into its status at the seam.
struct Failure {
  RegStatus status;
};

[[noreturn]] void Fail(RegStatus status) { throw Failure{status}; }

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

// Windows matches registry names by upper-casing each character on its own; the folded form,
// as UTF-16LE bytes, is what the database indexes. It has as many code units as the name.
std::string Fold(std::u16string_view name) {
  std::string out;
  out.reserve(name.size() * 2);
  for (char16_t unit : ToUpper(name)) {
    out.push_back(static_cast<char>(unit & 0xFF));
    out.push_back(static_cast<char>(unit >> 8));
  }
  return out;
}

bool SameName(std::u16string_view a, std::u16string_view b) { return Fold(a) == Fold(b); }

std::vector<std::u16string> SplitPath(std::u16string_view path) {
  std::vector<std::u16string> parts;
  if (!path.empty() && path.back() == u'\\') path.remove_suffix(1);  // as RegCreateKeyEx allows
  if (path.empty()) return parts;
  size_t start = 0;
  while (true) {
    const size_t end = path.find(u'\\', start);
    const std::u16string_view part = path.substr(start, end - start);
    if (part.empty()) Fail(kErrorBadPathname);
    if (part.size() > kMaxKeyNameLength) Fail(kErrorInvalidParameter);
    parts.emplace_back(part);
    if (end == std::u16string_view::npos) break;
    start = end + 1;
  }
  return parts;
}

class Statement {
 public:
  Statement(sqlite3* db, const char* sql) : db_(db) {
    Check(sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr));
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& Bind(int index, sqlite3_int64 value) {
    Check(sqlite3_bind_int64(stmt_, index, value));
    return *this;
  }
  Statement& BindText(int index, std::u16string_view text) {
    Check(sqlite3_bind_text16(stmt_, index, text.data(), Bytes(text.size() * 2), SQLITE_TRANSIENT));
    return *this;
  }
  Statement& BindBlob(int index, const void* data, size_t size) {
    // A null pointer would bind NULL rather than an empty blob.
    Check(size == 0 ? sqlite3_bind_zeroblob(stmt_, index, 0)
                    : sqlite3_bind_blob(stmt_, index, data, Bytes(size), SQLITE_TRANSIENT));
    return *this;
  }
  Statement& BindBlob(int index, const std::string& bytes) {
    return BindBlob(index, bytes.data(), bytes.size());
  }

  // True while there is a row to read.
  bool Step() {
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    Check(rc);
    return false;
  }

  sqlite3_int64 Int(int column) { return sqlite3_column_int64(stmt_, column); }
  std::u16string Text(int column) {
    const auto* text = static_cast<const char16_t*>(sqlite3_column_text16(stmt_, column));
    const int bytes = sqlite3_column_bytes16(stmt_, column);
    if (text == nullptr && bytes == 0 && sqlite3_errcode(db_) == SQLITE_NOMEM) {
      Fail(kErrorOutOfMemory);
    }
    return text == nullptr ? std::u16string()
                           : std::u16string(text, static_cast<size_t>(bytes) / 2);
  }
  const void* Blob(int column) { return sqlite3_column_blob(stmt_, column); }
  size_t BlobSize(int column) { return static_cast<size_t>(sqlite3_column_bytes(stmt_, column)); }

 private:
  static int Bytes(size_t size) {
    if (size > 0x7FFFFFFF) Fail(kErrorInvalidParameter);
    return static_cast<int>(size);
  }
  static void Check(int rc) {
    if (rc != SQLITE_OK) Fail(StatusOfSqlite(rc));
  }

  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
};

void Exec(sqlite3* db, const char* sql) {
  const int rc = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) Fail(StatusOfSqlite(rc));
}

// Makes the missing directories above `file`, each with `mode`.
void MakeParentDirectories(const std::filesystem::path& file, mode_t mode) {
  std::filesystem::path dir;
  for (const auto& part : file.parent_path()) {
    dir /= part;
    if (::mkdir(dir.c_str(), mode) != 0 && errno != EEXIST) {
      Fail(errno == EACCES || errno == EPERM || errno == EROFS ? kErrorAccessDenied
                                                               : kErrorRegistryIoFailed);
    }
  }
}

// Whether this process could create a file beside `file` (the journal needs that too).
bool DirectoryWritable(const std::filesystem::path& file) {
  std::filesystem::path dir = file.parent_path();
  std::error_code ignored;
  while (!dir.empty() && !std::filesystem::exists(dir, ignored)) {
    if (dir == dir.parent_path()) break;
    dir = dir.parent_path();
  }
  if (dir.empty()) dir = ".";
  return ::access(dir.c_str(), W_OK | X_OK) == 0;
}

// One hive file. The connection is opened on first use and kept; SQLite checks at the start of
// every transaction whether another process changed the file, so nothing read here goes stale.
class Hive {
 public:
  Hive(std::filesystem::path file, mode_t file_mode, mode_t dir_mode, bool has_views)
      : file_(std::move(file)), file_mode_(file_mode), dir_mode_(dir_mode), has_views_(has_views) {}
  ~Hive() { Close(); }
  Hive(const Hive&) = delete;
  Hive& operator=(const Hive&) = delete;

  bool has_views() const { return has_views_; }

  bool Writable() const {
    if (!DirectoryWritable(file_)) return false;
    return ::access(file_.c_str(), W_OK) == 0 || errno == ENOENT;
  }

  // Runs `body(db)` in a read transaction. `db` is null while the hive has no content yet, which
  // reads as a hive holding only its empty root key.
  template <typename Body>
  auto Read(Body&& body) {
    sqlite3* db = Open(/*create=*/false);
    if (db != nullptr && !initialized_) initialized_ = HasSchema(db);
    if (db == nullptr || !initialized_) return body(nullptr);
    return InTransaction(db, "BEGIN", [&] { return body(db); });
  }

  // Runs `body(db)` in a write transaction, committed when it returns kErrorSuccess and rolled
  // back otherwise.
  template <typename Body>
  RegStatus Write(Body&& body) {
    if (!Writable()) Fail(kErrorAccessDenied);
    sqlite3* db = Open(/*create=*/true);
    // Takes effect only while the file is still empty; names then keep their exact code units.
    if (!initialized_) Exec(db, "PRAGMA encoding = 'UTF-16le'");
    return InTransaction(db, "BEGIN IMMEDIATE", [&] {
      if (!initialized_) {
        CreateSchema(db);
        initialized_ = true;
      }
      return body(db);
    });
  }

 private:
  template <typename Body>
  auto InTransaction(sqlite3* db, const char* begin, Body&& body) {
    Exec(db, begin);
    try {
      auto result = body();
      if constexpr (std::is_same_v<decltype(result), RegStatus>) {
        if (result != kErrorSuccess) {
          Exec(db, "ROLLBACK");
          return result;
        }
      }
      Exec(db, "COMMIT");
      return result;
    } catch (...) {
      // A failed COMMIT may leave the transaction open; never leave it so.
      if (!sqlite3_get_autocommit(db)) sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
      const bool damaged = [&] {
        const int rc = sqlite3_errcode(db) & 0xFF;
        return rc == SQLITE_CORRUPT || rc == SQLITE_NOTADB;
      }();
      if (damaged) Close();  // the next call checks the file afresh
      throw;
    }
  }

  sqlite3* Open(bool create) {
    if (db_ != nullptr) return db_;
    struct stat st {};
    if (::stat(file_.c_str(), &st) != 0) {
      if (errno != ENOENT) Fail(errno == EACCES ? kErrorAccessDenied : kErrorRegistryIoFailed);
      if (!create) return nullptr;
      MakeParentDirectories(file_, dir_mode_);
      // Created here rather than by SQLite so that the file gets this hive's permissions; an empty
      // file is an empty database.
      const int fd = ::open(file_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, file_mode_);
      if (fd < 0 && errno != EEXIST) {
        Fail(errno == EACCES || errno == EPERM || errno == EROFS ? kErrorAccessDenied
                                                                 : kErrorRegistryIoFailed);
      }
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
    return db_;
  }

  // Whether the file holds our tables. An empty database holds nothing yet; a database holding
  // anything else is not a hive and is left alone.
  static bool HasSchema(sqlite3* db) {
    Statement check(db,
                    "SELECT (SELECT application_id FROM pragma_application_id),"
                    " (SELECT user_version FROM pragma_user_version),"
                    " (SELECT count(*) FROM sqlite_master)");
    check.Step();
    const sqlite3_int64 objects = check.Int(2);
    if (objects == 0) return false;
    if (check.Int(0) != kApplicationId || check.Int(1) != kSchemaVersion) Fail(kErrorBadDb);
    return true;
  }

  static void CreateSchema(sqlite3* db) {
    // Another process may have created it between our check and our lock.
    Statement count(db, "SELECT count(*) FROM sqlite_master");
    count.Step();
    if (count.Int(0) != 0) {
      if (!HasSchema(db)) Fail(kErrorBadDb);
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
  }

  void Close() {
    if (db_ != nullptr) sqlite3_close_v2(db_);
    db_ = nullptr;
    initialized_ = false;
  }

  const std::filesystem::path file_;
  const mode_t file_mode_;
  const mode_t dir_mode_;
  const bool has_views_;
  sqlite3* db_ = nullptr;
  bool initialized_ = false;
};

// What a handle stands for.
struct KeyRef {
  Hive* hive;
  bool view32;       // the 32-bit view of the machine hive
  bool is_root;      // the hive's root key, on which the view still decides
  sqlite3_int64 id;  // the key's row
  std::uint32_t access;
};

bool KeyExists(sqlite3* db, sqlite3_int64 id) {
  Statement find(db, "SELECT 1 FROM keys WHERE id = ?1");
  find.Bind(1, id);
  return find.Step();
}

sqlite3_int64 FindChild(sqlite3* db, sqlite3_int64 parent, std::u16string_view name) {
  Statement find(db, "SELECT id FROM keys WHERE parent = ?1 AND fold = ?2");
  find.Bind(1, parent).BindBlob(2, Fold(name));
  return find.Step() ? find.Int(0) : 0;
}

class SqliteRegistry final : public RegistryApi {
 public:
  explicit SqliteRegistry(const HivePaths& paths)
      : machine_(paths.machine, 0644, 0755, /*has_views=*/true),
        user_(paths.user, 0600, 0700, /*has_views=*/false) {}

  RegStatus OpenKey(RegKey parent, std::u16string_view path, std::uint32_t access,
                    RegKey* key) override {
    return Guard(key, [&] { return Open(parent, path, access, /*create=*/false, key); });
  }

  RegStatus CreateKey(RegKey parent, std::u16string_view path, std::uint32_t access,
                      RegKey* key) override {
    return Guard(key, [&] { return Open(parent, path, access, /*create=*/true, key); });
  }

  RegStatus QueryValue(RegKey key, std::u16string_view name, std::uint32_t* type,
                       std::uint8_t* data, std::uint32_t* size) override {
    return Guard(nullptr, [&] {
      if (data != nullptr && size == nullptr) return kErrorInvalidParameter;
      const KeyRef k = Resolve(key, kKeyQueryValue);
      return k.hive->Read([&](sqlite3* db) {
        if (db == nullptr) return kErrorFileNotFound;
        CheckAlive(db, k);
        Statement find(db, "SELECT type, data FROM vals WHERE key = ?1 AND fold = ?2");
        find.Bind(1, k.id).BindBlob(2, Fold(name));
        if (!find.Step()) return kErrorFileNotFound;
        const size_t stored = find.BlobSize(1);
        if (stored > 0xFFFFFFFFu) return kErrorRegistryIoFailed;
        if (type != nullptr) *type = static_cast<std::uint32_t>(find.Int(0));
        RegStatus status = kErrorSuccess;
        if (data != nullptr) {
          if (*size < stored) {
            status = kErrorMoreData;
          } else if (stored > 0) {
            std::memcpy(data, find.Blob(1), stored);
          }
        }
        if (size != nullptr) *size = static_cast<std::uint32_t>(stored);
        return status;
      });
    });
  }

  RegStatus SetValue(RegKey key, std::u16string_view name, std::uint32_t type,
                     const std::uint8_t* data, std::uint32_t size) override {
    return Guard(nullptr, [&] {
      if (name.size() > kMaxValueNameLength || (data == nullptr && size != 0)) {
        return kErrorInvalidParameter;
      }
      const KeyRef k = Resolve(key, kKeySetValue);
      return k.hive->Write([&](sqlite3* db) {
        CheckAlive(db, k);
        Statement upsert(db,
                         "INSERT INTO vals (key, name, fold, type, data)"
                         " VALUES (?1, ?2, ?3, ?4, ?5)"
                         " ON CONFLICT (key, fold) DO UPDATE SET type = ?4, data = ?5");
        upsert.Bind(1, k.id).BindText(2, name).BindBlob(3, Fold(name)).Bind(4, type);
        upsert.BindBlob(5, data, size);
        upsert.Step();
        return kErrorSuccess;
      });
    });
  }

  RegStatus EnumValueName(RegKey key, std::uint32_t index, char16_t* name,
                          std::uint32_t* length) override {
    return Guard(nullptr, [&] {
      if (name == nullptr || length == nullptr) return kErrorInvalidParameter;
      const KeyRef k = Resolve(key, kKeyQueryValue);
      return k.hive->Read([&](sqlite3* db) {
        if (db == nullptr) return kErrorNoMoreItems;
        CheckAlive(db, k);
        Statement nth(db, "SELECT name FROM vals WHERE key = ?1 ORDER BY rowid LIMIT 1 OFFSET ?2");
        nth.Bind(1, k.id).Bind(2, index);
        if (!nth.Step()) return kErrorNoMoreItems;
        const std::u16string found = nth.Text(0);
        if (found.size() >= *length) return kErrorMoreData;
        std::copy(found.begin(), found.end(), name);
        name[found.size()] = u'\0';
        *length = static_cast<std::uint32_t>(found.size());
        return kErrorSuccess;
      });
    });
  }

  RegStatus QueryInfoKey(RegKey key, std::uint32_t* value_count,
                         std::uint32_t* max_value_name_length) override {
    return Guard(nullptr, [&] {
      const KeyRef k = Resolve(key, kKeyQueryValue);
      return k.hive->Read([&](sqlite3* db) {
        sqlite3_int64 count = 0;
        sqlite3_int64 longest = 0;
        if (db != nullptr) {
          CheckAlive(db, k);
          // The folded name has as many code units as the name.
          Statement info(db,
                         "SELECT count(*), coalesce(max(length(fold)), 0) / 2 FROM vals"
                         " WHERE key = ?1");
          info.Bind(1, k.id);
          info.Step();
          count = info.Int(0);
          longest = info.Int(1);
        }
        if (value_count != nullptr) *value_count = static_cast<std::uint32_t>(count);
        if (max_value_name_length != nullptr) {
          *max_value_name_length = static_cast<std::uint32_t>(longest);
        }
        return kErrorSuccess;
      });
    });
  }

  RegStatus DeleteValue(RegKey key, std::u16string_view name) override {
    return Guard(nullptr, [&] {
      const KeyRef k = Resolve(key, kKeySetValue);
      return k.hive->Write([&](sqlite3* db) {
        CheckAlive(db, k);
        Statement erase(db, "DELETE FROM vals WHERE key = ?1 AND fold = ?2");
        erase.Bind(1, k.id).BindBlob(2, Fold(name));
        erase.Step();
        return sqlite3_changes(db) == 0 ? kErrorFileNotFound : kErrorSuccess;
      });
    });
  }

  RegStatus DeleteKeyTree(RegKey parent, std::u16string_view path, std::uint32_t access) override {
    return Guard(nullptr, [&] {
      const KeyRef base = Resolve(parent, 0);
      const std::vector<std::u16string> parts = SplitPath(path);
      const bool view32 = ViewOf(base, access);
      return base.hive->Write([&](sqlite3* db) {
        const sqlite3_int64 id = Walk(db, base, view32, parts, /*create=*/false);
        if (id == 0) return kErrorFileNotFound;
        if (id == kRootKeyId) return kErrorAccessDenied;
        Statement erase(db, "DELETE FROM keys WHERE id = ?1");  // the rest follows by cascade
        erase.Bind(1, id);
        erase.Step();
        return kErrorSuccess;
      });
    });
  }

  RegStatus CloseKey(RegKey key) override {
    std::lock_guard lock(mutex_);
    if (key == kHkeyCurrentUser || key == kHkeyLocalMachine) return kErrorSuccess;
    return handles_.erase(key) == 1 ? kErrorSuccess : kErrorInvalidHandle;
  }

 private:
  // Runs one call under the lock, turning every failure into its status; `key` is cleared on
  // failure.
  template <typename Body>
  RegStatus Guard(RegKey* key, Body&& body) {
    std::lock_guard lock(mutex_);
    RegStatus status;
    try {
      status = body();
    } catch (const Failure& failure) {
      status = failure.status;
    } catch (const std::bad_alloc&) {
      status = kErrorOutOfMemory;
    } catch (...) {
      status = kErrorRegistryIoFailed;
    }
    if (status != kErrorSuccess && key != nullptr) *key = 0;
    return status;
  }

  KeyRef Resolve(RegKey key, std::uint32_t needed) {
    KeyRef k{};
    if (key == kHkeyCurrentUser) {
      k = {&user_, false, true, kRootKeyId, kAllAccess};
    } else if (key == kHkeyLocalMachine) {
      k = {&machine_, false, true, kRootKeyId, kAllAccess};
    } else {
      const auto it = handles_.find(key);
      if (it == handles_.end()) Fail(kErrorInvalidHandle);
      k = it->second;
    }
    if ((k.access & needed) != needed) Fail(kErrorAccessDenied);
    return k;
  }

  // The view flags choose the view when a key is opened from a hive's root; a key opened below
  // it stays in the view it was opened in.
  static bool ViewOf(const KeyRef& base, std::uint32_t access) {
    if (!base.hive->has_views()) return false;
    if (!base.is_root) return base.view32;
    if (access & kKeyWow64_32Key) return true;
    if (access & kKeyWow64_64Key) return false;
    return base.view32;
  }

  static void CheckAlive(sqlite3* db, const KeyRef& k) {
    if (k.id != kRootKeyId && !KeyExists(db, k.id)) Fail(kErrorKeyDeleted);
  }

  // The row of `parts` below `base`, or 0. From the root of the 32-bit view, SOFTWARE stands for
  // SOFTWARE\WOW6432Node.
  static sqlite3_int64 Walk(sqlite3* db, const KeyRef& base, bool view32,
                            std::vector<std::u16string> parts, bool create) {
    if (base.is_root && view32 && !parts.empty() && SameName(parts[0], u"SOFTWARE") &&
        !(parts.size() > 1 && SameName(parts[1], u"WOW6432Node"))) {
      parts.insert(parts.begin() + 1, u"WOW6432Node");
    }
    sqlite3_int64 id = base.id;
    if (db == nullptr) return parts.empty() ? id : 0;
    CheckAlive(db, base);
    for (const std::u16string& part : parts) {
      sqlite3_int64 child = FindChild(db, id, part);
      if (child == 0) {
        if (!create) return 0;
        Statement insert(db, "INSERT INTO keys (parent, name, fold) VALUES (?1, ?2, ?3)");
        insert.Bind(1, id).BindText(2, part).BindBlob(3, Fold(part));
        insert.Step();
        child = sqlite3_last_insert_rowid(db);
      }
      id = child;
    }
    return id;
  }

  RegStatus Open(RegKey parent, std::u16string_view path, std::uint32_t access, bool create,
                 RegKey* key) {
    if (key == nullptr) return kErrorInvalidParameter;
    *key = 0;
    const KeyRef base = Resolve(parent, 0);
    const std::vector<std::u16string> parts = SplitPath(path);
    const bool view32 = ViewOf(base, access);
    if ((create || (access & kWriteAccess) != 0) && !base.hive->Writable()) {
      return kErrorAccessDenied;
    }
    sqlite3_int64 id = 0;
    if (create) {
      const RegStatus status = base.hive->Write([&](sqlite3* db) {
        id = Walk(db, base, view32, parts, /*create=*/true);
        return kErrorSuccess;
      });
      if (status != kErrorSuccess) return status;
    } else {
      id = base.hive->Read(
          [&](sqlite3* db) { return Walk(db, base, view32, parts, /*create=*/false); });
      if (id == 0) return kErrorFileNotFound;
    }
    next_handle_ += 4;
    handles_[next_handle_] = {base.hive, view32, base.is_root && parts.empty(), id,
                              access & kAllAccess};
    *key = next_handle_;
    return kErrorSuccess;
  }

  std::mutex mutex_;
  Hive machine_;
  Hive user_;
  std::map<RegKey, KeyRef> handles_;
  RegKey next_handle_ = 0x1000;
};

}  // namespace

std::unique_ptr<RegistryApi> NewSqliteRegistry(const HivePaths& paths) {
  return std::make_unique<SqliteRegistry>(paths);
}

std::unique_ptr<RegistryApi> NewSystemRegistry() { return NewSqliteRegistry(DefaultHivePaths()); }

}  // namespace velmo::platform
