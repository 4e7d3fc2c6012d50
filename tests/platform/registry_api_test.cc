// What the registry seam promises, checked the same way against the portable store and, in the
// Windows builds, against the real registry.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "listing_order.h"
#include "registry_fixture.h"

namespace velmo::platform {
namespace {

using ::testing::Optional;
using velmo::testing::InWriteOrder;

using RegistryApiTest = RegistryTest;

TEST_F(RegistryApiTest, CreateMakesMissingParentsAndPathsIgnoreCase) {
  const std::u16string deep = user_key() + u"\\Alpha\\Beta\\Gamma";
  RegKey missing = 0;
  EXPECT_EQ(api().OpenKey(kHkeyCurrentUser, deep, kKeyRead, &missing), kErrorFileNotFound);
  EXPECT_EQ(missing, 0u);

  SetString(Create(kHkeyCurrentUser, deep), u"Leaf", u"1");
  Open(kHkeyCurrentUser, user_key() + u"\\Alpha");
  Open(kHkeyCurrentUser, user_key() + u"\\Alpha\\Beta");

  // Another spelling reaches the same key: no second key is made.
  const std::u16string shouted = user_key() + u"\\ALPHA\\beta\\GaMmA";
  EXPECT_THAT(Get(Open(kHkeyCurrentUser, shouted), u"leaf"),
              Optional(StoredValue{kRegSz, Utf16Bytes(u"1", true)}));
  SetString(Create(kHkeyCurrentUser, shouted), u"Second", u"2");
  EXPECT_THAT(Names(Open(kHkeyCurrentUser, deep)), InWriteOrder(u"Leaf", u"Second"));
}

TEST_F(RegistryApiTest, RelativeOpenFromAnOpenKey) {
  const RegKey base = Create(kHkeyCurrentUser, user_key());
  SetString(Create(base, u"Child\\Grandchild"), u"Where", u"below");
  const RegKey child = Open(base, u"child");
  EXPECT_THAT(Get(Open(child, u"GRANDCHILD"), u"Where"),
              Optional(StoredValue{kRegSz, Utf16Bytes(u"below", true)}));
  // An empty path opens the same key again.
  EXPECT_THAT(Names(Open(child, u"")), InWriteOrder());
}

TEST_F(RegistryApiTest, ValueNamesIgnoreCaseAndKeepTheirFirstSpelling) {
  const RegKey key = Create(kHkeyCurrentUser, user_key());
  SetString(key, u"MixedCase", u"first");
  SetString(key, u"MIXEDCASE", u"second");
  EXPECT_THAT(Names(key), InWriteOrder(u"MixedCase"));
  EXPECT_THAT(Get(key, u"mixedcase"), Optional(StoredValue{kRegSz, Utf16Bytes(u"second", true)}));

  // Letters beyond ASCII fold too.
  SetString(key, u"Łódź", u"pl");
  EXPECT_THAT(Get(key, u"ŁÓDŹ"), Optional(StoredValue{kRegSz, Utf16Bytes(u"pl", true)}));
}

TEST_F(RegistryApiTest, TheEmptyNameIsTheDefaultValue) {
  const RegKey key = Create(kHkeyCurrentUser, user_key());
  std::uint32_t size = 0;
  EXPECT_EQ(api().QueryValue(key, u"", nullptr, nullptr, &size), kErrorFileNotFound);
  SetString(key, u"", u"default");
  SetString(key, u"Named", u"named");
  EXPECT_THAT(Get(key, u""), Optional(StoredValue{kRegSz, Utf16Bytes(u"default", true)}));
  EXPECT_THAT(Names(key), InWriteOrder(u"", u"Named"));
}

TEST_F(RegistryApiTest, TypesAndBytesAreKeptExactly) {
  const RegKey key = Create(kHkeyCurrentUser, user_key());
  const std::vector<StoredValue> cases = {
      {kRegSz, Utf16Bytes(u"abc", /*with_nul=*/true)},
      {kRegSz, Utf16Bytes(u"abc", /*with_nul=*/false)},
      {kRegSz, Utf16Bytes(u"a\0b", /*with_nul=*/true)},
      {kRegSz, {}},
      {kRegSz, {'a', 'b', 'c'}},  // odd byte counts are not padded
      {kRegDword, {0x78, 0x56, 0x34, 0x12}},
      {kRegQword, {1, 2, 3, 4, 5, 6, 7, 8}},
      {kRegBinary, {}},
      {kRegBinary, {0, 255, 0, 1, 0}},
      {kRegExpandSz, Utf16Bytes(u"%TEMP%\\x", true)},
      {kRegMultiSz, Utf16Bytes(std::u16string_view(u"one\0two\0", 8), true)},
      {kRegNone, {9}},
      {0x12345678u, {7, 7}},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    const std::u16string name = u"v" + std::u16string(1, static_cast<char16_t>(u'A' + i));
    Set(key, name, cases[i].type, cases[i].data);
  }
  for (size_t i = 0; i < cases.size(); ++i) {
    const std::u16string name = u"v" + std::u16string(1, static_cast<char16_t>(u'A' + i));
    EXPECT_THAT(Get(key, name), Optional(cases[i])) << "case " << i;
  }

  // Writing again replaces type and bytes together.
  Set(key, u"vA", kRegDword, {1, 0, 0, 0});
  EXPECT_THAT(Get(key, u"vA"), Optional(StoredValue{kRegDword, {1, 0, 0, 0}}));
}

TEST_F(RegistryApiTest, TextOutsideAnyCodePageSurvives) {
  const std::u16string user = u"C:\\Users\\Łukasz\\";
  const std::u16string cad = u"D:\\設計\\";
  const std::u16string key_path = user_key() + u"\\設計\\Łukasz";
  const RegKey key = Create(kHkeyCurrentUser, key_path);
  SetString(key, u"USER", user);
  SetString(key, u"Répertoire 設計", cad);
  const RegKey again = Open(kHkeyCurrentUser, key_path);
  EXPECT_THAT(Get(again, u"USER"), Optional(StoredValue{kRegSz, Utf16Bytes(user, true)}));
  EXPECT_THAT(Get(again, u"Répertoire 設計"), Optional(StoredValue{kRegSz, Utf16Bytes(cad, true)}));
  EXPECT_THAT(Names(again), InWriteOrder(u"USER", u"Répertoire 設計"));
}

TEST_F(RegistryApiTest, SizesAndSmallBuffers) {
  const RegKey key = Create(kHkeyCurrentUser, user_key());
  const Bytes eight = {1, 2, 3, 4, 5, 6, 7, 8};
  Set(key, u"Eight", kRegBinary, eight);

  std::uint32_t type = 0;
  std::uint32_t size = 0;
  EXPECT_EQ(api().QueryValue(key, u"Eight", &type, nullptr, &size), kErrorSuccess);
  EXPECT_EQ(type, kRegBinary);
  EXPECT_EQ(size, 8u);

  Bytes small(3);
  size = 3;
  EXPECT_EQ(api().QueryValue(key, u"Eight", &type, small.data(), &size), kErrorMoreData);
  EXPECT_EQ(size, 8u);  // what it takes

  Bytes exact(8);
  size = 8;
  EXPECT_EQ(api().QueryValue(key, u"Eight", nullptr, exact.data(), &size), kErrorSuccess);
  EXPECT_EQ(exact, eight);

  // Long text goes through whole.
  const std::u16string long_text(70000, u'x');
  SetString(key, u"Long", long_text);
  EXPECT_THAT(Get(key, u"Long"), Optional(StoredValue{kRegSz, Utf16Bytes(long_text, true)}));
}

TEST_F(RegistryApiTest, ValuesAreListedByIndexInTheOrderFirstWritten) {
  const RegKey key = Create(kHkeyCurrentUser, user_key());
  std::uint32_t count = 99;
  std::uint32_t longest = 99;
  EXPECT_EQ(api().QueryInfoKey(key, &count, &longest), kErrorSuccess);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(longest, 0u);

  SetString(key, u"zeta", u"1");
  SetString(key, u"Alpha-Longest", u"2");
  SetString(key, u"mid", u"3");
  SetString(key, u"ZETA", u"4");  // rewriting keeps the value's place
  EXPECT_EQ(api().QueryInfoKey(key, &count, &longest), kErrorSuccess);
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(longest, 13u);
  const std::vector<std::u16string> names = Names(key);
  EXPECT_THAT(names, InWriteOrder(u"zeta", u"Alpha-Longest", u"mid"));
  const auto longest_at = static_cast<std::uint32_t>(
      std::find(names.begin(), names.end(), u"Alpha-Longest") - names.begin());

  char16_t buffer[16] = {};
  std::uint32_t length = 13;  // no room for the NUL
  EXPECT_EQ(api().EnumValueName(key, longest_at, buffer, &length), kErrorMoreData);
  length = 14;
  EXPECT_EQ(api().EnumValueName(key, longest_at, buffer, &length), kErrorSuccess);
  EXPECT_EQ(length, 13u);
  EXPECT_EQ(std::u16string(buffer), u"Alpha-Longest");
  length = 16;
  EXPECT_EQ(api().EnumValueName(key, 3, buffer, &length), kErrorNoMoreItems);

  EXPECT_EQ(api().DeleteValue(key, u"ALPHA-LONGEST"), kErrorSuccess);
  EXPECT_EQ(api().DeleteValue(key, u"Alpha-Longest"), kErrorFileNotFound);
  EXPECT_THAT(Names(key), InWriteOrder(u"zeta", u"mid"));
}

TEST_F(RegistryApiTest, SubkeysAreListedByTheirUpperCasedNames) {
  const RegKey key = Create(kHkeyCurrentUser, user_key());
  for (const char16_t* path : {u"B", u"a", u"C\\deeper"}) Create(key, path);
  std::vector<std::u16string> names;
  char16_t buffer[8];
  for (std::uint32_t index = 0;; ++index) {
    std::uint32_t length = 8;
    const RegStatus status = api().EnumKeyName(key, index, buffer, &length);
    if (status != kErrorSuccess) {
      EXPECT_EQ(status, kErrorNoMoreItems);
      break;
    }
    names.emplace_back(buffer, length);
  }
  // Not by code unit, which would put "a" last. (Wine lists '_' before the letters; the store,
  // comparing upper case, after them.)
  EXPECT_EQ(names, (std::vector<std::u16string>{u"a", u"B", u"C"}));
  std::uint32_t length = 1;  // no room for the NUL
  EXPECT_EQ(api().EnumKeyName(key, 0, buffer, &length), kErrorMoreData);
}

TEST_F(RegistryApiTest, MissingThingsAreNotFound) {
  const RegKey key = Create(kHkeyCurrentUser, user_key());
  std::uint32_t size = 0;
  EXPECT_EQ(api().QueryValue(key, u"Absent", nullptr, nullptr, &size), kErrorFileNotFound);
  RegKey sub = 1;
  EXPECT_EQ(api().OpenKey(key, u"Absent", kKeyRead, &sub), kErrorFileNotFound);
  EXPECT_EQ(api().DeleteKeyTree(kHkeyCurrentUser, user_key() + u"\\Absent", 0), kErrorFileNotFound);
  EXPECT_NE(api().CloseKey(0x7FFF0000u), kErrorSuccess);
}

TEST_F(RegistryApiTest, AHandleAllowsOnlyWhatItWasOpenedFor) {
  SetString(Create(kHkeyCurrentUser, user_key()), u"Kept", u"yes");
  const Bytes one = {1, 0, 0, 0};
  const RegKey reader = Open(kHkeyCurrentUser, user_key(), kKeyRead);
  EXPECT_EQ(api().SetValue(reader, u"New", kRegDword, one.data(), 4), kErrorAccessDenied);
  EXPECT_EQ(api().DeleteValue(reader, u"Kept"), kErrorAccessDenied);

  const RegKey writer = Open(kHkeyCurrentUser, user_key(), kKeyWrite);
  std::uint32_t size = 0;
  EXPECT_EQ(api().QueryValue(writer, u"Kept", nullptr, nullptr, &size), kErrorAccessDenied);
  EXPECT_EQ(api().SetValue(writer, u"New", kRegDword, one.data(), 4), kErrorSuccess);
  EXPECT_THAT(Names(reader), InWriteOrder(u"Kept", u"New"));
}

TEST_F(RegistryApiTest, DeletingATreeTakesEverythingBelow) {
  SetString(Create(kHkeyCurrentUser, user_key() + u"\\Doomed\\Deep\\Deeper"), u"x", u"1");
  SetString(Create(kHkeyCurrentUser, user_key() + u"\\Kept"), u"y", u"2");
  const RegKey held = Open(kHkeyCurrentUser, user_key() + u"\\Doomed\\Deep", kKeyRead | kKeyWrite);

  EXPECT_EQ(api().DeleteKeyTree(kHkeyCurrentUser, user_key() + u"\\doomed", 0), kErrorSuccess);
  RegKey gone = 0;
  EXPECT_EQ(
      api().OpenKey(kHkeyCurrentUser, user_key() + u"\\Doomed\\Deep\\Deeper", kKeyRead, &gone),
      kErrorFileNotFound);
  Open(kHkeyCurrentUser, user_key() + u"\\Kept");

  // A handle that outlived its key no longer reaches anything.
  const Bytes one = {1};
  EXPECT_EQ(api().SetValue(held, u"late", kRegBinary, one.data(), 1), kErrorKeyDeleted);
}

TEST_F(RegistryApiTest, TheMachineViewsDifferOnlyUnderSoftware) {
  const std::u16string software = u"SOFTWARE\\" + machine_name();
  SetString(Create(kHkeyLocalMachine, software, kKeyWrite | kKeyRead | kKeyWow64_32Key), u"Bits",
            u"32");

  RegKey key = 0;
  EXPECT_EQ(api().OpenKey(kHkeyLocalMachine, software, kKeyRead | kKeyWow64_64Key, &key),
            kErrorFileNotFound);
  // The 64-bit view shows the 32-bit keys where Windows puts them.
  EXPECT_THAT(Get(Open(kHkeyLocalMachine, u"SOFTWARE\\WOW6432Node\\" + machine_name(),
                       kKeyRead | kKeyWow64_64Key),
                  u"Bits"),
              Optional(StoredValue{kRegSz, Utf16Bytes(u"32", true)}));

  SetString(Create(kHkeyLocalMachine, software, kKeyWrite | kKeyRead | kKeyWow64_64Key), u"Bits",
            u"64");
  EXPECT_THAT(Get(Open(kHkeyLocalMachine, software, kKeyRead | kKeyWow64_32Key), u"Bits"),
              Optional(StoredValue{kRegSz, Utf16Bytes(u"32", true)}));
  EXPECT_THAT(Get(Open(kHkeyLocalMachine, software, kKeyRead | kKeyWow64_64Key), u"Bits"),
              Optional(StoredValue{kRegSz, Utf16Bytes(u"64", true)}));

  // A key opened in one view stays there for what is opened below it.
  const RegKey software32 = Open(kHkeyLocalMachine, u"Software", kKeyRead | kKeyWow64_32Key);
  EXPECT_THAT(Get(Open(software32, machine_name()), u"Bits"),
              Optional(StoredValue{kRegSz, Utf16Bytes(u"32", true)}));

  // Outside SOFTWARE both views see one key.
  const std::u16string system = u"SYSTEM\\" + machine_name();
  SetString(Create(kHkeyLocalMachine, system, kKeyWrite | kKeyRead | kKeyWow64_32Key), u"Shared",
            u"yes");
  EXPECT_THAT(Get(Open(kHkeyLocalMachine, system, kKeyRead | kKeyWow64_64Key), u"Shared"),
              Optional(StoredValue{kRegSz, Utf16Bytes(u"yes", true)}));
}

TEST_F(RegistryApiTest, TheUserHiveHasOneView) {
  SetString(Create(kHkeyCurrentUser, user_key(), kKeyWrite | kKeyRead | kKeyWow64_32Key), u"V",
            u"same");
  EXPECT_THAT(Get(Open(kHkeyCurrentUser, user_key(), kKeyRead | kKeyWow64_64Key), u"V"),
              Optional(StoredValue{kRegSz, Utf16Bytes(u"same", true)}));
  EXPECT_THAT(Get(Open(kHkeyCurrentUser, user_key(), kKeyRead), u"V"),
              Optional(StoredValue{kRegSz, Utf16Bytes(u"same", true)}));
}

}  // namespace
}  // namespace velmo::platform
