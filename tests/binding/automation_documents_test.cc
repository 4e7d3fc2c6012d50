// The documents at the automation boundary, driven the way COM callers and script engines drive
// them, and the outside libraries' objects as this library calls them.
#include "context/binding/automation_documents.h"

#include <windows.h>

#include <oleauto.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <list>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "config/builtin_documents.h"
#include "temp_dir.h"

namespace velmo::binding {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

std::wstring Wide(std::u16string_view text) { return std::wstring(text.begin(), text.end()); }

BSTR NewBstr(std::wstring_view text) {
  return SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}

std::wstring Text(BSTR text) {
  return text == nullptr ? L"" : std::wstring(text, SysStringLen(text));
}

template <class T>
class Ref {
 public:
  Ref() = default;
  explicit Ref(T* adopted) : pointer_(adopted) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { reset(); }
  void reset() {
    if (pointer_ != nullptr) pointer_->Release();
    pointer_ = nullptr;
  }
  T* get() const { return pointer_; }
  T* operator->() const { return pointer_; }

 private:
  T* pointer_ = nullptr;
};

struct Variant {
  Variant() { VariantInit(&value); }
  Variant(Variant&& other) noexcept : value(other.value) { VariantInit(&other.value); }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;
  ~Variant() { VariantClear(&value); }
  VARIANT value;
};

// The arguments of one call, first to last; DISPPARAMS gets them the other way round.
class Args {
 public:
  Args() = default;
  Args(const Args&) = delete;
  Args& operator=(const Args&) = delete;
  ~Args() {
    for (VARIANT& owned : owned_) VariantClear(&owned);
  }

  Args& Str(std::wstring_view text) {
    VARIANT& owned = Own();
    V_VT(&owned) = VT_BSTR;
    V_BSTR(&owned) = NewBstr(text);
    positional_.push_back(owned);
    return *this;
  }
  Args& StrByRef(std::wstring_view text) {
    VARIANT& owned = Own();
    V_VT(&owned) = VT_BSTR;
    V_BSTR(&owned) = NewBstr(text);
    VARIANT reference;
    V_VT(&reference) = VT_BSTR | VT_BYREF;
    V_BSTRREF(&reference) = &V_BSTR(&owned);
    positional_.push_back(reference);
    return *this;
  }
  Args& I4(LONG number) {
    VARIANT value;
    V_VT(&value) = VT_I4;
    V_I4(&value) = number;
    positional_.push_back(value);
    return *this;
  }
  Args& Null() {
    VARIANT value;
    V_VT(&value) = VT_NULL;
    positional_.push_back(value);
    return *this;
  }
  Args& Object(IDispatch* object) {
    VARIANT& owned = Own();
    V_VT(&owned) = VT_DISPATCH;
    V_DISPATCH(&owned) = object;
    if (object != nullptr) object->AddRef();
    positional_.push_back(owned);
    return *this;
  }
  Args& ObjectByRef(IDispatch* object) {
    VARIANT& owned = Own();
    V_VT(&owned) = VT_DISPATCH;
    V_DISPATCH(&owned) = object;
    if (object != nullptr) object->AddRef();
    VARIANT reference;
    V_VT(&reference) = VT_DISPATCH | VT_BYREF;
    V_DISPATCHREF(&reference) = &V_DISPATCH(&owned);
    positional_.push_back(reference);
    return *this;
  }
  // A script variable: the previous argument, passed as VT_VARIANT | VT_BYREF to a copy of it.
  Args& AsScriptVariable() {
    VARIANT& owned = Own();
    VariantCopy(&owned, &positional_.back());
    V_VT(&positional_.back()) = VT_VARIANT | VT_BYREF;
    V_VARIANTREF(&positional_.back()) = &owned;
    return *this;
  }
  Args& Raw(VARIANT value) {
    positional_.push_back(value);
    return *this;
  }

  const VARIANT& Referent(size_t position) const {
    return *V_VARIANTREF(&positional_.at(position));
  }

  DISPPARAMS Params() {
    reversed_.assign(positional_.rbegin(), positional_.rend());
    return DISPPARAMS{reversed_.empty() ? nullptr : reversed_.data(), nullptr,
                      static_cast<UINT>(reversed_.size()), 0};
  }

 private:
  VARIANT& Own() {
    VARIANT& owned = owned_.emplace_back();
    VariantInit(&owned);
    return owned;
  }

  std::list<VARIANT> owned_;  // stable addresses for what the by-reference ones point at
  std::vector<VARIANT> positional_;
  std::vector<VARIANT> reversed_;
};

struct Outcome {
  HRESULT hr = E_FAIL;
  Variant result;
  UINT bad_argument = UINT_MAX;
  std::wstring description;
};

DISPID IdOf(IDispatch* object, const wchar_t* name) {
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  DISPID id = DISPID_UNKNOWN;
  EXPECT_EQ(object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id), S_OK) << name;
  return id;
}

Outcome Invoke(IDispatch* object, const wchar_t* name, Args& args, WORD flags = DISPATCH_METHOD) {
  Outcome outcome;
  DISPPARAMS params = args.Params();
  EXCEPINFO exception{};
  outcome.hr = object->Invoke(IdOf(object, name), IID_NULL, LOCALE_USER_DEFAULT, flags, &params,
                              &outcome.result.value, &exception, &outcome.bad_argument);
  outcome.description = Text(exception.bstrDescription);
  SysFreeString(exception.bstrSource);
  SysFreeString(exception.bstrDescription);
  SysFreeString(exception.bstrHelpFile);
  return outcome;
}

Outcome Invoke(IDispatch* object, const wchar_t* name, Args&& args = Args(),
               WORD flags = DISPATCH_METHOD) {
  return Invoke(object, name, args, flags);
}

// A Boolean result as it came, or a value no Boolean has when it came as something else.
int BoolOf(const Outcome& outcome) {
  if (outcome.hr != S_OK || V_VT(&outcome.result.value) != VT_BOOL) return 12345;
  return V_BOOL(&outcome.result.value);
}

VARTYPE TypeOf(const Outcome& outcome) { return V_VT(&outcome.result.value); }

ULONG ReferencesOf(IUnknown* object) {
  object->AddRef();
  return object->Release();
}

bool SameOwner(const std::shared_ptr<void>& a, const std::shared_ptr<void>& b) {
  return !a.owner_before(b) && !b.owner_before(a);
}

// An outside library's object: it records what it is asked and answers as it is told.
class FakeOutside final : public IDispatch {
 public:
  static constexpr DISPID kLoad = 10;
  static constexpr DISPID kMerge = 11;

