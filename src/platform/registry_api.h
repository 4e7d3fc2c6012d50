// The registry as the library sees it: a handful of calls shaped like advapi32's wide registry
// functions, with Win32 status codes, so the layer above is written once for the Windows
// registry and for the portable store.
#ifndef VELMO_PLATFORM_REGISTRY_API_H_
#define VELMO_PLATFORM_REGISTRY_API_H_

#include <cstdint>
#include <string_view>

namespace velmo::platform {

// Win32 status codes (LSTATUS values).
using RegStatus = std::int32_t;
inline constexpr RegStatus kErrorSuccess = 0;
inline constexpr RegStatus kErrorFileNotFound = 2;
inline constexpr RegStatus kErrorAccessDenied = 5;
inline constexpr RegStatus kErrorInvalidHandle = 6;
inline constexpr RegStatus kErrorOutOfMemory = 14;
inline constexpr RegStatus kErrorInvalidParameter = 87;
inline constexpr RegStatus kErrorBusy = 170;
inline constexpr RegStatus kErrorBadPathname = 161;
inline constexpr RegStatus kErrorMoreData = 234;
inline constexpr RegStatus kErrorNoMoreItems = 259;
inline constexpr RegStatus kErrorBadDb = 1009;
inline constexpr RegStatus kErrorRegistryCorrupt = 1015;
inline constexpr RegStatus kErrorRegistryIoFailed = 1016;
inline constexpr RegStatus kErrorKeyDeleted = 1018;
inline constexpr RegStatus kErrorNoSystemResources = 1450;

// An open key. The two predefined roots carry the documented 32-bit handle values; other keys
// are opaque values handed out by the implementation.
using RegKey = std::uintptr_t;
inline constexpr RegKey kHkeyCurrentUser = 0x80000001u;
inline constexpr RegKey kHkeyLocalMachine = 0x80000002u;

// Access masks (the documented values).
inline constexpr std::uint32_t kKeyQueryValue = 0x0001;
inline constexpr std::uint32_t kKeySetValue = 0x0002;
inline constexpr std::uint32_t kKeyCreateSubKey = 0x0004;
inline constexpr std::uint32_t kKeyEnumerateSubKeys = 0x0008;
inline constexpr std::uint32_t kKeyWow64_64Key = 0x0100;
inline constexpr std::uint32_t kKeyWow64_32Key = 0x0200;
inline constexpr std::uint32_t kKeyRead = 0x20019;
inline constexpr std::uint32_t kKeyWrite = 0x20006;

// Value types.
inline constexpr std::uint32_t kRegNone = 0;
inline constexpr std::uint32_t kRegSz = 1;
inline constexpr std::uint32_t kRegExpandSz = 2;
inline constexpr std::uint32_t kRegBinary = 3;
inline constexpr std::uint32_t kRegDword = 4;
inline constexpr std::uint32_t kRegMultiSz = 7;
inline constexpr std::uint32_t kRegQword = 11;

// Every call behaves as its advapi32 counterpart named beside it; sizes of value data are in
// bytes, sizes of names in UTF-16 code units.
class RegistryApi {
 public:
  virtual ~RegistryApi() = default;

  // RegOpenKeyExW. An empty path opens `parent` again.
  virtual RegStatus OpenKey(RegKey parent, std::u16string_view path, std::uint32_t access,
                            RegKey* key) = 0;

  // RegCreateKeyExW: opens the key, creating it and its missing parents first.
  virtual RegStatus CreateKey(RegKey parent, std::u16string_view path, std::uint32_t access,
                              RegKey* key) = 0;

  // RegQueryValueExW. `type` and `data` may be null. On entry `*size` is the capacity of `data`;
  // on return it is the size of the stored data, also with kErrorMoreData when it does not fit.
  virtual RegStatus QueryValue(RegKey key, std::u16string_view name, std::uint32_t* type,
                               std::uint8_t* data, std::uint32_t* size) = 0;

  // RegSetValueExW. The bytes are stored exactly as given, whatever the type.
  virtual RegStatus SetValue(RegKey key, std::u16string_view name, std::uint32_t type,
                             const std::uint8_t* data, std::uint32_t size) = 0;

  // RegEnumValueW without the data. On entry `*length` is the capacity of `name` in code units,
  // its terminating NUL included; on success it is the name's length without the NUL.
  virtual RegStatus EnumValueName(RegKey key, std::uint32_t index, char16_t* name,
                                  std::uint32_t* length) = 0;

  // RegEnumKeyExW without the class and time: the name of the subkey at `index`, with `*length`
  // as for EnumValueName. The key must be opened with kKeyEnumerateSubKeys. Indexes are stable
  // while the key's subkeys do not change; the portable store orders them by name with each code
  // unit upper-cased, as Windows does in practice (advapi32 promises no order).
  virtual RegStatus EnumKeyName(RegKey key, std::uint32_t index, char16_t* name,
                                std::uint32_t* length) = 0;

