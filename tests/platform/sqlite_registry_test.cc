// The portable store's own promises: where its files are, who may write them, and what survives
// other processes, crashes and damage.
#include "platform/sqlite_registry.h"

#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "child_process.h"
#include "platform/sqlite_hive.h"
#include "platform/text.h"
#include "temp_dir.h"

namespace velmo::platform {
namespace {

namespace fs = std::filesystem;
using ::testing::IsEmpty;

std::string ReadFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const fs::path& file, const std::string& bytes) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

RegStatus WriteString(RegistryApi& api, RegKey root, std::u16string_view path,
                      std::u16string_view name, std::u16string_view text, std::uint32_t view = 0) {
  RegKey key = 0;
  RegStatus status = api.CreateKey(root, path, kKeyWrite | view, &key);
  if (status != kErrorSuccess) return status;
  status = api.SetValue(key, name, kRegSz, reinterpret_cast<const std::uint8_t*>(text.data()),
                        static_cast<std::uint32_t>(text.size() * 2));
  api.CloseKey(key);
  return status;
}

std::optional<std::u16string> ReadString(RegistryApi& api, RegKey root, std::u16string_view path,
                                         std::u16string_view name, std::uint32_t view = 0) {
  RegKey key = 0;
  if (api.OpenKey(root, path, kKeyRead | view, &key) != kErrorSuccess) return std::nullopt;
  std::uint32_t size = 0;
  std::optional<std::u16string> text;
  RegStatus status = api.QueryValue(key, name, nullptr, nullptr, &size);
  // Another process may lengthen the value between the two questions: ask again then.
  while (status == kErrorSuccess || status == kErrorMoreData) {
    std::u16string buffer(size / 2, u'\0');
    status =
        api.QueryValue(key, name, nullptr, reinterpret_cast<std::uint8_t*>(buffer.data()), &size);
    if (status == kErrorSuccess) {
      buffer.resize(size / 2);
      text = buffer;
      break;
    }
  }
  api.CloseKey(key);
  return text;
}

std::u16string U16(const std::string& ascii) { return FromUtf8(ascii); }

// How long a child may take to show progress on a busy two-core machine before the test fails
// rather than waits on.
constexpr std::chrono::seconds kPatience(30);

class SqliteRegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "velmo-store-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    paths_ = {dir_ / "machine" / "machine.db", dir_ / "user" / "user.db"};
  }
  void TearDown() override {
    // Undo what the access tests took away, so that the directory can go.
    for (const auto& entry : fs::recursive_directory_iterator(dir_)) {
      chmod(entry.path().c_str(), entry.is_directory() ? 0755 : 0644);
    }
    fs::remove_all(dir_);
  }

  std::unique_ptr<RegistryApi> NewStore() { return NewSqliteRegistry(paths_); }

  fs::path dir_;
  HivePaths paths_;
};

// A statement asked for while the cached one is out on loan is one of its own: giving it back
// does not reset the rows of the first.
TEST(HiveStatementTest, TwoLoansOfOneStatementKeepTheirOwnRows) {
  velmo::testing::TempDir dir;
  hive::Hive store(dir.Host(u"h.db"), 0600, 0700, /*has_views=*/false, /*for_its_owner=*/false);
  constexpr char kRows[] = "SELECT 1 UNION ALL SELECT 2 ORDER BY 1";
  const RegStatus status = store.Write([&](sqlite3* db) {
    for (int round = 0; round < 2; ++round) {  // and the cached one is lent again afterwards
      hive::Statement outer = store.Prepare(db, kRows);
      EXPECT_TRUE(outer.Step());
      EXPECT_EQ(outer.Int(0), 1);
      {
        hive::Statement inner = store.Prepare(db, kRows);
        EXPECT_TRUE(inner.Step());
        EXPECT_TRUE(inner.Step());
        EXPECT_EQ(inner.Int(0), 2);
      }
      EXPECT_TRUE(outer.Step());
      EXPECT_EQ(outer.Int(0), 2);
      EXPECT_FALSE(outer.Step());
    }
    return kErrorSuccess;
  });
  EXPECT_EQ(status, kErrorSuccess);
}

