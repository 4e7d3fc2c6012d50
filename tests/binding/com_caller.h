// What the tests of the automation server share: a COM caller's tools (references, strings,
// variants, apartments, creation by ProgID) and the registry values an installation leaves for
// the library. Nothing here knows the server beyond its published identities.
#ifndef VELMO_TESTS_BINDING_COM_CALLER_H_
#define VELMO_TESTS_BINDING_COM_CALLER_H_

#include <windows.h>

#include <oaidl.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "temp_dir.h"

namespace velmo::testing {

// VELMOSWGlobalLib.dll as CMake built it, in a form the loader under test accepts.
inline constexpr const wchar_t* kServerDll = VELMO_SERVER_DLL;

inline constexpr const wchar_t* kGlobalProgId = L"VELMOSWGlobalLib.MOLTRAGlobalClass";
inline constexpr const wchar_t* kClassPPProgId = L"VELMOSWGlobalLib.classPP";
// The companion servers, built beside it.
inline constexpr const wchar_t* kConfigDll = VELMO_CONFIG_DLL;
inline constexpr const wchar_t* kPPDll = VELMO_PP_DLL;
inline constexpr const wchar_t* kConfigProgId = L"MOLConfigLib.ConfigDocument";
inline constexpr const wchar_t* kPPProgId = L"MolGPP.PPDocument";

// An owned interface reference.
template <typename T>
class Ref {
 public:
  Ref() = default;
  explicit Ref(T* adopted) : pointer_(adopted) {}
  Ref(const Ref& other) : pointer_(other.pointer_) {
    if (pointer_ != nullptr) pointer_->AddRef();
  }
  Ref(Ref&& other) noexcept : pointer_(std::exchange(other.pointer_, nullptr)) {}
  Ref& operator=(Ref other) noexcept {
    std::swap(pointer_, other.pointer_);
    return *this;
  }
  ~Ref() { reset(); }

  void reset() {
    if (pointer_ != nullptr) std::exchange(pointer_, nullptr)->Release();
  }
  T* get() const { return pointer_; }
  T* operator->() const { return pointer_; }
  explicit operator bool() const { return pointer_ != nullptr; }
  T** put() {
    reset();
    return &pointer_;
  }
  void** put_void() { return reinterpret_cast<void**>(put()); }

  // QueryInterface; an empty reference when refused, with the answer in `hr`.
  template <typename U>
  Ref<U> As(REFIID iid, HRESULT* hr = nullptr) const {
    Ref<U> out;
    const HRESULT status =
        pointer_ == nullptr ? E_POINTER : pointer_->QueryInterface(iid, out.put_void());
    if (hr != nullptr) *hr = status;
    return out;
  }

 private:
  T* pointer_ = nullptr;
};

// The controlling IUnknown, which COM promises is the same pointer for one object. An empty
// reference stands for itself, so that two of them never pass for one object.
template <typename T>
const void* Identity(const Ref<T>& ref) {
  Ref<IUnknown> unknown = ref.template As<IUnknown>(IID_IUnknown);
  if (!unknown) return &ref;
  return unknown.get();  // the object stays alive through `ref`
}

class Bstr {
 public:
  Bstr() = default;
  explicit Bstr(std::wstring_view text)
      : text_(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  ~Bstr() { SysFreeString(text_); }

  BSTR get() const { return text_; }
  BSTR* put() {
    SysFreeString(text_);
    text_ = nullptr;
    return &text_;
  }
  BSTR release() { return std::exchange(text_, nullptr); }
  std::wstring text() const { return Text(text_); }
  static std::wstring Text(BSTR text) {
    return text == nullptr ? std::wstring() : std::wstring(text, SysStringLen(text));
  }

 private:
  BSTR text_ = nullptr;
};

struct Variant : VARIANT {
  Variant() { VariantInit(this); }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;
  ~Variant() { VariantClear(this); }
};

// Runs `body` on a new thread in a single-threaded apartment, as each thread of the host is. A
// new thread starts with an empty context, so a test run this way depends on no other.
void InApartment(const std::function<void()>& body);

// CLSIDFromProgID then CoCreateInstance, the way a caller that knows only the ProgID creates.
template <typename T>
Ref<T> CreateByProgId(const wchar_t* progid, REFIID iid, HRESULT* hr = nullptr) {
  Ref<T> out;
  CLSID clsid{};
  HRESULT status = CLSIDFromProgID(progid, &clsid);
  if (SUCCEEDED(status)) {
    status = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, iid, out.put_void());
  }
  if (hr != nullptr) *hr = status;
  return out;
}

// The registry as the library reads it: the user's hive, and the machine hive in the 32-bit
// view, where the add-in's installer writes and where the library looks first.
enum class Hive { kUser, kMachine };

inline constexpr const wchar_t* kReleaseKey = L"SOFTWARE\\MOLTRA\\VELMO_SW2\\VELMO_SW2 2";
inline constexpr const wchar_t* kInterfaceKey =
    L"SOFTWARE\\MOLTRA\\VELMO_SW2\\VELMO_SW2 2\\Interface";
inline constexpr const wchar_t* kSettingsKey =
    L"SOFTWARE\\MOLTRA\\VELMO_SW2\\VELMO_SW2 2\\Settings";

// Removes SOFTWARE\MOLTRA from the user's hive and from both views of the machine hive.
void ClearLibraryKeys();
bool WriteRegistryString(Hive hive, const wchar_t* key, const wchar_t* name,
                         std::wstring_view value);
std::optional<std::wstring> ReadRegistryString(Hive hive, const wchar_t* key, const wchar_t* name);

// The message the call left in the thread's error object, or "" without one.
std::wstring ErrorDescription(GUID* source_interface = nullptr);

inline std::wstring Wide(std::u16string_view text) {
  return std::wstring(text.begin(), text.end());
}

// A directory without its trailing separator, as an installer stores it.
inline std::wstring Bare(const TempDir& dir) {
  std::wstring path = Wide(dir.path());
  path.pop_back();
  return path;
}

inline std::wstring HostPath(const TempDir& dir, std::u16string_view relative) {
  return dir.Host(relative).wstring();
}

// An installed add-in: an application directory with its geometry and configuration files and a
// user directory with the user's configuration, named where the library looks for them. The
// library's keys are cleared before and after.
class Installation {
 public:
  Installation();
  ~Installation() { ClearLibraryKeys(); }
  Installation(const Installation&) = delete;
  Installation& operator=(const Installation&) = delete;

  const TempDir& app() const { return app_; }
  const TempDir& user() const { return user_; }
  std::wstring AppDir() const { return Wide(app_.path()); }  // ending in the separator
  std::wstring UserDir() const { return Wide(user_.path()); }
  std::wstring OtherUser() const { return Bare(other_user_); }
  std::wstring Params(std::u16string_view name) const {
    return HostPath(app_, u"params/" + std::u16string(name));
  }

 private:
  TempDir app_;
  TempDir user_;
  TempDir other_user_;
};

}  // namespace velmo::testing

#endif  // VELMO_TESTS_BINDING_COM_CALLER_H_