  // RegQueryInfoKeyW, of which only the value count and the longest value name (in code units,
  // without NUL) are asked. Either pointer may be null.
  virtual RegStatus QueryInfoKey(RegKey key, std::uint32_t* value_count,
                                 std::uint32_t* max_value_name_length) = 0;

  // RegDeleteValueW.
  virtual RegStatus DeleteValue(RegKey key, std::u16string_view name) = 0;

  // RegDeleteTreeW on `path` under `parent`, then the key itself (RegDeleteKeyExW). `access`
  // carries only the view flags.
  virtual RegStatus DeleteKeyTree(RegKey parent, std::u16string_view path,
                                  std::uint32_t access) = 0;

  // RegCloseKey. Closing a predefined root succeeds and does nothing.
  virtual RegStatus CloseKey(RegKey key) = 0;

  // Makes the changes that follow one transaction in each hive they touch, until CommitChanges
  // or AbandonChanges: other processes see all of them or none, and a process that dies first
  // leaves nothing. A change that fails within is undone alone. Until the end, other processes'
  // writes to those hives wait, and fail busy after some seconds. False where the registry cannot
  // (the Windows registry): each change is then committed as it is made, and the two calls below
  // do nothing.
  virtual bool BeginChanges() { return false; }
  // On failure nothing of the changes stands, except in a hive committed before the one that
  // failed (the user's is committed first): `failed`, when given, is set to the root of the hive
  // whose commit failed (kHkeyCurrentUser or kHkeyLocalMachine), and to 0 on success.
  virtual RegStatus CommitChanges(RegKey* failed = nullptr) {
    if (failed != nullptr) *failed = 0;
    return kErrorSuccess;
  }
  virtual void AbandonChanges() {}

  // Bracket the calls that make up one operation of the library (a settings read, say), so that
  // a store may look at its files once for them all rather than once a call: the operation still
  // sees everything committed before it began. Pairs nest, and are the calling thread's: the
  // calls of other threads meanwhile are not part of the operation. The Windows registry ignores
  // them.
  virtual void BeginOperation() {}
  virtual void EndOperation() {}
};

// Forwards every call to another registry, transactions and operations included: a test double
// derives from it and overrides only what it watches or changes. `target` must outlive it.
class RegistryApiWrapper : public RegistryApi {
 public:
  explicit RegistryApiWrapper(RegistryApi& target) : target_(target) {}

  RegistryApi& target() const { return target_; }

  RegStatus OpenKey(RegKey parent, std::u16string_view path, std::uint32_t access,
                    RegKey* key) override {
    return target_.OpenKey(parent, path, access, key);
  }
  RegStatus CreateKey(RegKey parent, std::u16string_view path, std::uint32_t access,
                      RegKey* key) override {
    return target_.CreateKey(parent, path, access, key);
  }
  RegStatus QueryValue(RegKey key, std::u16string_view name, std::uint32_t* type,
                       std::uint8_t* data, std::uint32_t* size) override {
    return target_.QueryValue(key, name, type, data, size);
  }
  RegStatus SetValue(RegKey key, std::u16string_view name, std::uint32_t type,
                     const std::uint8_t* data, std::uint32_t size) override {
    return target_.SetValue(key, name, type, data, size);
  }
  RegStatus EnumValueName(RegKey key, std::uint32_t index, char16_t* name,
                          std::uint32_t* length) override {
    return target_.EnumValueName(key, index, name, length);
  }
  RegStatus EnumKeyName(RegKey key, std::uint32_t index, char16_t* name,
                        std::uint32_t* length) override {
    return target_.EnumKeyName(key, index, name, length);
  }
  RegStatus QueryInfoKey(RegKey key, std::uint32_t* value_count,
                         std::uint32_t* max_value_name_length) override {
    return target_.QueryInfoKey(key, value_count, max_value_name_length);
  }
  RegStatus DeleteValue(RegKey key, std::u16string_view name) override {
    return target_.DeleteValue(key, name);
  }
  RegStatus DeleteKeyTree(RegKey parent, std::u16string_view path, std::uint32_t access) override {
    return target_.DeleteKeyTree(parent, path, access);
  }
  RegStatus CloseKey(RegKey key) override { return target_.CloseKey(key); }
  bool BeginChanges() override { return target_.BeginChanges(); }
  RegStatus CommitChanges(RegKey* failed = nullptr) override {
    return target_.CommitChanges(failed);
  }
  void AbandonChanges() override { target_.AbandonChanges(); }
  void BeginOperation() override { target_.BeginOperation(); }
  void EndOperation() override { target_.EndOperation(); }

 private:
  RegistryApi& target_;
};

// One operation of the library on `api`, for as long as it lives.
class OperationScope {
 public:
  explicit OperationScope(RegistryApi& api) : api_(api) { api_.BeginOperation(); }
  ~OperationScope() { api_.EndOperation(); }
  OperationScope(const OperationScope&) = delete;
  OperationScope& operator=(const OperationScope&) = delete;

 private:
  RegistryApi& api_;
};

}  // namespace velmo::platform

#endif  // VELMO_PLATFORM_REGISTRY_API_H_