TEST_F(SqliteRegistryTest, AHiveIsMadeOnItsFirstWriteWithItsDirectories) {
  auto store = NewStore();
  RegKey key = 0;
  // Nothing on disk reads as an empty hive, and reading makes nothing.
  EXPECT_EQ(store->OpenKey(kHkeyLocalMachine, u"", kKeyRead, &key), kErrorSuccess);
  std::uint32_t count = 7;
  EXPECT_EQ(store->QueryInfoKey(key, &count, nullptr), kErrorSuccess);
  EXPECT_EQ(count, 0u);
  store->CloseKey(key);
  EXPECT_EQ(store->OpenKey(kHkeyLocalMachine, u"SOFTWARE", kKeyRead, &key), kErrorFileNotFound);
  EXPECT_FALSE(ReadString(*store, kHkeyCurrentUser, u"", u"x"));
  EXPECT_FALSE(fs::exists(paths_.machine.parent_path()));
  EXPECT_FALSE(fs::exists(paths_.user.parent_path()));

  ASSERT_EQ(WriteString(*store, kHkeyCurrentUser, u"Software\\A", u"x", u"1"), kErrorSuccess);
  EXPECT_TRUE(fs::exists(paths_.user));
  EXPECT_FALSE(fs::exists(paths_.machine));
  ASSERT_EQ(WriteString(*store, kHkeyLocalMachine, u"SOFTWARE\\A", u"x", u"2"), kErrorSuccess);

  // The user's settings are the user's own; the machine's are for everyone to read.
  struct stat st {};
  ASSERT_EQ(stat(paths_.user.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(stat(paths_.machine.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  EXPECT_EQ(ReadString(*store, kHkeyCurrentUser, u"software\\a", u"X"), u"1");
}

TEST_F(SqliteRegistryTest, WritesAreSeenAtOnceByOtherStoresAndLater) {
  auto first = NewStore();
  auto second = NewStore();
  EXPECT_FALSE(ReadString(*second, kHkeyCurrentUser, u"Software\\Shared", u"v"));
  ASSERT_EQ(WriteString(*first, kHkeyCurrentUser, u"Software\\Shared", u"v", u"one"),
            kErrorSuccess);
  EXPECT_EQ(ReadString(*second, kHkeyCurrentUser, u"Software\\Shared", u"v"), u"one");
  ASSERT_EQ(WriteString(*second, kHkeyCurrentUser, u"Software\\Shared", u"v", u"two"),
            kErrorSuccess);
  EXPECT_EQ(ReadString(*first, kHkeyCurrentUser, u"Software\\Shared", u"v"), u"two");
  first.reset();
  second.reset();
  EXPECT_EQ(ReadString(*NewStore(), kHkeyCurrentUser, u"Software\\Shared", u"v"), u"two");
}

TEST_F(SqliteRegistryTest, TheThirtyTwoBitViewIsStoredUnderWow6432Node) {
  auto store = NewStore();
  ASSERT_EQ(WriteString(*store, kHkeyLocalMachine, u"SOFTWARE\\MOLTRA", u"PATH", u"C:\\App\\",
                        kKeyWow64_32Key),
            kErrorSuccess);
  EXPECT_EQ(ReadString(*store, kHkeyLocalMachine, u"Software\\Wow6432Node\\Moltra", u"PATH"),
            u"C:\\App\\");
  EXPECT_FALSE(ReadString(*store, kHkeyLocalMachine, u"SOFTWARE\\MOLTRA", u"PATH"));
  // The 32-bit view does not nest the node twice.
  EXPECT_EQ(ReadString(*store, kHkeyLocalMachine, u"SOFTWARE\\WOW6432Node\\MOLTRA", u"PATH",
                       kKeyWow64_32Key),
            u"C:\\App\\");
}

// Reads are answered from memory while the file has not changed; nothing another process
// committed may ever be hidden by that.
TEST_F(SqliteRegistryTest, WhatIsReadAgainReflectsOtherProcessesWrites) {
  auto reader = NewStore();
  ASSERT_EQ(WriteString(*reader, kHkeyCurrentUser, u"Software\\Seen", u"v", u"old"), kErrorSuccess);
  for (int i = 0; i < 3; ++i) {  // fill the cache
    EXPECT_EQ(ReadString(*reader, kHkeyCurrentUser, u"Software\\Seen", u"v"), u"old");
    EXPECT_FALSE(ReadString(*reader, kHkeyCurrentUser, u"Software\\Seen", u"later"));
  }
  EXPECT_THAT(velmo::testing::InChild([&](std::string& out) {
                auto writer = NewStore();
                if (WriteString(*writer, kHkeyCurrentUser, u"Software\\Seen", u"v", u"new") !=
                        kErrorSuccess ||
                    WriteString(*writer, kHkeyCurrentUser, u"Software\\Seen", u"later", u"made") !=
                        kErrorSuccess) {
                  out += "write failed";
                }
              }),
              IsEmpty());
  EXPECT_EQ(ReadString(*reader, kHkeyCurrentUser, u"Software\\Seen", u"v"), u"new");
  EXPECT_EQ(ReadString(*reader, kHkeyCurrentUser, u"Software\\Seen", u"later"), u"made");

  // The same path, made again elsewhere, is another key.
  EXPECT_THAT(
      velmo::testing::InChild([&](std::string& out) {
        auto writer = NewStore();
        if (writer->DeleteKeyTree(kHkeyCurrentUser, u"Software\\Seen", 0) != kErrorSuccess ||
            WriteString(*writer, kHkeyCurrentUser, u"Software\\Seen", u"v", u"again") !=
                kErrorSuccess) {
          out += "write failed";
        }
      }),
      IsEmpty());
  EXPECT_EQ(ReadString(*reader, kHkeyCurrentUser, u"Software\\Seen", u"v"), u"again");

  EXPECT_THAT(
      velmo::testing::InChild([&](std::string& out) {
        if (NewStore()->DeleteKeyTree(kHkeyCurrentUser, u"Software\\Seen", 0) != kErrorSuccess) {
          out += "delete failed";
        }
      }),
      IsEmpty());
  RegKey key = 0;
  EXPECT_EQ(reader->OpenKey(kHkeyCurrentUser, u"Software\\Seen", kKeyRead, &key),
            kErrorFileNotFound);

  // A writer in a loop, and every read of the counting value no older than the one before, for as
  // long as it takes the value to move often enough to show it.
  const velmo::testing::Child writer = velmo::testing::StartChild([&](int) {
    auto store = NewStore();
    for (int n = 1;; ++n) {
      WriteString(*store, kHkeyCurrentUser, u"Software\\Count", u"n", U16(std::to_string(n)));
    }
  });
  ASSERT_GE(writer.pid, 0);
  constexpr int kMoves = 50;
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  int last = 0;
  int moves = 0;
  int backwards = 0;
  while (moves < kMoves && std::chrono::steady_clock::now() < deadline) {
    const auto text = ReadString(*reader, kHkeyCurrentUser, u"Software\\Count", u"n");
    const int now = text ? std::stoi(ToUtf8(*text)) : 0;
    if (now < last && backwards++ == 0) ADD_FAILURE() << now << " read after " << last;
    if (now > last) ++moves;
    last = now;
  }
  kill(writer.pid, SIGKILL);
  waitpid(writer.pid, nullptr, 0);
  close(writer.from_child);
  EXPECT_EQ(moves, kMoves) << "the writer's value moved too seldom to compare reads";
  const auto text = ReadString(*reader, kHkeyCurrentUser, u"Software\\Count", u"n");
  ASSERT_TRUE(text);
  EXPECT_GE(std::stoi(ToUtf8(*text)), last);
}

TEST(HivePathsTest, FollowTheEnvironment) {
  std::map<std::string, std::string> env;
  const auto get = [&](const char* name) -> const char* {
    const auto it = env.find(name);
    return it == env.end() ? nullptr : it->second.c_str();
  };
  env["HOME"] = "/home/anna";
  HivePaths paths = HivePathsFromEnvironment(get);
  EXPECT_EQ(paths.machine, "/var/lib/moltra/registry/machine.db");
  EXPECT_EQ(paths.user, "/home/anna/.config/moltra/registry/user.db");

  env["XDG_CONFIG_HOME"] = "/srv/conf";
  EXPECT_EQ(HivePathsFromEnvironment(get).user, "/srv/conf/moltra/registry/user.db");
  env["XDG_CONFIG_HOME"] = "relative/conf";  // not valid, so not used
  EXPECT_EQ(HivePathsFromEnvironment(get).user, "/home/anna/.config/moltra/registry/user.db");

  env[kRegistryDirVariable] = "/tmp/reg";
  paths = HivePathsFromEnvironment(get);
  EXPECT_EQ(paths.machine, "/tmp/reg/machine.db");
  EXPECT_EQ(paths.user, "/tmp/reg/user.db");
  env[kRegistryDirVariable] = "";
  EXPECT_EQ(HivePathsFromEnvironment(get).machine, "/var/lib/moltra/registry/machine.db");
}

// The machine hive belongs to root and the process is an ordinary user: reading goes on, writing
// is refused and changes nothing, and the user's own hive stays writable.
TEST_F(SqliteRegistryTest, AHiveThatMayNotBeWrittenRefusesWritesAndStillReads) {
  ASSERT_EQ(WriteString(*NewStore(), kHkeyLocalMachine, u"SOFTWARE\\MOLTRA", u"PATH", u"/opt/app/"),
            kErrorSuccess);
  const bool as_root = geteuid() == 0;
  using velmo::testing::kNobody;
  if (as_root) {
    // Root may write anything, so the child drops to an unprivileged user that owns only the
    // user hive's directory.
    ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
    fs::create_directories(paths_.user.parent_path());
    ASSERT_EQ(chown(paths_.user.parent_path().c_str(), kNobody, kNobody), 0);
  } else {
    ASSERT_EQ(chmod(paths_.machine.c_str(), 0444), 0);
    ASSERT_EQ(chmod(paths_.machine.parent_path().c_str(), 0555), 0);
  }
  const std::string before = ReadFile(paths_.machine);

  const std::string report = velmo::testing::InChild([&](std::string& out) {
    if (as_root && !velmo::testing::DropPrivileges(kNobody)) {
      out += "could not drop privileges;";
      return;
    }
    auto store = NewStore();
    const auto expect = [&](bool ok, const char* what) {
      if (!ok) out += std::string(what) + ";";
    };
    expect(ReadString(*store, kHkeyLocalMachine, u"SOFTWARE\\MOLTRA", u"PATH") == u"/opt/app/",
           "machine value unreadable");
    RegKey key = 0;
    expect(store->CreateKey(kHkeyLocalMachine, u"SOFTWARE\\Other", kKeyWrite, &key) ==
               kErrorAccessDenied,
           "creating a machine key was not denied");
    expect(store->CreateKey(kHkeyLocalMachine, u"SOFTWARE\\MOLTRA", kKeyWrite, &key) ==
               kErrorAccessDenied,
           "opening an existing machine key for writing was not denied");
    expect(key == 0, "a denied open left a handle");
    expect(store->OpenKey(kHkeyLocalMachine, u"SOFTWARE\\MOLTRA", kKeyWrite, &key) ==
               kErrorAccessDenied,
           "OpenKey for writing was not denied");
    const std::uint8_t byte = 1;
    expect(store->SetValue(kHkeyLocalMachine, u"root", kRegBinary, &byte, 1) == kErrorAccessDenied,
           "writing at the machine root was not denied");
    expect(store->DeleteKeyTree(kHkeyLocalMachine, u"SOFTWARE\\MOLTRA", 0) == kErrorAccessDenied,
           "deleting a machine key was not denied");
    expect(WriteString(*store, kHkeyCurrentUser, u"Software\\MOLTRA", u"USER", u"/home/u/") ==
               kErrorSuccess,
           "the user hive was not writable");
    expect(ReadString(*store, kHkeyCurrentUser, u"Software\\MOLTRA", u"USER") == u"/home/u/",
           "the user value did not read back");
  });
  EXPECT_THAT(report, IsEmpty());
  EXPECT_EQ(ReadFile(paths_.machine), before);
  EXPECT_FALSE(fs::exists(paths_.machine.string() + "-journal"));
}

// Each kind of bad file, with every operation tried on it: all fail, and the file stays as it was.
TEST_F(SqliteRegistryTest, ADamagedHiveIsNeverTouched) {
  // A real hive, to damage.
  ASSERT_EQ(WriteString(*NewStore(), kHkeyLocalMachine, u"SOFTWARE\\MOLTRA", u"PATH", u"/opt/"),
            kErrorSuccess);
  const std::string good = ReadFile(paths_.machine);
  ASSERT_GT(good.size(), 1024u);

  std::string scrambled_schema = good;
  for (size_t i = 100; i < 1024; ++i) scrambled_schema[i] = static_cast<char>(0xA5);
  std::string foreign;
  {
    const fs::path other = dir_ / "other.db";
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(other.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE notes(t); INSERT INTO notes VALUES('mine')", nullptr,
                           nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    foreign = ReadFile(other);
  }
  const std::map<std::string, std::string> kinds = {
      {"text", "[HKEY_LOCAL_MACHINE]\nnot a database at all\n"},
      {"zeros", std::string(8192, '\0')},
      {"header only", good.substr(0, 100)},
      {"scrambled schema", scrambled_schema},
      {"someone else's database", foreign},
  };

  for (const auto& [kind, bytes] : kinds) {
    SCOPED_TRACE(kind);
    WriteFile(paths_.machine, bytes);
    auto store = NewStore();
    RegKey key = 0;
    std::uint32_t size = 4;
    std::uint8_t data[4] = {1, 2, 3, 4};
    char16_t name[8] = {};
    std::uint32_t length = 8;
    std::uint32_t count = 0;
    EXPECT_NE(store->OpenKey(kHkeyLocalMachine, u"SOFTWARE\\MOLTRA", kKeyRead, &key),
              kErrorSuccess);
    EXPECT_NE(store->CreateKey(kHkeyLocalMachine, u"SOFTWARE\\New", kKeyWrite, &key),
              kErrorSuccess);
    EXPECT_EQ(key, 0u);
    EXPECT_NE(store->SetValue(kHkeyLocalMachine, u"v", kRegBinary, data, 4), kErrorSuccess);
    EXPECT_NE(store->QueryValue(kHkeyLocalMachine, u"v", nullptr, data, &size), kErrorSuccess);
    EXPECT_NE(store->EnumValueName(kHkeyLocalMachine, 0, name, &length), kErrorSuccess);
    EXPECT_NE(store->QueryInfoKey(kHkeyLocalMachine, &count, nullptr), kErrorSuccess);
    EXPECT_NE(store->DeleteValue(kHkeyLocalMachine, u"v"), kErrorSuccess);
    EXPECT_NE(store->DeleteKeyTree(kHkeyLocalMachine, u"SOFTWARE", 0), kErrorSuccess);
    EXPECT_FALSE(ReadString(*store, kHkeyLocalMachine, u"SOFTWARE\\MOLTRA", u"PATH"));
    // The other hive is not affected.
    EXPECT_EQ(WriteString(*store, kHkeyCurrentUser, u"Software\\Ok", u"v", u"fine"), kErrorSuccess);
    store.reset();
    EXPECT_EQ(ReadFile(paths_.machine), bytes);
    EXPECT_FALSE(fs::exists(paths_.machine.string() + "-journal"));
  }

  // Put right by someone else, the hive works again in a store that had found it damaged.
  WriteFile(paths_.machine, "garbage");
  auto store = NewStore();
  EXPECT_FALSE(ReadString(*store, kHkeyLocalMachine, u"SOFTWARE\\MOLTRA", u"PATH"));
  WriteFile(paths_.machine, good);
  EXPECT_EQ(ReadString(*store, kHkeyLocalMachine, u"SOFTWARE\\MOLTRA", u"PATH"), u"/opt/");
}

// Several processes write to one key of one hive and read each other: no write is lost and no
// call fails because another process holds the file.
TEST_F(SqliteRegistryTest, ProcessesShareAHiveWithoutLosingWrites) {
  constexpr int kProcesses = 4;
  constexpr int kWritesEach = 60;
  ASSERT_EQ(WriteString(*NewStore(), kHkeyCurrentUser, u"Software\\Shared", u"seed", u"0"),
            kErrorSuccess);
  std::vector<pid_t> children;
  std::vector<int> pipes;
  for (int p = 0; p < kProcesses; ++p) {
    const velmo::testing::Child child = velmo::testing::StartChild([&](int to_parent) {
      auto store = NewStore();
      std::string report;
      for (int n = 0; n < kWritesEach; ++n) {
        const std::u16string name = U16("p" + std::to_string(p) + "-" + std::to_string(n));
        const std::u16string text = U16(std::to_string(p * 1000 + n));
        RegStatus status = WriteString(*store, kHkeyCurrentUser, u"Software\\Shared", name, text);
        if (status != kErrorSuccess) report += "write " + std::to_string(status) + ";";
        if (ReadString(*store, kHkeyCurrentUser, u"Software\\Shared", name) != text) {
          report += "own read;";
        }
        // And what another process wrote before.
        const int other = (p + 1) % kProcesses;
        (void)ReadString(*store, kHkeyCurrentUser, u"Software\\Shared",
                         U16("p" + std::to_string(other) + "-" + std::to_string(n / 2)));
        RegKey key = 0;
        std::uint32_t count = 0;
        if (store->OpenKey(kHkeyCurrentUser, u"Software\\Shared", kKeyRead, &key) !=
                kErrorSuccess ||
            store->QueryInfoKey(key, &count, nullptr) != kErrorSuccess) {
          report += "listing;";
        }
        store->CloseKey(key);
      }
      const ssize_t ignored = write(to_parent, report.data(), report.size());
      (void)ignored;
    });
    ASSERT_GE(child.pid, 0);
    children.push_back(child.pid);
    pipes.push_back(child.from_child);
  }
  for (int p = 0; p < kProcesses; ++p) {
    std::string report;
    char buffer[1024];
    for (ssize_t n; (n = read(pipes[p], buffer, sizeof buffer)) > 0;) report.append(buffer, n);
    close(pipes[p]);
    int status = 0;
    waitpid(children[p], &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "process " << p;
    EXPECT_THAT(report, IsEmpty()) << "process " << p;
  }

  auto store = NewStore();
  for (int p = 0; p < kProcesses; ++p) {
    for (int n = 0; n < kWritesEach; ++n) {
      const std::u16string name = U16("p" + std::to_string(p) + "-" + std::to_string(n));
      EXPECT_EQ(ReadString(*store, kHkeyCurrentUser, u"Software\\Shared", name),
                U16(std::to_string(p * 1000 + n)));
    }
  }
}

// A writer killed at random moments, many times over: the hive always opens and is sound, and it
// holds every write whose call had returned before the kill.
TEST_F(SqliteRegistryTest, AKilledWriterLosesNothingThatHadReturned) {
  constexpr int kRounds = 40;
  std::mt19937 random(20261208);
  std::uniform_int_distribution<int> writes_first(1, 6);
  std::uniform_int_distribution<int> delay_us(0, 3000);
  std::map<int, std::set<int>> acknowledged;  // round -> writes that returned success
  for (int round = 0; round < kRounds; ++round) {
    const velmo::testing::Child writer = velmo::testing::StartChild([&](int to_parent) {
      auto store = NewStore();
      const std::u16string key = U16("Software\\Crash\\Round" + std::to_string(round));
      for (int n = 0;; ++n) {
        const std::u16string text(200 + n % 50, static_cast<char16_t>(u'a' + n % 26));
        if (WriteString(*store, kHkeyCurrentUser, key, U16("v" + std::to_string(n)), text) ==
            kErrorSuccess) {
          if (write(to_parent, &n, sizeof n) != sizeof n) _exit(1);
        }
      }
    });
    ASSERT_GE(writer.pid, 0);
    // Let a few writes return first, however slow the machine, then kill at a random moment.
    const int wanted = writes_first(random);
    int n = 0;
    bool came = true;
    while (came && static_cast<int>(acknowledged[round].size()) < wanted) {
      came = velmo::testing::ReadWithin(writer.from_child, &n, sizeof n, kPatience);
      if (came) acknowledged[round].insert(n);
    }
    if (came) std::this_thread::sleep_for(std::chrono::microseconds(delay_us(random)));
    kill(writer.pid, SIGKILL);
    waitpid(writer.pid, nullptr, 0);
    while (read(writer.from_child, &n, sizeof n) == sizeof n) acknowledged[round].insert(n);
    close(writer.from_child);
    ASSERT_TRUE(came) << "round " << round << ": no write returned";

    // The next writer must get through whatever the kill left behind.
    ASSERT_EQ(WriteString(*NewStore(), kHkeyCurrentUser, u"Software\\Crash", u"after",
                          U16(std::to_string(round))),
              kErrorSuccess)
        << "round " << round;
  }

  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open_v2(paths_.user.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
  sqlite3_stmt* check = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &check, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_step(check), SQLITE_ROW);
  EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(check, 0)), "ok");
  sqlite3_finalize(check);
  sqlite3_close(db);

  auto store = NewStore();
  size_t total = 0;
  for (const auto& [round, writes] : acknowledged) {
    const std::u16string key = U16("Software\\Crash\\Round" + std::to_string(round));
    for (int n : writes) {
      const std::u16string text(200 + n % 50, static_cast<char16_t>(u'a' + n % 26));
      EXPECT_EQ(ReadString(*store, kHkeyCurrentUser, key, U16("v" + std::to_string(n))), text)
          << "round " << round << " write " << n;
      ++total;
    }
  }
  std::printf("killed %d writers; %zu acknowledged writes all present\n", kRounds, total);
}

// A call that fails, even the first one on a store with no files yet, leaves the store as it found
// it for the calls that follow.
TEST_F(SqliteRegistryTest, AFailedFirstWriteLeavesTheStoreWorking) {
  auto store = NewStore();
  EXPECT_EQ(store->DeleteKeyTree(kHkeyCurrentUser, u"Software\\Missing", 0), kErrorFileNotFound);
  EXPECT_EQ(store->DeleteValue(kHkeyCurrentUser, u"missing"), kErrorFileNotFound);
  EXPECT_EQ(WriteString(*store, kHkeyCurrentUser, u"Software\\A", u"v", u"1"), kErrorSuccess);
  EXPECT_EQ(ReadString(*store, kHkeyCurrentUser, u"Software\\A", u"v"), u"1");
}

// Changes begun together are one transaction in each hive: other stores see all of them at the
// end, or none when they are abandoned or their process dies; one that fails within is undone
// alone.
TEST_F(SqliteRegistryTest, ChangesAreOneTransactionInEachHive) {
  {
    // The first changes ever, abandoned: no schema stays behind to confuse the next write.
    auto store = NewStore();
    ASSERT_TRUE(store->BeginChanges());
    ASSERT_EQ(WriteString(*store, kHkeyCurrentUser, u"Software\\A", u"v", u"lost"), kErrorSuccess);
    EXPECT_EQ(ReadString(*store, kHkeyCurrentUser, u"Software\\A", u"v"), u"lost");
    store->AbandonChanges();
    EXPECT_FALSE(ReadString(*store, kHkeyCurrentUser, u"Software\\A", u"v"));
    ASSERT_EQ(WriteString(*store, kHkeyCurrentUser, u"Software\\A", u"v", u"1"), kErrorSuccess);
  }
  auto other = NewStore();
  EXPECT_EQ(ReadString(*other, kHkeyCurrentUser, u"Software\\A", u"v"), u"1");

  auto store = NewStore();
  EXPECT_EQ(ReadString(*store, kHkeyCurrentUser, u"Software\\A", u"v"), u"1");
  ASSERT_TRUE(store->BeginChanges());
  EXPECT_EQ(WriteString(*store, kHkeyCurrentUser, u"Software\\A", u"v", u"2"), kErrorSuccess);
  EXPECT_EQ(WriteString(*store, kHkeyLocalMachine, u"SOFTWARE\\B", u"m", u"on"), kErrorSuccess);
  std::u16string deep = u"D";
  for (int level = 2; level <= 513; ++level) deep += u"\\D";
  RegKey key = 0;
  EXPECT_EQ(store->CreateKey(kHkeyCurrentUser, deep, kKeyWrite, &key), kErrorNoSystemResources);
  EXPECT_EQ(store->DeleteValue(kHkeyCurrentUser, u"missing"), kErrorFileNotFound);
  EXPECT_EQ(ReadString(*store, kHkeyCurrentUser, u"Software\\A", u"v"), u"2");
  EXPECT_EQ(ReadString(*other, kHkeyCurrentUser, u"Software\\A", u"v"), u"1");
  EXPECT_FALSE(ReadString(*other, kHkeyLocalMachine, u"SOFTWARE\\B", u"m"));
  EXPECT_EQ(store->CommitChanges(), kErrorSuccess);
  EXPECT_EQ(ReadString(*other, kHkeyCurrentUser, u"Software\\A", u"v"), u"2");
  EXPECT_EQ(ReadString(*other, kHkeyLocalMachine, u"SOFTWARE\\B", u"m"), u"on");
  EXPECT_EQ(other->OpenKey(kHkeyCurrentUser, u"D", kKeyRead, &key), kErrorFileNotFound);

  EXPECT_THAT(
      velmo::testing::InChild([&](std::string& out) {
        RegistryApi* dying = NewStore().release();  // ends with its process
        dying->BeginChanges();
        if (WriteString(*dying, kHkeyCurrentUser, u"Software\\A", u"v", u"3") != kErrorSuccess) {
          out += "write failed";
        }
      }),
      IsEmpty());
  EXPECT_EQ(ReadString(*other, kHkeyCurrentUser, u"Software\\A", u"v"), u"2");
  EXPECT_EQ(WriteString(*other, kHkeyCurrentUser, u"Software\\A", u"v", u"4"), kErrorSuccess);
  EXPECT_EQ(ReadString(*store, kHkeyCurrentUser, u"Software\\A", u"v"), u"4");
}

// Windows' limits and matching rules, where they bite: 512 levels, trees of any depth deleted,
// names upper-cased one UTF-16 unit at a time.
TEST_F(SqliteRegistryTest, DepthAndNamesFollowWindows) {
  auto store = NewStore();
  std::u16string path = u"D";
  for (int level = 2; level <= 512; ++level) path += u"\\D";
  RegKey key = 0;
  ASSERT_EQ(store->CreateKey(kHkeyCurrentUser, path, kKeyWrite, &key), kErrorSuccess);
  RegKey deeper = 0;
  EXPECT_EQ(store->CreateKey(key, u"E", kKeyWrite, &deeper), 1450);
  EXPECT_EQ(deeper, 0u);
  store->CloseKey(key);
  EXPECT_EQ(store->CreateKey(kHkeyCurrentUser, path + u"\\E", kKeyWrite, &key), 1450);

  // Deeper trees made before the limit was kept must still go.
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(paths_.user.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n"
                           " WHERE i < 1500) INSERT INTO keys (id, parent, name, fold)"
                           " SELECT 100000 + i, CASE i WHEN 1 THEN 1 ELSE 99999 + i END, 'X',"
                           " CAST(X'5800' AS BLOB) FROM n;"
                           "INSERT INTO vals VALUES (101500, 'v', X'5600', 1, X'')",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
  }
  EXPECT_EQ(store->DeleteKeyTree(kHkeyCurrentUser, u"X", 0), kErrorSuccess);
  EXPECT_EQ(store->DeleteKeyTree(kHkeyCurrentUser, u"D", 0), kErrorSuccess);
  EXPECT_EQ(store->OpenKey(kHkeyCurrentUser, u"X", kKeyRead, &key), kErrorFileNotFound);
  EXPECT_EQ(store->OpenKey(kHkeyCurrentUser, u"D", kKeyRead, &key), kErrorFileNotFound);

  // Deseret letters differ in case only as whole characters, which Windows does not fold.
  ASSERT_EQ(WriteString(*store, kHkeyCurrentUser, u"Software\\\U00010428", u"\U00010428", u"small"),
            kErrorSuccess);
  ASSERT_EQ(
      WriteString(*store, kHkeyCurrentUser, u"Software\\\U00010400", u"\U00010400", u"capital"),
      kErrorSuccess);
  EXPECT_EQ(ReadString(*store, kHkeyCurrentUser, u"SOFTWARE\\\U00010428", u"\U00010428"), u"small");
  EXPECT_FALSE(ReadString(*store, kHkeyCurrentUser, u"Software\\\U00010428", u"\U00010400"));
  EXPECT_EQ(ReadString(*store, kHkeyCurrentUser, u"software\\\U00010400", u"\U00010400"),
            u"capital");
  EXPECT_EQ(ReadString(*store, kHkeyCurrentUser, u"Software\\\u00e9t\u00e9", u"x"), std::nullopt);
  ASSERT_EQ(WriteString(*store, kHkeyCurrentUser, u"Software\\\u00e9t\u00e9", u"\u00e9", u"1"),
            kErrorSuccess);
  EXPECT_EQ(ReadString(*store, kHkeyCurrentUser, u"SOFTWARE\\\u00c9T\u00c9", u"\u00c9"), u"1");
}

// The virtual-machine steps of every statement run on the connections opened while it lives: the
// work of a call, counted rather than timed.
class StepCounter {
 public:
  StepCounter() { sqlite3_auto_extension(reinterpret_cast<void (*)()>(&Watch)); }
  ~StepCounter() { sqlite3_cancel_auto_extension(reinterpret_cast<void (*)()>(&Watch)); }
  StepCounter(const StepCounter&) = delete;
  StepCounter& operator=(const StepCounter&) = delete;
  static long long Take() { return std::exchange(steps_, 0); }

 private:
  static int Watch(sqlite3* db, const char**, const sqlite3_api_routines*) {
    sqlite3_trace_v2(db, SQLITE_TRACE_PROFILE, &Count, nullptr);
    return SQLITE_OK;
  }
  static int Count(unsigned, void*, void* stmt, void*) {
    steps_ += sqlite3_stmt_status(static_cast<sqlite3_stmt*>(stmt), SQLITE_STMTSTATUS_VM_STEP, 1);
    return 0;
  }
  static inline long long steps_ = 0;
};

// Listing by index, as RegEnumValue callers do, costs work in proportion to the values listed:
// four times the values, about four times the statements' steps, where asking each index afresh
// would cost sixteen.
TEST_F(SqliteRegistryTest, ListingAKeyIsLinear) {
  constexpr int kValues = 2000;
  const StepCounter counter;
  auto store = NewStore();
  ASSERT_EQ(WriteString(*store, kHkeyCurrentUser, u"Software\\Many", u"v0", u"0"), kErrorSuccess);
  const auto fill_to = [&](int values) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(paths_.user.c_str(), &db), SQLITE_OK);
    const std::string fill =
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
        std::to_string(values - 1) +
        ") INSERT OR IGNORE INTO vals SELECT key, 'v' || i, CAST(upper('v' || i) AS BLOB), 1, X''"
        " FROM n, (SELECT key FROM vals LIMIT 1)";
    ASSERT_EQ(sqlite3_exec(db, fill.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
  };
  RegKey key = 0;
  ASSERT_EQ(store->OpenKey(kHkeyCurrentUser, u"Software\\Many", kKeyRead, &key), kErrorSuccess);
  const auto list = [&](int values) {
    StepCounter::Take();
    std::uint32_t index = 0;
    for (;; ++index) {
      char16_t name[32];
      std::uint32_t length = 32;
      const RegStatus status = store->EnumValueName(key, index, name, &length);
      if (status != kErrorSuccess) {
        EXPECT_EQ(status, kErrorNoMoreItems);
        break;
      }
      if (std::u16string(name, length) != U16("v" + std::to_string(index))) {
        ADD_FAILURE() << "index " << index << " is " << ToUtf8(std::u16string(name, length));
        break;
      }
    }
    EXPECT_EQ(index, static_cast<std::uint32_t>(values));
    return StepCounter::Take();
  };
  fill_to(kValues);
  const long long one = list(kValues);
  fill_to(4 * kValues);
  const long long four = list(4 * kValues);
  std::printf("listing %d values took %lld statement steps, %d values %lld\n", kValues, one,
              4 * kValues, four);
  EXPECT_GT(one, kValues) << "the statements' steps are not counted";
  EXPECT_LE(four, 5 * one);

  // A change between two indexes is seen, as with the registry.
  RegKey writable = 0;
  ASSERT_EQ(store->CreateKey(kHkeyCurrentUser, u"Software\\Many", kKeyWrite, &writable),
            kErrorSuccess);
  EXPECT_EQ(store->DeleteValue(writable, u"v0"), kErrorSuccess);
  store->CloseKey(writable);
  char16_t name[32];
  std::uint32_t length = 32;
  ASSERT_EQ(store->EnumValueName(key, 1, name, &length), kErrorSuccess);
  EXPECT_EQ(std::u16string(name, length), u"v2");
  store->CloseKey(key);
}

mode_t ModeOf(const fs::path& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

uid_t OwnerOf(const fs::path& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 ? st.st_uid : static_cast<uid_t>(-1);
}

// Modes do not follow the umask, nor which hive comes first; the log and index beside a hive
// take its mode.
TEST_F(SqliteRegistryTest, HivesGetTheirModesWhateverTheUmask) {
  const fs::path shared = dir_ / "shared";
  const fs::path alone = dir_ / "alone" / "user.db";
  EXPECT_THAT(velmo::testing::InChild([&](std::string& out) {
                umask(077);
                auto store = NewStore();
                if (WriteString(*store, kHkeyCurrentUser, u"Software\\A", u"v", u"1") != 0 ||
                    WriteString(*store, kHkeyLocalMachine, u"SOFTWARE\\A", u"v", u"1") != 0) {
                  out += "write failed;";
                }
                auto both = NewSqliteRegistry({shared / "machine.db", shared / "user.db"});
                if (WriteString(*both, kHkeyCurrentUser, u"Software\\A", u"v", u"1") != 0 ||
                    WriteString(*both, kHkeyLocalMachine, u"SOFTWARE\\A", u"v", u"1") != 0) {
                  out += "shared write failed;";
                }
                umask(0);
                if (WriteString(*NewSqliteRegistry({dir_ / "alone" / "machine.db", alone}),
                                kHkeyCurrentUser, u"Software\\A", u"v", u"1") != 0) {
                  out += "write without a umask failed;";
                }
              }),
              IsEmpty());
  EXPECT_EQ(ModeOf(paths_.machine), 0644u);
  EXPECT_EQ(ModeOf(paths_.machine.parent_path()), 0755u);
  EXPECT_EQ(ModeOf(paths_.user), 0600u);
  EXPECT_EQ(ModeOf(paths_.user.parent_path()), 0700u);
  EXPECT_EQ(ModeOf(shared), 0755u);
  EXPECT_EQ(ModeOf(shared / "machine.db"), 0644u);
  EXPECT_EQ(ModeOf(shared / "user.db"), 0600u);
  for (const char* suffix : {"-wal", "-shm"}) {
    EXPECT_EQ(ModeOf(paths_.machine.string() + suffix), 0644u) << suffix;
    EXPECT_EQ(ModeOf(alone.string() + suffix), 0600u) << suffix;
  }
}

// A user's hive that root makes for the user is the user's, with its log and index.
TEST_F(SqliteRegistryTest, AUserHiveRootMakesIsTheUsers) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root, to make a hive for another user";
  using velmo::testing::kNobody;
  const fs::path home = dir_ / "home";
  fs::create_directories(home);
  ASSERT_EQ(chown(home.c_str(), kNobody, kNobody), 0);
  ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
  const fs::path user = home / ".config" / "moltra" / "registry" / "user.db";
  ASSERT_EQ(WriteString(*NewSqliteRegistry({paths_.machine, user}), kHkeyCurrentUser,
                        u"Software\\A", u"v", u"by root"),
            kErrorSuccess);
  for (const fs::path& made :
       {user, user.parent_path(), home / ".config", fs::path(user.string() + "-wal"),
        fs::path(user.string() + "-shm")}) {
    EXPECT_EQ(OwnerOf(made), kNobody) << made;
  }
  EXPECT_EQ(ModeOf(user.string() + "-shm"), 0600u);
  EXPECT_THAT(velmo::testing::InChild([&](std::string& out) {
                if (!velmo::testing::DropPrivileges(kNobody)) out += "could not drop privileges";
                auto store = NewSqliteRegistry({paths_.machine, user});
                if (WriteString(*store, kHkeyCurrentUser, u"Software\\A", u"v", u"mine") != 0) {
                  out += "the user may not write the hive root made for it";
                }
              }),
              IsEmpty());
}

// A machine hive made by a process that wrote once, alone or as one set of changes, and ended:
// an ordinary user reads it.
TEST_F(SqliteRegistryTest, AHiveWrittenOnceIsReadByUsersWhoMayNotWrite) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
  for (const bool as_changes : {false, true}) {
    fs::remove_all(paths_.machine.parent_path());
    {
      auto store = NewStore();
      if (as_changes) store->BeginChanges();
      RegKey key = 0;
      ASSERT_EQ(store->CreateKey(kHkeyLocalMachine, u"SOFTWARE\\Once", kKeyWrite, &key),
                kErrorSuccess);
      store->CloseKey(key);
      if (as_changes) {
        ASSERT_EQ(store->CommitChanges(), kErrorSuccess);
      }
    }
    EXPECT_THAT(velmo::testing::InChild([&](std::string& out) {
                  if (!velmo::testing::DropPrivileges(velmo::testing::kNobody)) {
                    out += "could not drop privileges";
                  }
                  RegKey key = 0;
                  const RegStatus status =
                      NewStore()->OpenKey(kHkeyLocalMachine, u"SOFTWARE\\Once", kKeyRead, &key);
                  if (status != kErrorSuccess) out += "status " + std::to_string(status);
                }),
                IsEmpty())
        << (as_changes ? "as changes" : "alone");
  }
}

// Root never writes where a user's link or file leads it, nor adopts someone else's empty file.
TEST_F(SqliteRegistryTest, RootIsNotLedToWriteElsewhere) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  using velmo::testing::kNobody;
  ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
  const fs::path target = dir_ / "root-owned";
  WriteFile(target, "");
  const fs::path planted = dir_ / "planted";
  fs::create_directories(planted);
  ASSERT_EQ(chown(planted.c_str(), kNobody, kNobody), 0);
  EXPECT_THAT(velmo::testing::InChild([&](std::string& out) {
                if (!velmo::testing::DropPrivileges(kNobody)) out += "could not drop privileges";
                std::error_code error;
                fs::create_symlink(target, planted / "machine.db", error);
                WriteFile(planted / "user.db", "");
                if (error) out += error.message();
              }),
              IsEmpty());
  auto store = NewSqliteRegistry({planted / "machine.db", planted / "user.db"});
  EXPECT_EQ(WriteString(*store, kHkeyLocalMachine, u"SOFTWARE\\A", u"v", u"1"), kErrorAccessDenied);
  EXPECT_EQ(WriteString(*store, kHkeyCurrentUser, u"Software\\A", u"v", u"1"), kErrorAccessDenied);
  EXPECT_EQ(fs::file_size(target), 0u);
  EXPECT_EQ(fs::file_size(planted / "user.db"), 0u);
  // A user's own hive root may read, but not write.
  fs::remove(planted / "user.db");
  EXPECT_THAT(velmo::testing::InChild([&](std::string& out) {
                if (!velmo::testing::DropPrivileges(kNobody)) out += "could not drop privileges";
                auto own = NewSqliteRegistry({planted / "machine.db", planted / "user.db"});
                if (WriteString(*own, kHkeyCurrentUser, u"Software\\A", u"v", u"mine") != 0) {
                  out += "the user could not write";
                }
              }),
              IsEmpty());
  store = NewSqliteRegistry({planted / "machine.db", planted / "user.db"});
  EXPECT_EQ(ReadString(*store, kHkeyCurrentUser, u"Software\\A", u"v"), u"mine");
  EXPECT_EQ(WriteString(*store, kHkeyCurrentUser, u"Software\\A", u"v", u"root's"),
            kErrorAccessDenied);
  EXPECT_FALSE(fs::exists(target.string() + "-wal"));
  EXPECT_FALSE(fs::exists(target.string() + "-journal"));
}

// Nor through a second name of the hive, nor a link planted where its log, index or journal go.
TEST_F(SqliteRegistryTest, RootRefusesAHiveWithOtherLinksOrLinkedJournals) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root: the checks are root's alone";
  const fs::path target = dir_ / "elsewhere";
  for (const char* planted : {"hard link", "-wal", "-shm", "-journal"}) {
    SCOPED_TRACE(planted);
    fs::remove_all(paths_.machine.parent_path());
    ASSERT_EQ(WriteString(*NewStore(), kHkeyLocalMachine, u"SOFTWARE\\A", u"v", u"1"),
              kErrorSuccess);
    WriteFile(target, "");
    if (planted == std::string("hard link")) {
      fs::remove(target);
      fs::create_hard_link(paths_.machine, target);
    } else {
      fs::remove(paths_.machine.string() + planted);
      fs::create_symlink(target, paths_.machine.string() + planted);
    }
    const std::string before = ReadFile(paths_.machine);
    EXPECT_EQ(WriteString(*NewStore(), kHkeyLocalMachine, u"SOFTWARE\\A", u"v", u"2"),
              kErrorAccessDenied);
    EXPECT_EQ(ReadFile(paths_.machine), before);
    EXPECT_EQ(fs::file_size(target), planted == std::string("hard link") ? before.size() : 0u);
    fs::remove(target);
  }
}

// The log is checkpointed into the hive at about 1 MiB, and kept to that size.
TEST_F(SqliteRegistryTest, TheLogIsCheckpointedAtAboutOneMebibyte) {
  auto store = NewStore();
  const std::u16string large(32 * 1024, u'x');  // 64 KiB a write
  std::uintmax_t largest = 0;
  for (int i = 0; i < 48; ++i) {
    ASSERT_EQ(WriteString(*store, kHkeyCurrentUser, u"Software\\Log", U16("v" + std::to_string(i)),
                          large),
              kErrorSuccess);
    largest = std::max(largest, fs::file_size(paths_.user.string() + "-wal"));
  }
  std::printf("3 MiB written; the log was at most %ju bytes, the hive is %ju\n", largest,
              fs::file_size(paths_.user));
  EXPECT_GE(largest, 768u * 1024);
  EXPECT_LE(largest, 1280u * 1024);
  EXPECT_GE(fs::file_size(paths_.user), 2u * 1024 * 1024);
}

// A writer that another process holds off for the whole of its wait gets ERROR_BUSY, no sooner
// than 15 s; reading and the other hive go on meanwhile.
TEST_F(SqliteRegistryTest, AWriterHeldOffForFifteenSecondsIsBusy) {
  auto store = NewStore();
  ASSERT_EQ(WriteString(*store, kHkeyCurrentUser, u"Software\\A", u"v", u"1"), kErrorSuccess);
  const velmo::testing::Child holder = velmo::testing::StartChild([&](int to_parent) {
    sqlite3* db = nullptr;
    if (sqlite3_open(paths_.user.c_str(), &db) != SQLITE_OK ||
        sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK ||
        write(to_parent, "!", 1) != 1) {
      _exit(1);
    }
    pause();
  });
  ASSERT_GE(holder.pid, 0);
  char ready = 0;
  const bool holding = velmo::testing::ReadWithin(holder.from_child, &ready, 1, kPatience);
  if (holding) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WriteString(*store, kHkeyCurrentUser, u"Software\\A", u"v", u"2"), kErrorBusy);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
    EXPECT_EQ(ReadString(*store, kHkeyCurrentUser, u"Software\\A", u"v"), u"1");
    EXPECT_EQ(WriteString(*store, kHkeyLocalMachine, u"SOFTWARE\\A", u"v", u"1"), kErrorSuccess);
  }
  kill(holder.pid, SIGKILL);
  waitpid(holder.pid, nullptr, 0);
  close(holder.from_child);
  ASSERT_TRUE(holding) << "the other process did not take the hive";
  EXPECT_EQ(WriteString(*store, kHkeyCurrentUser, u"Software\\A", u"v", u"3"), kErrorSuccess);
}

