// The main and geometry configuration objects: when they are loaded, merged, kept and replaced.
#include "config/configuration.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "config/builtin_documents.h"
#include "fakes.h"
#include "temp_dir.h"

namespace velmo {
namespace {

using platform::FileDate;
using ::testing::ElementsAre;
using testing::FakeFileSystem;
using ::testing::IsEmpty;
using testing::RecordingDocuments;
using testing::TempDir;

constexpr char16_t kUser[] = u"U:\\users\\anna\\";
constexpr char16_t kApp[] = u"A:\\app\\";
const std::u16string kUserFile = std::u16string(kUser) + u"dat\\velmo.cfg";
const std::u16string kAppFile = std::u16string(kApp) + u"dat\\velmo.cfg";

// Dates and documents under the test's control, to the nanosecond.
class ConfigDatesTest : public ::testing::Test {
 protected:
  ConfigDatesTest() : context_(Platform{}) {
    context_.platform.new_file_system = [this, make = files_.Maker()] {
      ++file_systems_made_;
      return make();
    };
    context_.platform.documents = documents_;
    context_.directories().SetUser(kUser);
    context_.directories().SetApp(kApp);
  }

  void UserFile(FileDate modified, FileDate created) {
    files_.files[kUserFile] = {modified, created};
  }
  const RecordingDocuments::Log& log() const { return *documents_->log; }

