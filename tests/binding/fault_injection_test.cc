// Every member of both classes, called through IDispatch::Invoke and through the vtable, with
// the Nth allocation inside the server failing, for every N the call reaches: it answers its
// fallback or E_OUTOFMEMORY, the next call works, and nothing is left alive at the end. The
// members are taken from the type library, so a new one is swept without a word here.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include "com_caller.h"
#include "velmo.h"

namespace velmo::testing {
namespace {

constexpr int kMostAllocations = 5000;  // a call that makes more is reported

struct FaultyServer {
  HMODULE module = LoadLibraryW(VELMO_FAULTY_DLL);
  HRESULT(WINAPI* get_class)(REFCLSID, REFIID, void**) = nullptr;
  HRESULT(WINAPI* can_unload)() = nullptr;
  void(WINAPI* fail)(long) = nullptr;
  BOOL(WINAPI* failed)() = nullptr;

  FaultyServer() {
    if (module == nullptr) return;
    Find(get_class, "DllGetClassObject");
    Find(can_unload, "DllCanUnloadNow");
    Find(fail, "VelmoFailAllocation");
    Find(failed, "VelmoAllocationFailed");
  }
  ~FaultyServer() {
    if (module != nullptr) FreeLibrary(module);
  }
  bool ok() const { return get_class && can_unload && fail && failed; }

  template <class T>
  Ref<T> Create(REFCLSID clsid, REFIID iid) const {
    Ref<IClassFactory> factory;
    Ref<T> made;
    EXPECT_EQ(get_class(clsid, IID_IClassFactory, factory.put_void()), S_OK);
    if (factory) {
      EXPECT_EQ(factory->CreateInstance(nullptr, iid, made.put_void()), S_OK);
    }
    return made;
  }

 private:
  template <class F>
  void Find(F& function, const char* name) {
    function = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  }
};

// The arguments of one call of a member, made from its description: paths where a member takes
// a file or a user, plain values elsewhere, a variable of the caller's for every by-reference
// parameter.
class Arguments {
 public:
  Arguments(const FUNCDESC& f, const std::wstring& name, const Installation& installation) {
    const bool put = f.invkind & (INVOKE_PROPERTYPUT | INVOKE_PROPERTYPUTREF);
    for (SHORT i = 0; i < f.cParams; ++i) {
      const ELEMDESC& e = f.lprgelemdescParam[i];
      if (e.paramdesc.wParamFlags & PARAMFLAG_FRETVAL) continue;
      VARIANT& v = values_.emplace_back();
      VariantInit(&v);
      const TYPEDESC& t = e.tdesc;
      if (t.vt == VT_BSTR) {
        std::wstring text = L"InjectedFaultValueName";  // longer than a string keeps inline
        if (name == L"MOLTRAG_EcrireUser") text = installation.OtherUser();
        if (name == L"MOLTRAG_Init") text = L"2010";
        if (name == L"MOLTRAG_GetPP" || name == L"LoadPP" || name == L"fichier") {
          text = installation.Params(u"beam.pp");
        }
        V_VT(&v) = VT_BSTR;
        V_BSTR(&v) = Bstr(text).release();
      } else if (t.vt == VT_PTR && t.lptdesc->vt == VT_PTR) {
        V_VT(&v) = VT_DISPATCH | VT_BYREF;  // an object variable, empty
        V_DISPATCHREF(&v) = &objects_.emplace_back(nullptr);
      } else if (t.vt == VT_PTR && t.lptdesc->vt == VT_I4) {
        V_VT(&v) = VT_I4 | VT_BYREF;
        longs_.push_back(1);
        V_I4REF(&v) = &longs_.back();
      } else if (t.vt == VT_PTR || t.vt == VT_USERDEFINED) {
        V_VT(&v) = VT_DISPATCH;  // no object
        V_DISPATCH(&v) = nullptr;
      } else if (t.vt == VT_DATE) {
        V_VT(&v) = VT_DATE;
        V_DATE(&v) = 45000.5;
      } else {
        V_VT(&v) = VT_I4;
        V_I4(&v) = 1;
      }
    }
    std::reverse(values_.begin(), values_.end());  // DISPPARAMS holds them last first
    params_ = {values_.data(), nullptr, static_cast<UINT>(values_.size()), 0};
    if (put) {
      params_.rgdispidNamedArgs = &put_id_;
      params_.cNamedArgs = 1;
    }
  }
  ~Arguments() {
    for (VARIANT& v : values_) {
      if (V_VT(&v) == VT_BSTR) VariantClear(&v);
    }
    for (IDispatch* object : objects_) {
      if (object != nullptr) object->Release();
    }
  }
  Arguments(const Arguments&) = delete;
  Arguments& operator=(const Arguments&) = delete;