// Writers of the machine hive killed in the middle of large commits: an ordinary user, who may
// write nothing there, still reads the last committed state after each.
TEST_F(SqliteRegistryTest, AfterAWriterDiesEveryReaderReadsTheLastCommit) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  using velmo::testing::kNobody;
  ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
  std::mt19937 random(20261208);
  std::uniform_int_distribution<int> delay_us(0, 20000);
  const int kRounds =
      std::getenv("VELMO_CRASH_ROUNDS") ? std::atoi(std::getenv("VELMO_CRASH_ROUNDS")) : 12;
  int last = 0;
  for (int round = 0; round < kRounds; ++round) {
    const velmo::testing::Child writer = velmo::testing::StartChild([&](int to_parent) {
      auto store = NewStore();
      const std::u16string bulk(300000, u'x');
      for (int n = last + 1;; ++n) {
        RegKey key = 0;
        if (store->CreateKey(kHkeyLocalMachine, u"SOFTWARE\\Crash", kKeyWrite, &key) != 0) continue;
        // The count and a large value in one transaction, so that a kill finds it half done.
        const std::u16string text = U16(std::to_string(n)) + u"," + bulk;
        if (store->SetValue(key, u"n", kRegSz, reinterpret_cast<const std::uint8_t*>(text.data()),
                            static_cast<std::uint32_t>(text.size() * 2)) == 0 &&
            write(to_parent, &n, sizeof n) != sizeof n) {
          _exit(1);
        }
        store->CloseKey(key);
      }
    });
    ASSERT_GE(writer.pid, 0);
    int n = 0;
    const bool came = velmo::testing::ReadWithin(writer.from_child, &n, sizeof n, kPatience);
    if (came) {
      last = n;
      std::this_thread::sleep_for(std::chrono::microseconds(delay_us(random)));
    }
    kill(writer.pid, SIGKILL);
    waitpid(writer.pid, nullptr, 0);
    while (read(writer.from_child, &n, sizeof n) == sizeof n) last = n;
    close(writer.from_child);
    ASSERT_TRUE(came) << "round " << round << ": no write returned";

    const std::string seen = velmo::testing::InChild([&](std::string& out) {
      if (!velmo::testing::DropPrivileges(kNobody)) out += "could not drop privileges";
      auto store = NewStore();
      const auto text = ReadString(*store, kHkeyLocalMachine, u"SOFTWARE\\Crash", u"n");
      RegKey key = 0;
      out += text ? ToUtf8(text->substr(0, text->find(u',')))
                  : "unreadable: " + std::to_string(store->OpenKey(
                                         kHkeyLocalMachine, u"SOFTWARE\\Crash", kKeyRead, &key));
    });
    ASSERT_FALSE(seen.starts_with("unreadable")) << seen << " in round " << round;
    // The write in progress when the writer died may or may not have committed.
    const int read_back = std::atoi(seen.c_str());
    EXPECT_TRUE(read_back == last || read_back == last + 1) << seen << " after " << last;
    last = read_back;
  }
}

