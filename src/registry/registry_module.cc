#include "registry/registry_module.h"

#include <new>

#include "platform/text.h"

namespace velmo::registry {
namespace {

using platform::kErrorMoreData;
using platform::kErrorSuccess;
using platform::RegKey;
using platform::RegStatus;

// Closes the key on every way out.
class ScopedKey {
 public:
  explicit ScopedKey(RegistryApi& api) : api_(api) {}
  ~ScopedKey() {
    if (key_ != 0) api_.CloseKey(key_);
  }
  ScopedKey(const ScopedKey&) = delete;
  ScopedKey& operator=(const ScopedKey&) = delete;

  RegKey* out() { return &key_; }
  RegKey get() const { return key_; }
  RegKey release() {
    const RegKey key = key_;
    key_ = 0;
    return key;
  }

 private:
  RegistryApi& api_;
  RegKey key_ = 0;
};

// Where a machine-root operation looks when the 32-bit view opened nothing.
enum class SecondAttempt { kCurrentUser, kMachineDefaultView };

bool OpenForReading(RegistryApi& api, RegRoot root, std::u16string_view key, SecondAttempt second,
                    ScopedKey& out) {
  if (root == RegRootCurrentUser) {
    return api.OpenKey(platform::kHkeyCurrentUser, key, platform::kKeyRead, out.out()) ==
               kErrorSuccess &&
           out.get() != 0;
  }
  if (root != RegRootLocalMachine) return false;
  if (api.OpenKey(platform::kHkeyLocalMachine, key, platform::kKeyRead | platform::kKeyWow64_32Key,
                  out.out()) == kErrorSuccess &&
      out.get() != 0) {
    return true;
  }
  *out.out() = 0;
  const RegKey second_root = second == SecondAttempt::kCurrentUser ? platform::kHkeyCurrentUser
                                                                   : platform::kHkeyLocalMachine;
  return api.OpenKey(second_root, key, platform::kKeyRead, out.out()) == kErrorSuccess &&
         out.get() != 0;
}

// The value's type and bytes, however long; false when it cannot be read.
bool QueryWhole(RegistryApi& api, RegKey key, std::u16string_view name, std::uint32_t* type,
                std::vector<std::uint8_t>* data) {
  std::uint32_t size = 0;
  RegStatus status = api.QueryValue(key, name, type, nullptr, &size);
  // Someone may make the value longer between the two queries; go round again then.
  for (int attempt = 0; status == kErrorSuccess && attempt < 8; ++attempt) {
    data->resize(size);
    status = api.QueryValue(key, name, type, data->data(), &size);
    if (status == kErrorSuccess) {
      data->resize(size);
      return true;
    }
    if (status == kErrorMoreData) status = kErrorSuccess;
  }
  return false;
}

std::u16string Decode(std::uint32_t type, const std::vector<std::uint8_t>& data) {
  std::u16string text;
  if (type == platform::kRegSz || type == platform::kRegExpandSz || type == platform::kRegMultiSz) {
    // UTF-16LE; an odd last byte cannot be part of a character.
    text.resize(data.size() / 2);
    for (size_t i = 0; i < text.size(); ++i) {
      text[i] = static_cast<char16_t>(data[2 * i] | data[2 * i + 1] << 8);
    }
  } else {
    text.assign(data.begin(), data.end());
  }
  if (!text.empty() && text.back() == u'\0') text.pop_back();
  return text;
}

// Every operation's rule: any failure, a failed allocation included, ends in its fallback.
template <typename Result, typename Work>
Result OrFallback(Result fallback, Work&& work) noexcept {
  try {
    return work();
  } catch (...) {
    return fallback;
  }
}

}  // namespace

bool RegKeyExists(RegistryApi& api, RegRoot root, std::u16string_view key) {
  return OrFallback<bool>(false, [&]() -> bool {
    ScopedKey open(api);
    return OpenForReading(api, root, key, SecondAttempt::kCurrentUser, open);
  });
}

bool RegValueExists(RegistryApi& api, RegRoot root, std::u16string_view key,
                    std::u16string_view name) {
  return OrFallback<bool>(false, [&]() -> bool {
    if (!RegKeyExists(api, root, key)) return false;
    ScopedKey open(api);
    if (!OpenForReading(api, root, key, SecondAttempt::kCurrentUser, open)) return false;
    std::uint32_t size = 0;
    return api.QueryValue(open.get(), name, nullptr, nullptr, &size) == kErrorSuccess;
  });
}

std::u16string RegReadString(RegistryApi& api, RegRoot root, std::u16string_view key,
                             std::u16string_view name) {
  return OrFallback<std::u16string>({}, [&]() -> std::u16string {
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data;
    {
      ScopedKey open(api);
      if (!OpenForReading(api, root, key, SecondAttempt::kMachineDefaultView, open)) return {};
      if (!QueryWhole(api, open.get(), name, &type, &data)) return {};
    }
    return Decode(type, data);
  });
}

std::u16string RegReadPath(RegistryApi& api, RegRoot root, std::u16string_view key,
                           std::u16string_view name) {
  std::u16string path = RegReadString(api, root, key, name);
  if (platform::HoldsNul(path)) path.clear();
  return path;
}

bool RegOpenOrCreateKey(RegistryApi& api, RegRoot root, std::u16string_view key,
                        platform::RegKey* handle) {
  if (handle == nullptr) return false;
  *handle = 0;
  return OrFallback<bool>(false, [&]() -> bool {
    ScopedKey open(api);
    bool created = false;
    if (root == RegRootCurrentUser) {
      created = api.CreateKey(platform::kHkeyCurrentUser, key, platform::kKeyWrite, open.out()) ==
                kErrorSuccess;
    } else if (root == RegRootLocalMachine) {
      created = api.CreateKey(platform::kHkeyLocalMachine, key,
                              platform::kKeyWrite | platform::kKeyWow64_32Key,
                              open.out()) == kErrorSuccess;
      if (!created || open.get() == 0) {
        *open.out() = 0;
        // A user who may not write the machine hive keeps the value in the user's hive.
        created = api.CreateKey(platform::kHkeyCurrentUser, key, platform::kKeyWrite, open.out()) ==
                  kErrorSuccess;
      }
    }
    if (!created || open.get() == 0) return false;
    *handle = open.release();
    return true;
  });
}

bool RegWriteString(RegistryApi& api, RegRoot root, std::u16string_view key,
                    std::u16string_view name, std::u16string_view value) {
  return OrFallback<bool>(false, [&]() -> bool {
    ScopedKey open(api);
    if (!RegOpenOrCreateKey(api, root, key, open.out())) return false;
    std::vector<std::uint8_t> data;
    data.reserve((value.size() + 1) * 2);
    for (char16_t c : value) {
      data.push_back(static_cast<std::uint8_t>(c & 0xFF));
      data.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    data.insert(data.end(), {0, 0});
    if (data.size() > 0xFFFFFFFFu) return false;
    return api.SetValue(open.get(), name, platform::kRegSz, data.data(),
                        static_cast<std::uint32_t>(data.size())) == kErrorSuccess;
  });
}

bool RegEnumValueNames(RegistryApi& api, RegRoot root, std::u16string_view key,
                       std::vector<std::u16string>& names, std::int32_t& count) {
  count = 0;
  return OrFallback<bool>(false, [&]() -> bool {
    ScopedKey open(api);
    if (!OpenForReading(api, root, key, SecondAttempt::kMachineDefaultView, open)) return false;
    std::uint32_t values = 0;
    std::uint32_t longest = 0;
    if (api.QueryInfoKey(open.get(), &values, &longest) != kErrorSuccess) return false;
    if (values == 0) return true;
    if (values > 0x7FFFFFFFu) return false;
    names.assign(values, std::u16string());
    std::u16string buffer(static_cast<size_t>(longest) + 1, u'\0');
    for (std::uint32_t index = 0;; ++index) {
      std::uint32_t length = static_cast<std::uint32_t>(buffer.size());
      if (api.EnumValueName(open.get(), index, buffer.data(), &length) != kErrorSuccess) break;
      // A value added since the count was taken: the listing no longer holds together.
      if (index >= names.size()) return false;
      names[index].assign(buffer.data(), length);
    }
    count = static_cast<std::int32_t>(values);
    return true;
  });
}

bool RegCopyValue(RegistryApi& api, RegRoot source_root, std::u16string_view source_key,
                  std::u16string_view name, RegRoot target_root, std::u16string_view target_key) {
  return OrFallback<bool>(false, [&]() -> bool {
    if (!RegValueExists(api, source_root, source_key, name)) return false;
    const std::u16string text = RegReadString(api, source_root, source_key, name);
    return RegWriteString(api, target_root, target_key, name, text);
  });
}

}  // namespace velmo::registry
