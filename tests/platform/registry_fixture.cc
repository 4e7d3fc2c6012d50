#include "registry_fixture.h"

#include <atomic>
#include <filesystem>
#include <string>

#ifdef _WIN32
#include <windows.h>

#include "platform/win32_registry.h"
#else
#include <unistd.h>

#include <cstdlib>

#include "platform/sqlite_registry.h"
#endif

namespace velmo::platform {
namespace {

std::u16string UniqueTag() {
  static std::atomic<int> counter{0};
#ifdef _WIN32
  const unsigned long pid = GetCurrentProcessId();
#else
  const unsigned long pid = static_cast<unsigned long>(getpid());
#endif
  const std::string tag = std::to_string(pid) + "-" + std::to_string(counter++);
  return std::u16string(tag.begin(), tag.end());
}

}  // namespace

Bytes Utf16Bytes(std::u16string_view text, bool with_nul) {
  Bytes bytes;
  for (char16_t c : text) {
    bytes.push_back(static_cast<std::uint8_t>(c & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  if (with_nul) bytes.insert(bytes.end(), {0, 0});
  return bytes;
}

void RegistryTest::SetUp() {
  const std::u16string tag = UniqueTag();
  user_key_ = u"Software\\VelmoTest\\" + tag;
  machine_name_ = u"VelmoTest-" + tag;
#ifdef _WIN32
  api_ = NewWin32Registry();
#else
  std::string pattern = (std::filesystem::temp_directory_path() / "velmo-reg-XXXXXX").string();
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  dir_ = pattern;
  api_ = NewSqliteRegistry({dir_ + "/machine.db", dir_ + "/user.db"});
#endif
}

void RegistryTest::TearDown() {
  for (RegKey key : opened_) api_->CloseKey(key);
#ifdef _WIN32
  // The real registry outlives the test: take back what it wrote.
  api_->DeleteKeyTree(kHkeyCurrentUser, user_key_, 0);
  for (std::u16string_view top : {u"SOFTWARE\\", u"SYSTEM\\"}) {
    const std::u16string path = std::u16string(top) + machine_name_;
    api_->DeleteKeyTree(kHkeyLocalMachine, path, kKeyWow64_32Key);
    api_->DeleteKeyTree(kHkeyLocalMachine, path, kKeyWow64_64Key);
  }
#else
  std::filesystem::remove_all(dir_);
#endif
}

RegKey RegistryTest::Create(RegKey root, std::u16string_view path, std::uint32_t access) {
  RegKey key = 0;
  EXPECT_EQ(api_->CreateKey(root, path, access, &key), kErrorSuccess);
  if (key != 0) opened_.push_back(key);
  return key;
}

RegKey RegistryTest::Open(RegKey root, std::u16string_view path, std::uint32_t access) {
  RegKey key = 0;
  EXPECT_EQ(api_->OpenKey(root, path, access, &key), kErrorSuccess);
  if (key != 0) opened_.push_back(key);
  return key;
}

void RegistryTest::Set(RegKey key, std::u16string_view name, std::uint32_t type,
                       const Bytes& data) {
  EXPECT_EQ(api_->SetValue(key, name, type, data.data(), static_cast<std::uint32_t>(data.size())),
            kErrorSuccess);
}

void RegistryTest::SetString(RegKey key, std::u16string_view name, std::u16string_view text) {
  Set(key, name, kRegSz, Utf16Bytes(text, /*with_nul=*/true));
}

std::optional<StoredValue> RegistryTest::Get(RegKey key, std::u16string_view name) {
  std::uint32_t type = 0;
  std::uint32_t size = 0;
  RegStatus status = api_->QueryValue(key, name, &type, nullptr, &size);
  if (status != kErrorSuccess) return std::nullopt;
  Bytes data(size);
  status = api_->QueryValue(key, name, &type, data.data(), &size);
  EXPECT_EQ(status, kErrorSuccess);
  data.resize(size);
  return StoredValue{type, data};
}

std::vector<std::u16string> RegistryTest::Names(RegKey key) {
  std::vector<std::u16string> names;
  std::uint32_t count = 0;
  std::uint32_t longest = 0;
  EXPECT_EQ(api_->QueryInfoKey(key, &count, &longest), kErrorSuccess);
  std::u16string buffer(longest + 1, u'\0');
  for (std::uint32_t index = 0;; ++index) {
    std::uint32_t length = static_cast<std::uint32_t>(buffer.size());
    const RegStatus status = api_->EnumValueName(key, index, buffer.data(), &length);
    if (status == kErrorNoMoreItems) break;
    EXPECT_EQ(status, kErrorSuccess);
    if (status != kErrorSuccess) break;
    names.emplace_back(buffer.data(), length);
  }
  EXPECT_EQ(names.size(), count);
  return names;
}

}  // namespace velmo::platform
