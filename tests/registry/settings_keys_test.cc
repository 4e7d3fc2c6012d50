// The interface and security values under the release key, and the undefined-version guard.
#include "registry/settings_keys.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "fakes.h"
#include "registry/registry_module.h"
#include "scratch_registry.h"

#ifndef _WIN32
#include <unistd.h>
#include "child_process.h"
#include "platform/sqlite_registry.h"
#endif

namespace velmo::registry {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using velmo::testing::DefaultViewIsNative;
using velmo::testing::ObservedRegistry;
using velmo::testing::RecordingMessageBox;
using velmo::testing::ScratchRegistry;
using velmo::testing::ShownMessage;

using platform::kErrorSuccess;
using platform::kHkeyLocalMachine;
using platform::kKeyRead;
using platform::kKeyWow64_32Key;
using platform::kKeyWow64_64Key;
using platform::RegKey;

constexpr char16_t kInterface[] = u"SOFTWARE\\MOLTRA\\VELMO_SW2\\VELMO_SW2 2\\Interface";
constexpr char16_t kSettings[] = u"SOFTWARE\\MOLTRA\\VELMO_SW2\\VELMO_SW2 2\\Settings";

class SettingsKeysTest : public ::testing::Test {
 protected:
  SettingsKeysTest()
      : observed_(std::make_shared<ObservedRegistry>(scratch_.api())),
        box_(std::make_shared<RecordingMessageBox>()),
        context_(Platform{.registry = observed_, .message_box = box_}) {
    context_.version_info().Select(u"2010");
  }

  void TearDown() override { EXPECT_EQ(observed_->open_handles(), 0u); }

  // Around the library, as an installer or an administrator would.
  void Machine(std::u16string_view key, std::u16string_view name, std::u16string_view text) {
    ASSERT_TRUE(RegWriteString(*scratch_.api(), RegRootLocalMachine, key, name, text));
  }
  void User(std::u16string_view key, std::u16string_view name, std::u16string_view text) {
    ASSERT_TRUE(RegWriteString(*scratch_.api(), RegRootCurrentUser, key, name, text));
  }
  std::optional<std::u16string> UserHas(std::u16string_view key, std::u16string_view name) {
    if (!RegValueExists(*scratch_.api(), RegRootCurrentUser, key, name)) return std::nullopt;
    return RegReadString(*scratch_.api(), RegRootCurrentUser, key, name);
  }
  std::optional<std::u16string> MachineHas(std::u16string_view key, std::u16string_view name) {
    RegKey handle = 0;
    // Looked up in the 32-bit view alone, so that the user's hive cannot answer instead.
    if (scratch_.api()->OpenKey(kHkeyLocalMachine, key, kKeyRead | kKeyWow64_32Key, &handle) !=
        kErrorSuccess) {
      return std::nullopt;
    }
    scratch_.api()->CloseKey(handle);
    if (!RegValueExists(*scratch_.api(), RegRootLocalMachine, key, name)) return std::nullopt;
    return RegReadString(*scratch_.api(), RegRootLocalMachine, key, name);
  }

