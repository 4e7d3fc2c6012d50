#include "platform/sqlite_hive.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <random>
#include <string>
#include <thread>

namespace velmo::platform::hive {

namespace {

constexpr auto kBusyTimeout = std::chrono::milliseconds(15000);

struct CloseDb {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using Db = std::unique_ptr<sqlite3, CloseDb>;

// A file made beside its destination, renamed into place by MoveTo, and removed unless it was.
class TempFile {
 public:
  explicit TempFile(const std::filesystem::path& dir)
      : path_((dir / ".velmo-backup-XXXXXX").string()) {
    const int fd = ::mkostemp(path_.data(), O_CLOEXEC);
    if (fd < 0) {
      path_.clear();
      Fail(StatusOfErrno(errno));
    }
    ::close(fd);
  }
  ~TempFile() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  const std::string& path() const { return path_; }
  void MoveTo(const std::filesystem::path& to) {
    if (::rename(path_.c_str(), to.c_str()) != 0) Fail(StatusOfErrno(errno));
    path_.clear();
  }

 private:
  std::string path_;
};

bool Damaged(sqlite3* db) {
  const int rc = sqlite3_errcode(db) & 0xFF;
  return rc == SQLITE_CORRUPT || rc == SQLITE_NOTADB;
}

}  // namespace

sqlite3* Hive::OpenForReading() {
  sqlite3* db = Open(/*create=*/false);
  if (db == nullptr) return nullptr;
  if (!schema_known_) schema_known_ = HasSchema(db);
  if (!schema_known_) return nullptr;
  if (!(stamp_checked_ && call_in_operation_)) {
    cache_.Validate(stamp_.Read());
    stamp_checked_ = call_in_operation_;
  }
  return db;
}

sqlite3* Hive::OpenForWriting() {
  stamp_checked_ = false;  // what this writes moves the stamp
  if (!policy_.Writable()) Fail(kErrorAccessDenied);
  sqlite3* db = Open(/*create=*/true);
  // Takes effect only while the file is still empty; names then keep their exact code units.
  if (!schema_known_) Exec(db, "PRAGMA encoding = 'UTF-16le'");
  // Damage SQLite meets only on the page it lies in is found before anything is written.
  if (schema_known_ && !checked_) {
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
  if (::stat(file().c_str(), &now) != 0) return true;
  return !stamp_.is_open() || now.st_dev != open_dev_ || now.st_ino != open_ino_;
}

sqlite3* Hive::Open(bool create) {
  // Changes under way hold the write lock on the file open; they end with it.
  if (changes_.is_open()) return db_;
  if (db_ != nullptr) {
    // A file removed, or replaced by a restore, is let go of, and the one now at the path used.
    if (!alone_since_ && ((path_checked_ && call_in_operation_) || !Replaced()) &&
        (read_write_ || !create)) {
      path_checked_ = call_in_operation_;
      return db_;
    }
    Close();
  }
  const std::filesystem::path& path = file();
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    if (errno != ENOENT) Fail(StatusOfErrno(errno));
    if (!create) return nullptr;
    policy_.Create();
  } else if (!S_ISREG(st.st_mode)) {
    Fail(kErrorBadDb);
  }
  if (::geteuid() == 0 && !policy_.SafeForRoot(/*to_write=*/false)) Fail(kErrorAccessDenied);
  const bool read_write = policy_.Writable();
  if (create && !read_write) Fail(kErrorAccessDenied);

  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) Fail(StatusOfErrno(errno));
  struct stat opened {};
  if (::fstat(fd.get(), &opened) != 0) Fail(StatusOfErrno(errno));
  if (read_write) policy_.MatchJournalFiles(opened);
  // A reader that may not open the index (one made before the hive was opened to others) reads
  // the file alone while the log is empty, as it is once no writer has the hive open.
  std::string name = path.string();
  int flags = 0;
  std::optional<Signature> alone;
  if (!read_write && ReadableAlone(path, fd.get())) {
    alone = FileSignature(path, fd.get());
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
  sqlite3* raw = nullptr;
  const int rc = sqlite3_open_v2(
      name.c_str(), &raw,
      (read_write ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY) | SQLITE_OPEN_NOMUTEX | flags,
      nullptr);
  Db db(raw);
  Check(rc, db.get());
  sqlite3_busy_handler(db.get(), &Hive::BusyWait, this);
  sqlite3_db_config(db.get(), SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
  sqlite3_db_config(db.get(), SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
  // FULL syncs the log before a commit returns, so a returned write survives a crash of the
  // process or of the machine.
  Exec(db.get(), "PRAGMA synchronous = FULL; PRAGMA foreign_keys = ON");
  const bool has_schema = HasSchema(db.get());
  if (read_write) {
    // The log and its index stay when the last connection closes: a reader that may not
    // create them could not open the hive otherwise. Kept short by checkpoints.
    int persist = 1;
    sqlite3_file_control(db.get(), "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
    Exec(db.get(), "PRAGMA journal_size_limit = 1048576; PRAGMA wal_autocheckpoint = 256");
    if (has_schema) UseWal(db.get());
  }
  db_ = db.release();
  stamp_.Open(std::move(fd));
  alone_since_ = alone;
  schema_known_ = has_schema;
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
  stamp_.ForgetIndex();
}

void Hive::EnsureSchema(sqlite3* db) {
  if (schema_known_) return;
  // Another process may have made it between our look and our lock.
  if (!HasSchema(db)) {
    CreateSchema(db);
    checked_ = true;
  }
  schema_known_ = true;
}

void Hive::Forget(sqlite3* db, Transaction* open) {
  if (db == nullptr) return;
  const int rc = sqlite3_errcode(db);
  const bool damaged = Damaged(db);
  if (changes_.is_open()) {
    if (damaged) {
      Close();
    } else if (sqlite3_get_autocommit(db)) {
      EndChanges(StatusOfSqlite(rc));
    }
    return;
  }
  // A failed COMMIT may leave the transaction open; never leave it so.
  if (open != nullptr) open->Rollback();
  if (!sqlite3_get_autocommit(db)) sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
  cache_.Invalidate();
  if (damaged) Close();
}

void Hive::EndChanges(std::optional<RegStatus> lost) {
  changes_.Rollback();
  changes_lost_ = lost;
  cache_.Invalidate();
  cache_.NextGeneration();
}

RegStatus Hive::CommitChanges() {
  changes_requested_ = false;
  if (changes_lost_) return *std::exchange(changes_lost_, std::nullopt);
  if (!changes_.is_open()) return kErrorSuccess;
  stamp_checked_ = false;
  // With no schema nothing was changed; committing would still give a new file its first page,
  // unmarked, which no one would take for a hive.
  if (!schema_known_) {
    changes_.Rollback();
  } else if (const int rc = changes_.Commit(); rc != SQLITE_OK) {
    const RegStatus why = StatusOfSqlite(rc, db_);
    Transaction failed = std::move(changes_);
    Forget(db_, &failed);
    return why;
  } else if (!changes_.restore_value()) {
    UseWal(db_);
  }
  created_in_changes_.clear();
  return kErrorSuccess;
}

void Hive::AbandonChanges() {
  changes_requested_ = false;
  changes_lost_.reset();
  if (changes_.is_open()) EndChanges(std::nullopt);
}

void Hive::Close() {
  if (changes_.is_open()) {
    // Closing rolls their transaction back.
    changes_.Drop();
    changes_lost_ = kErrorRegistryIoFailed;
  }
  statements_.Clear();
  if (db_ != nullptr) sqlite3_close_v2(db_);
  db_ = nullptr;
  stamp_.Close();
  read_write_ = false;
  checked_ = false;
  schema_known_ = false;
  alone_since_.reset();
  cache_.Invalidate();
  path_checked_ = stamp_checked_ = false;
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
  TempFile temp(to.has_parent_path() ? to.parent_path() : std::filesystem::path());
  sqlite3* raw = nullptr;
  const int rc = sqlite3_open_v2(temp.path().c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
  const Db copy(raw);
  Check(rc, copy.get());
  CopyDatabase(copy.get(), from);
  // A copy stands alone, with no log beside it.
  Exec(copy.get(), "PRAGMA journal_mode = DELETE");
  temp.MoveTo(to);
}

void Hive::Restore(const std::filesystem::path& from) {
  if (changes_requested_) Fail(kErrorBusy);
  struct stat copy_st {};
  struct stat hive_st {};
  if (::stat(from.c_str(), &copy_st) != 0) Fail(StatusOfErrno(errno));
  if (::stat(file().c_str(), &hive_st) == 0 && hive_st.st_dev == copy_st.st_dev &&
      hive_st.st_ino == copy_st.st_ino) {
    Fail(kErrorInvalidParameter);
  }
  sqlite3* raw = nullptr;
  const int rc = sqlite3_open_v2(from.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
  const Db copy(raw);
  Check(rc, copy.get());
  CheckIsSoundHive(copy.get());
  sqlite3* db = OpenForWriting();
  {
    ForgetOnFailure forget(*this, db);
    CopyDatabase(db, copy.get());
    forget.Dismiss();
  }
  // Committed: nothing after this fails the call. A new file is put in WAL mode as after its
  // first write; the schema is looked for again at the next use.
  cache_.Validate(std::nullopt);
  schema_known_ = false;
  UseWal(db);
}

}  // namespace velmo::platform::hive
