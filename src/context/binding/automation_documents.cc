#include "context/binding/automation_documents.h"

#include <windows.h>

#include <oleauto.h>

#include <atomic>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>
#include <new>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "config/builtin_documents.h"
#include "platform/text.h"

namespace velmo::binding {

namespace {

static_assert(sizeof(OLECHAR) == sizeof(char16_t), "BSTR text is UTF-16");

// Answered only by our own objects, so that one handed back in is recognised and unwrapped.
// {41F0A6F6-A632-4405-A1DC-7F1D082290E5}
constexpr IID kIID_VelmoDocumentObject = {
    0x41f0a6f6, 0xa632, 0x4405, {0xa1, 0xdc, 0x7f, 0x1d, 0x08, 0x22, 0x90, 0xe5}};

constexpr wchar_t kConfigProgId[] = L"MOLConfigLib.ConfigDocument";
constexpr wchar_t kPPProgId[] = L"MolGPP.PPDocument";

std::atomic<long> live_objects{0};

enum class Kind { kConfig, kParameters };

// ---- small helpers

template <class T>
class ComRef {
 public:
  ComRef() = default;
  explicit ComRef(T* adopted) : pointer_(adopted) {}
  ComRef(const ComRef&) = delete;
  ComRef& operator=(const ComRef&) = delete;
  ComRef(ComRef&& other) noexcept : pointer_(std::exchange(other.pointer_, nullptr)) {}
  ~ComRef() {
    if (pointer_ != nullptr) pointer_->Release();
  }
  T* get() const { return pointer_; }
  T* release() { return std::exchange(pointer_, nullptr); }
  explicit operator bool() const { return pointer_ != nullptr; }

 private:
  T* pointer_ = nullptr;
};

struct Variant {
  Variant() { VariantInit(&value); }
  ~Variant() { VariantClear(&value); }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;
  VARIANT value;
};

std::u16string_view View(BSTR text) {
  if (text == nullptr) return {};
  return {reinterpret_cast<const char16_t*>(text), SysStringLen(text)};
}

BSTR NewBstr(std::u16string_view text) {
  if (text.size() > UINT_MAX / sizeof(OLECHAR)) throw std::length_error("text too long");
  BSTR result = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text.data()),
                                  static_cast<UINT>(text.size()));
  if (result == nullptr) throw std::bad_alloc();
  return result;
}

std::string Hex(HRESULT code) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(code));
  return text;
}

bool SameMemberName(const wchar_t* given, const wchar_t* known) {
  // Member names are ASCII; anything else simply does not match.
  auto upper = [](wchar_t c) { return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - 32) : c; };
  for (; *given != 0 && *known != 0; ++given, ++known) {
    if (upper(*given) != upper(*known)) return false;
  }
  return *given == *known;
}

// ---- who is paired with whom

class AutomationObject;

struct ForeignEntry {
  const void* owner;
  std::weak_ptr<void> document;
};

// Documents are the keys of their objects: an entry exists only while its object holds the
// document, so an address cannot be reused under it. Outside objects map to their wrappers
// weakly; a wrapper holds its object, with the same effect.
struct Registry {
  std::mutex mutex;
  std::unordered_map<const void*, AutomationObject*> objects;
  std::map<std::pair<Kind, std::uintptr_t>, ForeignEntry> foreign;
};

// Never destroyed: a client may release an object after this module's static destructors ran.
Registry& TheRegistry() {
  static Registry* const registry = new Registry;
  return *registry;
}

// ---- the argument list of one Invoke

// A failure that belongs to one argument, reported through puArgErr.
struct ArgumentError {
  HRESULT code;
  UINT index;
};

class Arguments {
 public:
  Arguments(const DISPPARAMS& params, LCID lcid) : params_(params), lcid_(lcid) {}

  // Position 0 is the first argument, which DISPPARAMS keeps last.
  UINT Index(UINT position) const { return params_.cArgs - 1 - position; }
  [[noreturn]] void Fail(UINT position, HRESULT code) const {
    throw ArgumentError{code, Index(position)};
  }

  std::u16string Text(UINT position) const {
    Variant text;
    Coerce(position, VT_BSTR, text.value);
    return std::u16string(View(V_BSTR(&text.value)));
  }

