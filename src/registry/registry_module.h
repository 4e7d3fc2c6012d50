// The library's only road to the registry: seven operations on named string values. None of them
// reports an error; every failure ends in false or the empty string, and every key an operation
// opens is closed before it returns.
//
// With the machine root, each operation first asks for the 32-bit view and tries a second time
// only when that opened nothing: the existence tests and the write in the user's hive, the read and
// the listing in the machine hive's default view.
#ifndef VELMO_REGISTRY_REGISTRY_MODULE_H_
#define VELMO_REGISTRY_REGISTRY_MODULE_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry_api.h"

namespace velmo::registry {

enum RegRoot : std::int16_t {
  RegRootCurrentUser = 1,
  RegRootLocalMachine = 2,
};

using platform::RegistryApi;

bool RegKeyExists(RegistryApi& api, RegRoot root, std::u16string_view key);

// Whatever the value's length.
bool RegValueExists(RegistryApi& api, RegRoot root, std::u16string_view key,
                    std::u16string_view name);

// String types read as their UTF-16 text, other types as their raw bytes one character per byte;
// one trailing NUL character is dropped either way.
std::u16string RegReadString(RegistryApi& api, RegRoot root, std::u16string_view key,
                             std::u16string_view name);

// RegReadString for a value that names a directory: one holding NUL reads as missing (""), since
// the file system would take it only up to the NUL.
std::u16string RegReadPath(RegistryApi& api, RegRoot root, std::u16string_view key,
                           std::u16string_view name);

// On success `*handle` is open for writing and the caller closes it; on failure it is 0.
bool RegOpenOrCreateKey(RegistryApi& api, RegRoot root, std::u16string_view key,
                        platform::RegKey* handle);

// Stores REG_SZ with its terminating NUL, as Windows tools do.
bool RegWriteString(RegistryApi& api, RegRoot root, std::u16string_view key,
                    std::u16string_view name, std::u16string_view value);

// On success `count` is the key's number of values and `names` holds that many entries; a key
// with no values leaves `names` as it was.
bool RegEnumValueNames(RegistryApi& api, RegRoot root, std::u16string_view key,
                       std::vector<std::u16string>& names, std::int32_t& count);

bool RegCopyValue(RegistryApi& api, RegRoot source_root, std::u16string_view source_key,
                  std::u16string_view name, RegRoot target_root, std::u16string_view target_key);

}  // namespace velmo::registry

#endif  // VELMO_REGISTRY_REGISTRY_MODULE_H_
