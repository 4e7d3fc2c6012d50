// The seven registry operations, on the portable store and, in the Windows builds, on the real
// registry.
#include "registry/registry_module.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <utility>
#include <vector>

#include "fakes.h"
#include "listing_order.h"
#include "scratch_registry.h"

namespace velmo::registry {
namespace {

using namespace platform;
using ::testing::ElementsAre;
using velmo::testing::DefaultViewIsNative;
using velmo::testing::InWriteOrder;
using velmo::testing::ObservedRegistry;
using velmo::testing::ScratchRegistry;

constexpr char16_t kKey[] = u"SOFTWARE\\MOLTRA\\Probe";

using Bytes = std::vector<std::uint8_t>;

class RegistryModuleTest : public ::testing::Test {
 protected:
  RegistryModuleTest() : observed_(std::make_shared<ObservedRegistry>(scratch_.api())) {}

  void TearDown() override {
    EXPECT_EQ(observed_->open_handles(), 0u) << "an operation left a key open";
  }

  RegistryApi& api() { return *observed_; }
  ObservedRegistry& observed() { return *observed_; }

  // Writes raw data, around the module, as another program would.
  void Put(RegKey root, std::u16string_view path, std::u16string_view name, std::uint32_t type,
           const Bytes& data, std::uint32_t view = 0) {
    RegKey key = 0;
    ASSERT_EQ(scratch_.api()->CreateKey(root, path, kKeyWrite | view, &key), kErrorSuccess);
    ASSERT_EQ(scratch_.api()->SetValue(key, name, type, data.data(),
                                       static_cast<std::uint32_t>(data.size())),
              kErrorSuccess);
    scratch_.api()->CloseKey(key);
  }
  void PutText(RegKey root, std::u16string_view path, std::u16string_view name,
               std::u16string_view text, std::uint32_t view = 0) {
    Put(root, path, name, kRegSz, Utf16(text, true), view);
  }

  // Reads raw data, around the module; nullopt when missing.
  std::optional<std::pair<std::uint32_t, Bytes>> Peek(RegKey root, std::u16string_view path,
                                                      std::u16string_view name,
                                                      std::uint32_t view = 0) {
    RegKey key = 0;
    if (scratch_.api()->OpenKey(root, path, kKeyRead | view, &key) != kErrorSuccess) {
      return std::nullopt;
    }
    std::uint32_t type = 0;
    std::uint32_t size = 0;
    std::optional<std::pair<std::uint32_t, Bytes>> found;
    if (scratch_.api()->QueryValue(key, name, &type, nullptr, &size) == kErrorSuccess) {
      Bytes data(size);
      scratch_.api()->QueryValue(key, name, &type, data.data(), &size);
      found.emplace(type, data);
    }
    scratch_.api()->CloseKey(key);
    return found;
  }

  static Bytes Utf16(std::u16string_view text, bool with_nul) {
    Bytes bytes;
    for (char16_t c : text)
      bytes.insert(bytes.end(), {std::uint8_t(c & 0xFF), std::uint8_t(c >> 8)});
    if (with_nul) bytes.insert(bytes.end(), {0, 0});
    return bytes;
  }