  ComRef<IDispatch> Object(UINT position) const {
    Variant object;
    Coerce(position, VT_DISPATCH, object.value);
    if (V_DISPATCH(&object.value) == nullptr) Fail(position, DISP_E_TYPEMISMATCH);
    ComRef<IDispatch> result(V_DISPATCH(&object.value));
    V_VT(&object.value) = VT_EMPTY;  // the reference moved to `result`
    return result;
  }

 private:
  // By value or by reference, and VT_VARIANT|VT_BYREF as script engines pass their variables.
  void Coerce(UINT position, VARTYPE type, VARIANT& out) const {
    const VARIANT* source = &params_.rgvarg[Index(position)];
    if (V_VT(source) == (VT_VARIANT | VT_BYREF)) {
      source = V_VARIANTREF(source);
      if (source == nullptr || V_VT(source) == (VT_VARIANT | VT_BYREF)) {
        Fail(position, DISP_E_TYPEMISMATCH);
      }
    }
    if ((V_VT(source) & VT_BYREF) != 0 && V_BYREF(source) == nullptr) {
      Fail(position, DISP_E_TYPEMISMATCH);
    }
    Variant copy;
    HRESULT code = VariantCopyInd(&copy.value, const_cast<VARIANT*>(source));
    if (SUCCEEDED(code)) code = VariantChangeTypeEx(&out, &copy.value, lcid_, 0, type);
    if (code == E_OUTOFMEMORY) throw std::bad_alloc();
    if (FAILED(code)) Fail(position, code == DISP_E_OVERFLOW ? code : DISP_E_TYPEMISMATCH);
  }

  const DISPPARAMS& params_;
  LCID lcid_;
};

void Describe(EXCEPINFO* exception, const char* what) noexcept {
  if (exception == nullptr) return;
  *exception = EXCEPINFO{};
  exception->scode = E_FAIL;
  try {
    exception->bstrSource = NewBstr(u"VELMOSWGlobalLib");
    exception->bstrDescription = NewBstr(platform::FromUtf8(what));
  } catch (...) {
  }
}

// ---- our automation objects

// IUnknown and IDispatch over a fixed member table, without a type library.
class AutomationObject : public IDispatch {
 public:
  struct Member {
    const wchar_t* name;
    DISPID id;
    UINT arguments;
  };

  AutomationObject(Kind kind, const void* key) : kind_(kind), key_(key) { ++live_objects; }
  AutomationObject(const AutomationObject&) = delete;
  AutomationObject& operator=(const AutomationObject&) = delete;

  Kind kind() const { return kind_; }

  // A new reference, unless the last one is already being released.
  bool TryAddRef() {
    ULONG count = references_.load();
    while (count != 0) {
      if (references_.compare_exchange_weak(count, count + 1)) return true;
    }
    return false;
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == kIID_VelmoDocumentObject) {
      *object = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }

  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }

  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) {
      {
        Registry& registry = TheRegistry();
        std::lock_guard lock(registry.mutex);
        auto found = registry.objects.find(key_);
        // A newer object may already stand for the document if it was asked for meanwhile.
        if (found != registry.objects.end() && found->second == this) {
          registry.objects.erase(found);
        }
      }
      delete this;  // outside the lock: the document may go with it
    }
    return left;
  }

  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    if (count == nullptr) return E_INVALIDARG;
    *count = 0;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
    if (info != nullptr) *info = nullptr;
    return DISP_E_BADINDEX;
  }

  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID,
                                          DISPID* ids) override {
    if (iid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    if (names == nullptr || ids == nullptr || count == 0) return E_INVALIDARG;
    HRESULT result = S_OK;
    ids[0] = DISPID_UNKNOWN;
    if (names[0] != nullptr) {
      for (const Member& member : Members()) {
        if (SameMemberName(names[0], member.name)) ids[0] = member.id;
      }
    }
    if (ids[0] == DISPID_UNKNOWN) result = DISP_E_UNKNOWNNAME;
    // No member takes named arguments.
    for (UINT i = 1; i < count; ++i) {
      ids[i] = DISPID_UNKNOWN;
      result = DISP_E_UNKNOWNNAME;
    }
    return result;
  }

  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID iid, LCID lcid, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* exception,
                                   UINT* argument_error) override {
    if (iid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    const Member* member = nullptr;
    for (const Member& candidate : Members()) {
      if (candidate.id == id) member = &candidate;
    }
    if (member == nullptr) return DISP_E_MEMBERNOTFOUND;
    // Every member is a method or a read-only property; script engines ask for either.
    if ((flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0 ||
        (flags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET)) == 0) {
      return DISP_E_MEMBERNOTFOUND;
    }
    if (params == nullptr || (params->cArgs > 0 && params->rgvarg == nullptr)) {
      return E_INVALIDARG;
    }
    if (params->cNamedArgs > 0) return DISP_E_NONAMEDARGS;
    if (params->cArgs != member->arguments) return DISP_E_BADPARAMCOUNT;
    if (result != nullptr) VariantInit(result);
    try {
      Variant value;
      Call(member->id, Arguments(*params, lcid), value.value);
      if (result != nullptr) {
        *result = value.value;
        V_VT(&value.value) = VT_EMPTY;  // moved to the caller
      }
      return S_OK;
    } catch (const ArgumentError& error) {
      if (argument_error != nullptr) *argument_error = error.index;
      return error.code;
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    } catch (const std::exception& error) {
      Describe(exception, error.what());
      return DISP_E_EXCEPTION;
    } catch (...) {
      Describe(exception, "unexpected failure");
      return DISP_E_EXCEPTION;
    }
  }

 protected:
  virtual ~AutomationObject() { --live_objects; }

  virtual std::span<const Member> Members() const = 0;
  // Runs a member whose argument count has been checked; throws ArgumentError for a bad one.
  virtual void Call(DISPID id, const Arguments& arguments, VARIANT& result) = 0;

 private:
  std::atomic<ULONG> references_{1};
  const Kind kind_;
  const void* const key_;
};

