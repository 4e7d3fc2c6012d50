// What careless and hostile callers do to the test build of VELMOSWGlobalLib.dll (which fills
// freed memory with 0xDD): the last reference released inside an event or on another thread,
// what cannot be read, a sink with no pointer, arguments left out, paths holding NUL. Each
// answers a status or its fallback and changes nothing it should not; correct calls follow.
#include <windows.h>

#include <ocidl.h>
#include <olectl.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "com_caller.h"
#include "velmo.h"

namespace velmo::testing {
namespace {

using namespace std::string_literals;
using Global = _MOLTRAGlobalClass;

const HMODULE server = LoadLibraryW(VELMO_FAULTY_DLL);  // kept for the whole run
template <class F>
F Export(const char* name) {
  return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(server, name)));
}
HRESULT CanUnload() { return Export<HRESULT(WINAPI*)()>("DllCanUnloadNow")(); }
template <class T = Global>
T* New(REFCLSID clsid = CLSID_MOLTRAGlobalClass, REFIID iid = IID__MOLTRAGlobalClass) {
  Ref<IClassFactory> factory;
  void* made = nullptr;
  Export<HRESULT(WINAPI*)(REFCLSID, REFIID, void**)>("DllGetClassObject")(clsid, IID_IClassFactory,
                                                                          factory.put_void());
  EXPECT_TRUE(factory && SUCCEEDED(factory->CreateInstance(nullptr, iid, &made)));
  return static_cast<T*>(made);
}

// A listener that notes the events; told to, it releases a reference of the caller's inside
// UserChanging, or answers every QueryInterface with S_OK and no pointer.
struct Sink : IDispatch {
  STDMETHODIMP QueryInterface(REFIID, void** out) override {
    *out = hollow ? nullptr : static_cast<IDispatch*>(this);
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                      UINT*) override {
    if (id == 1 && release != nullptr) std::exchange(release, nullptr)->Release();
    // The new user comes first: last but one of UserChanging's, last of UserChanged's.
    heard += (id == 1 ? L"Changing " : L" Changed ") + Bstr::Text(V_BSTR(&params->rgvarg[id == 1]));
    return S_OK;
  }
  bool hollow = false;
  IUnknown* release = nullptr;
  std::wstring heard;
};

HRESULT Advise(IUnknown* object, Sink* sink) {
  Ref<IConnectionPointContainer> container;
  object->QueryInterface(IID_IConnectionPointContainer, container.put_void());
  Ref<IConnectionPoint> point;
  container->FindConnectionPoint(DIID___MOLTRAGlobalClass, point.put());
  DWORD cookie = 0;
  return point->Advise(sink, &cookie);
}

LONG Call(Global* global, HRESULT (STDMETHODCALLTYPE Global::*member)(BSTR, LONG*),
          const std::wstring& text = L"2010") {
  Bstr argument(text);
  LONG result = 12345;
  EXPECT_EQ((global->*member)(argument.get(), &result), S_OK);
  return result;
}
std::wstring UserPath(Global* global) {
  Bstr path;
  global->get_UserPath(path.put());
  return path.text();
}

TEST(Lifetime, AReleaseInsideUserChangingLeavesTheSwitchWhole) {
  Installation installation;
  const std::wstring other = installation.OtherUser();
  InApartment([&] {
    Sink sink;
    Global* global = New();
    EXPECT_EQ(Call(global, &Global::MOLTRAG_Init), 0);
    ASSERT_EQ(Advise(global, &sink), S_OK);
    sink.release = global;  // the caller's only reference
    EXPECT_EQ(Call(global, &Global::MOLTRAG_EcrireUser, other), 0);
    EXPECT_EQ(sink.heard, L"Changing " + other + L" Changed " + other + L"\\");
    // The object and the thread's context went when the call ended: a new one starts afresh.
    Ref<Global> again(New());
    EXPECT_EQ(UserPath(again.get()), L"");
    EXPECT_EQ(Call(again.get(), &Global::MOLTRAG_Init), 0);
    EXPECT_EQ(UserPath(again.get()), other + L"\\");
  });
  EXPECT_EQ(CanUnload(), S_OK);
}

