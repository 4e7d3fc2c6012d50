// The store against an unlucky administrator and a hostile local user: root led out of a hive's
// directory, a restore under readers, hives opened to others, stamps that repeat, writes within
// changes, and the holder of a lock that keeps writers out.
#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "child_process.h"
#include "platform/sqlite_hive.h"
#include "platform/sqlite_registry.h"
#include "platform/text.h"

namespace velmo::platform {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using velmo::testing::kNobody;

constexpr std::chrono::seconds kPatience(30);

RegStatus Set(RegistryApi& api, RegKey root, std::u16string_view path, std::u16string_view name,
              std::u16string_view text) {
  RegKey key = 0;
  RegStatus status = api.CreateKey(root, path, kKeyWrite, &key);
  if (status != kErrorSuccess) return status;
  status = api.SetValue(key, name, kRegSz, reinterpret_cast<const std::uint8_t*>(text.data()),
                        static_cast<std::uint32_t>(text.size() * 2));
  api.CloseKey(key);
  return status;
}

std::string Get(RegistryApi& api, RegKey root, std::u16string_view path, std::u16string_view name) {
  RegKey key = 0;
  RegStatus status = api.OpenKey(root, path, kKeyRead, &key);
  if (status != kErrorSuccess) return "status " + std::to_string(status);
  char16_t text[64];
  std::uint32_t size = sizeof text;
  status = api.QueryValue(key, name, nullptr, reinterpret_cast<std::uint8_t*>(text), &size);
  api.CloseKey(key);
  return status == kErrorSuccess ? ToUtf8(std::u16string(text, size / 2))
                                 : "status " + std::to_string(status);
}

std::string Integrity(const fs::path& file) {
  sqlite3* db = nullptr;
  std::string result = "cannot open";
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
      sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &stmt, nullptr) == SQLITE_OK &&
      sqlite3_step(stmt) == SQLITE_ROW) {
    result = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
  }
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return result;
}

// A child that reads when the parent asks, and reports what it read.
class Reader {
 public:
  explicit Reader(const std::function<std::string()>& read, bool as_nobody) {
    if (pipe(to_child_) != 0) return;
    child_ = velmo::testing::StartChild([&](int to_parent) {
      if (as_nobody && !velmo::testing::DropPrivileges(kNobody)) _exit(3);
      for (char go = 0; read_byte(&go) == 1;) {
        std::string seen = read();
        seen.resize(32, ' ');
        if (write(to_parent, seen.data(), 32) != 32) _exit(1);
      }
    });
  }
  ~Reader() {
    if (child_.pid > 0) {
      kill(child_.pid, SIGKILL);
      waitpid(child_.pid, nullptr, 0);
      close(child_.from_child);
    }
    close(to_child_[0]);
    close(to_child_[1]);
  }
  // What the child reads now.
  std::string Next() {
    char seen[33] = {};
    if (child_.pid < 0 || write(to_child_[1], "!", 1) != 1 ||
        !velmo::testing::ReadWithin(child_.from_child, seen, 32, kPatience)) {
      return "no answer";
    }
    std::string text(seen);
    return text.substr(0, text.find_last_not_of(' ') + 1);
  }

 private:
  ssize_t read_byte(char* c) { return read(to_child_[0], c, 1); }
  int to_child_[2] = {-1, -1};
  velmo::testing::Child child_{-1, -1};
};

class StoreSafetyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "velmo-safety-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    chmod(dir_.c_str(), 0755);
    paths_ = {dir_ / "machine" / "machine.db", dir_ / "user" / "user.db"};
  }
  void TearDown() override {
    hive::HooksForTesting() = {};
    fs::remove_all(dir_);
  }
  std::unique_ptr<RegistryApi> NewStore() { return NewSqliteRegistry(paths_); }

  fs::path dir_;
  HivePaths paths_;
};

