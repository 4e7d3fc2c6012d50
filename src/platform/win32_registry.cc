#include "platform/win32_registry.h"

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/system_registry.h"

namespace velmo::platform {
namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "names pass through as UTF-16");
static_assert(sizeof(DWORD) == sizeof(std::uint32_t));

constexpr std::uint32_t kViewFlags = kKeyWow64_64Key | kKeyWow64_32Key;

// The predefined handles are sign-extended on 64-bit Windows, so they cannot simply be cast.
HKEY ToHkey(RegKey key) {
  if (key == kHkeyCurrentUser) return HKEY_CURRENT_USER;
  if (key == kHkeyLocalMachine) return HKEY_LOCAL_MACHINE;
  return reinterpret_cast<HKEY>(key);
}

// Opening a root with an empty path hands the predefined handle back.
RegKey FromHkey(HKEY key) {
  if (key == HKEY_CURRENT_USER) return kHkeyCurrentUser;
  if (key == HKEY_LOCAL_MACHINE) return kHkeyLocalMachine;
  return reinterpret_cast<RegKey>(key);
}

bool IsRoot(RegKey key) { return key == kHkeyCurrentUser || key == kHkeyLocalMachine; }

// advapi32 stops a name at its first NUL, which would silently address another key or value
// (a tree deletion one level too high, say); such names are refused instead.
bool ToWide(std::u16string_view text, std::wstring* wide) {
  if (text.find(u'\0') != std::u16string_view::npos) return false;
  wide->assign(text.begin(), text.end());
  return true;
}

// DWORD is unsigned long, so the caller's uint32_t values go through DWORD copies rather than
// being aliased.
class InOut {
 public:
  explicit InOut(std::uint32_t* value) : value_(value), copy_(value ? *value : 0) {}
  InOut(const InOut&) = delete;
  InOut& operator=(const InOut&) = delete;
  ~InOut() {
    if (value_ != nullptr) *value_ = copy_;
  }
  DWORD* get() { return value_ != nullptr ? &copy_ : nullptr; }

 private:
  std::uint32_t* value_;
  DWORD copy_;
};

// An out-only value, handed back only when the call says it wrote it.
class Out {
 public:
  explicit Out(std::uint32_t* value) : value_(value) {}
  DWORD* get() { return value_ != nullptr ? &copy_ : nullptr; }
  void Deliver() {
    if (value_ != nullptr) *value_ = copy_;
  }

 private:
  std::uint32_t* value_;
  DWORD copy_ = 0;
};

bool IsStringType(std::uint32_t type) {
  return type == kRegSz || type == kRegExpandSz || type == kRegMultiSz;
}

class Win32Registry final : public RegistryApi {
 public:
  RegStatus OpenKey(RegKey parent, std::u16string_view path, std::uint32_t access,
                    RegKey* key) override {
    std::wstring wide;
    if (key == nullptr || !ToWide(path, &wide)) return kErrorInvalidParameter;
    HKEY opened = nullptr;
    const LSTATUS status = RegOpenKeyExW(ToHkey(parent), wide.c_str(), 0, access, &opened);
    *key = status == ERROR_SUCCESS ? FromHkey(opened) : 0;
    return status;
  }

  RegStatus CreateKey(RegKey parent, std::u16string_view path, std::uint32_t access,
                      RegKey* key) override {
    std::wstring wide;
    if (key == nullptr || !ToWide(path, &wide)) return kErrorInvalidParameter;
    SECURITY_ATTRIBUTES attributes{};
    attributes.nLength = sizeof(attributes);
    attributes.lpSecurityDescriptor = nullptr;
    attributes.bInheritHandle = TRUE;
    HKEY created = nullptr;
    const LSTATUS status =
        RegCreateKeyExW(ToHkey(parent), wide.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, access,
                        &attributes, &created, nullptr);
    *key = status == ERROR_SUCCESS ? FromHkey(created) : 0;
    return status;
  }