  struct Call {
    DISPID id;
    WORD flags;
    std::vector<VARTYPE> types;
    std::wstring text;            // what a VT_BSTR | VT_BYREF argument held
    IDispatch* object = nullptr;  // what a VT_DISPATCH | VT_BYREF argument held
  };

  FakeOutside() { SetLoadResult(VT_BOOL, VARIANT_TRUE); }
  FakeOutside(const FakeOutside&) = delete;
  FakeOutside& operator=(const FakeOutside&) = delete;
  ~FakeOutside() {
    VariantClear(&load_result);
    if (kept != nullptr) kept->Release();
    if (replacement != nullptr) replacement->Release();
  }

  void SetLoadResult(VARTYPE type, LONG value) {
    VariantClear(&load_result);
    V_VT(&load_result) = type;
    if (type == VT_BOOL) V_BOOL(&load_result) = static_cast<VARIANT_BOOL>(value);
    if (type == VT_I4) V_I4(&load_result) = value;
    if (type == VT_BSTR) V_BSTR(&load_result) = NewBstr(L"not a truth value");
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IDispatch) {
      *object = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
  ULONG STDMETHODCALLTYPE Release() override {
    if (references == 1) released_too_often = true;  // the test's own never goes
    return --references;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID,
                                          DISPID* ids) override {
    names_asked.emplace_back(names[0]);
    for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
    if (unknown_names) return DISP_E_UNKNOWNNAME;
    if (lstrcmpiW(names[0], L"Load") == 0) ids[0] = kLoad;
    if (lstrcmpiW(names[0], L"Merge") == 0) ids[0] = kMerge;
    return ids[0] == DISPID_UNKNOWN ? DISP_E_UNKNOWNNAME : S_OK;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* exception, UINT*) override {
    Call call{id, flags, {}, {}, nullptr};
    for (UINT i = 0; i < params->cArgs; ++i) {
      VARIANT& argument = params->rgvarg[i];
      call.types.push_back(V_VT(&argument));
      if (V_VT(&argument) == (VT_BSTR | VT_BYREF)) call.text = Text(*V_BSTRREF(&argument));
      if (V_VT(&argument) == (VT_DISPATCH | VT_BYREF)) call.object = *V_DISPATCHREF(&argument);
    }
    calls.push_back(call);
    if (fail_with == DISP_E_EXCEPTION) {
      *exception = EXCEPINFO{};
      exception->scode = E_FAIL;
      exception->bstrSource = NewBstr(L"Fake");
      if (defer_description) {
        exception->pfnDeferredFillIn = FillInLater;
      } else {
        exception->bstrDescription = NewBstr(L"disk on fire");
      }
    }
    if (FAILED(fail_with)) return fail_with;
    if (id == kLoad) {
      if (replace_path && V_VT(&params->rgvarg[0]) == (VT_BSTR | VT_BYREF)) {
        SysFreeString(*V_BSTRREF(&params->rgvarg[0]));
        *V_BSTRREF(&params->rgvarg[0]) = NewBstr(L"what the callee left");
      }
      if (result != nullptr) VariantCopy(result, &load_result);
    }
    if (id == kMerge && V_VT(&params->rgvarg[0]) == (VT_DISPATCH | VT_BYREF)) {
      IDispatch*& given = *V_DISPATCHREF(&params->rgvarg[0]);
      if (keep_merged && given != nullptr) {
        kept = given;
        kept->AddRef();
      }
      if (replacement != nullptr) {
        // An in-out argument: the callee releases what it got and hands back its own.
        if (given != nullptr) given->Release();
        given = replacement;
        replacement = nullptr;
      }
    }
    return S_OK;
  }

  static HRESULT STDAPICALLTYPE FillInLater(EXCEPINFO* exception) {
    exception->bstrDescription = NewBstr(L"described only when asked");
    return S_OK;
  }

  ULONG references = 1;
  bool released_too_often = false;
  std::vector<std::wstring> names_asked;
  std::vector<Call> calls;

  HRESULT fail_with = S_OK;
  bool defer_description = false;
  bool unknown_names = false;
  bool replace_path = false;
  bool keep_merged = false;
  IDispatch* kept = nullptr;
  IDispatch* replacement = nullptr;  // owned until handed back from Merge
  VARIANT load_result{};
};

// A document of some other kind, which has no automation object.
class OtherDocument final : public ConfigDocument {
 public:
  bool Load(std::u16string_view) override { return true; }
  void Merge(ConfigDocument&) override {}
};

class AutomationDocumentsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    objects_before_ = LiveAutomationObjects();
  }
  void TearDown() override {
    EXPECT_EQ(LiveAutomationObjects(), objects_before_) << "automation objects leaked";
    CoUninitialize();
  }

  static bool Registered(const wchar_t* prog_id) {
    CLSID clsid;
    return SUCCEEDED(CLSIDFromProgID(prog_id, &clsid));
  }

  std::shared_ptr<ConfigDocument> NewConfig() {
    auto document = std::make_shared<IniDocument>();
    return document;
  }
  std::wstring Write(std::u16string_view name, std::string_view content) {
    dir_.Write(name, content);
    return Wide(dir_.path()) + Wide(name);
  }

  testing::TempDir dir_;
  std::size_t objects_before_ = 0;
};

// ---- the factory

TEST_F(AutomationDocumentsTest, FactoryMakesBuiltInDocumentsWhereNoOutsideLibraryIsRegistered) {
  if (Registered(L"MOLConfigLib.ConfigDocument") || Registered(L"MolGPP.PPDocument")) {
    GTEST_SKIP() << "an outside library is registered here";
  }
  const std::shared_ptr<DocumentFactory> factory = NewAutomationDocuments();
  const std::shared_ptr<ConfigDocument> config = factory->NewConfigDocument();
  const std::shared_ptr<PPDocument> pp = factory->NewPPDocument();
  EXPECT_NE(dynamic_cast<IniDocument*>(config.get()), nullptr);
  EXPECT_NE(dynamic_cast<ParameterDocument*>(pp.get()), nullptr);
  EXPECT_NE(factory->NewConfigDocument(), config);  // a new one every time

  // The document made and the one its object works on are one.
  const std::wstring path = Write(u"velmo.cfg", "[Units]\nLength=mm\n");
  Ref<IDispatch> object(ToDispatch(config));
  ASSERT_NE(object.get(), nullptr);
  EXPECT_EQ(BoolOf(Invoke(object.get(), L"Load", Args().Str(path))), VARIANT_TRUE);
  EXPECT_EQ(static_cast<IniDocument&>(*config).Value(u"Units", u"Length"), u"mm");
}

// ---- the built-in configuration object