// A user who owns the directory a hive is made in swaps a directory root makes for a link, before
// root comes to it or between its making and its mode: root changes nothing at the link's end.
TEST_F(StoreSafetyTest, RootIsNotLedOutOfAUsersDirectory) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root, to make hives in a user's directory";
  const fs::path home = dir_ / "home";
  const fs::path target = dir_ / "etc";  // what root alone may change
  fs::create_directories(home);
  fs::create_directories(target);
  ASSERT_EQ(chown(home.c_str(), kNobody, kNobody), 0);
  ASSERT_EQ(chmod(target.c_str(), 0700), 0);
  const auto untouched = [&] {
    struct stat st {};
    return stat(target.c_str(), &st) == 0 && st.st_uid == 0 && (st.st_mode & 07777) == 0700 &&
           fs::is_empty(target);
  };
  fs::create_directory_symlink(target, home / "planted");
  ASSERT_EQ(lchown((home / "planted").c_str(), kNobody, kNobody), 0);
  EXPECT_EQ(Set(*NewSqliteRegistry({paths_.machine, home / "planted" / "sub" / "user.db"}),
                kHkeyCurrentUser, u"Software\\A", u"v", u"1"),
            kErrorAccessDenied);
  EXPECT_TRUE(untouched());
  for (const RegKey root : {kHkeyCurrentUser, kHkeyLocalMachine}) {
    SCOPED_TRACE(root == kHkeyCurrentUser ? "user hive" : "machine hive");
    const fs::path swapped = home / (root == kHkeyCurrentUser ? "u" : "m");
    hive::HooksForTesting().after_mkdir = [&](const fs::path& made) {
      if (made != swapped) return;
      fs::rename(made, home / "away");
      fs::create_directory_symlink(target, made);
    };
    const fs::path file = swapped / "sub" / "hive.db";
    EXPECT_EQ(Set(*NewSqliteRegistry({file, file}), root, u"Software\\A", u"v", u"1"),
              kErrorAccessDenied);
    EXPECT_TRUE(untouched());
    fs::remove_all(home / "away");
    fs::remove(swapped);
  }
}

// A restore while another process has the hive open and reads it: that process reads the copy
// at its next read, and the hive is sound; a file that is not a hive is refused unwritten.
TEST_F(StoreSafetyTest, ARestoreUnderAReaderIsSeenWholeAndSound) {
  auto store = NewStore();
  for (int i = 0; i < 50; ++i) {
    ASSERT_EQ(
        Set(*store, kHkeyCurrentUser, u"Software\\K" + FromUtf8(std::to_string(i)), u"v", u"copy"),
        kErrorSuccess);
  }
  const fs::path copy = dir_ / "copy.db";
  ASSERT_EQ(BackupHive(paths_, kHkeyCurrentUser, copy), kErrorSuccess);
  for (int i = 0; i < 50; i += 7) {
    ASSERT_EQ(
        Set(*store, kHkeyCurrentUser, u"Software\\K" + FromUtf8(std::to_string(i)), u"v", u"later"),
        kErrorSuccess);
  }
  ASSERT_EQ(Set(*store, kHkeyCurrentUser, u"Software\\New", u"v", u"later"), kErrorSuccess);
  auto reads = [&, other = std::shared_ptr<RegistryApi>()]() mutable {
    if (!other) other = NewStore();
    std::string seen;
    for (const char* key : {"Software\\K0", "Software\\K48", "Software\\New"}) {
      seen += Get(*other, kHkeyCurrentUser, FromUtf8(key), u"v") + ",";
    }
    return seen;
  };
  Reader reader(reads, /*as_nobody=*/false);
  EXPECT_EQ(reader.Next(), "later,copy,later,");
  const fs::path foreign = dir_ / "foreign.db";
  std::ofstream(foreign) << "not a hive";
  EXPECT_EQ(RestoreHive(paths_, kHkeyCurrentUser, foreign), kErrorBadDb);
  EXPECT_EQ(reader.Next(), "later,copy,later,");
  ASSERT_EQ(RestoreHive(paths_, kHkeyCurrentUser, copy), kErrorSuccess);
  EXPECT_EQ(reader.Next(), "copy,copy,status 2,");
  EXPECT_EQ(Get(*store, kHkeyCurrentUser, u"Software\\K0", u"v"), "copy");
  EXPECT_EQ(Integrity(paths_.user), "ok");
  store.reset();
  EXPECT_EQ(Get(*NewStore(), kHkeyCurrentUser, u"Software\\K7", u"v"), "copy");
}

