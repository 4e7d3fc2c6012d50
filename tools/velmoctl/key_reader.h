// What a key holds, read for showing and exporting: its values through the registry seam, and the
// names of its subkeys, which the seam cannot list, from the hive file itself.
#ifndef VELMO_TOOLS_VELMOCTL_KEY_READER_H_
#define VELMO_TOOLS_VELMOCTL_KEY_READER_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/hive_paths.h"
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

// Not thread-safe. `registry` and `paths` must outlive the reader.
class KeyReader {
 public:
  KeyReader(platform::RegistryApi& registry, const platform::HivePaths& paths)
      : registry_(registry), paths_(paths) {}

  // `root` is kHkeyCurrentUser or kHkeyLocalMachine; `view` 0 (the default view),
  // kKeyWow64_32Key or kKeyWow64_64Key. A value deleted while the listing runs is left out.
  platform::RegStatus Values(platform::RegKey root, std::u16string_view path, std::uint32_t view,
                             std::vector<Value>* values);

  // Names of the key's subkeys in the order Windows lists them (by upper case). The key must open
  // through the seam; its subkeys come from a read-only look at the hive file, so a hive whose
  // layout this tool does not know answers kErrorBadDb.
  platform::RegStatus Subkeys(platform::RegKey root, std::u16string_view path, std::uint32_t view,
                              std::vector<std::u16string>* names);

 private:
  platform::RegistryApi& registry_;
  const platform::HivePaths& paths_;
};

}  // namespace velmo::tools

#endif  // VELMO_TOOLS_VELMOCTL_KEY_READER_H_