// A store that lives on notices when its hive is removed or replaced under it.
// An operation looks at the files once: what another store writes meanwhile may wait for the
// next operation, which sees it; what this store writes itself it sees at once.
TEST_F(SqliteRegistryTest, AnOperationLooksOnceAndTheNextLooksAgain) {
  auto store = NewStore();
  auto other = NewStore();
  ASSERT_EQ(WriteString(*store, kHkeyCurrentUser, u"Software\\A", u"v", u"1"), kErrorSuccess);
  {
    const OperationScope operation(*store);
    ASSERT_EQ(WriteString(*store, kHkeyCurrentUser, u"Software\\A", u"w", u"own"), kErrorSuccess);
    EXPECT_EQ(ReadString(*store, kHkeyCurrentUser, u"Software\\A", u"w"), u"own");
    EXPECT_EQ(ReadString(*store, kHkeyCurrentUser, u"Software\\A", u"v"), u"1");
    ASSERT_EQ(WriteString(*other, kHkeyCurrentUser, u"Software\\A", u"v", u"2"), kErrorSuccess);
  }
  EXPECT_EQ(ReadString(*store, kHkeyCurrentUser, u"Software\\A", u"v"), u"2");
  {
    const OperationScope operation(*store);
    EXPECT_EQ(ReadString(*store, kHkeyCurrentUser, u"Software\\A", u"v"), u"2");
  }
  fs::remove(paths_.user);
  const OperationScope operation(*store);
  EXPECT_FALSE(ReadString(*store, kHkeyCurrentUser, u"Software\\A", u"v"));
}

