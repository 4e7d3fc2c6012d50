// Finding the current user at start-up, and switching to another one with its two events.
#include "users/users.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "config/builtin_documents.h"
#include "fakes.h"
#include "platform/text.h"
#include "registry/registry_module.h"
#include "scratch_registry.h"
#include "temp_dir.h"

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
using ::testing::StartsWith;
using testing::TempDir;

constexpr char16_t kReleaseKey[] = u"Software\\MOLTRA\\VELMO_SW2\\VELMO_SW2 2";
constexpr char16_t kUsersKey[] = u"Software\\MOLTRA\\Users";

// What the listeners of one instance heard, in order.
struct Heard {
  std::vector<std::string> events;
};

class Listener final : public UserEvents {
 public:
  Listener(std::string name, Heard& heard) : name_(std::move(name)), heard_(heard) {}
  void UserChanging(std::u16string_view new_user, bool& cancel) override {
    heard_.events.push_back(name_ + " changing " + platform::ToUtf8(new_user) +
                            (cancel ? " cancel" : ""));
    if (on_changing) on_changing(cancel);
  }
  void UserChanged(std::u16string_view old_user, std::u16string_view new_user) override {
    heard_.events.push_back(name_ + " changed " + platform::ToUtf8(old_user) + " -> " +
                            platform::ToUtf8(new_user));
    if (on_changed) on_changed();
  }
  std::function<void(bool&)> on_changing;
  std::function<void()> on_changed;

 private:
  std::string name_;
  Heard& heard_;
};

class UsersTest : public ::testing::Test {
 protected:
  UsersTest()
      : registry_(std::make_shared<ObservedRegistry>(scratch_.api())),
        box_(std::make_shared<RecordingMessageBox>()),
        documents_(std::make_shared<RecordingDocuments>()),
        context_(Platform{}) {
    context_.platform.registry = registry_;
    context_.platform.message_box = box_;
    context_.platform.new_file_system = platform::NewSystemFileSystem;
    context_.platform.documents = documents_;
    context_.version_info().Select(u"2010");
    context_.cache().Open();
  }

  void Put(registry::RegRoot root, std::u16string_view key, std::u16string_view name,
           std::u16string_view value) {
    ASSERT_TRUE(RegWriteString(*scratch_.api(), root, key, name, value));
  }
  std::u16string StoredUser() {
    return RegReadString(*scratch_.api(), RegRootCurrentUser, kReleaseKey, u"USER");
  }
  // A directory that exists, without its trailing separator.
  std::u16string Existing(std::u16string_view name) {
    dirs_.MakeDirectory(name);
    return dirs_.path() + std::u16string(name);
  }
  // An entry in the cache, to see it emptied: only its release is observed.
  std::shared_ptr<int> FillCacheSlot(size_t slot) {
    auto owner = std::make_shared<int>(0);
    context_.cache().Insert(
        slot, std::shared_ptr<classPP>(owner, reinterpret_cast<classPP*>(owner.get())));
    return owner;
  }

  ScratchRegistry scratch_;
  std::shared_ptr<ObservedRegistry> registry_;
  std::shared_ptr<RecordingMessageBox> box_;
  std::shared_ptr<RecordingDocuments> documents_;
  TempDir dirs_;
  ApplicationContext context_;
};

// ---- LireUser

TEST_F(UsersTest, TheReleaseKeysUserComesFirst) {
  const std::u16string own = Existing(u"own");
  Put(RegRootCurrentUser, kReleaseKey, u"USER", own);
  Put(RegRootCurrentUser, kUsersKey, u"UserVELMO_SW2", Existing(u"default"));
  EXPECT_EQ(LireUser(context_), own + u"\\");
  EXPECT_EQ(context_.directories().user(), own + u"\\");
  EXPECT_EQ(StoredUser(), own);  // nothing is written back
}

TEST_F(UsersTest, AUserThatNamesAMissingDirectoryDoesNotFallBack) {
  Put(RegRootCurrentUser, kReleaseKey, u"USER", dirs_.path() + u"gone");
  Put(RegRootCurrentUser, kUsersKey, u"UserVELMO_SW2", Existing(u"default"));
  context_.directories().SetUser(u"before");
  EXPECT_EQ(LireUser(context_), u"");
  EXPECT_EQ(context_.directories().user(), u"");
  EXPECT_THAT(box_->shown, IsEmpty());
}