TEST_F(AutomationDocumentsTest, ConfigObjectLoadsAFileAndLooksUpValuesByName) {
  const std::wstring path =
      Write(u"velmo.cfg", "[Units]\r\nLength = mm\r\nEmpty =\r\n[Paths]\r\nRoot=C:\\x\r\n");
  const std::shared_ptr<ConfigDocument> document = NewConfig();
  Ref<IDispatch> object(ToDispatch(document));
  ASSERT_NE(object.get(), nullptr);

  Outcome load = Invoke(object.get(), L"Load", Args().Str(path));
  ASSERT_EQ(load.hr, S_OK);
  ASSERT_EQ(V_VT(&load.result.value), VT_BOOL);
  EXPECT_EQ(V_BOOL(&load.result.value), VARIANT_TRUE);

  Outcome found = Invoke(object.get(), L"Value", Args().Str(L"units").Str(L"LENGTH"));
  ASSERT_EQ(found.hr, S_OK);
  ASSERT_EQ(V_VT(&found.result.value), VT_BSTR);
  EXPECT_EQ(Text(V_BSTR(&found.result.value)), L"mm");

  Outcome empty = Invoke(object.get(), L"Value", Args().Str(L"Units").Str(L"Empty"));
  ASSERT_EQ(V_VT(&empty.result.value), VT_BSTR);  // there, with nothing in it
  EXPECT_EQ(SysStringLen(V_BSTR(&empty.result.value)), 0u);

  for (auto [section, name] : {std::pair{L"Units", L"Missing"}, std::pair{L"Missing", L"Length"}}) {
    Outcome missing = Invoke(object.get(), L"Value", Args().Str(section).Str(name));
    EXPECT_EQ(missing.hr, S_OK);
    EXPECT_EQ(V_VT(&missing.result.value), VT_EMPTY) << section << L"/" << name;
  }

  Outcome absent = Invoke(object.get(), L"Load", Args().Str(Wide(dir_.path()) + L"absent.cfg"));
  ASSERT_EQ(absent.hr, S_OK);
  ASSERT_EQ(V_VT(&absent.result.value), VT_BOOL);
  EXPECT_EQ(V_BOOL(&absent.result.value), VARIANT_FALSE);
}

TEST_F(AutomationDocumentsTest, APathWithANulInItNamesNoFile) {
  const std::wstring path = Write(u"velmo.cfg", "[S]\nN=1\n");
  const std::shared_ptr<ConfigDocument> document = NewConfig();
  Ref<IDispatch> object(ToDispatch(document));
  std::wstring cut = path;
  cut += L'\0';
  cut += L"other";
  Outcome load = Invoke(object.get(), L"Load", Args().Str(cut));
  ASSERT_EQ(load.hr, S_OK);
  EXPECT_EQ(V_BOOL(&load.result.value), VARIANT_FALSE);
  EXPECT_EQ(BoolOf(Invoke(object.get(), L"Load", Args().Str(path))), VARIANT_TRUE);
}

