// What a key holds, read for showing and exporting through the registry seam alone.
#ifndef VELMO_TOOLS_VELMOCTL_KEY_READER_H_
#define VELMO_TOOLS_VELMOCTL_KEY_READER_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry_api.h"

namespace velmo::tools {

struct Value {
  std::u16string name;
  std::uint32_t type = 0;
  std::string data;
};

// The value `name` of the open `key`, whatever its size.
platform::RegStatus ReadValue(platform::RegistryApi& registry, platform::RegKey key,
                              std::u16string_view name, Value* value);

// The value `name` of the key `path`, opened in exactly `root` and `view`, as the library reads a
// value as text: strings as their text, other types byte by byte, one trailing NUL dropped.
// Nothing when the key does not open or has no such value.
std::optional<std::u16string> ReadText(platform::RegistryApi& registry, platform::RegKey root,
                                       std::uint32_t view, std::u16string_view path,
                                       std::u16string_view name);

// Not thread-safe. `registry` must outlive the reader.
class KeyReader {
 public:
  explicit KeyReader(platform::RegistryApi& registry) : registry_(registry) {}

  // `root` is kHkeyCurrentUser or kHkeyLocalMachine; `view` 0 (the default view),
  // kKeyWow64_32Key or kKeyWow64_64Key. A value deleted while the listing runs is left out.
  platform::RegStatus Values(platform::RegKey root, std::u16string_view path, std::uint32_t view,
                             std::vector<Value>* values);

  // Names of the key's subkeys in the order Windows lists them (by upper case).
  platform::RegStatus Subkeys(platform::RegKey root, std::u16string_view path, std::uint32_t view,
                              std::vector<std::u16string>* names);

 private:
  platform::RegistryApi& registry_;
};

}  // namespace velmo::tools

#endif  // VELMO_TOOLS_VELMOCTL_KEY_READER_H_