// The file system would take the value only up to the NUL, and walk the rest for nothing.
TEST_F(UsersTest, AStoredDirectoryHoldingNulCountsAsMissing) {
  const std::u16string held = Existing(u"own") + u'\0' + std::u16string(1 << 20, u'x');
  const std::u16string fallback = Existing(u"default");
  Put(RegRootCurrentUser, kReleaseKey, u"USER", held);
  Put(RegRootCurrentUser, kUsersKey, u"UserVELMO_SW2", fallback);
  EXPECT_EQ(LireUser(context_), fallback + u"\\");
  EXPECT_EQ(StoredUser(), fallback);  // the copy of the default heals the value
  Put(RegRootCurrentUser, kReleaseKey, u"USER", u"");
  Put(RegRootCurrentUser, kUsersKey, u"UserVELMO_SW2", held);
  EXPECT_EQ(LireUser(context_), u"");
}

TEST_F(UsersTest, TheDefaultsComeNextAndAreCopiedIntoUser) {
  const std::u16string users_default = Existing(u"users-default");
  const std::u16string machine_default = Existing(u"machine-default");
  Put(RegRootLocalMachine, kUsersKey, u"UserVELMO_SW2", machine_default);
  Put(RegRootCurrentUser, kUsersKey, u"UserVELMO_SW2", users_default);
  EXPECT_EQ(LireUser(context_), users_default + u"\\");
  EXPECT_EQ(StoredUser(), users_default);  // copied as it was found

  // The user's own default empty: the machine's is taken.
  ASSERT_EQ(scratch_.api()->DeleteKeyTree(platform::kHkeyCurrentUser, u"Software\\MOLTRA", 0),
            platform::kErrorSuccess);
  Put(RegRootCurrentUser, kUsersKey, u"UserVELMO_SW2", u"");
  EXPECT_EQ(LireUser(context_), machine_default + u"\\");
  EXPECT_EQ(StoredUser(), machine_default);
}

TEST_F(UsersTest, ADefaultIsCopiedEvenWhenItsDirectoryIsMissing) {
  const std::u16string missing = dirs_.path() + u"not-there";
  Put(RegRootLocalMachine, kUsersKey, u"UserVELMO_SW2", missing);
  EXPECT_EQ(LireUser(context_), u"");
  EXPECT_EQ(StoredUser(), missing);
  EXPECT_EQ(context_.directories().user(), u"");

  // Nothing anywhere: empty, without a message.
  ScratchRegistry empty;
  context_.platform.registry = empty.api();
  EXPECT_EQ(LireUser(context_), u"");
  EXPECT_THAT(box_->shown, IsEmpty());
}

TEST_F(UsersTest, ASeparatorIsAddedOnlyWhenBothAreMissing) {
  const std::u16string dir = Existing(u"sep");
  Put(RegRootCurrentUser, kReleaseKey, u"USER", dir + u"/");
  EXPECT_EQ(LireUser(context_), dir + u"/");
  Put(RegRootCurrentUser, kReleaseKey, u"USER", dir + u"\\");
  EXPECT_EQ(LireUser(context_), dir + u"\\");
}

TEST_F(UsersTest, LireUserWithoutAVersion) {
  context_.version_info().Clear();
  context_.directories().SetUser(u"kept\\");
  EXPECT_EQ(LireUser(context_), u"");
  EXPECT_EQ(context_.directories().user(), u"kept\\");
  EXPECT_THAT(box_->shown,
              ElementsAre(ShownMessage{u"LireUser: Version non definie", u"VELMOSWGlobalLib",
                                       platform::MessageIcon::kNone}));
  EXPECT_EQ(registry_->calls, 0);
}

