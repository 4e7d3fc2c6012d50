// The hive file policy on its own, without SQLite: what it makes, with which mode and owner, and
// what it refuses root.
#include "platform/hive_file_policy.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/hive_failure.h"

namespace velmo::platform::hive {
namespace {

namespace fs = std::filesystem;
constexpr uid_t kNobody = 65534;

class HiveFilePolicyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "velmo-policy-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  static struct stat Stat(const fs::path& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st;
  }
  static RegStatus CreateStatus(FilePolicy& policy) {
    try {
      policy.Create();
      return kErrorSuccess;
    } catch (const Failure& failure) {
      return failure.status;
    }
  }

  fs::path dir_;
};

TEST_F(HiveFilePolicyTest, CreateMakesTheFileAndItsDirectoriesWithTheirModesWhateverTheUmask) {
  const fs::path file = dir_ / "a" / "b" / "user.db";
  const mode_t umask_before = ::umask(077);
  FilePolicy policy(file, 0640, 0751, /*for_its_owner=*/false);
  const RegStatus status = CreateStatus(policy);
  ::umask(umask_before);
  ASSERT_EQ(status, kErrorSuccess);
  EXPECT_EQ(Stat(dir_ / "a" / "b").st_mode & 07777, 0751u);
  EXPECT_EQ(Stat(file).st_mode & 07777, 0640u);
  EXPECT_EQ(Stat(file).st_size, 0);
  EXPECT_EQ(Stat(fs::path(file.string() + "-shm")).st_mode & 07777, 0640u);
  EXPECT_TRUE(policy.Writable());

  // A second Create leaves what is there.
  std::ofstream(file) << "content";
  ASSERT_EQ(CreateStatus(policy), kErrorSuccess);
  EXPECT_EQ(Stat(file).st_size, 7);

  // A log left beside by a removed hive would be replayed into a new one.
  const fs::path next = dir_ / "a" / "b" / "machine.db";
  std::ofstream(next.string() + "-wal") << "frames of a removed hive";
  std::ofstream(next.string() + "-shm") << "its index";
  FilePolicy again(next, 0644, 0755, /*for_its_owner=*/false);
  ASSERT_EQ(CreateStatus(again), kErrorSuccess);
  EXPECT_FALSE(fs::exists(next.string() + "-wal"));
  EXPECT_EQ(Stat(next.string() + "-shm").st_size, 0);
}

TEST_F(HiveFilePolicyTest, RootRefusesLinksAndFilesOfOthersButGivesAUsersHiveToItsOwner) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root";
  const fs::path home = dir_ / "home";
  fs::create_directories(home);
  ASSERT_EQ(::chown(home.c_str(), kNobody, kNobody), 0);
  FilePolicy users(home / "cfg" / "user.db", 0600, 0700, /*for_its_owner=*/true);
  ASSERT_EQ(CreateStatus(users), kErrorSuccess);
  EXPECT_EQ(Stat(home / "cfg").st_uid, kNobody);
  EXPECT_EQ(Stat(home / "cfg" / "user.db").st_uid, kNobody);
  EXPECT_TRUE(users.Writable()) << "the file this object made for its owner";
  // The same file, to an object that did not make it, is someone else's.
  EXPECT_FALSE(FilePolicy(home / "cfg" / "user.db", 0600, 0700, true).Writable());

  // A link where the hive should be, and a directory link another user could have made.
  fs::create_symlink(home / "cfg" / "user.db", dir_ / "machine.db");
  FilePolicy linked(dir_ / "machine.db", 0644, 0755, /*for_its_owner=*/false);
  EXPECT_FALSE(linked.SafeForRoot(/*to_write=*/false));
  EXPECT_FALSE(linked.Writable());
  fs::create_symlink(dir_, home / "via");
  ASSERT_EQ(::lchown((home / "via").c_str(), kNobody, kNobody), 0);
  FilePolicy through(home / "via" / "x" / "machine.db", 0644, 0755, /*for_its_owner=*/false);
  EXPECT_EQ(CreateStatus(through), kErrorAccessDenied);
  EXPECT_FALSE(fs::exists(dir_ / "x"));
}

}  // namespace
}  // namespace velmo::platform::hive