// One of our objects behind `object`, with a new reference; null for anyone else's.
ComRef<AutomationObject> OwnObject(IDispatch* object, Kind kind) {
  if (object == nullptr) return {};
  void* raw = nullptr;
  if (FAILED(object->QueryInterface(kIID_VelmoDocumentObject, &raw)) || raw == nullptr) return {};
  ComRef<AutomationObject> own(static_cast<AutomationObject*>(static_cast<IDispatch*>(raw)));
  if (own.get()->kind() != kind) return {};
  return own;
}

void SetBool(VARIANT& result, bool value) {
  V_VT(&result) = VT_BOOL;
  V_BOOL(&result) = value ? VARIANT_TRUE : VARIANT_FALSE;
}

void SetOptionalText(VARIANT& result, const std::optional<std::u16string>& value) {
  if (!value) return;  // a missing value is Empty
  V_BSTR(&result) = NewBstr(*value);
  V_VT(&result) = VT_BSTR;
}

// A path with a NUL in it would name some other file to the wide file API.
bool LoadFrom(auto& document, const std::u16string& path) {
  if (path.find(u'\0') != std::u16string::npos) return false;
  return document.Load(path);
}

// Load(path) → Boolean, Merge(document) → nothing, Value(section, name) → String or Empty,
// Sections() → an array of Variants holding the section names as Strings, lower bound 0 (of
// Variants rather than of Strings so that script engines can index and enumerate it).
class ConfigObject final : public AutomationObject {
 public:
  ConfigObject(std::shared_ptr<ConfigDocument> document, IniDocument& ini)
      : AutomationObject(Kind::kConfig, document.get()),
        document_(std::move(document)),
        ini_(ini) {}

  const std::shared_ptr<ConfigDocument>& document() const { return document_; }

 private:
  enum : DISPID { kLoad = 1, kMerge, kValue, kSections };

  std::span<const Member> Members() const override {
    static constexpr Member kMembers[] = {{L"Load", kLoad, 1},
                                          {L"Merge", kMerge, 1},
                                          {L"Value", kValue, 2},
                                          {L"Sections", kSections, 0}};
    return kMembers;
  }

  void Call(DISPID id, const Arguments& arguments, VARIANT& result) override {
    switch (id) {
      case kLoad:
        SetBool(result, LoadFrom(ini_, arguments.Text(0)));
        return;
      case kMerge: {
        const ComRef<IDispatch> other = arguments.Object(0);
        const ComRef<AutomationObject> own = OwnObject(other.get(), Kind::kConfig);
        if (!own) arguments.Fail(0, DISP_E_TYPEMISMATCH);
        ini_.Merge(static_cast<ConfigObject*>(own.get())->ini_);
        return;
      }
      case kValue: {
        const std::u16string section = arguments.Text(0);
        SetOptionalText(result, ini_.Value(section, arguments.Text(1)));
        return;
      }
      case kSections:
        SetSections(result);
        return;
    }
  }