  ScratchRegistry scratch_;
  std::shared_ptr<ObservedRegistry> observed_;
};

TEST_F(RegistryModuleTest, WrittenTextIsStoredWithOneTerminatorAndReadsBackWithout) {
  EXPECT_TRUE(RegWriteString(api(), RegRootCurrentUser, kKey, u"Name", u"abc"));
  EXPECT_EQ(Peek(kHkeyCurrentUser, kKey, u"Name"), std::make_pair(kRegSz, Utf16(u"abc", true)));
  EXPECT_EQ(RegReadString(api(), RegRootCurrentUser, kKey, u"Name"), u"abc");

  // What other tools store: no terminator, or two.
  Put(kHkeyCurrentUser, kKey, u"Bare", kRegSz, Utf16(u"abc", false));
  Put(kHkeyCurrentUser, kKey, u"Twice", kRegSz, Utf16(std::u16string_view(u"abc\0", 4), true));
  EXPECT_EQ(RegReadString(api(), RegRootCurrentUser, kKey, u"Bare"), u"abc");
  EXPECT_EQ(RegReadString(api(), RegRootCurrentUser, kKey, u"Twice"), std::u16string(u"abc\0", 4));

  // The empty string exists and reads as empty.
  EXPECT_TRUE(RegWriteString(api(), RegRootCurrentUser, kKey, u"Empty", u""));
  EXPECT_TRUE(RegValueExists(api(), RegRootCurrentUser, kKey, u"Empty"));
  EXPECT_EQ(RegReadString(api(), RegRootCurrentUser, kKey, u"Empty"), u"");
  EXPECT_FALSE(RegValueExists(api(), RegRootCurrentUser, kKey, u"Missing"));
  EXPECT_EQ(RegReadString(api(), RegRootCurrentUser, kKey, u"Missing"), u"");
}

TEST_F(RegistryModuleTest, OtherTypesReadAsTheirBytesOneCharacterEach) {
  Put(kHkeyCurrentUser, kKey, u"Number", kRegDword, {0x78, 0x56, 0x34, 0x12});
  Put(kHkeyCurrentUser, kKey, u"Small", kRegDword, {0x41, 0, 0, 0});
  Put(kHkeyCurrentUser, kKey, u"Blob", kRegBinary, {0xFF, 0x00, 0x7F});
  EXPECT_EQ(RegReadString(api(), RegRootCurrentUser, kKey, u"Number"), u"\x78\x56\x34\x12");
  EXPECT_EQ(RegReadString(api(), RegRootCurrentUser, kKey, u"Small"), std::u16string(u"A\0\0", 3));
  EXPECT_EQ(RegReadString(api(), RegRootCurrentUser, kKey, u"Blob"),
            std::u16string(u"\xFF\0\x7F", 3));
}

TEST_F(RegistryModuleTest, LongAndNonAsciiValuesExistReadAndCopyWhole) {
  const std::u16string long_path(300, u'p');
  const std::u16string very_long(70000, u'v');
  const std::u16string polish = u"C:\\Users\\Łukasz\\";
  const std::u16string cad = u"D:\\設計\\";
  for (const std::u16string* text : {&long_path, &very_long, &polish, &cad}) {
    EXPECT_TRUE(RegWriteString(api(), RegRootCurrentUser, kKey, u"V", *text));
    EXPECT_TRUE(RegValueExists(api(), RegRootCurrentUser, kKey, u"V"));
    EXPECT_EQ(RegReadString(api(), RegRootCurrentUser, kKey, u"V"), *text);
    EXPECT_TRUE(RegCopyValue(api(), RegRootCurrentUser, kKey, u"V", RegRootCurrentUser,
                             u"SOFTWARE\\MOLTRA\\Copy"));
    EXPECT_EQ(RegReadString(api(), RegRootCurrentUser, u"SOFTWARE\\MOLTRA\\Copy", u"V"), *text);
  }
}

TEST_F(RegistryModuleTest, TheMachineRootTriesTheThirtyTwoBitViewFirst) {
  PutText(kHkeyLocalMachine, kKey, u"Where", u"32", kKeyWow64_32Key);
  if (DefaultViewIsNative()) PutText(kHkeyLocalMachine, kKey, u"Where", u"64", kKeyWow64_64Key);
  EXPECT_TRUE(RegKeyExists(api(), RegRootLocalMachine, kKey));
  EXPECT_TRUE(RegValueExists(api(), RegRootLocalMachine, kKey, u"Where"));
  EXPECT_EQ(RegReadString(api(), RegRootLocalMachine, kKey, u"Where"), u"32");

  // A key that exists there is written there, and not in the user's hive.
  EXPECT_TRUE(RegWriteString(api(), RegRootLocalMachine, u"SOFTWARE\\MOLTRA\\New", u"N", u"1"));
  EXPECT_EQ(Peek(kHkeyLocalMachine, u"SOFTWARE\\MOLTRA\\New", u"N", kKeyWow64_32Key),
            std::make_pair(kRegSz, Utf16(u"1", true)));
  EXPECT_FALSE(Peek(kHkeyCurrentUser, u"SOFTWARE\\MOLTRA\\New", u"N"));
}

// The key is missing in the 32-bit view: each operation makes its own second attempt.
TEST_F(RegistryModuleTest, EachOperationHasItsOwnSecondAttempt) {
  if (!DefaultViewIsNative()) GTEST_SKIP() << "a 32-bit process has no other default view";
  PutText(kHkeyLocalMachine, kKey, u"Native", u"machine", kKeyWow64_64Key);

  // The existence tests answer for the user's key of the same path...
  EXPECT_FALSE(RegKeyExists(api(), RegRootLocalMachine, kKey));
  EXPECT_FALSE(RegValueExists(api(), RegRootLocalMachine, kKey, u"Native"));
  PutText(kHkeyCurrentUser, kKey, u"Native", u"user");
  EXPECT_TRUE(RegKeyExists(api(), RegRootLocalMachine, kKey));
  EXPECT_TRUE(RegValueExists(api(), RegRootLocalMachine, kKey, u"Native"));

  // ...while the read and the listing use the machine's default view.
  EXPECT_EQ(RegReadString(api(), RegRootLocalMachine, kKey, u"Native"), u"machine");
  std::vector<std::u16string> names;
  std::int32_t count = 0;
  PutText(kHkeyLocalMachine, kKey, u"Second", u"x", kKeyWow64_64Key);
  EXPECT_TRUE(RegEnumValueNames(api(), RegRootLocalMachine, kKey, names, count));
  EXPECT_EQ(count, 2);
  EXPECT_THAT(names, InWriteOrder(u"Native", u"Second"));
}

TEST_F(RegistryModuleTest, AMachineWriteThatIsRefusedLandsInTheUsersHive) {
  observed().deny_machine_writes = true;
  EXPECT_TRUE(RegWriteString(api(), RegRootLocalMachine, kKey, u"Fallback", u"here"));
  EXPECT_EQ(Peek(kHkeyCurrentUser, kKey, u"Fallback"),
            std::make_pair(kRegSz, Utf16(u"here", true)));
  EXPECT_FALSE(Peek(kHkeyLocalMachine, kKey, u"Fallback", kKeyWow64_32Key));
  EXPECT_EQ(observed().machine_writes, 0);

  RegKey handle = 1;
  EXPECT_TRUE(RegOpenOrCreateKey(api(), RegRootLocalMachine, kKey, &handle));
  EXPECT_NE(handle, 0u);
  api().CloseKey(handle);

  observed().deny_user_writes = true;
  EXPECT_FALSE(RegWriteString(api(), RegRootLocalMachine, kKey, u"Nowhere", u"x"));
}

TEST_F(RegistryModuleTest, ListingNamesInOrderWhateverTheirLength) {
  std::vector<std::u16string> names = {u"untouched"};
  std::int32_t count = 5;
  EXPECT_FALSE(RegEnumValueNames(api(), RegRootCurrentUser, kKey, names, count));
  EXPECT_EQ(count, 0);

  RegKey handle = 0;
  ASSERT_TRUE(RegOpenOrCreateKey(api(), RegRootCurrentUser, kKey, &handle));
  api().CloseKey(handle);
  count = 5;
  EXPECT_TRUE(RegEnumValueNames(api(), RegRootCurrentUser, kKey, names, count));
  EXPECT_EQ(count, 0);
  EXPECT_THAT(names, ElementsAre(u"untouched"));  // a key with no values leaves the list alone

  const std::u16string long_name(1000, u'N');
  for (std::u16string_view name : {u"b", u"Łukasz", u"", u"a"}) {
    RegWriteString(api(), RegRootCurrentUser, kKey, name, u"1");
  }
  RegWriteString(api(), RegRootCurrentUser, kKey, long_name, u"1");
  EXPECT_TRUE(RegEnumValueNames(api(), RegRootCurrentUser, kKey, names, count));
  EXPECT_EQ(count, 5);
  EXPECT_THAT(names, InWriteOrder(u"b", u"Łukasz", u"", u"a", long_name));
}

TEST_F(RegistryModuleTest, CopyingAMissingValueWritesNothing) {
  EXPECT_FALSE(RegCopyValue(api(), RegRootCurrentUser, kKey, u"Missing", RegRootCurrentUser,
                            u"SOFTWARE\\MOLTRA\\Target"));
  EXPECT_FALSE(RegKeyExists(api(), RegRootCurrentUser, u"SOFTWARE\\MOLTRA\\Target"));
}

TEST_F(RegistryModuleTest, FailuresAreFalseOrEmptyAndCloseTheirKeys) {
  observed().deny_user_writes = true;
  EXPECT_FALSE(RegWriteString(api(), RegRootCurrentUser, kKey, u"x", u"y"));
  EXPECT_FALSE(RegKeyExists(api(), static_cast<RegRoot>(3), kKey));
  EXPECT_EQ(RegReadString(api(), static_cast<RegRoot>(3), kKey, u"x"), u"");
  RegKey handle = 7;
  EXPECT_FALSE(RegOpenOrCreateKey(api(), static_cast<RegRoot>(3), kKey, &handle));
  EXPECT_EQ(handle, 0u);
  // The fixture checks that nothing stayed open.
}

}  // namespace
}  // namespace velmo::registry