TEST_F(UsersTest, AnUnexpectedFailureIsShownInAStopBox) {
  Put(RegRootCurrentUser, kReleaseKey, u"USER", Existing(u"u"));
  context_.platform.new_file_system = []() -> std::unique_ptr<platform::FileSystem> {
    throw std::runtime_error("the file-system object is not registered");
  };
  context_.directories().SetUser(u"before");
  EXPECT_EQ(LireUser(context_), u"");
  EXPECT_EQ(context_.directories().user(), u"");
  ASSERT_EQ(box_->shown.size(), 1u);
  EXPECT_EQ(box_->shown[0].text, u"LireUser\r\nthe file-system object is not registered");
  EXPECT_EQ(box_->shown[0].title, u"ERREUR VELMO");
  EXPECT_EQ(box_->shown[0].icon, platform::MessageIcon::kStop);
}

// ---- the switch

TEST_F(UsersTest, AListenerMayRefuseTheSwitch) {
  const std::u16string old_user = Existing(u"old") + u"\\";
  context_.directories().SetUser(old_user);
  Put(RegRootCurrentUser, kReleaseKey, u"USER", old_user);
  const auto config = std::make_shared<IniDocument>();
  context_.configurations().SetMain(config);
  const std::weak_ptr<int> cached = FillCacheSlot(2);

  Heard heard;
  Listener first("first", heard);
  Listener second("second", heard);
  first.on_changing = [](bool& cancel) { cancel = true; };
  UserEvents* listeners[] = {&first, &second};
  EXPECT_EQ(SwitchUser(context_, u"X:\\new", listeners), 0);
  EXPECT_THAT(heard.events,
              ElementsAre("first changing X:\\new", "second changing X:\\new cancel"));
  EXPECT_EQ(context_.directories().user(), old_user);
  EXPECT_EQ(StoredUser(), old_user);
  EXPECT_EQ(context_.configurations().main(), config);
  EXPECT_FALSE(cached.expired());
}

TEST_F(UsersTest, TheLastListenersAnswerDecides) {
  Heard heard;
  Listener first("first", heard);
  Listener second("second", heard);
  first.on_changing = [](bool& cancel) { cancel = true; };
  second.on_changing = [](bool& cancel) { cancel = false; };
  UserEvents* listeners[] = {&first, &second};
  EXPECT_EQ(SwitchUser(context_, u"X:\\new", listeners), 0);
  EXPECT_EQ(StoredUser(), u"X:\\new\\");
  EXPECT_THAT(heard.events,
              ElementsAre("first changing X:\\new", "second changing X:\\new cancel",
                          "first changed  -> X:\\new\\", "second changed  -> X:\\new\\"));
}

TEST_F(UsersTest, ACompletedSwitch) {
  const std::u16string old_user = Existing(u"old") + u"\\";
  const std::u16string new_user = Existing(u"new");
  dirs_.Write(u"new/dat/velmo.cfg", "[A]\nB=C\n");
  context_.directories().SetUser(old_user);
  context_.directories().SetApp(u"A:\\app\\");
  const std::weak_ptr<int> cached = FillCacheSlot(0);

  Heard heard;
  Listener only("only", heard);
  // When UserChanged is raised the new configuration is there and the cache is empty.
  bool ready_when_told = false;
  only.on_changed = [&] {
    ready_when_told = context_.configurations().main() != nullptr && cached.expired() &&
                      documents_->log->loaded.size() == 2 && documents_->log->merged.size() == 1;
  };
  UserEvents* listeners[] = {&only};
  EXPECT_EQ(SwitchUser(context_, new_user, listeners), 0);
  EXPECT_TRUE(ready_when_told);
  EXPECT_EQ(context_.directories().user(), new_user + u"\\");
  EXPECT_EQ(StoredUser(), new_user + u"\\");
  EXPECT_THAT(documents_->log->loaded,
              ElementsAre(new_user + u"\\dat\\velmo.cfg", u"A:\\app\\dat\\velmo.cfg"));
  EXPECT_THAT(heard.events, ElementsAre("only changing " + platform::ToUtf8(new_user),
                                        "only changed " + platform::ToUtf8(old_user) + " -> " +
                                            platform::ToUtf8(new_user) + "\\"));
}