  DISPPARAMS* params() { return &params_; }

 private:
  std::vector<VARIANT> values_;
  std::deque<IDispatch*> objects_;  // where the by-reference arguments point: they stay put
  std::deque<LONG> longs_;
  DISPPARAMS params_{};
  DISPID put_id_ = DISPID_PROPERTYPUT;
};

WORD Flags(INVOKEKIND kind) {
  switch (kind) {
    case INVOKE_PROPERTYGET:
      return DISPATCH_PROPERTYGET;
    case INVOKE_PROPERTYPUT:
      return DISPATCH_PROPERTYPUT;
    case INVOKE_PROPERTYPUTREF:
      return DISPATCH_PROPERTYPUTREF;
    default:
      return DISPATCH_METHOD;
  }
}

// A result that a failed call may give: the one it gives when nothing fails, or the fallback.
bool ResultIsAllowed(const VARIANT& got, const VARIANT& normal) {
  if (V_VT(&got) == VT_EMPTY) return true;  // a member with no result
  if (V_VT(&got) != V_VT(&normal)) return false;
  switch (V_VT(&got)) {
    case VT_I4:
      return V_I4(&got) == V_I4(&normal) || V_I4(&got) == -1;
    case VT_BOOL:
      return V_BOOL(&got) == V_BOOL(&normal) || V_BOOL(&got) == VARIANT_FALSE;
    case VT_BSTR:
      return SysStringLen(V_BSTR(&got)) == 0 ||
             Bstr::Text(V_BSTR(&got)) == Bstr::Text(V_BSTR(&normal));
    default:
      return true;  // objects and dates: there or not
  }
}

// The next call after a failure answers as a call that nothing failed: never a fallback.
bool SameResult(const VARIANT& got, const VARIANT& normal) {
  if (V_VT(&got) != V_VT(&normal)) return false;
  switch (V_VT(&got)) {
    case VT_I4:
      return V_I4(&got) == V_I4(&normal);
    case VT_BOOL:
      return V_BOOL(&got) == V_BOOL(&normal);
    case VT_BSTR:
      return Bstr::Text(V_BSTR(&got)) == Bstr::Text(V_BSTR(&normal));
    case VT_DATE:
      return V_DATE(&got) == V_DATE(&normal);
    case VT_DISPATCH:
      return (V_DISPATCH(&got) == nullptr) == (V_DISPATCH(&normal) == nullptr);
    default:
      return true;
  }
}

// Sweeps one interface of `object`, counting the failures it injects in `injected`.
void Sweep(const FaultyServer& server, IDispatch* object, REFIID iid,
           const Installation& installation, long& injected) {
  Ref<ITypeLib> library;
  ASSERT_EQ(LoadTypeLibEx(VELMO_FAULTY_DLL, REGKIND_NONE, library.put()), S_OK);
  Ref<ITypeInfo> dispatch_half;
  ASSERT_EQ(library->GetTypeInfoOfGuid(iid, dispatch_half.put()), S_OK);
  HREFTYPE ref = 0;
  ASSERT_EQ(dispatch_half->GetRefTypeOfImplType(-1, &ref), S_OK);
  Ref<ITypeInfo> vtable_half;
  ASSERT_EQ(dispatch_half->GetRefTypeInfo(ref, vtable_half.put()), S_OK);
  TYPEATTR* attr = nullptr;
  ASSERT_EQ(vtable_half->GetTypeAttr(&attr), S_OK);
  const WORD count = attr->cFuncs;
  vtable_half->ReleaseTypeAttr(attr);

  for (WORD i = 0; i < count; ++i) {
    FUNCDESC* f = nullptr;
    ASSERT_EQ(vtable_half->GetFuncDesc(i, &f), S_OK);
    Bstr name;
    vtable_half->GetDocumentation(f->memid, name.put(), nullptr, nullptr, nullptr);
    const std::wstring member = name.text();
    for (const bool through_vtable : {false, true}) {
      const std::string where = std::string(through_vtable ? "vtable " : "Invoke ") +
                                std::string(member.begin(), member.end());
      // The member called once, with the `fail_at`th allocation failing (0: none).
      auto call = [&](VARIANT* result, long fail_at) {
        Arguments args(*f, member, installation);
        EXCEPINFO exception{};
        UINT bad = 0;
        server.fail(fail_at);
        const HRESULT hr =
            through_vtable
                ? vtable_half->Invoke(object, f->memid, Flags(f->invkind), args.params(), result,
                                      &exception, &bad)
                : object->Invoke(f->memid, IID_NULL, LOCALE_USER_DEFAULT, Flags(f->invkind),
                                 args.params(), result, &exception, &bad);
        SysFreeString(exception.bstrSource);
        SysFreeString(exception.bstrDescription);
        SysFreeString(exception.bstrHelpFile);
        return hr;
      };
      Variant normal;
      ASSERT_EQ(call(&normal, 0), S_OK) << where;
      server.failed();
      long n = 1;
      for (; n <= kMostAllocations; ++n) {
        Variant got;
        const HRESULT hr = call(&got, n);
        if (!server.failed()) {  // the call made fewer than n allocations: swept
          EXPECT_EQ(hr, S_OK) << where;
          break;
        }
        ++injected;
        EXPECT_TRUE(hr == S_OK || hr == E_OUTOFMEMORY || hr == DISP_E_EXCEPTION)
            << where << " failing allocation " << n << ": 0x" << std::hex << hr;
        if (hr == S_OK) {
          EXPECT_TRUE(ResultIsAllowed(got, normal)) << where << " failing allocation " << n;
        }
        Variant again;  // and the process is sound
        EXPECT_EQ(call(&again, 0), S_OK) << where << " after failing allocation " << n;
        server.failed();
        EXPECT_TRUE(SameResult(again, normal)) << where << " after failing allocation " << n;
      }
      EXPECT_LE(n, kMostAllocations) << where << " makes too many allocations to sweep";
    }
    vtable_half->ReleaseFuncDesc(f);
  }
}

TEST(FaultInjection, EveryMemberSurvivesEveryFailingAllocation) {
  Installation installation;
  InApartment([&] {
    FaultyServer server;
    ASSERT_TRUE(server.ok()) << "the test build of the server is missing";
    {
      Ref<_MOLTRAGlobalClass> global =
          server.Create<_MOLTRAGlobalClass>(CLSID_MOLTRAGlobalClass, IID__MOLTRAGlobalClass);
      Ref<_classPP> pp = server.Create<_classPP>(CLSID_classPP, IID__classPP);
      ASSERT_TRUE(global && pp);
      Bstr version(L"2010");
      LONG status = 12345;
      ASSERT_EQ(global->MOLTRAG_Init(version.get(), &status), S_OK);
      EXPECT_EQ(status, 0);
      long injected = 0;
      Sweep(server, global.As<IDispatch>(IID_IDispatch).get(), IID__MOLTRAGlobalClass, installation,
            injected);
      Sweep(server, pp.As<IDispatch>(IID_IDispatch).get(), IID__classPP, installation, injected);
      // Every member allocates, if only for the strings of its arguments.
      EXPECT_GT(injected, 100);
      std::printf("%ld failing allocations injected\n", injected);
    }
    EXPECT_EQ(server.can_unload(), S_OK) << "objects left alive";
  });
}

}  // namespace
}  // namespace velmo::testing