// Root writes a hive that only it may read, and ends; an administrator then opens the hive to
// others: they read it although the log and index beside it are still root's alone. The next
// process that may gives them the hive's mode.
TEST_F(StoreSafetyTest, AHiveOpenedToOthersIsReadByThem) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root, and an ordinary user to read";
  const HivePaths shared{dir_ / "machine.db", dir_ / "user.db"};
  ASSERT_EQ(Set(*NewSqliteRegistry(shared), kHkeyCurrentUser, u"Software\\A", u"v", u"root's"),
            kErrorSuccess);
  ASSERT_EQ(chmod(shared.user.c_str(), 0644), 0);
  const auto read = [&] {
    return Get(*NewSqliteRegistry(shared), kHkeyCurrentUser, u"Software\\A", u"v");
  };
  EXPECT_EQ(Reader(read, /*as_nobody=*/true).Next(), "root's");
  EXPECT_EQ(read(), "root's");  // as root, who may fix them
  struct stat st {};
  ASSERT_EQ(stat((shared.user.string() + "-shm").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
}

// An ordinary user reads the machine hive with no writer attached, off the files; a writer that
// attaches empties the index. What was read under an index being rebuilt is not kept.
TEST_F(StoreSafetyTest, AnIndexBeingRebuiltKeepsNothing) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root, and an ordinary user to read";
  for (const off_t size : {off_t{3}, off_t{32768}}) {
    SCOPED_TRACE(size == 3 ? "index cut to 3 bytes" : "index zero-filled");
    fs::remove_all(paths_.machine.parent_path());
    const fs::path index = paths_.machine.string() + "-shm";
    const auto empty_index = [&] {
      return truncate(index.c_str(), 0) == 0 && truncate(index.c_str(), size) == 0;
    };
    ASSERT_EQ(Set(*NewStore(), kHkeyLocalMachine, u"SOFTWARE\\A", u"v", u"1"), kErrorSuccess);
    ASSERT_TRUE(empty_index());
    auto store = std::shared_ptr<RegistryApi>();
    Reader reader(
        [&] {
          if (!store) store = NewStore();
          return Get(*store, kHkeyLocalMachine, u"SOFTWARE\\A", u"v");
        },
        /*as_nobody=*/true);
    EXPECT_EQ(reader.Next(), "1");
    ASSERT_EQ(Set(*NewStore(), kHkeyLocalMachine, u"SOFTWARE\\A", u"v", u"2"), kErrorSuccess);
    ASSERT_TRUE(empty_index());
    EXPECT_EQ(reader.Next(), "2");
  }
}

// Another process commits between the stamp a read takes and its snapshot: one operation still
// answers from one state.
TEST_F(StoreSafetyTest, ACommitBetweenStampAndSnapshotDoesNotMixStates) {
  auto store = NewStore();
  auto other = NewStore();
  ASSERT_EQ(Set(*store, kHkeyCurrentUser, u"Software\\A", u"x", u"1"), kErrorSuccess);
  for (int i = 0; i < 3; ++i) {  // until all of it is kept
    EXPECT_EQ(Get(*store, kHkeyCurrentUser, u"Software\\A", u"x"), "1");
  }
  hive::HooksForTesting().after_stamp = [&] {
    hive::HooksForTesting().after_stamp = nullptr;
    ASSERT_EQ(Set(*other, kHkeyCurrentUser, u"Software\\A", u"x", u"2"), kErrorSuccess);
    ASSERT_EQ(Set(*other, kHkeyCurrentUser, u"Software\\A", u"z", u"2"), kErrorSuccess);
  };
  const OperationScope operation(*store);
  EXPECT_EQ(Get(*store, kHkeyCurrentUser, u"Software\\A", u"z"), "2");
  EXPECT_EQ(Get(*store, kHkeyCurrentUser, u"Software\\A", u"x"), "2");
}