TEST(Lifetime, AReleaseOnAnotherThreadLeavesTheContextToItsOwn) {
  Installation installation;
  for (const bool call_again : {true, false}) {
    InApartment([&] {
      Global* global = New();
      EXPECT_EQ(Call(global, &Global::MOLTRAG_Init), 0);
      std::thread([global] { global->Release(); }).join();
      EXPECT_EQ(CanUnload(), S_FALSE);  // the context awaits its thread
      if (!call_again) return;          // which frees it as it ends
      Ref<Global> fresh(New());
      EXPECT_EQ(UserPath(fresh.get()), L"");
      EXPECT_EQ(Call(fresh.get(), &Global::MOLTRAG_Init), 0);
      EXPECT_EQ(Call(fresh.get(), &Global::MOLTRAG_EcrireUser, installation.OtherUser()), 0);
      EXPECT_EQ(UserPath(fresh.get()), installation.OtherUser() + L"\\");
    });
    EXPECT_EQ(CanUnload(), S_OK);
  }
}

// Each member of the class interface: identifier, kind, how many parameters a caller gives.
struct Member {
  DISPID id;
  WORD flags;
  UINT given;
};
std::vector<Member> MembersOf(IDispatch* object) {
  Ref<ITypeInfo> info;
  object->GetTypeInfo(0, 0, info.put());
  std::vector<Member> members;
  FUNCDESC* f = nullptr;
  for (UINT i = 0; SUCCEEDED(info->GetFuncDesc(i, &f)); ++i, info->ReleaseFuncDesc(f)) {
    UINT given = 0;
    for (SHORT p = 0; p < f->cParams; ++p) {
      given += (f->lprgelemdescParam[p].paramdesc.wParamFlags & PARAMFLAG_FRETVAL) == 0;
    }
    if (!(f->wFuncFlags & FUNCFLAG_FRESTRICTED)) {
      members.push_back({f->memid, static_cast<WORD>(f->invkind), given});
    }
  }
  return members;
}

HRESULT Invoke(IDispatch* object, const Member& m, DISPPARAMS params, REFIID iid = IID_NULL) {
  DISPID put = DISPID_PROPERTYPUT;
  if (params.cNamedArgs == 0 && (m.flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF))) {
    params = {params.rgvarg, &put, params.cArgs, 1};
  }
  Variant result;
  UINT bad = 0;
  return object->Invoke(m.id, iid, 0, m.flags, &params, &result, nullptr, &bad);
}

TEST(HostileCalls, WhatCannotBeReadIsRefusedByEveryEntry) {
  InApartment([&] {
    Ref<IDispatch> global(New<IDispatch>(CLSID_MOLTRAGlobalClass, IID_IDispatch));
    Ref<IDispatch> pp(New<IDispatch>(CLSID_classPP, IID_IDispatch));
    for (IDispatch* object : {global.get(), pp.get()}) {
      for (const Member& m : MembersOf(object)) {
        VARIANT nowhere{};
        V_VT(&nowhere) = VT_BYREF | VT_VARIANT;  // a variable at no address
        EXPECT_EQ(Invoke(object, m, {nullptr, nullptr, 1, 0}), E_INVALIDARG) << m.id;
        EXPECT_EQ(Invoke(object, m, {&nowhere, nullptr, 1, 1}), E_INVALIDARG) << m.id;
        EXPECT_EQ(Invoke(object, m, {&nowhere, nullptr, 1, 0}), E_INVALIDARG) << m.id;
        EXPECT_EQ(Invoke(object, m, {}, IID_IDispatch), DISP_E_UNKNOWNINTERFACE) << m.id;
        EXPECT_EQ(object->Invoke(m.id, IID_NULL, 0, m.flags, nullptr, nullptr, nullptr, nullptr),
                  E_INVALIDARG);
      }
    }
    Ref<IDispatch> config = CreateByProgId<IDispatch>(kConfigProgId, IID_IDispatch);
    Ref<IDispatch> document = CreateByProgId<IDispatch>(kPPProgId, IID_IDispatch);
    for (IDispatch* object : {global.get(), pp.get(), config.get(), document.get()}) {
      LPOLESTR names[] = {nullptr};
      DISPID id = 0;
      EXPECT_EQ(object->GetIDsOfNames(IID_NULL, nullptr, 1, 0, &id), E_INVALIDARG);
      EXPECT_EQ(object->GetIDsOfNames(IID_NULL, names, 1, 0, nullptr), E_INVALIDARG);
      EXPECT_EQ(object->GetIDsOfNames(IID_NULL, names, 1, 0, &id), DISP_E_UNKNOWNNAME);
    }
    Sink hollow;
    hollow.hollow = true;
    EXPECT_EQ(Advise(global.get(), &hollow), CONNECT_E_CANNOTCONNECT);
  });
}