TEST_F(SqliteRegistryTest, AHiveRemovedOrReplacedIsFollowed) {
  auto store = NewStore();
  ASSERT_EQ(WriteString(*store, kHkeyCurrentUser, u"Software\\A", u"v", u"first"), kErrorSuccess);
  EXPECT_EQ(ReadString(*store, kHkeyCurrentUser, u"Software\\A", u"v"), u"first");
  fs::remove(paths_.user);
  EXPECT_FALSE(ReadString(*store, kHkeyCurrentUser, u"Software\\A", u"v"));
  ASSERT_EQ(WriteString(*store, kHkeyCurrentUser, u"Software\\B", u"v", u"again"), kErrorSuccess);
  EXPECT_EQ(ReadString(*NewStore(), kHkeyCurrentUser, u"Software\\B", u"v"), u"again");
  EXPECT_FALSE(ReadString(*NewStore(), kHkeyCurrentUser, u"Software\\A", u"v"));

  // A file replaced under a process that has it open, as one renamed over it with no process
  // holding it would be; the log and index of the one replaced go with it.
  const fs::path other = dir_ / "other" / "user.db";
  ASSERT_EQ(WriteString(*NewSqliteRegistry({paths_.machine, other}), kHkeyCurrentUser,
                        u"Software\\A", u"v", u"restored"),
            kErrorSuccess);
  fs::copy_file(other, paths_.user.string() + ".new");
  fs::rename(paths_.user.string() + ".new", paths_.user);
  fs::remove(paths_.user.string() + "-wal");
  fs::remove(paths_.user.string() + "-shm");
  EXPECT_EQ(ReadString(*store, kHkeyCurrentUser, u"Software\\A", u"v"), u"restored");
  EXPECT_FALSE(ReadString(*store, kHkeyCurrentUser, u"Software\\B", u"v"));
  ASSERT_EQ(WriteString(*store, kHkeyCurrentUser, u"Software\\C", u"v", u"on"), kErrorSuccess);
  EXPECT_EQ(ReadString(*NewStore(), kHkeyCurrentUser, u"Software\\A", u"v"), u"restored");
}

