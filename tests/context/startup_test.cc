// Start-up from a host version, and the operations that change the context afterwards.
#include "context/startup.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "config/configuration.h"
#include "fakes.h"
#include "platform/text.h"
#include "registry/registry_module.h"
#include "scratch_registry.h"
#include "temp_dir.h"
#include "velmo/class_pp.h"

namespace velmo {
namespace {

using registry::RegReadString;
using registry::RegRootCurrentUser;
using registry::RegRootLocalMachine;
using registry::RegValueExists;
using registry::RegWriteString;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::ObservedRegistry;
using testing::RecordingDocuments;
using testing::RecordingMessageBox;
using testing::ScratchRegistry;
using testing::ShownMessage;
using testing::TempDir;

constexpr char16_t kRelease[] = u"SOFTWARE\\MOLTRA\\VELMO_SW2\\VELMO_SW2 2";
constexpr char16_t kInterface[] = u"SOFTWARE\\MOLTRA\\VELMO_SW2\\VELMO_SW2 2\\Interface";

TEST(ParseLangueTest, DecimalNumeralsWithHalvesToEven) {
  EXPECT_EQ(ParseLangue(u"4"), 4);
  EXPECT_EQ(ParseLangue(u" 4 "), 4);
  EXPECT_EQ(ParseLangue(u"\t+7"), 7);
  EXPECT_EQ(ParseLangue(u"-3"), -3);
  EXPECT_EQ(ParseLangue(u"007"), 7);
  EXPECT_EQ(ParseLangue(u"2.5"), 2);
  EXPECT_EQ(ParseLangue(u"3.5"), 4);
  EXPECT_EQ(ParseLangue(u"2.50001"), 3);
  EXPECT_EQ(ParseLangue(u"2.4999"), 2);
  EXPECT_EQ(ParseLangue(u"-2.5"), -2);
  EXPECT_EQ(ParseLangue(u".5"), 0);
  EXPECT_EQ(ParseLangue(u"5."), 5);
  EXPECT_EQ(ParseLangue(u"2147483647"), 2147483647);
  EXPECT_EQ(ParseLangue(u"-2147483648"), -2147483647 - 1);
  EXPECT_EQ(ParseLangue(u"2147483646.5"), 2147483646);
  for (std::u16string_view bad : {u"", u" ", u"abc", u"4a", u"4 5", u"--4", u"+", u".", u"1e3",
                                  u"2147483648", u"2147483647.5", u"99999999999", u"4,5"}) {
    EXPECT_EQ(ParseLangue(bad), std::nullopt) << platform::ToUtf8(bad);
  }
}

TEST(NumberToTextTest, PlainDecimalsRoundedHalfAwayFromZero) {
  EXPECT_EQ(NumberToText(3, 3), u"3");
  EXPECT_EQ(NumberToText(-2, 3), u"-2");
  EXPECT_EQ(NumberToText(0, 3), u"0");
  EXPECT_EQ(NumberToText(2147483647, 3), u"2147483647");
  EXPECT_EQ(NumberToText(0.5, 3), u"0.5");
  EXPECT_EQ(NumberToText(-0.25, 1), u"-0.3");
  EXPECT_EQ(NumberToText(1.23456, 3), u"1.235");
  EXPECT_EQ(NumberToText(1.2, 3), u"1.2");
  EXPECT_EQ(NumberToText(2.5, 0), u"3");
  EXPECT_EQ(NumberToText(1e20, 0), u"100000000000000000000");
}

class StartupTest : public ::testing::Test {
 protected:
  StartupTest()
      : registry_(std::make_shared<ObservedRegistry>(scratch_.api())),
        box_(std::make_shared<RecordingMessageBox>()),
        documents_(std::make_shared<RecordingDocuments>()),
        context_(Platform{}) {
    context_.platform.registry = registry_;
    context_.platform.message_box = box_;
    context_.platform.new_file_system = platform::NewSystemFileSystem;
    context_.platform.documents = documents_;
    app_ = dirs_.path() + u"app";
    user_ = dirs_.path() + u"user";
    dirs_.MakeDirectory(u"app");
    dirs_.MakeDirectory(u"user");
    dirs_.Write(u"user/dat/velmo.cfg", "[A]\nB=1\n");
  }