  FakeFileSystem files_;
  std::shared_ptr<RecordingDocuments> documents_ = std::make_shared<RecordingDocuments>();
  int file_systems_made_ = 0;
  ApplicationContext context_;
};

TEST_F(ConfigDatesTest, LoadingTakesTheLaterDateAndMergesTheApplicationFileOnRequest) {
  UserFile({1000, 5}, {900, 0});
  LoadCFG(context_, /*merge=*/true);
  ASSERT_NE(context_.configurations().main(), nullptr);
  EXPECT_EQ(context_.configurations().date(), (FileDate{1000, 5}));
  EXPECT_THAT(log().loaded, ElementsAre(kUserFile, kAppFile));
  ASSERT_EQ(log().merged.size(), 1u);
  EXPECT_NE(log().merged[0],
            context_.configurations().main().get());  // the application's, merged into it

  UserFile({1000, 5}, {2000, 0});  // a copy made later than its content
  LoadCFG(context_, /*merge=*/false);
  EXPECT_EQ(context_.configurations().date(), (FileDate{2000, 0}));
  EXPECT_THAT(log().loaded, ElementsAre(kUserFile, kAppFile, kUserFile));
  EXPECT_EQ(log().merged.size(), 1u);

  // No application directory: the user's file alone, even when merging is asked.
  context_.directories().SetApp(u"");
  LoadCFG(context_, /*merge=*/true);
  EXPECT_EQ(log().loaded.size(), 4u);
  EXPECT_EQ(log().merged.size(), 1u);
  EXPECT_EQ(file_systems_made_, 1);  // one object for the context's whole life
}

TEST_F(ConfigDatesTest, AReadReloadsOnlyWhenADateIsStrictlyLater) {
  UserFile({1000, 0}, {1000, 0});
  LoadCFG(context_, /*merge=*/true);
  const auto first = context_.configurations().main();

  EXPECT_EQ(GetVelmoCFG(context_), first);  // equal dates are no change
  UserFile({999, 0}, {1000, 0});            // earlier is no change either
  EXPECT_EQ(GetVelmoCFG(context_), first);

  UserFile({1000, 1}, {1000, 0});  // one nanosecond later
  const auto second = GetVelmoCFG(context_);
  EXPECT_NE(second, first);
  EXPECT_EQ(context_.configurations().date(), (FileDate{1000, 1}));

  UserFile({1000, 1}, {1000, 2});  // the creation date moves alone
  const auto third = GetVelmoCFG(context_);
  EXPECT_NE(third, second);

  // Reloads on read never take in the application's file again.
  EXPECT_THAT(log().loaded, ElementsAre(kUserFile, kAppFile, kUserFile, kUserFile));
  EXPECT_EQ(log().merged.size(), 1u);
  EXPECT_EQ(GetVelmoCFG(context_), third);
}

TEST_F(ConfigDatesTest, WithoutAUserFile) {
  // Nothing to load: each read tries again and gives none, and ConfigDate stays.
  EXPECT_EQ(GetVelmoCFG(context_), nullptr);
  EXPECT_EQ(GetVelmoCFG(context_), nullptr);
  EXPECT_EQ(context_.configurations().date(), kZeroDate);
  EXPECT_EQ(files_.date_questions, 0);
  EXPECT_THAT(log().loaded, IsEmpty());

  // A file loaded and then deleted: the loaded object stays.
  UserFile({1000, 0}, {1000, 0});
  const auto loaded = GetVelmoCFG(context_);
  ASSERT_NE(loaded, nullptr);
  files_.files.clear();
  EXPECT_EQ(GetVelmoCFG(context_), loaded);

  // An explicit load with the file gone drops it.
  LoadCFG(context_, /*merge=*/false);
  EXPECT_EQ(context_.configurations().main(), nullptr);
  EXPECT_EQ(context_.configurations().date(), (FileDate{1000, 0}));

  // No user directory: nothing is even asked.
  context_.directories().SetUser(u"");
  UserFile({5000, 0}, {5000, 0});
  EXPECT_EQ(GetVelmoCFG(context_), nullptr);
}

TEST_F(ConfigDatesTest, AnAssignedObjectStaysUntilTheUserFileIsNewer) {
  // Nothing was loaded, so ConfigDate is the zero date: the existing file wins at once.
  UserFile({1000, 0}, {1000, 0});
  auto mine = std::make_shared<IniDocument>();
  SetVelmoCFG(context_, mine);
  EXPECT_EQ(context_.configurations().main(), mine);
  EXPECT_THAT(log().loaded, IsEmpty());  // assigning reads no file
  const auto loaded = GetVelmoCFG(context_);
  EXPECT_NE(loaded, mine);

  // Once ConfigDate has caught up, an assignment is kept until the file moves.
  SetVelmoCFG(context_, mine);
  EXPECT_EQ(GetVelmoCFG(context_), mine);
  EXPECT_EQ(GetVelmoCFG(context_), mine);
  UserFile({1001, 0}, {1000, 0});
  EXPECT_NE(GetVelmoCFG(context_), mine);

  // Assigning none makes the next read load, without the application's file.
  SetVelmoCFG(context_, nullptr);
  EXPECT_NE(GetVelmoCFG(context_), nullptr);
  EXPECT_EQ(log().merged.size(), 0u);
}

TEST_F(ConfigDatesTest, FailuresEndTheLoadAndKeepWhatWasDone) {
  UserFile({1000, 0}, {1000, 0});
  documents_->fail_merge = true;
  LoadCFG(context_, /*merge=*/true);
  EXPECT_NE(context_.configurations().main(),
            nullptr);  // the fresh object whose Merge failed stays
  EXPECT_EQ(context_.configurations().date(), (FileDate{1000, 0}));

  documents_->fail_merge = false;
  documents_->fail_load = true;
  LoadCFG(context_, /*merge=*/false);
  EXPECT_NE(context_.configurations().main(), nullptr);

  // The file system fails: the read gives what it had, and a load leaves none.
  documents_->fail_load = false;
  const auto kept = context_.configurations().main();
  files_.fail = true;
  EXPECT_EQ(GetVelmoCFG(context_), kept);
  LoadCFG(context_, /*merge=*/true);
  EXPECT_EQ(context_.configurations().main(), nullptr);
}

TEST_F(ConfigDatesTest, AFileSystemThatCannotBeMadeFailsTheRead) {
  context_.platform.new_file_system = []() -> std::unique_ptr<platform::FileSystem> {
    throw std::runtime_error("no file system here");
  };
  EXPECT_EQ(GetVelmoCFG(context_), nullptr);
  EXPECT_EQ(context_.file_system(), nullptr);
}

TEST_F(ConfigDatesTest, TheGeometryIsLoadedOnceFromTheApplicationDirectory) {
  LoadGeometrie(context_);
  const auto geometry = GetGeometrieDat(context_);
  ASSERT_NE(geometry, nullptr);
  EXPECT_THAT(log().loaded, ElementsAre(std::u16string(kApp) + u"Dat\\Geometrie.dat"));
  EXPECT_EQ(files_.date_questions, 0);  // loaded without asking whether it exists

  files_.files[std::u16string(kApp) + u"Dat\\Geometrie.dat"] = {{9999, 0}, {9999, 0}};
  EXPECT_EQ(GetGeometrieDat(context_), geometry);  // never refreshed by reading

  context_.directories().SetApp(u"");
  LoadGeometrie(context_);
  EXPECT_EQ(GetGeometrieDat(context_), nullptr);
}

// The same with real files and the built-in documents.
class ConfigFilesTest : public ::testing::Test {
 protected:
  ConfigFilesTest() : context_(SystemPlatform()) {
    context_.directories().SetUser(user_.path());
    context_.directories().SetApp(app_.path());
  }

