// What the tests of the automation server share: a COM caller's tools (references, strings,
// variants, apartments, creation by ProgID, late-bound calls, sinks, type libraries) and the
// registry values an installation leaves for the library. Nothing here knows the server beyond
// its published identities.
#ifndef VELMO_TESTS_BINDING_COM_CALLER_H_
#define VELMO_TESTS_BINDING_COM_CALLER_H_

#include <windows.h>

#include <oaidl.h>
#include <ocidl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "temp_dir.h"
#include "velmo.h"

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

// ---- What the tests of VELMOSWGlobalLib's objects share

inline constexpr DISPID kUserChanging = 1;
inline constexpr DISPID kUserChanged = 2;

// The two classes created by ProgID; a failure is reported to the running test.
Ref<_MOLTRAGlobalClass> NewGlobal();
Ref<_classPP> NewClassPP();
// MOLTRAG_Init and MOLTRAG_EcrireUser through the vtable: their results.
LONG Init(const Ref<_MOLTRAGlobalClass>& global, std::wstring_view version = L"");
LONG SwitchUser(const Ref<_MOLTRAGlobalClass>& global, std::wstring_view path);

// A string property or function result read through the vtable.
template <typename Getter>
std::wstring Get(Getter getter) {
  Bstr text;
  const HRESULT hr = getter(text.put());
  EXPECT_EQ(hr, S_OK);
  return text.text();
}
template <typename T>
std::wstring StringOf(const Ref<T>& object, HRESULT (STDMETHODCALLTYPE T::*member)(BSTR*)) {
  return Get([&](BSTR* out) { return (object.get()->*member)(out); });
}

// A configuration value read through the document's vtable; nothing when it is Empty.
std::optional<std::wstring> ValueOf(const Ref<_ConfigDocument>& document, const wchar_t* section,
                                    const wchar_t* name);

// ---- What a late-bound caller does

DISPID IdOf(IDispatch* object, const wchar_t* name, HRESULT* hr = nullptr);
// Invoke with `args` in the caller's order (reversed into DISPPARAMS as COM wants).
HRESULT Call(IDispatch* object, DISPID id, WORD flags, std::vector<VARIANT*> args, VARIANT* result,
             EXCEPINFO* exception = nullptr);
HRESULT CallByName(IDispatch* object, const wchar_t* name, WORD flags, std::vector<VARIANT*> args,
                   VARIANT* result, EXCEPINFO* exception = nullptr);

// Variants that live as long as a call needs them.
class Args {
 public:
  VARIANT* String(std::wstring_view text) {
    VARIANT* v = New();
    V_VT(v) = VT_BSTR;
    V_BSTR(v) = Bstr(text).release();
    return v;
  }
  VARIANT* Long(LONG value) {
    VARIANT* v = New();
    V_VT(v) = VT_I4;
    V_I4(v) = value;
    return v;
  }
  // What a script passes for a variable: a reference to the variable's own variant.
  VARIANT* ByRef(VARIANT* variable) {
    VARIANT* v = New();
    V_VT(v) = VT_VARIANT | VT_BYREF;
    V_VARIANTREF(v) = variable;
    return v;
  }
  VARIANT* DispatchRef(IDispatch** slot) {
    VARIANT* v = New();
    V_VT(v) = VT_DISPATCH | VT_BYREF;
    V_DISPATCHREF(v) = slot;
    return v;
  }
  VARIANT* LongRef(LONG* slot) {
    VARIANT* v = New();
    V_VT(v) = VT_I4 | VT_BYREF;
    V_I4REF(v) = slot;
    return v;
  }

 private:
  VARIANT* New() {
    owned_.push_back(std::make_unique<Variant>());
    return owned_.back().get();
  }
  std::vector<std::unique_ptr<Variant>> owned_;
};

// ---- Objects of the caller's own

// A plain automation object that counts its references, for what the server does with objects
// handed to it.
class CountedDispatch : public IDispatch {
 public:
  virtual ~CountedDispatch() = default;
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IDispatch || Answers(iid)) {
      *out = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++references_; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }
  STDMETHODIMP GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return DISP_E_UNKNOWNNAME;
  }
  STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                      UINT*) override {
    return DISP_E_MEMBERNOTFOUND;
  }
  ULONG references() const { return references_; }

 protected:
  virtual bool Answers(REFIID) const { return false; }

 private:
  std::atomic<ULONG> references_{1};
};