  // An installed machine: the application directory in "PATH", the user in "USER".
  void Install() {
    Put(RegRootLocalMachine, kRelease, u"PATH", app_);
    Put(RegRootCurrentUser, kRelease, u"USER", user_);
  }
  void Put(registry::RegRoot root, std::u16string_view key, std::u16string_view name,
           std::u16string_view value) {
    ASSERT_TRUE(RegWriteString(*scratch_.api(), root, key, name, value));
  }
  std::u16string Read(registry::RegRoot root, std::u16string_view key, std::u16string_view name) {
    return RegReadString(*scratch_.api(), root, key, name);
  }
  size_t Loads(std::u16string_view suffix) const {
    size_t n = 0;
    for (const auto& path : documents_->log->loaded) n += path.ends_with(suffix);
    return n;
  }

  ScratchRegistry scratch_;
  std::shared_ptr<ObservedRegistry> registry_;
  std::shared_ptr<RecordingMessageBox> box_;
  std::shared_ptr<RecordingDocuments> documents_;
  TempDir dirs_;
  std::u16string app_;
  std::u16string user_;
  ApplicationContext context_;
};

TEST_F(StartupTest, TheVersionTable) {
  struct Row {
    std::u16string_view asked, version, release, service_pack;
  };
  for (const Row& row : {Row{u"", u"2008", u"2", u"2"}, Row{u"2010", u"2010", u"2", u"1"},
                         Row{u"2", u"2", u"2", u"2"}, Row{u"2009", u"2009", u"", u""}}) {
    ApplicationContext fresh(context_.platform);
    EXPECT_EQ(MOLTRAG_Init(fresh, row.asked), 0);
    EXPECT_EQ(fresh.version_info().version(), row.version);
    EXPECT_EQ(fresh.version_info().release(), row.release);
    EXPECT_EQ(fresh.version_info().service_pack(), row.service_pack);
    EXPECT_EQ(MOLTRAG_GetServicePack(fresh), row.service_pack);
  }
  EXPECT_THAT(box_->shown, IsEmpty());  // not even for the version outside the table
}

TEST_F(StartupTest, WhenTheContextIsReadAgain) {
  Install();
  EXPECT_EQ(MOLTRAG_Init(context_, u"2008"), 0);
  const int after_first = registry_->calls;
  EXPECT_GT(after_first, 0);

  // The same version, or none after 2008: only the cache is emptied.
  context_.cache().Insert(0, std::shared_ptr<classPP>(std::make_shared<classPP>()));
  EXPECT_EQ(MOLTRAG_Init(context_, u"2008"), 0);
  EXPECT_EQ(MOLTRAG_Init(context_, u""), 0);
  EXPECT_EQ(registry_->calls, after_first);
  EXPECT_EQ(context_.cache().at(0), nullptr);

  // A version outside the table after 2008: taken, with the release and service pack kept.
  EXPECT_EQ(MOLTRAG_Init(context_, u"2009"), 0);
  EXPECT_EQ(context_.version_info().version(), u"2009");
  EXPECT_EQ(context_.version_info().release(), u"2");
  EXPECT_EQ(context_.version_info().service_pack(), u"2");
  EXPECT_GT(registry_->calls, after_first);

  // None after 2010: read again, keeping 2010.
  EXPECT_EQ(MOLTRAG_Init(context_, u"2010"), 0);
  const int after_2010 = registry_->calls;
  EXPECT_EQ(MOLTRAG_Init(context_, u""), 0);
  EXPECT_EQ(context_.version_info().version(), u"2010");
  EXPECT_GT(registry_->calls, after_2010);
}

TEST_F(StartupTest, ALanguageThatIsMissingOrBelowOneBecomesOne) {
  Install();
  struct Case {
    const char16_t* stored;  // null: no value
    std::int32_t langue;
    std::u16string_view after;
  };
  for (const Case& c :
       {Case{nullptr, 1, u"1"}, Case{u"", 1, u"1"}, Case{u"abc", 1, u"abc"}, Case{u"0", 1, u"1"},
        Case{u"-3", 1, u"1"}, Case{u" 4 ", 4, u" 4 "}, Case{u"2.5", 2, u"2.5"}}) {
    ScratchRegistry registry;
    ApplicationContext fresh(context_.platform);
    fresh.platform.registry = registry.api();
    ASSERT_TRUE(RegWriteString(*registry.api(), RegRootLocalMachine, kRelease, u"PATH", app_));
    if (c.stored != nullptr) {
      ASSERT_TRUE(
          RegWriteString(*registry.api(), RegRootCurrentUser, kInterface, u"Langue", c.stored));
    }
    MOLTRAG_Init(fresh, u"2010");
    EXPECT_EQ(fresh.langue(), c.langue) << (c.stored ? platform::ToUtf8(c.stored) : "missing");
    EXPECT_EQ(RegReadString(*registry.api(), RegRootCurrentUser, kInterface, u"Langue"), c.after);
  }
}

TEST_F(StartupTest, TheLanguageSetterStoresFirst) {
  Install();
  MOLTRAG_Init(context_, u"2010");
  SetLangue(context_, 3);
  EXPECT_EQ(context_.langue(), 3);
  EXPECT_EQ(Read(RegRootCurrentUser, kInterface, u"Langue"), u"3");
  SetLangue(context_, -2);
  EXPECT_EQ(context_.langue(), -2);
  EXPECT_EQ(Read(RegRootCurrentUser, kInterface, u"Langue"), u"-2");
  // The next start-up that reads the context turns it back into 1.
  MOLTRAG_Init(context_, u"2");
  EXPECT_EQ(context_.langue(), 1);
  EXPECT_EQ(Read(RegRootCurrentUser, kInterface, u"Langue"), u"1");

  // A refused write changes nothing.
  registry_->deny_user_writes = true;
  SetLangue(context_, 5);
  EXPECT_EQ(context_.langue(), 1);
}

TEST_F(StartupTest, BeforeAnyStartUp) {
  EXPECT_EQ(MOLTRAG_GetServicePack(context_), u"");
  SetLangue(context_, 3);
  EXPECT_EQ(context_.langue(), 0);
  EXPECT_FALSE(Getinfo(context_));
  const auto box = [](std::u16string text) {
    return ShownMessage{std::move(text), u"VELMOSWGlobalLib", platform::MessageIcon::kNone};
  };
  EXPECT_THAT(box_->shown, ElementsAre(box(u"GetServicePack: Version non definie"),
                                       box(u"RegWriteInterfaceValue_: Version non definie"),
                                       box(u"Getinfo: Version non definie")));
  EXPECT_EQ(registry_->calls, 0);
}

TEST_F(StartupTest, DebugIsExactlyOne) {
  Install();
  MOLTRAG_Init(context_, u"2010");
  EXPECT_FALSE(MOLTRAG_IsDebug(context_));
  for (std::u16string_view text : {u"01", u" 1", u"yes", u"", u"1 "}) {
    Put(RegRootCurrentUser, kInterface, u"DEBUG", text);
    EXPECT_FALSE(MOLTRAG_IsDebug(context_)) << platform::ToUtf8(text);
  }
  Put(RegRootCurrentUser, kInterface, u"DEBUG", u"1");
  EXPECT_TRUE(MOLTRAG_IsDebug(context_));
}

TEST_F(StartupTest, DirectoriesGetTheirSeparator) {
  Install();
  EXPECT_EQ(MOLTRAG_Init(context_, u"2010"), 0);
  EXPECT_EQ(context_.directories().app(), app_ + u"\\");
  EXPECT_EQ(context_.directories().user(), user_ + u"\\");

  // A "/" at the end still gets a "\" after it.
  Put(RegRootLocalMachine, kRelease, u"PATH", app_ + u"/");
  Put(RegRootCurrentUser, kRelease, u"USER", user_ + u"/");
  EXPECT_EQ(MOLTRAG_Init(context_, u"2"), 0);
  EXPECT_EQ(context_.directories().app(), app_ + u"/\\");
  EXPECT_EQ(context_.directories().user(), user_ + u"/\\");
}

// The user reader keeps a "/" at the end; only a start-up that goes on to the configuration
// appends its "\".
TEST_F(StartupTest, WithoutAnApplicationDirectoryTheUsersSlashStays) {
  Put(RegRootCurrentUser, kRelease, u"USER", user_ + u"/");
  EXPECT_EQ(MOLTRAG_Init(context_, u"2010"), 0);
  EXPECT_EQ(context_.directories().app(), u"");
  EXPECT_EQ(context_.directories().user(), user_ + u"/");
}

TEST_F(StartupTest, AFirstRunTakesTheInstallersDirectoryAndSeedsTheUser) {
  Put(RegRootLocalMachine, u"SOFTWARE\\MOLTRA\\USERS", u"PathVELMO_SW2", app_);
  Put(RegRootLocalMachine, u"SOFTWARE\\MOLTRA\\VELMO_SW2\\VELMO_SW2 2\\Settings", u"Units", u"mm");
  Put(RegRootCurrentUser, kRelease, u"USER", user_);
  EXPECT_EQ(MOLTRAG_Init(context_, u"2010"), 0);
  EXPECT_EQ(context_.directories().app(), app_ + u"\\");
  EXPECT_EQ(Read(RegRootLocalMachine, kRelease, u"PATH"), app_);
  EXPECT_EQ(Read(RegRootCurrentUser, kInterface, u"Units"), u"mm");  // UpdateRegistre ran
}

// Neither "PATH" nor PathVELMO_SW2: no empty "PATH" is written, so that an installation that
// sets PathVELMO_SW2 later is found; and one left empty by an earlier start-up counts as missing.
TEST_F(StartupTest, AnEmptyApplicationDirectoryIsNeverWrittenBack) {
  Put(RegRootCurrentUser, kRelease, u"USER", user_);
  EXPECT_EQ(MOLTRAG_Init(context_, u"2010"), 0);
  EXPECT_EQ(context_.directories().app(), u"");
  EXPECT_FALSE(RegValueExists(*scratch_.api(), RegRootLocalMachine, kRelease, u"PATH"));
  EXPECT_EQ(context_.configurations().main(), nullptr);  // Getinfo stopped before the configuration

  Put(RegRootLocalMachine, kRelease, u"PATH", u"");
  Put(RegRootLocalMachine, u"SOFTWARE\\MOLTRA\\USERS", u"PathVELMO_SW2", app_);
  EXPECT_EQ(MOLTRAG_Init(context_, u"2"), 0);
  EXPECT_EQ(context_.directories().app(), app_ + u"\\");
  EXPECT_EQ(Read(RegRootLocalMachine, kRelease, u"PATH"), app_);
}

TEST_F(StartupTest, GeometryAndConfigurationLoadOncePerChangedDirectory) {
  Install();
  MOLTRAG_Init(context_, u"2010");
  EXPECT_EQ(Loads(u"Dat\\Geometrie.dat"), 1u);
  EXPECT_EQ(Loads(u"user\\dat\\velmo.cfg"), 1u);
  EXPECT_EQ(documents_->log->merged.size(), 1u);
  EXPECT_THAT(documents_->log->loaded,
              ElementsAre(app_ + u"\\Dat\\Geometrie.dat", user_ + u"\\dat\\velmo.cfg",
                          app_ + u"\\dat\\velmo.cfg"));

  MOLTRAG_Init(context_, u"2");  // read again, nothing moved
  EXPECT_EQ(Loads(u"Dat\\Geometrie.dat"), 1u);
  EXPECT_EQ(Loads(u"user\\dat\\velmo.cfg"), 1u);

  dirs_.MakeDirectory(u"other");
  Put(RegRootCurrentUser, kRelease, u"USER", dirs_.path() + u"other");
  MOLTRAG_Init(context_, u"2010");
  EXPECT_EQ(Loads(u"Dat\\Geometrie.dat"), 1u);
  EXPECT_EQ(context_.directories().user(), dirs_.path() + u"other\\");

  Put(RegRootLocalMachine, kRelease, u"PATH", dirs_.path() + u"other");
  MOLTRAG_Init(context_, u"2");
  EXPECT_EQ(Loads(u"Dat\\Geometrie.dat"), 2u);
}

TEST_F(StartupTest, CloseDropsOnlyTheMainConfiguration) {
  Install();
  MOLTRAG_Init(context_, u"2010");
  ASSERT_NE(context_.configurations().main(), nullptr);
  const auto geometry = context_.configurations().geometry();
  const ApplicationContext before = context_;
  EXPECT_EQ(MOLTRAG_Close(context_), 0);
  EXPECT_EQ(context_.configurations().main(), nullptr);
  EXPECT_EQ(context_.version_info().version(), before.version_info().version());
  EXPECT_EQ(context_.directories().app(), before.directories().app());
  EXPECT_EQ(context_.directories().user(), before.directories().user());
  EXPECT_EQ(context_.langue(), before.langue());
  EXPECT_EQ(context_.configurations().geometry(), geometry);

  // The next read loads the user's file alone.
  const size_t merges = documents_->log->merged.size();
  EXPECT_NE(GetVelmoCFG(context_), nullptr);
  EXPECT_EQ(documents_->log->merged.size(), merges);
  // And the same version again reads nothing.
  const int calls = registry_->calls;
  MOLTRAG_Init(context_, u"2010");
  EXPECT_EQ(registry_->calls, calls);
}

TEST_F(StartupTest, AFailingGeometryLoadStopsBeforeTheConfiguration) {
  Install();
  documents_->fail_load = true;
  EXPECT_EQ(MOLTRAG_Init(context_, u"2010"), 0);
  EXPECT_EQ(context_.directories().app(), app_ + u"\\");
  EXPECT_EQ(context_.configurations().main(), nullptr);  // the configuration step was not reached
  EXPECT_EQ(documents_->made, 1);
}

}  // namespace
}  // namespace velmo