// Within changes a listing sees their own writes; a key created in changes that are abandoned is
// deleted for its handles, and they never reach a key created afterwards.
TEST_F(StoreSafetyTest, ChangesListTheirWritesAndAbandonedKeysStayDeleted) {
  auto store = NewStore();
  ASSERT_EQ(Set(*store, kHkeyCurrentUser, u"Software\\Before", u"v", u"1"), kErrorSuccess);
  ASSERT_TRUE(store->BeginChanges());
  RegKey key = 0;
  ASSERT_EQ(store->CreateKey(kHkeyCurrentUser, u"Software\\Abandoned", kKeyRead | kKeyWrite, &key),
            kErrorSuccess);
  char16_t name[8];
  std::uint32_t length = 8;
  const std::uint8_t data[2] = {'1', 0};
  ASSERT_EQ(store->SetValue(key, u"a", kRegSz, data, 2), kErrorSuccess);
  EXPECT_EQ(store->EnumValueName(key, 0, name, &length), kErrorSuccess);
  ASSERT_EQ(store->SetValue(key, u"b", kRegSz, data, 2), kErrorSuccess);
  length = 8;
  EXPECT_EQ(store->EnumValueName(key, 1, name, &length), kErrorSuccess);
  EXPECT_EQ(std::u16string(name, length), u"b");
  store->AbandonChanges();
  RegKey later = 0;
  ASSERT_EQ(store->CreateKey(kHkeyCurrentUser, u"Software\\Later", kKeyWrite, &later),
            kErrorSuccess);
  EXPECT_EQ(store->SetValue(key, u"stray", kRegSz, data, 2), kErrorKeyDeleted);
  length = 8;
  EXPECT_EQ(store->EnumValueName(key, 0, name, &length), kErrorKeyDeleted);
  EXPECT_EQ(Get(*store, kHkeyCurrentUser, u"Software\\Later", u"stray"), "status 2");
  store->CloseKey(key);
  store->CloseKey(later);
}

// A process that holds the index's write lock through a descriptor it may only read keeps
// writers out; it is named.
TEST_F(StoreSafetyTest, TheHolderOfTheWriteLockIsNamed) {
  ASSERT_EQ(Set(*NewStore(), kHkeyLocalMachine, u"SOFTWARE\\A", u"v", u"1"), kErrorSuccess);
  EXPECT_EQ(HiveLockHolder(paths_, kHkeyLocalMachine), "");
  const std::string index = paths_.machine.string() + "-shm";
  const velmo::testing::Child holder = velmo::testing::StartChild([&](int to_parent) {
    const int fd = open(index.c_str(), O_RDONLY);
    struct flock lock {};
    lock.l_type = F_RDLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = 120;
    lock.l_len = 1;
    if (fd < 0 || fcntl(fd, F_SETLK, &lock) != 0 || write(to_parent, "!", 1) != 1) _exit(1);
    pause();
  });
  ASSERT_GE(holder.pid, 0);
  char ready = 0;
  const bool holding = velmo::testing::ReadWithin(holder.from_child, &ready, 1, kPatience);
  const std::string named = HiveLockHolder(paths_, kHkeyLocalMachine);
  kill(holder.pid, SIGKILL);
  waitpid(holder.pid, nullptr, 0);
  close(holder.from_child);
  ASSERT_TRUE(holding);
  EXPECT_THAT(named, HasSubstr("process " + std::to_string(holder.pid) + " ("));
}

}  // namespace
}  // namespace velmo::platform