// What is not a hive of ours, or is damaged where SQLite would not look at once, is told apart
// and never written.
TEST_F(SqliteRegistryTest, ForeignAndDamagedFilesAreToldApartAndNotWritten) {
  fs::create_directories(paths_.user.parent_path());
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(paths_.user.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "PRAGMA application_id = 42; PRAGMA user_version = 3", nullptr,
                           nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
  }
  const std::string foreign = ReadFile(paths_.user);
  ASSERT_FALSE(foreign.empty());
  EXPECT_EQ(WriteString(*NewStore(), kHkeyCurrentUser, u"Software\\A", u"v", u"1"), kErrorBadDb);
  EXPECT_EQ(ReadFile(paths_.user), foreign);

  fs::remove(paths_.user);
  auto store = NewStore();
  for (int i = 0; i < 200; ++i) {
    ASSERT_EQ(WriteString(*store, kHkeyCurrentUser, U16("Software\\K" + std::to_string(i)), u"v",
                          std::u16string(100, u'a')),
              kErrorSuccess);
  }
  store.reset();
  std::string damaged = ReadFile(paths_.user);
  ASSERT_GT(damaged.size(), 8u * 4096);
  for (size_t i = 5 * 4096; i < 6 * 4096; ++i) damaged[i] = static_cast<char>(i * 7);
  WriteFile(paths_.user, damaged);
  store = NewStore();
  EXPECT_EQ(WriteString(*store, kHkeyCurrentUser, u"Software\\New", u"v", u"1"),
            kErrorRegistryCorrupt);
  store.reset();
  EXPECT_EQ(ReadFile(paths_.user), damaged);
}

}  // namespace
}  // namespace velmo::platform