  std::optional<std::u16string> Setting(const std::shared_ptr<ConfigDocument>& document,
                                        std::u16string_view name) {
    const auto* ini = dynamic_cast<const IniDocument*>(document.get());
    if (ini == nullptr) return std::nullopt;
    return ini->Value(u"Units", name);
  }

  TempDir user_;
  TempDir app_;
  ApplicationContext context_;
};

TEST_F(ConfigFilesTest, TheUsersFileWinsOverTheApplicationsAndEditsAreSeen) {
  user_.Write(u"dat/velmo.cfg", "[Units]\nLength = mm\n");
  app_.Write(u"dat/velmo.cfg", "[Units]\nLength = inch\nAngle = deg\n");
  LoadCFG(context_, /*merge=*/true);
  const auto merged = GetVelmoCFG(context_);
  EXPECT_EQ(Setting(merged, u"Length"), u"mm");
  EXPECT_EQ(Setting(merged, u"angle"), u"deg");

  // Two saves within one second: both are seen, and the reload takes the user's file alone.
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  user_.Write(u"dat/velmo.cfg", "[Units]\nLength = cm\n");
  const auto edited = GetVelmoCFG(context_);
  EXPECT_NE(edited, merged);
  EXPECT_EQ(Setting(edited, u"Length"), u"cm");
  EXPECT_EQ(Setting(edited, u"Angle"), std::nullopt);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  user_.Write(u"dat/velmo.cfg", "[Units]\nLength = m\n");
  EXPECT_EQ(Setting(GetVelmoCFG(context_), u"Length"), u"m");
  EXPECT_EQ(GetVelmoCFG(context_), GetVelmoCFG(context_));  // and nothing moves without a change
}

TEST_F(ConfigFilesTest, ACopyWithAnOldModificationDateIsStillNew) {
#ifdef _WIN32
  GTEST_SKIP() << "the creation date of a replaced file is the system's own (see file_system_test)";
#endif
  user_.Write(u"dat/velmo.cfg", "[Units]\nLength = mm\n");
  const auto first = GetVelmoCFG(context_);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  user_.Replace(u"dat/velmo.cfg", "[Units]\nLength = ft\n");
  std::filesystem::last_write_time(
      user_.Host(u"dat/velmo.cfg"),
      std::filesystem::file_time_type::clock::now() - std::chrono::hours(24 * 365));
  const auto second = GetVelmoCFG(context_);
  EXPECT_NE(second, first);
  EXPECT_EQ(Setting(second, u"Length"), u"ft");

  // Deleted after loading: the object stays.
  user_.Remove(u"dat/velmo.cfg");
  EXPECT_EQ(GetVelmoCFG(context_), second);
}

TEST_F(ConfigFilesTest, TheGeometryDoesNotFollowItsFile) {
  app_.Write(u"Dat/Geometrie.dat", "[Profile]\nH = 100\n");
  LoadGeometrie(context_);
  const auto geometry = GetGeometrieDat(context_);
  app_.Write(u"Dat/Geometrie.dat", "[Profile]\nH = 200\n");
  EXPECT_EQ(GetGeometrieDat(context_), geometry);
  EXPECT_EQ(dynamic_cast<const IniDocument&>(*geometry).Value(u"profile", u"h"), u"100");
}

}  // namespace
}  // namespace velmo