TEST_F(AutomationDocumentsTest, MembersAreFoundByNameWithoutRegardToCase) {
  const std::shared_ptr<ConfigDocument> document = NewConfig();
  Ref<IDispatch> object(ToDispatch(document));
  std::vector<DISPID> ids;
  for (const wchar_t* name : {L"lOaD", L"MERGE", L"value", L"Sections"}) {
    ids.push_back(IdOf(object.get(), name));
  }
  EXPECT_EQ(ids[0], IdOf(object.get(), L"Load"));
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(std::unique(ids.begin(), ids.end()), ids.end());

  LPOLESTR unknown[] = {const_cast<LPOLESTR>(L"Save")};
  DISPID id = 0;
  EXPECT_EQ(object->GetIDsOfNames(IID_NULL, unknown, 1, 0, &id), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(id, DISPID_UNKNOWN);
  LPOLESTR prefix[] = {const_cast<LPOLESTR>(L"Loa")};
  EXPECT_EQ(object->GetIDsOfNames(IID_NULL, prefix, 1, 0, &id), DISP_E_UNKNOWNNAME);

  // No named arguments: the member is found, the argument name is not.
  LPOLESTR named[] = {const_cast<LPOLESTR>(L"Value"), const_cast<LPOLESTR>(L"section")};
  DISPID named_ids[2] = {0, 0};
  EXPECT_EQ(object->GetIDsOfNames(IID_NULL, named, 2, 0, named_ids), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(named_ids[0], IdOf(object.get(), L"Value"));
  EXPECT_EQ(named_ids[1], DISPID_UNKNOWN);

  LPOLESTR load[] = {const_cast<LPOLESTR>(L"Load")};
  EXPECT_EQ(object->GetIDsOfNames(IID_IDispatch, load, 1, 0, &id), DISP_E_UNKNOWNINTERFACE);
  EXPECT_EQ(object->GetIDsOfNames(IID_NULL, nullptr, 1, 0, &id), E_INVALIDARG);
  EXPECT_EQ(object->GetIDsOfNames(IID_NULL, load, 1, 0, nullptr), E_INVALIDARG);
  EXPECT_EQ(object->GetIDsOfNames(IID_NULL, load, 0, 0, &id), E_INVALIDARG);
  LPOLESTR none[] = {nullptr};
  EXPECT_EQ(object->GetIDsOfNames(IID_NULL, none, 1, 0, &id), DISP_E_UNKNOWNNAME);
}

TEST_F(AutomationDocumentsTest, BadCallsFailWithTheDispatchErrors) {
  const std::shared_ptr<ConfigDocument> document = NewConfig();
  Ref<IDispatch> object(ToDispatch(document));
  const DISPID value = IdOf(object.get(), L"Value");

  EXPECT_EQ(Invoke(object.get(), L"Value", Args().Str(L"S")).hr, DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(Invoke(object.get(), L"Value", Args().Str(L"S").Str(L"N").Str(L"X")).hr,
            DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(Invoke(object.get(), L"Load").hr, DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(Invoke(object.get(), L"Merge").hr, DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(Invoke(object.get(), L"Sections", Args().Str(L"S")).hr, DISP_E_BADPARAMCOUNT);

  // The argument at fault is given as DISPPARAMS counts, from the last one.
  Outcome second = Invoke(object.get(), L"Value", Args().Str(L"S").Null());
  EXPECT_EQ(second.hr, DISP_E_TYPEMISMATCH);
  EXPECT_EQ(second.bad_argument, 0u);
  Outcome first = Invoke(object.get(), L"Value", Args().Null().Str(L"N"));
  EXPECT_EQ(first.hr, DISP_E_TYPEMISMATCH);
  EXPECT_EQ(first.bad_argument, 1u);

  EXPECT_EQ(Invoke(object.get(), L"Value", Args().Str(L"S").Str(L"N"), DISPATCH_PROPERTYPUT).hr,
            DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(Invoke(object.get(), L"Sections", Args(), DISPATCH_PROPERTYPUTREF).hr,
            DISP_E_MEMBERNOTFOUND);

  Args args;
  args.Str(L"S").Str(L"N");
  DISPPARAMS params = args.Params();
  Variant result;
  EXCEPINFO exception{};
  UINT bad = 0;
  EXPECT_EQ(
      object->Invoke(777, IID_NULL, 0, DISPATCH_METHOD, &params, &result.value, &exception, &bad),
      DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(object->Invoke(value, IID_IDispatch, 0, DISPATCH_METHOD, &params, &result.value,
                           &exception, &bad),
            DISP_E_UNKNOWNINTERFACE);
  EXPECT_EQ(object->Invoke(value, IID_NULL, 0, 0, &params, &result.value, &exception, &bad),
            DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(
      object->Invoke(value, IID_NULL, 0, DISPATCH_METHOD, nullptr, &result.value, &exception, &bad),
      E_INVALIDARG);
  DISPPARAMS no_array{nullptr, nullptr, 2, 0};
  EXPECT_EQ(object->Invoke(value, IID_NULL, 0, DISPATCH_METHOD, &no_array, &result.value,
                           &exception, &bad),
            E_INVALIDARG);
  DISPID named_id = 0;
  DISPPARAMS named{params.rgvarg, &named_id, 2, 1};
  EXPECT_EQ(
      object->Invoke(value, IID_NULL, 0, DISPATCH_METHOD, &named, &result.value, &exception, &bad),
      DISP_E_NONAMEDARGS);
  // Callers may leave out what they do not want back.
  EXPECT_EQ(object->Invoke(value, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr),
            S_OK);

  // References that point nowhere.
  VARIANT null_text;
  V_VT(&null_text) = VT_BSTR | VT_BYREF;
  V_BSTRREF(&null_text) = nullptr;
  Outcome nowhere = Invoke(object.get(), L"Load", Args().Raw(null_text));
  EXPECT_EQ(nowhere.hr, DISP_E_TYPEMISMATCH);
  EXPECT_EQ(nowhere.bad_argument, 0u);
  VARIANT null_variant;
  V_VT(&null_variant) = VT_VARIANT | VT_BYREF;
  V_VARIANTREF(&null_variant) = nullptr;
  EXPECT_EQ(Invoke(object.get(), L"Value", Args().Str(L"S").Raw(null_variant)).hr,
            DISP_E_TYPEMISMATCH);
  VARIANT null_object;
  V_VT(&null_object) = VT_DISPATCH | VT_BYREF;
  V_DISPATCHREF(&null_object) = nullptr;
  EXPECT_EQ(Invoke(object.get(), L"Merge", Args().Raw(null_object)).hr, DISP_E_TYPEMISMATCH);
}

TEST_F(AutomationDocumentsTest, MergeTakesOnlyOurConfigurationObjects) {
  const std::shared_ptr<ConfigDocument> document = NewConfig();
  Ref<IDispatch> object(ToDispatch(document));
  FakeOutside fake;
  auto pp = std::make_shared<ParameterDocument>();
  Ref<IDispatch> pp_object(ToDispatch(std::shared_ptr<PPDocument>(pp)));

  std::vector<Outcome> outcomes;
  outcomes.push_back(Invoke(object.get(), L"Merge", Args().Object(&fake)));
  outcomes.push_back(Invoke(object.get(), L"Merge", Args().Object(pp_object.get())));
  outcomes.push_back(Invoke(object.get(), L"Merge", Args().Object(nullptr)));
  outcomes.push_back(Invoke(object.get(), L"Merge", Args().I4(3)));
  outcomes.push_back(Invoke(object.get(), L"Merge", Args().Str(L"velmo.cfg")));
  for (const Outcome& outcome : outcomes) {
    EXPECT_EQ(outcome.hr, DISP_E_TYPEMISMATCH);
    EXPECT_EQ(outcome.bad_argument, 0u);
  }
  EXPECT_EQ(fake.references, 1u);
  EXPECT_FALSE(fake.released_too_often);
  EXPECT_TRUE(fake.calls.empty());
}

TEST_F(AutomationDocumentsTest, MergeThroughTheObjectsKeepsWhatTheUserHas) {
  const std::wstring user_path = Write(u"user.cfg", "[Units]\nLength=mm\n[Own]\nX=1\n");
  const std::wstring application_path =
      Write(u"app.cfg", "[Units]\nLength=inch\nAngle=deg\n[Shared]\nY=2\n");
  const std::shared_ptr<ConfigDocument> user = NewConfig();
  const std::shared_ptr<ConfigDocument> application = NewConfig();
  Ref<IDispatch> user_object(ToDispatch(user));
  Ref<IDispatch> application_object(ToDispatch(application));
  ASSERT_EQ(Invoke(user_object.get(), L"Load", Args().Str(user_path)).hr, S_OK);
  ASSERT_EQ(Invoke(application_object.get(), L"Load", Args().Str(application_path)).hr, S_OK);

  // As a script calls a Sub whose result it ignores.
  Outcome merge = Invoke(user_object.get(), L"Merge", Args().Object(application_object.get()),
                         DISPATCH_METHOD | DISPATCH_PROPERTYGET);
  ASSERT_EQ(merge.hr, S_OK);
  EXPECT_EQ(V_VT(&merge.result.value), VT_EMPTY);

  auto value = [](IDispatch* object, const wchar_t* section, const wchar_t* name) {
    Outcome outcome = Invoke(object, L"Value", Args().Str(section).Str(name));
    EXPECT_EQ(outcome.hr, S_OK);
    return V_VT(&outcome.result.value) == VT_BSTR ? Text(V_BSTR(&outcome.result.value))
                                                  : L"(empty)";
  };
  EXPECT_EQ(value(user_object.get(), L"Units", L"Length"), L"mm");
  EXPECT_EQ(value(user_object.get(), L"Units", L"Angle"), L"deg");
  EXPECT_EQ(value(user_object.get(), L"Shared", L"Y"), L"2");
  EXPECT_EQ(value(user_object.get(), L"Own", L"X"), L"1");
  EXPECT_EQ(value(application_object.get(), L"Own", L"X"), L"(empty)");
  EXPECT_EQ(value(application_object.get(), L"Units", L"Length"), L"inch");

  // A document merged with itself stays as it was.
  ASSERT_EQ(Invoke(user_object.get(), L"Merge", Args().Object(user_object.get())).hr, S_OK);
  EXPECT_EQ(value(user_object.get(), L"Units", L"Length"), L"mm");
}

TEST_F(AutomationDocumentsTest, ArgumentsByReferenceAndScriptVariablesAreAccepted) {
  const std::wstring path = Write(u"velmo.cfg", "[2024]\n5=five\n[Units]\nLength=mm\n");
  const std::shared_ptr<ConfigDocument> document = NewConfig();
  Ref<IDispatch> object(ToDispatch(document));

  Args by_reference;
  by_reference.StrByRef(path);
  Outcome load = Invoke(object.get(), L"Load", by_reference);
  ASSERT_EQ(load.hr, S_OK);
  EXPECT_EQ(V_BOOL(&load.result.value), VARIANT_TRUE);

  Args variables;
  variables.Str(L"Units").AsScriptVariable().Str(L"length").AsScriptVariable();
  Outcome found = Invoke(object.get(), L"Value", variables, DISPATCH_METHOD | DISPATCH_PROPERTYGET);
  ASSERT_EQ(found.hr, S_OK);
  EXPECT_EQ(Text(V_BSTR(&found.result.value)), L"mm");
  // The caller's variables are as they were.
  EXPECT_EQ(V_VT(&variables.Referent(0)), VT_BSTR);
  EXPECT_EQ(Text(V_BSTR(&variables.Referent(0))), L"Units");

  // Numbers are coerced to text, as a typed String parameter would take them.
  Outcome numbers = Invoke(object.get(), L"Value", Args().I4(2024).AsScriptVariable().I4(5));
  ASSERT_EQ(numbers.hr, S_OK);
  ASSERT_EQ(V_VT(&numbers.result.value), VT_BSTR);
  EXPECT_EQ(Text(V_BSTR(&numbers.result.value)), L"five");

  // A variable that itself holds a reference, and one whose reference points nowhere.
  BSTR held = NewBstr(L"Units");
  VARIANT inner;
  V_VT(&inner) = VT_BSTR | VT_BYREF;
  V_BSTRREF(&inner) = &held;
  VARIANT outer;
  V_VT(&outer) = VT_VARIANT | VT_BYREF;
  V_VARIANTREF(&outer) = &inner;
  Outcome nested = Invoke(object.get(), L"Value", Args().Raw(outer).Str(L"Length"));
  ASSERT_EQ(nested.hr, S_OK);
  ASSERT_EQ(TypeOf(nested), VT_BSTR);
  EXPECT_EQ(Text(V_BSTR(&nested.result.value)), L"mm");
  EXPECT_EQ(Text(held), L"Units");
  SysFreeString(held);
  V_BSTRREF(&inner) = nullptr;
  Outcome nowhere = Invoke(object.get(), L"Value", Args().Raw(outer).Str(L"Length"));
  EXPECT_EQ(nowhere.hr, DISP_E_TYPEMISMATCH);
  EXPECT_EQ(nowhere.bad_argument, 1u);

  Args script_load;
  script_load.Str(path).AsScriptVariable();
  EXPECT_EQ(BoolOf(Invoke(object.get(), L"Load", script_load)), VARIANT_TRUE);

  const std::shared_ptr<ConfigDocument> other = NewConfig();
  static_cast<IniDocument&>(*other).Parse("[Extra]\nZ=9\n");
  Ref<IDispatch> other_object(ToDispatch(other));
  EXPECT_EQ(Invoke(object.get(), L"Merge", Args().ObjectByRef(other_object.get())).hr, S_OK);
  const std::shared_ptr<ConfigDocument> third = NewConfig();
  static_cast<IniDocument&>(*third).Parse("[More]\nW=8\n");
  Ref<IDispatch> third_object(ToDispatch(third));
  EXPECT_EQ(Invoke(object.get(), L"Merge", Args().Object(third_object.get()).AsScriptVariable()).hr,
            S_OK);
  auto& ini = static_cast<IniDocument&>(*document);
  EXPECT_EQ(ini.Value(u"Extra", u"Z"), u"9");
  EXPECT_EQ(ini.Value(u"More", u"W"), u"8");
  EXPECT_EQ(ReferencesOf(other_object.get()), 1u);
  EXPECT_EQ(ReferencesOf(third_object.get()), 1u);
}

TEST_F(AutomationDocumentsTest, SectionsComeAsAnArrayOfStrings) {
  const std::shared_ptr<ConfigDocument> document = NewConfig();
  Ref<IDispatch> object(ToDispatch(document));

  Outcome none = Invoke(object.get(), L"Sections");
  ASSERT_EQ(none.hr, S_OK);
  ASSERT_EQ(V_VT(&none.result.value), VT_ARRAY | VT_VARIANT);
  LONG lower = -1;
  LONG upper = 0;
  SafeArrayGetLBound(V_ARRAY(&none.result.value), 1, &lower);
  SafeArrayGetUBound(V_ARRAY(&none.result.value), 1, &upper);
  EXPECT_EQ(lower, 0);
  EXPECT_EQ(upper, -1);

  static_cast<IniDocument&>(*document).Parse("top=1\n[Units]\nL=mm\n[Paths]\nR=x\n");
  Outcome sections = Invoke(object.get(), L"Sections", Args(), DISPATCH_PROPERTYGET);
  ASSERT_EQ(sections.hr, S_OK);
  ASSERT_EQ(V_VT(&sections.result.value), VT_ARRAY | VT_VARIANT);
  SAFEARRAY* array = V_ARRAY(&sections.result.value);
  EXPECT_EQ(SafeArrayGetDim(array), 1u);
  SafeArrayGetLBound(array, 1, &lower);
  SafeArrayGetUBound(array, 1, &upper);
  ASSERT_EQ(lower, 0);
  ASSERT_EQ(upper, 2);
  std::vector<std::wstring> names;
  for (LONG i = lower; i <= upper; ++i) {
    Variant element;
    ASSERT_EQ(SafeArrayGetElement(array, &i, &element.value), S_OK);
    ASSERT_EQ(V_VT(&element.value), VT_BSTR);
    names.push_back(Text(V_BSTR(&element.value)));
  }
  EXPECT_THAT(names, ElementsAre(L"", L"Units", L"Paths"));
}

TEST_F(AutomationDocumentsTest, ObjectsAnswerOnlyIUnknownAndIDispatchAndHaveNoTypeInformation) {
  const std::shared_ptr<ConfigDocument> document = NewConfig();
  Ref<IDispatch> object(ToDispatch(document));

  UINT count = 7;
  EXPECT_EQ(object->GetTypeInfoCount(&count), S_OK);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(object->GetTypeInfoCount(nullptr), E_INVALIDARG);
  ITypeInfo* info = reinterpret_cast<ITypeInfo*>(&count);
  EXPECT_TRUE(FAILED(object->GetTypeInfo(0, 0, &info)));
  EXPECT_EQ(info, nullptr);

  void* unknown = nullptr;
  ASSERT_EQ(object->QueryInterface(IID_IUnknown, &unknown), S_OK);
  EXPECT_EQ(unknown, static_cast<IUnknown*>(object.get()));
  static_cast<IUnknown*>(unknown)->Release();
  void* other = &count;
  EXPECT_EQ(object->QueryInterface(IID_IClassFactory, &other), E_NOINTERFACE);
  EXPECT_EQ(other, nullptr);
  EXPECT_EQ(object->QueryInterface(IID_IDispatch, nullptr), E_POINTER);
  EXPECT_EQ(ReferencesOf(object.get()), 1u);
}

// ---- the built-in parameter object

TEST_F(AutomationDocumentsTest, ParameterObjectLoadsAndLooksUp) {
  const std::wstring path = Write(u"part.pp", "Diameter = 12\nName=bolt\n");
  const std::shared_ptr<PPDocument> document = std::make_shared<ParameterDocument>();
  Ref<IDispatch> object(ToDispatch(document));
  ASSERT_NE(object.get(), nullptr);

  Outcome load = Invoke(object.get(), L"LOAD", Args().StrByRef(path));
  ASSERT_EQ(load.hr, S_OK);
  EXPECT_EQ(V_BOOL(&load.result.value), VARIANT_TRUE);
  EXPECT_EQ(static_cast<ParameterDocument&>(*document).size(), 2u);

  Outcome found = Invoke(object.get(), L"Value", Args().Str(L"diameter").AsScriptVariable(),
                         DISPATCH_METHOD | DISPATCH_PROPERTYGET);
  ASSERT_EQ(found.hr, S_OK);
  EXPECT_EQ(Text(V_BSTR(&found.result.value)), L"12");
  EXPECT_EQ(TypeOf(Invoke(object.get(), L"Value", Args().Str(L"Length"))), VT_EMPTY);

  EXPECT_EQ(Invoke(object.get(), L"Value", Args().Str(L"a").Str(L"b")).hr, DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(Invoke(object.get(), L"Value", Args().Null()).hr, DISP_E_TYPEMISMATCH);
  LPOLESTR names[] = {const_cast<LPOLESTR>(L"Merge"), const_cast<LPOLESTR>(L"Sections")};
  for (LPOLESTR& name : names) {
    DISPID id = 0;
    EXPECT_EQ(object->GetIDsOfNames(IID_NULL, &name, 1, 0, &id), DISP_E_UNKNOWNNAME);
  }

  Outcome absent = Invoke(object.get(), L"Load", Args().Str(Wide(dir_.path()) + L"none.pp"));
  EXPECT_EQ(V_BOOL(&absent.result.value), VARIANT_FALSE);
}

// ---- identity and lifetime

TEST_F(AutomationDocumentsTest, ADocumentHasOneObjectAndTheObjectGivesBackTheDocument) {
  const std::shared_ptr<ConfigDocument> document = NewConfig();
  Ref<IDispatch> first(ToDispatch(document));
  ASSERT_NE(first.get(), nullptr);
  EXPECT_EQ(ReferencesOf(first.get()), 1u);
  Ref<IDispatch> second(ToDispatch(document));
  EXPECT_EQ(second.get(), first.get());
  EXPECT_EQ(ReferencesOf(first.get()), 2u);

  const std::shared_ptr<ConfigDocument> back = ConfigFromDispatch(first.get());
  EXPECT_EQ(back, document);
  EXPECT_TRUE(SameOwner(back, document));
  EXPECT_EQ(ReferencesOf(first.get()), 2u);  // unwrapping keeps no reference

  const std::shared_ptr<PPDocument> pp = std::make_shared<ParameterDocument>();
  Ref<IDispatch> pp_object(ToDispatch(pp));
  Ref<IDispatch> pp_again(ToDispatch(pp));
  EXPECT_EQ(pp_again.get(), pp_object.get());
  EXPECT_NE(static_cast<void*>(pp_object.get()), static_cast<void*>(first.get()));
  const std::shared_ptr<PPDocument> pp_back = PPFromDispatch(pp_object.get());
  EXPECT_EQ(pp_back, pp);
  EXPECT_TRUE(SameOwner(pp_back, pp));
  EXPECT_EQ(ReferencesOf(pp_object.get()), 2u);

  EXPECT_EQ(ToDispatch(std::shared_ptr<ConfigDocument>()), nullptr);
  EXPECT_EQ(ToDispatch(std::shared_ptr<PPDocument>()), nullptr);
  EXPECT_EQ(ConfigFromDispatch(nullptr), nullptr);
  EXPECT_EQ(PPFromDispatch(nullptr), nullptr);
  EXPECT_EQ(ToDispatch(std::shared_ptr<ConfigDocument>(std::make_shared<OtherDocument>())),
            nullptr);
}

TEST_F(AutomationDocumentsTest, AnObjectOfTheOtherKindIsNotTakenForOurDocument) {
  const std::shared_ptr<PPDocument> pp = std::make_shared<ParameterDocument>();
  Ref<IDispatch> pp_object(ToDispatch(pp));
  {
    // Reached by name like anyone else's: it has a Load, and no Merge.
    const std::shared_ptr<ConfigDocument> as_config = ConfigFromDispatch(pp_object.get());
    ASSERT_NE(as_config, nullptr);
    EXPECT_EQ(dynamic_cast<IniDocument*>(as_config.get()), nullptr);
    Ref<IDispatch> same(ToDispatch(as_config));
    EXPECT_EQ(same.get(), pp_object.get());
    EXPECT_FALSE(as_config->Load(u"C:\\nowhere\\velmo.cfg"));
    IniDocument other;
    try {
      as_config->Merge(other);
      ADD_FAILURE() << "Merge of an object without one succeeded";
    } catch (const std::runtime_error& error) {
      EXPECT_THAT(error.what(), HasSubstr("0x80020006"));  // DISP_E_UNKNOWNNAME
    }
  }
  EXPECT_EQ(ReferencesOf(pp_object.get()), 1u);

  const std::shared_ptr<ConfigDocument> config = NewConfig();
  Ref<IDispatch> config_object(ToDispatch(config));
  const std::shared_ptr<PPDocument> as_pp = PPFromDispatch(config_object.get());
  EXPECT_EQ(dynamic_cast<ParameterDocument*>(as_pp.get()), nullptr);
}

TEST_F(AutomationDocumentsTest, ADocumentHeldOnlyThroughItsObjectLivesAsLongAsTheObject) {
  const std::wstring path = Write(u"velmo.cfg", "[S]\nN=kept\n");
  std::shared_ptr<ConfigDocument> document = NewConfig();
  const std::weak_ptr<ConfigDocument> watch = document;
  IDispatch* object = ToDispatch(document);
  document.reset();
  ASSERT_FALSE(watch.expired());

  EXPECT_EQ(BoolOf(Invoke(object, L"Load", Args().Str(path))), VARIANT_TRUE);
  Outcome found = Invoke(object, L"Value", Args().Str(L"S").Str(L"N"));
  EXPECT_EQ(Text(V_BSTR(&found.result.value)), L"kept");
  {
    const std::shared_ptr<ConfigDocument> back = ConfigFromDispatch(object);
    EXPECT_EQ(back, watch.lock());
    EXPECT_EQ(static_cast<IniDocument&>(*back).Value(u"S", u"N"), u"kept");
  }
  EXPECT_EQ(object->Release(), 0u);
  EXPECT_TRUE(watch.expired());
  EXPECT_EQ(LiveAutomationObjects(), objects_before_);
}

TEST_F(AutomationDocumentsTest, TheObjectDoesNotKeepItsDocumentBeyondBothSides) {
  std::shared_ptr<ConfigDocument> document = NewConfig();
  const std::weak_ptr<ConfigDocument> watch = document;
  IDispatch* object = ToDispatch(document);
  EXPECT_EQ(object->Release(), 0u);
  EXPECT_EQ(LiveAutomationObjects(), objects_before_);
  ASSERT_FALSE(watch.expired());  // still the caller's

  // Asked for again, it has an object that works on the same document.
  static_cast<IniDocument&>(*document).Parse("[S]\nN=1\n");
  Ref<IDispatch> again(ToDispatch(document));
  Outcome found = Invoke(again.get(), L"Value", Args().Str(L"S").Str(L"N"));
  EXPECT_EQ(Text(V_BSTR(&found.result.value)), L"1");
  again.reset();
  document.reset();
  EXPECT_TRUE(watch.expired());

  std::shared_ptr<PPDocument> pp = std::make_shared<ParameterDocument>();
  const std::weak_ptr<PPDocument> pp_watch = pp;
  IDispatch* pp_object = ToDispatch(pp);
  pp.reset();
  EXPECT_FALSE(pp_watch.expired());
  EXPECT_EQ(pp_object->Release(), 0u);
  EXPECT_TRUE(pp_watch.expired());
}

TEST_F(AutomationDocumentsTest, ObjectsHandedOutAndReleasedOnTwoThreadsStayPaired) {
  const std::shared_ptr<ConfigDocument> document = NewConfig();
  std::atomic<int> mismatches{0};
  auto work = [&] {
    for (int i = 0; i < 20000; ++i) {
      IDispatch* object = ToDispatch(document);
      if (object == nullptr || ConfigFromDispatch(object) != document) ++mismatches;
      if (object != nullptr) object->Release();
    }
  };
  std::thread other(work);
  work();
  other.join();
  EXPECT_EQ(mismatches, 0);
  EXPECT_EQ(LiveAutomationObjects(), objects_before_);
}

// ---- the outside libraries' objects

TEST_F(AutomationDocumentsTest, AnOutsideObjectIsWrappedAndComesBackAsItself) {
  FakeOutside fake;
  {
    const std::shared_ptr<ConfigDocument> document = ConfigFromDispatch(&fake);
    ASSERT_NE(document, nullptr);
    EXPECT_EQ(fake.references, 2u);
    IDispatch* object = ToDispatch(document);
    EXPECT_EQ(object, &fake);
    EXPECT_EQ(fake.references, 3u);
    object->Release();
    EXPECT_EQ(ConfigFromDispatch(&fake), document);  // while held, one wrapper
    EXPECT_EQ(fake.references, 2u);
    EXPECT_TRUE(fake.calls.empty());

    const std::shared_ptr<PPDocument> pp = PPFromDispatch(&fake);
    ASSERT_NE(pp, nullptr);
    IDispatch* pp_object = ToDispatch(pp);
    EXPECT_EQ(pp_object, &fake);
    pp_object->Release();
    EXPECT_EQ(fake.references, 3u);
  }
  EXPECT_EQ(fake.references, 1u);
  EXPECT_FALSE(fake.released_too_often);
}

TEST_F(AutomationDocumentsTest, LoadReachesTheOutsideObjectByNameWithThePathByReference) {
  FakeOutside fake;
  {
    const std::shared_ptr<ConfigDocument> document = ConfigFromDispatch(&fake);
    EXPECT_TRUE(document->Load(u"C:\\Users\\Łukasz\\velmo.cfg"));
    ASSERT_EQ(fake.calls.size(), 1u);
    EXPECT_EQ(fake.calls[0].id, FakeOutside::kLoad);
    EXPECT_EQ(fake.calls[0].flags, DISPATCH_METHOD);
    EXPECT_THAT(fake.calls[0].types, ElementsAre(VT_BSTR | VT_BYREF));
    EXPECT_EQ(fake.calls[0].text, L"C:\\Users\\Łukasz\\velmo.cfg");
    EXPECT_THAT(fake.names_asked, ElementsAre(L"Load"));

    fake.SetLoadResult(VT_BOOL, VARIANT_FALSE);
    EXPECT_FALSE(document->Load(u"C:\\x.cfg"));
    fake.SetLoadResult(VT_I4, 1);  // coerced, as to a Boolean
    EXPECT_TRUE(document->Load(u"C:\\x.cfg"));
    fake.SetLoadResult(VT_I4, 0);
    EXPECT_FALSE(document->Load(u"C:\\x.cfg"));
    fake.SetLoadResult(VT_BSTR, 0);
    EXPECT_THROW(document->Load(u"C:\\x.cfg"), std::runtime_error);

    // Whatever the callee leaves in the argument is freed, once.
    fake.SetLoadResult(VT_BOOL, VARIANT_TRUE);
    fake.replace_path = true;
    EXPECT_TRUE(document->Load(u"C:\\x.cfg"));
    fake.replace_path = false;

    const std::shared_ptr<PPDocument> pp = PPFromDispatch(&fake);
    EXPECT_TRUE(pp->Load(u"C:\\parts\\bolt.pp"));
    EXPECT_EQ(fake.calls.back().id, FakeOutside::kLoad);
    EXPECT_THAT(fake.calls.back().types, ElementsAre(VT_BSTR | VT_BYREF));
    EXPECT_EQ(fake.calls.back().text, L"C:\\parts\\bolt.pp");
  }
  EXPECT_EQ(fake.references, 1u);
}

TEST_F(AutomationDocumentsTest, OutsideFailuresThrowWithTheCodeAndTheDescription) {
  FakeOutside fake;
  {
    const std::shared_ptr<ConfigDocument> document = ConfigFromDispatch(&fake);
    const std::shared_ptr<PPDocument> pp = PPFromDispatch(&fake);
    IniDocument other_document;
    const std::shared_ptr<ConfigDocument> other = NewConfig();
    Ref<IDispatch> other_object(ToDispatch(other));

    auto message_of = [](auto&& call) -> std::string {
      try {
        call();
      } catch (const std::runtime_error& error) {
        return error.what();
      }
      return "(nothing thrown)";
    };

    fake.fail_with = DISP_E_EXCEPTION;
    const std::string load = message_of([&] { document->Load(u"C:\\x.cfg"); });
    EXPECT_THAT(load, HasSubstr("0x80020009"));
    EXPECT_THAT(load, HasSubstr("disk on fire"));
    const std::string merge = message_of([&] { document->Merge(*other); });
    EXPECT_THAT(merge, HasSubstr("0x80020009"));
    EXPECT_THAT(merge, HasSubstr("disk on fire"));
    EXPECT_THAT(message_of([&] { pp->Load(u"C:\\x.pp"); }), HasSubstr("disk on fire"));

    fake.defer_description = true;
    EXPECT_THAT(message_of([&] { document->Load(u"C:\\x.cfg"); }),
                HasSubstr("described only when asked"));

    fake.fail_with = E_ACCESSDENIED;
    EXPECT_THAT(message_of([&] { document->Load(u"C:\\x.cfg"); }), HasSubstr("0x80070005"));
    EXPECT_THAT(message_of([&] { document->Merge(other_document); }), HasSubstr("0x80070005"));

    fake.fail_with = S_OK;
    fake.unknown_names = true;
    const size_t calls = fake.calls.size();
    EXPECT_THAT(message_of([&] { document->Load(u"C:\\x.cfg"); }), HasSubstr("0x80020006"));
    EXPECT_EQ(fake.calls.size(), calls);  // never invoked
    // What a failed call was handed is not kept.
    EXPECT_EQ(ReferencesOf(other_object.get()), 1u);
  }
  EXPECT_EQ(fake.references, 1u);
  EXPECT_FALSE(fake.released_too_often);
}

TEST_F(AutomationDocumentsTest, MergeHandsTheOutsideObjectTheOtherDocumentsObjectByReference) {
  FakeOutside fake;
  FakeOutside other_fake;
  {
    const std::shared_ptr<ConfigDocument> document = ConfigFromDispatch(&fake);

    // A built-in document with an object: that object.
    const std::shared_ptr<ConfigDocument> built_in = NewConfig();
    Ref<IDispatch> built_in_object(ToDispatch(built_in));
    document->Merge(*built_in);
    ASSERT_EQ(fake.calls.size(), 1u);
    EXPECT_EQ(fake.calls[0].id, FakeOutside::kMerge);
    EXPECT_EQ(fake.calls[0].flags, DISPATCH_METHOD);
    EXPECT_THAT(fake.calls[0].types, ElementsAre(VT_DISPATCH | VT_BYREF));
    EXPECT_EQ(fake.calls[0].object, built_in_object.get());
    EXPECT_EQ(ReferencesOf(built_in_object.get()), 1u);
    EXPECT_THAT(fake.names_asked, ElementsAre(L"Merge"));

    // Another outside document: its own object.
    const std::shared_ptr<ConfigDocument> outside = ConfigFromDispatch(&other_fake);
    document->Merge(*outside);
    EXPECT_EQ(fake.calls.back().object, &other_fake);
    EXPECT_EQ(other_fake.references, 2u);  // only the wrapper's
    EXPECT_TRUE(other_fake.calls.empty());

    // A document of some other kind cannot be handed over.
    OtherDocument unknown;
    const size_t calls = fake.calls.size();
    EXPECT_THROW(document->Merge(unknown), std::invalid_argument);
    EXPECT_EQ(fake.calls.size(), calls);

    // What the callee hands back in the argument is released.
    FakeOutside handed_back;
    handed_back.AddRef();
    fake.replacement = &handed_back;
    document->Merge(*built_in);
    EXPECT_EQ(handed_back.references, 1u);
    EXPECT_FALSE(handed_back.released_too_often);
    EXPECT_EQ(ReferencesOf(built_in_object.get()), 1u);
  }
  EXPECT_EQ(fake.references, 1u);
  EXPECT_EQ(other_fake.references, 1u);
}

TEST_F(AutomationDocumentsTest, WhatAnOutsideMergeKeepsOfADocumentWithoutAnObjectStaysValid) {
  FakeOutside fake;
  fake.keep_merged = true;
  const std::shared_ptr<ConfigDocument> document = ConfigFromDispatch(&fake);
  {
    IniDocument application;  // a document no one shares
    application.Parse("[Units]\nLength=inch\n");
    document->Merge(application);
  }
  ASSERT_NE(fake.kept, nullptr);
  EXPECT_EQ(LiveAutomationObjects(), objects_before_ + 1);
  Outcome found = Invoke(fake.kept, L"Value", Args().Str(L"Units").Str(L"Length"));
  ASSERT_EQ(found.hr, S_OK);
  EXPECT_EQ(Text(V_BSTR(&found.result.value)), L"inch");
  EXPECT_EQ(fake.kept->Release(), 0u);
  fake.kept = nullptr;
  EXPECT_EQ(LiveAutomationObjects(), objects_before_);
}

TEST_F(AutomationDocumentsTest, AnOutsideWrapperIsReleasedWithItsLastHolder) {
  FakeOutside fake;
  std::shared_ptr<ConfigDocument> document = ConfigFromDispatch(&fake);
  const std::weak_ptr<ConfigDocument> watch = document;
  IDispatch* object = ToDispatch(document);
  document.reset();
  EXPECT_TRUE(watch.expired());  // the outside object lives on its own references
  EXPECT_EQ(fake.references, 2u);
  object->Release();
  EXPECT_EQ(fake.references, 1u);

  // Wrapped again, it is a new wrapper of the same object.
  document = ConfigFromDispatch(&fake);
  ASSERT_NE(document, nullptr);
  Ref<IDispatch> again(ToDispatch(document));
  EXPECT_EQ(again.get(), &fake);
  again.reset();
  document.reset();
  EXPECT_EQ(fake.references, 1u);
  EXPECT_FALSE(fake.released_too_often);
}

}  // namespace
}  // namespace velmo::binding