// One event as a sink heard it.
struct Heard {
  char sink;
  DISPID id;
  std::wstring first;   // NewUser, or OldUser
  std::wstring second;  // NewUser of UserChanged
  VARIANT_BOOL cancel_on_entry = VARIANT_FALSE;
  bool well_formed = false;  // argument count, types and flags as the event interface says
  bool operator==(const Heard&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Heard& h);
// What a sink that works hears of each event.
Heard Changing(char sink, std::wstring new_user, bool cancel_on_entry);
Heard Changed(char sink, std::wstring old_user, std::wstring new_user);

// A sink of __MOLTRAGlobalClass that writes what it hears to a shared log and may set Cancel.
class EventSink final : public CountedDispatch {
 public:
  enum class OnChanging { kLeave, kSetCancel, kClearCancel };
  EventSink(char name, std::vector<Heard>* log, OnChanging action = OnChanging::kLeave)
      : name_(name), log_(log), action_(action) {}

  STDMETHODIMP Invoke(DISPID id, REFIID iid, LCID, WORD flags, DISPPARAMS* params, VARIANT*,
                      EXCEPINFO*, UINT*) override {
    Heard heard{name_, id, L"", L""};
    const bool two = params != nullptr && params->cArgs == 2 && params->cNamedArgs == 0;
    const bool method = (flags & DISPATCH_METHOD) != 0 && iid == IID_NULL;
    if (id == kUserChanging && two) {
      // Arguments arrive last first: Cancel, then NewUser.
      VARIANT& cancel = params->rgvarg[0];
      VARIANT& new_user = params->rgvarg[1];
      heard.well_formed =
          method && V_VT(&new_user) == VT_BSTR && V_VT(&cancel) == (VT_BOOL | VT_BYREF);
      if (V_VT(&new_user) == VT_BSTR) heard.first = Bstr::Text(V_BSTR(&new_user));
      if (V_VT(&cancel) == (VT_BOOL | VT_BYREF) && V_BOOLREF(&cancel) != nullptr) {
        heard.cancel_on_entry = *V_BOOLREF(&cancel);
        if (action_ == OnChanging::kSetCancel) *V_BOOLREF(&cancel) = VARIANT_TRUE;
        if (action_ == OnChanging::kClearCancel) *V_BOOLREF(&cancel) = VARIANT_FALSE;
      }
    } else if (id == kUserChanged && two) {
      VARIANT& new_user = params->rgvarg[0];
      VARIANT& old_user = params->rgvarg[1];
      heard.well_formed = method && V_VT(&old_user) == VT_BSTR && V_VT(&new_user) == VT_BSTR;
      if (V_VT(&old_user) == VT_BSTR) heard.first = Bstr::Text(V_BSTR(&old_user));
      if (V_VT(&new_user) == VT_BSTR) heard.second = Bstr::Text(V_BSTR(&new_user));
    }
    log_->push_back(heard);
    return S_OK;
  }

 protected:
  bool Answers(REFIID iid) const override { return iid == DIID___MOLTRAGlobalClass; }

 private:
  char name_;
  std::vector<Heard>* log_;
  OnChanging action_;
};

// A sink object that has no event interface at all.
class Deaf final : public IUnknown {
 public:
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (iid == IID_IUnknown) {
      *out = this;
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++references_; }
  STDMETHODIMP_(ULONG) Release() override { return --references_; }  // lives on the stack
  ULONG references_ = 1;
};

// The global object's connection point for its events, and a sink connected to it.
Ref<IConnectionPoint> EventsOf(const Ref<_MOLTRAGlobalClass>& global);
DWORD Connect(const Ref<IConnectionPoint>& point, IUnknown* sink);

// ---- Type libraries

class Attr {
 public:
  explicit Attr(ITypeInfo* info) : info_(info) {
    if (info_ == nullptr || info_->GetTypeAttr(&attr_) != S_OK) attr_ = nullptr;
  }
  ~Attr() {
    if (attr_ != nullptr) info_->ReleaseTypeAttr(attr_);
  }
  Attr(const Attr&) = delete;
  Attr& operator=(const Attr&) = delete;
  const TYPEATTR* operator->() const { return attr_; }
  explicit operator bool() const { return attr_ != nullptr; }

 private:
  ITypeInfo* info_;
  TYPEATTR* attr_ = nullptr;
};

Ref<ITypeInfo> InfoOf(ITypeLib* library, REFGUID guid);
std::wstring NameOf(ITypeInfo* info, MEMBERID member = MEMBERID_NIL);
// VELMOSWGlobalLib's type library, from the DLL.
Ref<ITypeLib> LoadFromDll();
// The interface description behind a dual interface's dispatch description.
Ref<ITypeInfo> VtableHalf(ITypeInfo* dispatch);
// The flags of a member's parameter; a failure of the running test when there is none.
USHORT ParamFlags(ITypeInfo* info, MEMBERID member, INVOKEKIND kind, UINT param);

}  // namespace velmo::testing

#endif  // VELMO_TESTS_BINDING_COM_CALLER_H_