  void SetSections(VARIANT& result) const {
    const std::vector<std::u16string> names = ini_.Sections();
    if (names.size() > ULONG_MAX) throw std::length_error("too many sections");
    SAFEARRAY* array = SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(names.size()));
    if (array == nullptr) throw std::bad_alloc();
    V_VT(&result) = VT_ARRAY | VT_VARIANT;
    V_ARRAY(&result) = array;  // from here the result owns it, and frees it on a throw
    void* data = nullptr;
    if (FAILED(SafeArrayAccessData(array, &data))) throw std::runtime_error("Sections: no array");
    VARIANT* elements = static_cast<VARIANT*>(data);
    try {
      for (std::size_t i = 0; i < names.size(); ++i) {
        V_BSTR(&elements[i]) = NewBstr(names[i]);
        V_VT(&elements[i]) = VT_BSTR;
      }
    } catch (...) {
      SafeArrayUnaccessData(array);
      throw;
    }
    SafeArrayUnaccessData(array);
  }

  const std::shared_ptr<ConfigDocument> document_;
  IniDocument& ini_;
};

// Load(path) → Boolean, Value(name) → String or Empty.
class ParameterObject final : public AutomationObject {
 public:
  ParameterObject(std::shared_ptr<PPDocument> document, ParameterDocument& parameters)
      : AutomationObject(Kind::kParameters, document.get()),
        document_(std::move(document)),
        parameters_(parameters) {}

  const std::shared_ptr<PPDocument>& document() const { return document_; }

 private:
  enum : DISPID { kLoad = 1, kValue };

  std::span<const Member> Members() const override {
    static constexpr Member kMembers[] = {{L"Load", kLoad, 1}, {L"Value", kValue, 1}};
    return kMembers;
  }

  void Call(DISPID id, const Arguments& arguments, VARIANT& result) override {
    switch (id) {
      case kLoad:
        SetBool(result, LoadFrom(parameters_, arguments.Text(0)));
        return;
      case kValue:
        SetOptionalText(result, parameters_.Value(arguments.Text(0)));
        return;
    }
  }

  const std::shared_ptr<PPDocument> document_;
  ParameterDocument& parameters_;
};

// The object of a built-in document: the one it has while anyone holds that, else a new one.
template <class Object, class Document, class BuiltIn>
IDispatch* ObjectFor(const std::shared_ptr<Document>& document, BuiltIn& built_in) {
  Registry& registry = TheRegistry();
  std::lock_guard lock(registry.mutex);
  // The slot first, so that nothing made has to be released under the lock, which Release takes.
  auto [slot, inserted] = registry.objects.try_emplace(document.get(), nullptr);
  if (!inserted && slot->second->TryAddRef()) return slot->second;
  try {
    slot->second = new Object(document, built_in);
  } catch (...) {
    if (inserted) registry.objects.erase(slot);  // an object on its way out keeps its entry
    throw;
  }
  return slot->second;
}

// ---- the outside libraries' objects

struct ExceptionInfo {
  ExceptionInfo() = default;
  ExceptionInfo(const ExceptionInfo&) = delete;
  ExceptionInfo& operator=(const ExceptionInfo&) = delete;
  ~ExceptionInfo() {
    SysFreeString(info.bstrSource);
    SysFreeString(info.bstrDescription);
    SysFreeString(info.bstrHelpFile);
  }
  EXCEPINFO info{};
};

[[noreturn]] void ThrowFailure(const wchar_t* member, HRESULT code, ExceptionInfo* exception) {
  std::string message = platform::ToUtf8(reinterpret_cast<const char16_t*>(member));
  message += " failed with " + Hex(code);
  if (code == DISP_E_EXCEPTION && exception != nullptr) {
    EXCEPINFO& info = exception->info;
    if (info.pfnDeferredFillIn != nullptr) info.pfnDeferredFillIn(&info);
    if (SysStringLen(info.bstrDescription) > 0) {
      message += ": " + platform::ToUtf8(View(info.bstrDescription));
    }
    if (info.scode != 0 && info.scode != code) message += " (" + Hex(info.scode) + ")";
  }
  throw std::runtime_error(message);
}

