#include "platform/sqlite_hive.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unicode/uchar.h>
#include <unicode/utf16.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <system_error>
#include <thread>
#include <utility>

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

class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&&) = delete;
  int get() const { return fd_; }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

// Whether root may follow the link `name` in `dir`: only one that no other user can have made
// or can replace.
bool TrustedLink(int dir, const char* name) {
  struct stat link {};
  struct stat holder {};
  if (::fstatat(dir, name, &link, AT_SYMLINK_NOFOLLOW) != 0 || ::fstat(dir, &holder) != 0) {
    return false;
  }
  return S_ISLNK(link.st_mode) && link.st_uid == 0 && holder.st_uid == 0 &&
         ((holder.st_mode & (S_IWGRP | S_IWOTH)) == 0 || (holder.st_mode & S_ISVTX) != 0);
}

// The directory that is to hold `file`, with the missing ones made on the way, each with `mode`.
// Walked from descriptors, and each directory made is given its mode and owner through one, so
// that no name that a user swaps between two steps leads root elsewhere; nor does root follow a
// link that another user could have made. `*owner` is the owner of the nearest directory that
// exists when root makes a hive `for_its_owner`, the process itself otherwise; the directories
// made are given to it.
UniqueFd OpenParentDirectory(const std::filesystem::path& file, mode_t mode, bool for_its_owner,
                             uid_t* owner) {
  const uid_t self = ::geteuid();
  *owner = self;
  const std::filesystem::path parent = file.parent_path();
  UniqueFd dir(::open(parent.is_absolute() ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0) Fail(StatusOfErrno(errno));
  std::filesystem::path walked = parent.is_absolute() ? "/" : "";
  bool making = false;
  for (const auto& part : parent.relative_path()) {
    const std::string name = part.string();
    if (name.empty() || name == ".") continue;
    walked /= part;
    int next = -1;
    if (!making) {
      next = ::openat(dir.get(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (next < 0 && (errno == ENOTDIR || errno == ELOOP)) {
        if (self == 0 && !TrustedLink(dir.get(), name.c_str())) Fail(kErrorAccessDenied);
        next = ::openat(dir.get(), name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
      }
      if (next < 0 && errno != ENOENT) Fail(StatusOfErrno(errno));
      if (next < 0) {
        making = true;
        struct stat st {};
        if (self == 0 && for_its_owner && ::fstat(dir.get(), &st) == 0) *owner = st.st_uid;
      }
    }
    if (making) {
      if (::mkdirat(dir.get(), name.c_str(), mode) != 0 && errno != EEXIST) {
        Fail(StatusOfErrno(errno));
      }
      if (HooksForTesting().after_mkdir) HooksForTesting().after_mkdir(walked);
      next = ::openat(dir.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      struct stat st {};
      if (next < 0 || ::fstat(next, &st) != 0) {
        Fail(errno == ELOOP || errno == ENOTDIR ? kErrorAccessDenied : StatusOfErrno(errno));
      }
      UniqueFd made(next);
      // One made meanwhile by someone else is used only when it is the owner's.
      if (st.st_uid != self && st.st_uid != *owner) Fail(kErrorAccessDenied);
      // mkdir leaves out what the umask takes away.
      if (st.st_uid == self &&
          (::fchmod(next, mode) != 0 ||
           (*owner != self && ::fchown(next, *owner, static_cast<gid_t>(-1)) != 0))) {
        Fail(StatusOfErrno(errno));
      }
      next = ::dup(made.get());
      if (next < 0) Fail(StatusOfErrno(errno));
    }
    dir.reset(next);
  }
  return dir;
}

// Puts an empty file with `mode` and `owner` at `name` in `dir` in one step, whatever was there.
void ReplaceWithEmpty(int dir, const std::string& name, mode_t mode, uid_t owner) {
  std::minstd_rand random(std::random_device{}());
  for (int attempt = 0;; ++attempt) {
    const std::string temp = "." + name + "." + std::to_string(random());
    UniqueFd fd(
        ::openat(dir, temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (fd.get() < 0) {
      if (errno == EEXIST && attempt < 16) continue;
      Fail(StatusOfErrno(errno));
    }
    if (::fchmod(fd.get(), mode) != 0 ||
        (owner != ::geteuid() && ::fchown(fd.get(), owner, static_cast<gid_t>(-1)) != 0) ||
        ::renameat(dir, temp.c_str(), dir, name.c_str()) != 0) {
      const int error = errno;
      ::unlinkat(dir, temp.c_str(), 0);
      Fail(StatusOfErrno(error));
    }
    return;
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

// SQLite's own test of the WAL index header, given its two copies (48 bytes each): equal copies,
// marked initialised, of the version SQLite writes, with a sound checksum. Anything else is a
// header being written, or zeroed and not yet rebuilt.
bool SoundIndexHeader(const unsigned char* copies) {
  if (std::memcmp(copies, copies + kWalIndexHeader, kWalIndexHeader) != 0) return false;
  std::uint32_t words[kWalIndexHeader / 4];
  std::memcpy(words, copies, kWalIndexHeader);
  if (copies[12] == 0 || words[0] != 3007000) return false;
  std::uint32_t s1 = 0;
  std::uint32_t s2 = 0;
  for (int i = 0; i < 10; i += 2) {
    s1 += words[i] + s2;
    s2 += words[i + 1] + s1;
  }
  return s1 == words[10] && s2 == words[11];
}

struct CloseDb {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using Db = std::unique_ptr<sqlite3, CloseDb>;

// The first column of the first row of `sql`, as text.
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
  if (HooksForTesting().after_stamp) HooksForTesting().after_stamp();
  Hive::Begin(db_, "BEGIN");
  in_transaction_ = true;
  hive_.Prepare(db_, "SELECT 1 FROM keys WHERE id = 1").Step();
  if (hive_.wal_index_ == Hive::WalIndex::kUnknown) hive_.LookForWalIndex(db_);
  // A commit between the stamp and the snapshot would file this snapshot's entries under the
  // state before it: they are kept only when the stamp has not moved across the snapshot's start.
  const bool steady = stamp && hive_.ReadStamp() == stamp;
  if (!hive_.ValidateCache(steady ? stamp : std::nullopt) && served_from_cache_) {
    throw StaleCache{};
  }
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
  if (!(stamp_checked_ && call_in_operation_)) {
    ValidateCache(ReadStamp());
    stamp_checked_ = call_in_operation_;
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
  uid_t owner = 0;
  const UniqueFd dir = OpenParentDirectory(file_, dir_mode_, for_its_owner_, &owner);
  // Processes that make the file take turns, so that only the one that makes it clears what a
  // removed hive left beside it. Without a descriptor to lock, one goes on alone.
  const UniqueFd lock(::openat(dir.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (lock.get() >= 0) ::flock(lock.get(), LOCK_EX);
  const std::string name = file_.filename().string();
  struct stat st {};
  if (::fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return;
  // Before the file exists, so that no process opens it with them: a log left by a removed hive
  // would be replayed into the new one, and an index that a process of the removed one still
  // holds would be shared with it. The index is replaced in one step, never missing.
  for (const char* suffix : {"-wal", "-journal"}) {
    if (::unlinkat(dir.get(), (name + suffix).c_str(), 0) != 0 && errno != ENOENT) {
      Fail(StatusOfErrno(errno));
    }
  }
  ReplaceWithEmpty(dir.get(), name + "-shm", file_mode_, owner);
  const int fd = ::openat(dir.get(), name.c_str(),
                          O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, file_mode_);
  if (fd < 0) {
    if (errno != EEXIST) Fail(StatusOfErrno(errno));
    return;
  }
  const bool ok = ::fchmod(fd, file_mode_) == 0 &&
                  (owner == ::geteuid() || ::fchown(fd, owner, static_cast<gid_t>(-1)) == 0) &&
                  ::fstat(fd, &st) == 0;
  const int error = errno;
  ::close(fd);
  if (!ok) {
    ::unlinkat(dir.get(), name.c_str(), 0);
    Fail(StatusOfErrno(error));
  }
  made_ = Made{st.st_dev, st.st_ino, owner};
}

void Hive::MatchJournalFiles(const struct stat& hive) const {
  for (const char* suffix : {"-wal", "-shm"}) {
    const UniqueFd fd(
        ::open(Beside(file_, suffix).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
      continue;
    }
    // Best effort: what this process may not change, it leaves.
    if ((st.st_mode & 07777) != (hive.st_mode & 07777)) {
      (void)::fchmod(fd.get(), hive.st_mode & 07777);
    }
    if (::geteuid() == 0 && (st.st_uid != hive.st_uid || st.st_gid != hive.st_gid)) {
      (void)::fchown(fd.get(), hive.st_uid, hive.st_gid);
    }
  }
}

bool Hive::ReadableAlone() const {
  unsigned char header[20];
  if (file_fd_ < 0 || ::pread(file_fd_, header, sizeof header, 0) != sizeof header ||
      header[18] != 2) {
    return false;
  }
  const UniqueFd index(::open(Beside(file_, "-shm").c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (index.get() >= 0 || errno != EACCES) return false;
  struct stat log {};
  return ::stat(Beside(file_, "-wal").c_str(), &log) != 0 ? errno == ENOENT : log.st_size == 0;
}

std::array<std::int64_t, 7> Hive::FileSignature() const {
  std::array<std::int64_t, 7> signature{};
  struct stat st {};
  unsigned char counter[4] = {};
  if (file_fd_ >= 0 && ::fstat(file_fd_, &st) == 0 && ::pread(file_fd_, counter, 4, 24) == 4) {
    signature = {(counter[0] << 24) | (counter[1] << 16) | (counter[2] << 8) | counter[3],
                 st.st_size, st.st_mtim.tv_sec, st.st_mtim.tv_nsec};
  }
  if (::stat(Beside(file_, "-wal").c_str(), &st) == 0) {
    signature[4] = st.st_size;
    signature[5] = st.st_mtim.tv_nsec;
    signature[6] = static_cast<std::int64_t>(st.st_ino);
  }
  return signature;
}

sqlite3* Hive::Open(bool create) {
  // Changes under way hold the write lock on the file open; they end with it.
  if (changes_open_) return db_;
  if (db_ != nullptr) {
    // A file removed, or replaced by a restore, is let go of, and the one now at the path used.
    if (!alone_since_ && ((path_checked_ && call_in_operation_) || !Replaced()) &&
        (read_write_ || !create)) {
      path_checked_ = call_in_operation_;
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
  file_fd_ = fd;
  if (read_write) MatchJournalFiles(opened);
  // A reader that may not open the index (one made before the hive was opened to others) reads
  // the file alone while the log is empty, as it is once no writer has the hive open.
  std::string name = file_.string();
  int flags = 0;
  if (!read_write && ReadableAlone()) {
    alone_since_ = FileSignature();
    std::string uri = "file:";
    for (const char c : name) {
      if (c == '%' || c == '?' || c == '#') {
        constexpr char kHex[] = "0123456789ABCDEF";
        uri += {'%', kHex[(c >> 4) & 0xF], kHex[c & 0xF]};
      } else {
        uri += c;
      }
    }
    name = uri + "?immutable=1";
    flags |= SQLITE_OPEN_URI;
  }
  sqlite3* db = nullptr;
  const int rc = sqlite3_open_v2(
      name.c_str(), &db,
      (read_write ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY) | SQLITE_OPEN_NOMUTEX | flags,
      nullptr);
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
    file_fd_ = -1;
    alone_since_.reset();
    ::close(fd);
    throw;
  }
  db_ = db;
  read_write_ = read_write;
  open_dev_ = opened.st_dev;
  open_ino_ = opened.st_ino;
  path_checked_ = call_in_operation_;
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
  ++generation_;
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
  created_in_changes_.clear();
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
  alone_since_.reset();
  wal_index_ = WalIndex::kUnknown;
  main_file_ = nullptr;
  cache_stamp_.reset();
  path_checked_ = stamp_checked_ = false;
}

// SQLite increments the change counter (offset 24 of the file) in every transaction that changes
// a file in rollback mode, and rewrites the WAL index header (its first 48 bytes) in every commit
// to the log. Reading them unlocked is enough: a write whose call returned before this read
// began is in them, and a write still in progress cannot yet be expected. A value read unlocked
// may be one that a rollback takes back, and so later name another state: what is kept under a
// stamp is read in a snapshot taken while the stamp did not move (HiveReader::Begin).
//
// In WAL mode the header alone changes with every commit, and SQLite keeps it mapped for as long
// as the connection is open, so it is read there without a system call. That mapping cannot go
// stale: the connection holds the index's dead-man lock, without which no process empties the
// file, and a shared lock on the hive, without which none leaves WAL mode. A header that SQLite
// would not trust (a commit half written, or one zeroed by a process that found the index
// unused and not yet rebuilt) keeps nothing. Read off the file, a rebuilt header may repeat one
// read before, the state having changed by a checkpoint since: the file's size and time of
// change are part of the stamp then.
std::optional<Hive::Stamp> Hive::ReadStamp() {
  Stamp stamp{};
  unsigned char copies[2 * kWalIndexHeader];
  if (wal_index_ == WalIndex::kMapped) {
    if (const unsigned char* index = MappedWalIndex()) {
      // A commit writes the second copy, then the first.
      std::atomic_thread_fence(std::memory_order_acquire);
      std::memcpy(copies, index, kWalIndexHeader);
      std::atomic_thread_fence(std::memory_order_acquire);
      std::memcpy(copies + kWalIndexHeader, index + kWalIndexHeader, kWalIndexHeader);
      if (!SoundIndexHeader(copies)) return std::nullopt;
      std::memcpy(stamp.data() + 4, copies, kWalIndexHeader);
      return stamp;
    }
    wal_index_ = WalIndex::kUnavailable;
  }
  unsigned char header[28];
  struct stat st {};
  if (file_fd_ < 0 || ::pread(file_fd_, header, sizeof header, 0) != sizeof header ||
      ::fstat(file_fd_, &st) != 0) {
    return std::nullopt;
  }
  std::memcpy(stamp.data(), header + 24, 4);
  const std::int64_t times[3] = {st.st_size, st.st_mtim.tv_sec, st.st_mtim.tv_nsec};
  std::memcpy(stamp.data() + 4 + kWalIndexHeader, times, sizeof times);
  if (header[18] != 2) return stamp;  // rollback mode: the counter tells
  if (shm_fd_ < 0) shm_fd_ = ::open(Beside(file_, "-shm").c_str(), O_RDONLY | O_CLOEXEC);
  if (shm_fd_ < 0 || ::pread(shm_fd_, copies, sizeof copies, 0) != sizeof copies ||
      !SoundIndexHeader(copies)) {
    return std::nullopt;
  }
  std::memcpy(stamp.data() + 4, copies, kWalIndexHeader);
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

// The backup API copies page by page under the source's read snapshot and writes the destination
// as one transaction of its own, through its log when it has one: other connections see the
// whole copy at their next read, and nothing of the old file is replayed over it.
namespace {

void CopyDatabase(sqlite3* to, sqlite3* from) {
  sqlite3_backup* backup = sqlite3_backup_init(to, "main", from, "main");
  if (backup == nullptr) Fail(StatusOfSqlite(sqlite3_errcode(to), to));
  int rc = sqlite3_backup_step(backup, -1);
  const int finished = sqlite3_backup_finish(backup);
  if (rc == SQLITE_DONE) rc = finished;
  if (rc != SQLITE_OK && rc != SQLITE_DONE) Fail(StatusOfSqlite(rc, to));
}

}  // namespace

void Hive::Backup(const std::filesystem::path& to) {
  sqlite3* from = OpenForReading();
  if (from == nullptr) Fail(kErrorFileNotFound);
  std::string temp = (to.has_parent_path() ? to.parent_path() / ".velmo-backup-XXXXXX"
                                           : std::filesystem::path(".velmo-backup-XXXXXX"))
                         .string();
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) Fail(StatusOfErrno(errno));
  ::close(fd);
  try {
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(temp.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
    const Db copy(raw);
    Check(rc, copy.get());
    CopyDatabase(copy.get(), from);
    // A copy stands alone, with no log beside it.
    Exec(copy.get(), "PRAGMA journal_mode = DELETE");
    if (::rename(temp.c_str(), to.c_str()) != 0) Fail(StatusOfErrno(errno));
  } catch (...) {
    ::unlink(temp.c_str());
    throw;
  }
}

void Hive::Restore(const std::filesystem::path& from) {
  if (changes_) Fail(kErrorBusy);
  struct stat copy_st {};
  struct stat hive_st {};
  if (::stat(from.c_str(), &copy_st) != 0) Fail(StatusOfErrno(errno));
  if (::stat(file_.c_str(), &hive_st) == 0 && hive_st.st_dev == copy_st.st_dev &&
      hive_st.st_ino == copy_st.st_ino) {
    Fail(kErrorInvalidParameter);
  }
  sqlite3* raw = nullptr;
  const int rc = sqlite3_open_v2(from.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
  const Db copy(raw);
  Check(rc, copy.get());
  if (FirstText(copy.get(),
                "SELECT (SELECT application_id FROM pragma_application_id) = 1447841103 AND"
                " (SELECT user_version FROM pragma_user_version) = 1 AND"
                " (SELECT count(*) FROM sqlite_master WHERE type = 'table' AND"
                " name IN ('keys', 'vals')) = 2") != "1") {
    Fail(kErrorBadDb);
  }
  if (FirstText(copy.get(), "PRAGMA quick_check(1)") != "ok") Fail(kErrorRegistryCorrupt);
  sqlite3* db = OpenForWriting();
  try {
    CopyDatabase(db, copy.get());
  } catch (...) {
    Forget(db);
    throw;
  }
  // Committed: nothing after this fails the call. A new file is put in WAL mode as after its
  // first write; the schema is looked for again at the next use.
  ValidateCache(std::nullopt);
  initialized_ = false;
  UseWal(db);
}

TestHooks& HooksForTesting() {
  static TestHooks hooks;
  return hooks;
}

// SQLite locks the byte at 120 of the index to write through the log, and the pending and
// reserved bytes of the file (at 1 GiB) to write in rollback mode.
std::string LockHolder(const std::filesystem::path& file) {
  struct Lock {
    const char* suffix;
    off_t start;
    off_t length;
  };
  for (const Lock& lock : {Lock{"-shm", 120, 1}, Lock{"", 0x40000000, 2}}) {
    const UniqueFd fd(::open(Beside(file, lock.suffix).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct flock probe {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    probe.l_start = lock.start;
    probe.l_len = lock.length;
    if (fd.get() < 0 || ::fcntl(fd.get(), F_GETLK, &probe) != 0 || probe.l_type == F_UNLCK) {
      continue;
    }
    // A lock of an open file description belongs to no one process.
    if (probe.l_pid <= 0) return "a process unknown (an open file description's lock)";
    std::string name;
    std::ifstream(std::filesystem::path("/proc") / std::to_string(probe.l_pid) / "comm") >> name;
    std::string text = "process " + std::to_string(probe.l_pid);
    if (!name.empty()) text += " (" + name + ")";
    struct stat st {};
    if (::stat(("/proc/" + std::to_string(probe.l_pid)).c_str(), &st) == 0) {
      const struct passwd* user = ::getpwuid(st.st_uid);
      text +=
          " of user " + (user != nullptr ? std::string(user->pw_name) : std::to_string(st.st_uid));
    }
    return text;
  }
  return {};
}

}  // namespace velmo::platform::hive