  RegStatus QueryValue(RegKey key, std::u16string_view name, std::uint32_t* type,
                       std::uint8_t* data, std::uint32_t* size) override {
    std::wstring wide;
    if (!ToWide(name, &wide)) return kErrorInvalidParameter;
    Out type_out(type);
    InOut size_inout(size);
    const LSTATUS status = RegQueryValueExW(ToHkey(key), wide.c_str(), nullptr, type_out.get(),
                                            data, size_inout.get());
    if (status == ERROR_SUCCESS || status == ERROR_MORE_DATA) type_out.Deliver();
    return status;
  }

  RegStatus SetValue(RegKey key, std::u16string_view name, std::uint32_t type,
                     const std::uint8_t* data, std::uint32_t size) override {
    std::wstring wide;
    if (!ToWide(name, &wide)) return kErrorInvalidParameter;
    if (data == nullptr || size == 0 || !IsStringType(type)) {
      return RegSetValueExW(ToHkey(key), wide.c_str(), 0, type, data, size);
    }
    // For string types advapi32 reads the code unit after the data and, when it is NUL, stores
    // it too. Copying the data ahead of a non-NUL guard keeps the stored bytes exactly the
    // caller's and keeps that read inside memory we own.
    constexpr std::size_t kLead = sizeof(wchar_t);
    std::vector<std::uint8_t> guarded(kLead + size + sizeof(wchar_t), 0xFF);
    std::copy(data, data + size, guarded.begin() + kLead);
    return RegSetValueExW(ToHkey(key), wide.c_str(), 0, type, guarded.data() + kLead, size);
  }

  RegStatus EnumValueName(RegKey key, std::uint32_t index, char16_t* name,
                          std::uint32_t* length) override {
    InOut length_inout(length);
    return RegEnumValueW(ToHkey(key), index, reinterpret_cast<wchar_t*>(name), length_inout.get(),
                         nullptr, nullptr, nullptr, nullptr);
  }

  RegStatus EnumKeyName(RegKey key, std::uint32_t index, char16_t* name,
                        std::uint32_t* length) override {
    if (name == nullptr || length == nullptr) return kErrorInvalidParameter;
    InOut length_inout(length);
    return RegEnumKeyExW(ToHkey(key), index, reinterpret_cast<wchar_t*>(name), length_inout.get(),
                         nullptr, nullptr, nullptr, nullptr);
  }

  RegStatus QueryInfoKey(RegKey key, std::uint32_t* value_count,
                         std::uint32_t* max_value_name_length) override {
    Out count(value_count);
    Out longest(max_value_name_length);
    const LSTATUS status =
        RegQueryInfoKeyW(ToHkey(key), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                         count.get(), longest.get(), nullptr, nullptr, nullptr);
    if (status == ERROR_SUCCESS) {
      count.Deliver();
      longest.Deliver();
    }
    return status;
  }

  RegStatus DeleteValue(RegKey key, std::u16string_view name) override {
    std::wstring wide;
    if (!ToWide(name, &wide)) return kErrorInvalidParameter;
    return RegDeleteValueW(ToHkey(key), wide.c_str());
  }

  RegStatus DeleteKeyTree(RegKey parent, std::u16string_view path, std::uint32_t access) override {
    std::wstring wide;
    if (!ToWide(path, &wide)) return kErrorInvalidParameter;
    // A root cannot be deleted, and emptying it first would wipe the whole hive before failing.
    if (path.empty() && IsRoot(parent)) return kErrorAccessDenied;
    const REGSAM view = access & kViewFlags;
    HKEY opened = nullptr;
    LSTATUS status = RegOpenKeyExW(
        ToHkey(parent), wide.c_str(), 0,
        view | DELETE | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | KEY_SET_VALUE, &opened);
    if (status != ERROR_SUCCESS) return status;
    status = RegDeleteTreeW(opened, nullptr);
    RegCloseKey(opened);
    if (status != ERROR_SUCCESS) return status;
    return RegDeleteKeyExW(ToHkey(parent), wide.c_str(), view, 0);
  }

  RegStatus CloseKey(RegKey key) override {
    if (IsRoot(key)) return kErrorSuccess;
    return RegCloseKey(ToHkey(key));
  }
};

}  // namespace

std::unique_ptr<RegistryApi> NewWin32Registry() { return std::make_unique<Win32Registry>(); }

std::unique_ptr<RegistryApi> NewSystemRegistry() { return NewWin32Registry(); }

}  // namespace velmo::platform