// Reaches an outside library's object by member name, one argument at a time.
class OutsideObject {
 public:
  explicit OutsideObject(IDispatch* object) : object_(object) { object_->AddRef(); }
  OutsideObject(const OutsideObject&) = delete;
  OutsideObject& operator=(const OutsideObject&) = delete;
  ~OutsideObject() { object_->Release(); }

  IDispatch* get() const { return object_; }

  bool Load(std::u16string_view path) {
    // By reference, as the outside libraries declare it; whatever is there afterwards is ours.
    BSTR text = NewBstr(path);
    Variant argument;
    V_VT(&argument.value) = VT_BSTR | VT_BYREF;
    V_BSTRREF(&argument.value) = &text;
    Variant result;
    try {
      Call(L"Load", argument.value, result.value);
    } catch (...) {
      SysFreeString(text);
      throw;
    }
    SysFreeString(text);
    const HRESULT code = VariantChangeType(&result.value, &result.value, 0, VT_BOOL);
    if (FAILED(code)) ThrowFailure(L"Load (its result as Boolean)", code, nullptr);
    return V_BOOL(&result.value) != VARIANT_FALSE;
  }

  void Merge(ComRef<IDispatch> other) {
    IDispatch* passed = other.release();
    Variant argument;
    V_VT(&argument.value) = VT_DISPATCH | VT_BYREF;
    V_DISPATCHREF(&argument.value) = &passed;
    Variant result;
    try {
      Call(L"Merge", argument.value, result.value);
    } catch (...) {
      if (passed != nullptr) passed->Release();
      throw;
    }
    if (passed != nullptr) passed->Release();
  }

 private:
  void Call(const wchar_t* member, VARIANT& argument, VARIANT& result) {
    LPOLESTR names[] = {const_cast<LPOLESTR>(member)};
    DISPID id = DISPID_UNKNOWN;
    HRESULT code = object_->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(code)) ThrowFailure(member, code, nullptr);
    DISPPARAMS params{&argument, nullptr, 1, 0};
    ExceptionInfo exception;
    UINT argument_error = 0;
    code = object_->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &result,
                           &exception.info, &argument_error);
    if (FAILED(code)) ThrowFailure(member, code, &exception);
  }

  IDispatch* const object_;
};

template <Kind kKind>
void ForgetWrapper(IDispatch* object, const void* wrapper) {
  Registry& registry = TheRegistry();
  std::lock_guard lock(registry.mutex);
  auto found = registry.foreign.find({kKind, reinterpret_cast<std::uintptr_t>(object)});
  if (found != registry.foreign.end() && found->second.owner == wrapper) {
    registry.foreign.erase(found);
  }
}

IDispatch* MergeArgument(ConfigDocument& other);

class OutsideConfig final : public ConfigDocument {
 public:
  static constexpr Kind kKind = Kind::kConfig;
  explicit OutsideConfig(IDispatch* object) : object_(object) {}
  ~OutsideConfig() override { ForgetWrapper<kKind>(object_.get(), this); }

  bool Load(std::u16string_view path) override { return object_.Load(path); }
  void Merge(ConfigDocument& other) override { object_.Merge(ComRef(MergeArgument(other))); }
  IDispatch* get() const { return object_.get(); }

 private:
  OutsideObject object_;
};

class OutsidePP final : public PPDocument {
 public:
  static constexpr Kind kKind = Kind::kParameters;
  explicit OutsidePP(IDispatch* object) : object_(object) {}
  ~OutsidePP() override { ForgetWrapper<kKind>(object_.get(), this); }

  bool Load(std::u16string_view path) override { return object_.Load(path); }
  IDispatch* get() const { return object_.get(); }

 private:
  OutsideObject object_;
};

// The wrapper of an outside object: the one it has while anyone holds that, else a new one.
template <class Wrapper>
std::shared_ptr<Wrapper> WrapperFor(IDispatch* object) {
  Registry& registry = TheRegistry();
  const std::pair key{Wrapper::kKind, reinterpret_cast<std::uintptr_t>(object)};
  auto existing = [&]() -> std::shared_ptr<Wrapper> {
    auto found = registry.foreign.find(key);
    if (found == registry.foreign.end()) return nullptr;
    return std::static_pointer_cast<Wrapper>(found->second.document.lock());
  };
  {
    std::lock_guard lock(registry.mutex);
    if (auto wrapper = existing()) return wrapper;
  }
  // Made and, if another thread won, dropped outside the lock, which its destructor takes.
  auto made = std::make_shared<Wrapper>(object);
  {
    std::lock_guard lock(registry.mutex);
    if (auto wrapper = existing()) return wrapper;
    registry.foreign.insert_or_assign(key, ForeignEntry{made.get(), made});
  }
  return made;
}