  ScratchRegistry scratch_;
  std::shared_ptr<ObservedRegistry> observed_;
  std::shared_ptr<RecordingMessageBox> box_;
  ApplicationContext context_;
};

TEST_F(SettingsKeysTest, KeysAreBuiltFromTheContextAtEachCall) {
  EXPECT_EQ(ReleaseKey(context_), u"SOFTWARE\\MOLTRA\\VELMO_SW2\\VELMO_SW2 2");
  EXPECT_EQ(InterfaceKey(context_), kInterface);
  EXPECT_EQ(SettingsKey(context_), kSettings);

  // A version outside the table leaves the release empty: the key ends in the blank.
  context_.version_info().Clear();
  context_.version_info().Select(u"2009");
  EXPECT_TRUE(RegWriteInterfaceValue_(context_, u"Langue", u"3"));
  EXPECT_EQ(UserHas(u"SOFTWARE\\MOLTRA\\VELMO_SW2\\VELMO_SW2 \\Interface", u"Langue"), u"3");
  EXPECT_EQ(RegReadInterfaceValue_(context_, u"Langue"), u"3");
  context_.version_info().Select(u"2010");
  EXPECT_EQ(RegReadInterfaceValue_(context_, u"Langue"), u"");
}

TEST_F(SettingsKeysTest, AMachineValueIsCopiedToTheUserOnFirstReadAndThenShadowed) {
  Machine(kInterface, u"Theme", u"dark");
  EXPECT_EQ(RegReadInterfaceValue_(context_, u"Theme"), u"dark");
  EXPECT_EQ(UserHas(kInterface, u"Theme"), u"dark");

  Machine(kInterface, u"Theme", u"light");
  EXPECT_EQ(RegReadInterfaceValue_(context_, u"Theme"), u"dark");

  // The same three steps for the security values, on the settings key.
  Machine(kSettings, u"Licence", u"A-1");
  EXPECT_EQ(RegReadSecurityValue_(context_, u"Licence"), u"A-1");
  EXPECT_EQ(UserHas(kSettings, u"Licence"), u"A-1");
  Machine(kSettings, u"Licence", u"B-2");
  EXPECT_EQ(RegReadSecurityValue_(context_, u"Licence"), u"A-1");
  EXPECT_FALSE(UserHas(kInterface, u"Licence"));
}

TEST_F(SettingsKeysTest, TheUsersValueWinsAndAMissingValueWritesNothing) {
  Machine(kInterface, u"Units", u"mm");
  User(kInterface, u"Units", u"inch");
  const int writes_before = observed_->machine_writes;
  EXPECT_EQ(RegReadInterfaceValue_(context_, u"Units"), u"inch");
  EXPECT_EQ(MachineHas(kInterface, u"Units"), u"mm");

  EXPECT_EQ(RegReadInterfaceValue_(context_, u"Nowhere"), u"");
  EXPECT_EQ(RegReadSecurityValue_(context_, u"Nowhere"), u"");
  EXPECT_FALSE(UserHas(kInterface, u"Nowhere"));
  EXPECT_FALSE(UserHas(kSettings, u"Nowhere"));
  EXPECT_EQ(observed_->machine_writes, writes_before);
}

TEST_F(SettingsKeysTest, InterfaceWritesNeverTouchTheMachineHive) {
  EXPECT_TRUE(RegWriteInterfaceValue_(context_, u"Grid", u"on"));
  EXPECT_EQ(observed_->machine_writes, 0);
  EXPECT_FALSE(MachineHas(kInterface, u"Grid"));
  EXPECT_EQ(RegReadInterfaceValue_(context_, u"Grid"), u"on");
  EXPECT_TRUE(RegWriteInterfaceValue_(context_, u"Path", u"D:\\設計\\Łukasz\\"));
  EXPECT_EQ(RegReadInterfaceValue_(context_, u"Path"), u"D:\\設計\\Łukasz\\");
}

TEST_F(SettingsKeysTest, SecurityWritesStoreBothCopies) {
  EXPECT_TRUE(RegWriteSecurityValue_(context_, u"Level", u"3"));
  EXPECT_EQ(UserHas(kSettings, u"Level"), u"3");
  EXPECT_EQ(MachineHas(kSettings, u"Level"), u"3");
}

TEST_F(SettingsKeysTest, ASecurityWriteIsTrueOnlyWhenBothCopiesWereStored) {
  // The machine hive refuses: both writes land in the user's settings key.
  observed_->deny_machine_writes = true;
  EXPECT_TRUE(RegWriteSecurityValue_(context_, u"Level", u"4"));
  EXPECT_EQ(UserHas(kSettings, u"Level"), u"4");
  EXPECT_FALSE(MachineHas(kSettings, u"Level"));

  // The user's copy fails while the machine's lands: that copy would go on shadowing it.
  observed_->deny_machine_writes = false;
  observed_->deny_user_writes = true;
  EXPECT_FALSE(RegWriteSecurityValue_(context_, u"Level", u"5"));
  EXPECT_EQ(MachineHas(kSettings, u"Level"), u"5");
  EXPECT_EQ(UserHas(kSettings, u"Level"), u"4");
}

TEST_F(SettingsKeysTest, UpdateRegistreSeedsWithoutOverwriting) {
  Machine(kSettings, u"A", u"1");
  Machine(kSettings, u"B", u"2");
  Machine(kSettings, u"Long", std::u16string(400, u'L'));
  User(kInterface, u"B", u"9");
  User(kInterface, u"C", u"kept");
  UpdateRegistre(context_);
  EXPECT_EQ(UserHas(kInterface, u"A"), u"1");
  EXPECT_EQ(UserHas(kInterface, u"B"), u"9");
  EXPECT_EQ(UserHas(kInterface, u"C"), u"kept");
  EXPECT_EQ(UserHas(kInterface, u"Long"), std::u16string(400, u'L'));

  // Nothing to list: nothing happens.
  ScratchRegistry empty;
  ApplicationContext other(Platform{.registry = empty.api(), .message_box = box_});
  other.version_info().Select(u"2010");
  UpdateRegistre(other);
  std::vector<std::u16string> names;
  std::int32_t count = 0;
  EXPECT_FALSE(RegEnumValueNames(*empty.api(), RegRootCurrentUser, kInterface, names, count));
  EXPECT_THAT(box_->shown, IsEmpty());
}

// When the machine's release key is missing in the 32-bit view, the readers' existence test
// answers for the user's key, so their machine fallback finds nothing; UpdateRegistre lists and
// reads the machine's default view all the same.
TEST_F(SettingsKeysTest, AMachineKeyOutsideTheThirtyTwoBitView) {
  if (!DefaultViewIsNative()) GTEST_SKIP() << "a 32-bit process has no other default view";
  RegKey key = 0;
  ASSERT_EQ(scratch_.api()->CreateKey(kHkeyLocalMachine, kSettings,
                                      platform::kKeyWrite | kKeyWow64_64Key, &key),
            kErrorSuccess);
  const std::u16string text = u"native";
  ASSERT_EQ(scratch_.api()->SetValue(key, u"Only64", platform::kRegSz,
                                     reinterpret_cast<const std::uint8_t*>(text.c_str()),
                                     static_cast<std::uint32_t>((text.size() + 1) * 2)),
            kErrorSuccess);
  scratch_.api()->CloseKey(key);

  EXPECT_EQ(RegReadSecurityValue_(context_, u"Only64"), u"");
  EXPECT_FALSE(UserHas(kSettings, u"Only64"));
  UpdateRegistre(context_);
  EXPECT_EQ(UserHas(kInterface, u"Only64"), u"native");
}

TEST_F(SettingsKeysTest, WithoutAVersionEachOperationSaysSoAndTouchesNothing) {
  context_.version_info().Clear();
  EXPECT_EQ(RegReadInterfaceValue_(context_, u"Langue"), u"");
  EXPECT_FALSE(RegWriteInterfaceValue_(context_, u"Langue", u"2"));
  EXPECT_EQ(RegReadSecurityValue_(context_, u"Level"), u"");
  EXPECT_FALSE(RegWriteSecurityValue_(context_, u"Level", u"1"));
  UpdateRegistre(context_);
  EXPECT_EQ(observed_->calls, 0);

  const auto box = [](std::u16string text) {
    return ShownMessage{std::move(text), u"VELMOSWGlobalLib", platform::MessageIcon::kNone};
  };
  EXPECT_THAT(box_->shown, ElementsAre(box(u"RegReadInterfaceValue_: Version non definie"),
                                       box(u"RegWriteInterfaceValue_: Version non definie"),
                                       box(u"RegReadSecurityValue_: Version non definie"),
                                       box(u"RegWriteSecurityValue_: Version non definie"),
                                       box(u"UpdateRegistre: Version non definie")));
}

#ifndef _WIN32
// The real case behind the fallback: an ordinary user and a machine hive owned by root.
TEST_F(SettingsKeysTest, AUserWhoMayNotWriteTheMachineHive) {
  Machine(kSettings, u"Seed", u"s");
  const bool as_root = geteuid() == 0;
  const std::string dir = scratch_.dir();
  if (as_root) {
    ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
  } else {
    ASSERT_EQ(chmod(scratch_.paths().machine.c_str(), 0444), 0);
  }
  const std::string report = velmo::testing::InChild([&](std::string& out) {
    // The user's hive moves to a directory the unprivileged user owns.
    std::string user_dir = dir + "/nobody";
    mkdir(user_dir.c_str(), 0700);
    if (as_root &&
        (chown(user_dir.c_str(), velmo::testing::kNobody, velmo::testing::kNobody) != 0 ||
         !velmo::testing::DropPrivileges(velmo::testing::kNobody))) {
      out += "could not drop privileges";
      return;
    }
    if (!as_root && chmod(dir.c_str(), 0555) != 0) out += "chmod;";
    ApplicationContext context(Platform{
        .registry = platform::NewSqliteRegistry({scratch_.paths().machine, user_dir + "/user.db"}),
        .message_box = std::make_shared<RecordingMessageBox>()});
    context.version_info().Select(u"2010");
    if (!RegWriteSecurityValue_(context, u"Level", u"7")) out += "write was not true;";
    if (RegReadSecurityValue_(context, u"Level") != u"7") out += "value did not read back;";
    std::vector<std::u16string> names;
    std::int32_t count = 0;
    if (!RegEnumValueNames(*context.platform.registry, RegRootCurrentUser, kSettings, names,
                           count) ||
        count != 1 || names != std::vector<std::u16string>{u"Level"}) {
      out += "the user's settings key does not hold the value once;";
    }
    if (RegReadSecurityValue_(context, u"Seed") != u"s") out += "machine value unreadable;";
    if (!as_root) chmod(dir.c_str(), 0755);
  });
  EXPECT_THAT(report, IsEmpty());
  EXPECT_FALSE(MachineHas(kSettings, u"Level"));
}
#endif

}  // namespace
}  // namespace velmo::registry
