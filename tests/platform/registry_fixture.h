// The registry the seam tests run against, with room of their own in both hives: the portable
// store in a fresh directory on Linux, the real registry under Windows and Wine.
#ifndef VELMO_TESTS_PLATFORM_REGISTRY_FIXTURE_H_
#define VELMO_TESTS_PLATFORM_REGISTRY_FIXTURE_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/registry_api.h"

namespace velmo::platform {

using Bytes = std::vector<std::uint8_t>;

// The UTF-16LE bytes of `text`, as the registry keeps strings.
Bytes Utf16Bytes(std::u16string_view text, bool with_nul);

struct StoredValue {
  std::uint32_t type;
  Bytes data;
  bool operator==(const StoredValue&) const = default;
};

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  RegistryApi& api() { return *api_; }
  // A key path under HKEY_CURRENT_USER that only this test uses.
  const std::u16string& user_key() const { return user_key_; }
  // A key name that only this test uses, for SOFTWARE and SYSTEM of HKEY_LOCAL_MACHINE.
  const std::u16string& machine_name() const { return machine_name_; }

  // Create or open and expect success; the handle is closed when the test ends.
  RegKey Create(RegKey root, std::u16string_view path, std::uint32_t access = kKeyRead | kKeyWrite);
  RegKey Open(RegKey root, std::u16string_view path, std::uint32_t access = kKeyRead);
  void Set(RegKey key, std::u16string_view name, std::uint32_t type, const Bytes& data);
  void SetString(RegKey key, std::u16string_view name, std::u16string_view text);
  std::optional<StoredValue> Get(RegKey key, std::u16string_view name);
  std::vector<std::u16string> Names(RegKey key);

 private:
  std::unique_ptr<RegistryApi> api_;
  std::u16string user_key_;
  std::u16string machine_name_;
  std::vector<RegKey> opened_;
#ifndef _WIN32
  std::string dir_;
#endif
};

}  // namespace velmo::platform

#endif  // VELMO_TESTS_PLATFORM_REGISTRY_FIXTURE_H_