TEST_F(UsersTest, TheStoredFormOfAPath) {
  EXPECT_EQ(SwitchUser(context_, u"", {}), 0);  // no listener: the switch goes ahead
  EXPECT_EQ(StoredUser(), u"\\");
  EXPECT_EQ(SwitchUser(context_, u"D:/users/b/", {}), 0);
  EXPECT_EQ(StoredUser(), u"D:/users/b/\\");
  EXPECT_EQ(context_.directories().user(), u"D:/users/b/\\");
  // A missing directory is stored all the same, and leaves no configuration.
  EXPECT_EQ(SwitchUser(context_, u"Z:\\nowhere\\", {}), 0);
  EXPECT_EQ(StoredUser(), u"Z:\\nowhere\\");
  EXPECT_EQ(context_.configurations().main(), nullptr);
}

TEST_F(UsersTest, SwitchingToTheCurrentUserIsNotCutShort) {
  const std::u16string same = Existing(u"same") + u"\\";
  context_.directories().SetUser(same);
  const std::weak_ptr<int> cached = FillCacheSlot(4);
  Heard heard;
  Listener only("only", heard);
  UserEvents* listeners[] = {&only};
  const int calls_before = registry_->calls;
  EXPECT_EQ(SwitchUser(context_, same, listeners), 0);
  EXPECT_GT(registry_->calls, calls_before);
  EXPECT_TRUE(cached.expired());
  EXPECT_EQ(heard.events.size(), 2u);
}

// The registry refuses "USER": the rest of the switch happens, and it is not called a success.
TEST_F(UsersTest, AFailedSwitchIsReportedAsAFailure) {
  const std::u16string old_user = Existing(u"old") + u"\\";
  dirs_.Write(u"old/dat/velmo.cfg", "[A]\nB=C\n");
  context_.directories().SetUser(old_user);
  const std::weak_ptr<int> cached = FillCacheSlot(1);
  registry_->deny_user_writes = true;
  Heard heard;
  Listener only("only", heard);
  UserEvents* listeners[] = {&only};
  EXPECT_EQ(SwitchUser(context_, u"X:\\new", listeners), -1);
  EXPECT_EQ(context_.directories().user(), old_user);
  EXPECT_TRUE(cached.expired());
  EXPECT_THAT(documents_->log->loaded, ElementsAre(old_user + u"dat\\velmo.cfg"));
  EXPECT_THAT(heard.events,
              ElementsAre("only changing X:\\new", "only changed " + platform::ToUtf8(old_user) +
                                                       " -> " + platform::ToUtf8(old_user)));
}

TEST_F(UsersTest, ASwitchBeforeTheFirstInitialisation) {
  context_.version_info().Clear();
  context_.cache().Close();
  Heard heard;
  Listener only("only", heard);
  UserEvents* listeners[] = {&only};
  EXPECT_EQ(SwitchUser(context_, u"X:\\new", listeners), -1);
  EXPECT_THAT(heard.events, ElementsAre("only changing X:\\new"));
  EXPECT_THAT(box_->shown,
              ElementsAre(ShownMessage{u"EcrireUser: Version non definie", u"VELMOSWGlobalLib",
                                       platform::MessageIcon::kNone}));
  EXPECT_EQ(registry_->calls, 0);
  EXPECT_EQ(context_.directories().user(), u"");
}

TEST_F(UsersTest, AListenerThatThrowsInterruptsTheSwitch) {
  Heard heard;
  Listener only("only", heard);
  only.on_changing = [](bool&) { throw std::runtime_error("listener failed"); };
  UserEvents* listeners[] = {&only};
  EXPECT_EQ(SwitchUser(context_, u"X:\\new", listeners), -1);
  EXPECT_FALSE(RegValueExists(*scratch_.api(), RegRootCurrentUser, kReleaseKey, u"USER"));
}

TEST_F(UsersTest, AListenerThatThrowsAfterTheSwitchStopsNothing) {
  Heard heard;
  Listener first("first", heard), second("second", heard);
  first.on_changed = [] { throw std::runtime_error("listener failed"); };
  UserEvents* listeners[] = {&first, &second};
  EXPECT_EQ(SwitchUser(context_, u"X:\\new", listeners), 0);
  EXPECT_EQ(StoredUser(), u"X:\\new\\");
  EXPECT_THAT(heard.events,
              ElementsAre("first changing X:\\new", "second changing X:\\new",
                          "first changed  -> X:\\new\\", "second changed  -> X:\\new\\"));
}

}  // namespace
}  // namespace velmo