// What an outside Merge is given: the other document's own object where it has one; for a
// built-in one without, an object of a copy, so that the outside library may keep what it was
// handed without it outliving the document.
IDispatch* MergeArgument(ConfigDocument& other) {
  if (auto* outside = dynamic_cast<OutsideConfig*>(&other)) {
    outside->get()->AddRef();
    return outside->get();
  }
  auto* ini = dynamic_cast<IniDocument*>(&other);
  if (ini == nullptr) throw std::invalid_argument("Merge: not a configuration document");
  {
    Registry& registry = TheRegistry();
    std::lock_guard lock(registry.mutex);
    auto found = registry.objects.find(static_cast<const ConfigDocument*>(ini));
    if (found != registry.objects.end() && found->second->TryAddRef()) return found->second;
  }
  auto copy = std::make_shared<IniDocument>(*ini);
  return ObjectFor<ConfigObject, ConfigDocument>(std::shared_ptr<ConfigDocument>(copy), *copy);
}

// The outside library's object when its ProgID is registered; null when it is not.
ComRef<IDispatch> CreateOutside(const wchar_t* prog_id) {
  CLSID clsid;
  if (FAILED(CLSIDFromProgID(prog_id, &clsid))) return {};
  void* object = nullptr;
  const HRESULT code = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER,
                                        IID_IDispatch, &object);
  if (FAILED(code) || object == nullptr) {
    ThrowFailure((std::wstring(prog_id) + L": CoCreateInstance").c_str(), code, nullptr);
  }
  return ComRef<IDispatch>(static_cast<IDispatch*>(object));
}

class AutomationDocuments final : public DocumentFactory {
 public:
  std::shared_ptr<ConfigDocument> NewConfigDocument() override {
    if (const ComRef<IDispatch> outside = CreateOutside(kConfigProgId)) {
      return WrapperFor<OutsideConfig>(outside.get());
    }
    return std::make_shared<IniDocument>();
  }

  std::shared_ptr<PPDocument> NewPPDocument() override {
    if (const ComRef<IDispatch> outside = CreateOutside(kPPProgId)) {
      return WrapperFor<OutsidePP>(outside.get());
    }
    return std::make_shared<ParameterDocument>();
  }
};

}  // namespace

std::size_t LiveAutomationObjects() { return static_cast<std::size_t>(live_objects.load()); }

std::shared_ptr<DocumentFactory> NewAutomationDocuments() {
  return std::make_shared<AutomationDocuments>();
}

IDispatch* ToDispatch(const std::shared_ptr<ConfigDocument>& document) {
  if (!document) return nullptr;
  if (auto* outside = dynamic_cast<OutsideConfig*>(document.get())) {
    outside->get()->AddRef();
    return outside->get();
  }
  if (auto* ini = dynamic_cast<IniDocument*>(document.get())) {
    return ObjectFor<ConfigObject>(document, *ini);
  }
  return nullptr;
}

IDispatch* ToDispatch(const std::shared_ptr<PPDocument>& document) {
  if (!document) return nullptr;
  if (auto* outside = dynamic_cast<OutsidePP*>(document.get())) {
    outside->get()->AddRef();
    return outside->get();
  }
  if (auto* parameters = dynamic_cast<ParameterDocument*>(document.get())) {
    return ObjectFor<ParameterObject>(document, *parameters);
  }
  return nullptr;
}

std::shared_ptr<ConfigDocument> ConfigFromDispatch(IDispatch* object) {
  if (object == nullptr) return nullptr;
  if (const ComRef<AutomationObject> own = OwnObject(object, Kind::kConfig)) {
    return static_cast<ConfigObject*>(own.get())->document();
  }
  return WrapperFor<OutsideConfig>(object);
}

std::shared_ptr<PPDocument> PPFromDispatch(IDispatch* object) {
  if (object == nullptr) return nullptr;
  if (const ComRef<AutomationObject> own = OwnObject(object, Kind::kParameters)) {
    return static_cast<ParameterObject*>(own.get())->document();
  }
  return WrapperFor<OutsidePP>(object);
}

}  // namespace velmo::binding