TEST(HostileCalls, AnArgumentLeftOutIsRefusedByEveryMemberAndChangesNothing) {
  Installation installation;
  InApartment([&] {
    Ref<Global> global(New());
    Call(global.get(), &Global::MOLTRAG_Init);
    LONG langue = 3;
    global->put_Langue(&langue);
    Ref<_ConfigDocument> before, after;
    global->get_VelmoCFG(before.put());
    Ref<IDispatch> pp(New<IDispatch>(CLSID_classPP, IID_IDispatch));
    VARIANT missing{};
    V_VT(&missing) = VT_ERROR;
    V_ERROR(&missing) = DISP_E_PARAMNOTFOUND;
    VARIANT variable{};  // a script's variable holding it
    V_VT(&variable) = VT_BYREF | VT_VARIANT;
    V_VARIANTREF(&variable) = &missing;
    for (IDispatch* object : {static_cast<IDispatch*>(global.get()), pp.get()}) {
      for (const Member& m : MembersOf(object)) {
        if (m.given == 0 || (object != pp.get() && m.id == 0x60030000)) continue;  // optional
        for (const VARIANT& arg : {missing, variable}) {
          std::vector<VARIANT> args(m.given, arg);
          EXPECT_EQ(Invoke(object, m, {args.data(), nullptr, m.given, 0}), DISP_E_PARAMNOTOPTIONAL)
              << std::hex << m.id << " " << m.flags;
        }
      }
    }
    global->get_Langue(&langue);
    EXPECT_EQ(langue, 3);
    EXPECT_EQ(ReadRegistryString(Hive::kUser, kInterfaceKey, L"Langue").value_or(L"?"), L"3");
    global->get_VelmoCFG(after.put());
    EXPECT_TRUE(before && after.get() == before.get());
  });
}

TEST(HostileCalls, APathOrNameHoldingNulIsRefusedAndNothingIsStored) {
  Installation installation;
  InApartment([&] {
    Ref<Global> global(New());
    Call(global.get(), &Global::MOLTRAG_Init);
    Sink sink;
    Advise(global.get(), &sink);
    EXPECT_EQ(Call(global.get(), &Global::MOLTRAG_EcrireUser, installation.OtherUser() + L"\0x"s),
              -1);
    EXPECT_EQ(sink.heard, L"");
    EXPECT_EQ(UserPath(global.get()), installation.UserDir());
    EXPECT_EQ(ReadRegistryString(Hive::kUser, kReleaseKey, L"USER").value_or(L"?"),
              Bare(installation.user()));
    Bstr name(L"Nom\0x"s), bad(installation.Params(u"beam.pp") + L"\0x"s);
    VARIANT_BOOL written = VARIANT_TRUE;
    global->RegWriteInterfaceValue(name.get(), name.get(), &written);
    EXPECT_EQ(written, VARIANT_FALSE);
    EXPECT_FALSE(ReadRegistryString(Hive::kUser, kInterfaceKey, L"Nom"));
    Ref<_PPDocument> document;
    LONG status = 0;
    global->MOLTRAG_GetPP(bad.get(), document.put(), &status);
    EXPECT_EQ(status, -1);
    Ref<_classPP> pp(New<_classPP>(CLSID_classPP, IID__classPP));
    pp->LoadPP(bad.get(), &status);
    EXPECT_EQ(status, -1);
    pp->put_fichier(bad.get());
    Bstr fichier;
    pp->get_fichier(fichier.put());
    EXPECT_EQ(fichier.text(), L"");
    // A null string is the empty string, as automation has it: the user "\".
    EXPECT_EQ(global->MOLTRAG_EcrireUser(nullptr, &status), S_OK);
    EXPECT_EQ(ReadRegistryString(Hive::kUser, kReleaseKey, L"USER").value_or(L"?"), L"\\");
  });
}

}  // namespace
}  // namespace velmo::testing
