// VELMOSWGlobalLib.dll as a COM caller sees it once regsvr32 has registered it: created by ProgID,
// called through the vtable and by name, its events, its type library and version resource, its
// errors, its module lifetime and its apartments. Only published identities are used.
#include <windows.h>

#include <ocidl.h>
#include <olectl.h>
#include <winver.h>

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cmath>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "com_caller.h"
#include "mol_config_lib.h"
#include "mol_gpp.h"
#include "temp_dir.h"
#include "velmo.h"

namespace velmo::testing {
namespace {

// The identifiers under which earlier versions of the class interface were published; the type
// library names them, the generated header does not.
struct Alias {
  const wchar_t* name;
  GUID iid;
  WORD minor;
};
constexpr std::array<Alias, 8> kAliases = {{
    {L"MOLTRAGlobalClass___v0",
     {0x98787F28, 0x7DD3, 0x4674, {0x9E, 0x02, 0xA7, 0xEA, 0x5B, 0x7F, 0xF8, 0x15}},
     0},
    {L"MOLTRAGlobalClass___v1",
     {0x71CD9EC7, 0x0DDF, 0x450A, {0x80, 0x2C, 0xC2, 0xA9, 0x40, 0xCA, 0x5D, 0xF9}},
     1},
    {L"MOLTRAGlobalClass___v2",
     {0x9BD3C820, 0x01FA, 0x43FA, {0xAC, 0x4A, 0x1B, 0x46, 0x61, 0xBA, 0x02, 0x20}},
     2},
    {L"MOLTRAGlobalClass___v3",
     {0xBD70254F, 0xA292, 0x404A, {0xAF, 0x7B, 0xB2, 0xBA, 0x66, 0xDE, 0x19, 0x7F}},
     3},
    {L"MOLTRAGlobalClass___v4",
     {0x55EF81B1, 0x73FC, 0x4701, {0x9F, 0x55, 0xF2, 0x24, 0xCA, 0x9D, 0xF3, 0x1A}},
     4},
    {L"MOLTRAGlobalClass___v5",
     {0x95FAA405, 0x8C4F, 0x47C4, {0x98, 0xE0, 0x91, 0xED, 0xA1, 0xCD, 0xDE, 0xC8}},
     5},
    {L"MOLTRAGlobalClass___v6",
     {0x5427456B, 0xCEA6, 0x41C3, {0xB4, 0x0F, 0x89, 0x12, 0x3C, 0x81, 0xE7, 0x64}},
     6},
    {L"MOLTRAGlobalClass___v7",
     {0x69305762, 0xD9F8, 0x4DE3, {0x95, 0xCC, 0x82, 0x0B, 0x55, 0xA2, 0x18, 0x23}},
     7},
}};

// An interface nobody implements.
constexpr GUID kStranger = {0x0D1E55E5, 0x1234, 0x4321, {1, 2, 3, 4, 5, 6, 7, 8}};

// The members of _MOLTRAGlobalClass in their published order.
struct Member {
  const wchar_t* name;
  MEMBERID id;
  INVOKEKIND kind;
};
constexpr std::array<Member, 21> kGlobalMembers = {{
    {L"MOLTRAG_Init", 0x60030000, INVOKE_FUNC},
    {L"MOLTRAG_Close", 0x60030001, INVOKE_FUNC},
    {L"MOLTRAG_EcrireUser", 0x60030002, INVOKE_FUNC},
    {L"MOLTRAG_GetServicePack", 0x60030003, INVOKE_FUNC},
    {L"MOLTRAG_IsDebug", 0x60030004, INVOKE_FUNC},
    {L"RegReadInterfaceValue", 0x60030005, INVOKE_FUNC},
    {L"RegWriteInterfaceValue", 0x60030006, INVOKE_FUNC},
    {L"UserPath", 0x68030000, INVOKE_PROPERTYGET},
    {L"AppPath", 0x68030001, INVOKE_PROPERTYGET},
    {L"RepBase", 0x68030002, INVOKE_PROPERTYGET},
    {L"User", 0x68030003, INVOKE_PROPERTYGET},
    {L"Version", 0x68030004, INVOKE_PROPERTYGET},
    {L"Application", 0x68030005, INVOKE_PROPERTYGET},
    {L"Langue", 0x68030006, INVOKE_PROPERTYGET},
    {L"VelmoCFG", 0x68030007, INVOKE_PROPERTYGET},
    {L"VelmoCFG", 0x68030007, INVOKE_PROPERTYPUTREF},
    {L"GeometrieDat", 0x68030008, INVOKE_PROPERTYGET},
    {L"Langue", 0x68030006, INVOKE_PROPERTYPUT},
    {L"RegReadSecurityValue", 0x60030007, INVOKE_FUNC},
    {L"RegWriteSecurityValue", 0x60030008, INVOKE_FUNC},
    {L"MOLTRAG_GetPP", 0x60030009, INVOKE_FUNC},
}};

constexpr std::array<Member, 10> kClassPPMembers = {{
    {L"PP", 0x40030000, INVOKE_PROPERTYGET},
    {L"PP", 0x40030000, INVOKE_PROPERTYPUTREF},
    {L"nbAcces", 0x40030001, INVOKE_PROPERTYGET},
    {L"nbAcces", 0x40030001, INVOKE_PROPERTYPUT},
    {L"fichier", 0x40030002, INVOKE_PROPERTYGET},
    {L"fichier", 0x40030002, INVOKE_PROPERTYPUT},
    {L"datePP", 0x40030003, INVOKE_PROPERTYGET},
    {L"datePP", 0x40030003, INVOKE_PROPERTYPUT},
    {L"LoadPP", 0x60030000, INVOKE_FUNC},
    {L"UpdatePP", 0x60030001, INVOKE_FUNC},
}};

using Global = _MOLTRAGlobalClass;

void ExpectMembers(ITypeInfo* info, const Member* members, size_t count) {
  Attr attr(info);
  ASSERT_TRUE(attr);
  ASSERT_EQ(attr->cFuncs, count);
  for (UINT i = 0; i < count; ++i) {
    FUNCDESC* func = nullptr;
    ASSERT_EQ(info->GetFuncDesc(i, &func), S_OK);
    const std::wstring name = NameOf(info, func->memid);
    EXPECT_EQ(name, members[i].name) << "member " << i;
    EXPECT_EQ(func->memid, members[i].id) << "member " << i;
    EXPECT_EQ(func->invkind, members[i].kind) << "member " << i;
    EXPECT_EQ(func->funckind, FUNC_PUREVIRTUAL) << "member " << i;
    // Every entry returns an HRESULT; the result is the last, [out, retval] parameter.
    EXPECT_EQ(func->elemdescFunc.tdesc.vt, VT_HRESULT) << "member " << i;
    EXPECT_EQ(func->oVft, static_cast<SHORT>((7 + i) * sizeof(void*))) << "member " << i;
    const bool returns = members[i].kind == INVOKE_FUNC || members[i].kind == INVOKE_PROPERTYGET;
    if (returns) {
      ASSERT_GT(func->cParams, 0) << "member " << i;
      EXPECT_EQ(func->lprgelemdescParam[func->cParams - 1].paramdesc.wParamFlags &
                    (PARAMFLAG_FOUT | PARAMFLAG_FRETVAL),
                PARAMFLAG_FOUT | PARAMFLAG_FRETVAL)
          << "member " << i;
    }
    info->ReleaseFuncDesc(func);
  }
}

// ---------------------------------------------------------------------------------------------

TEST(Environment, RunsWithoutADisplaySoThatBoxesReturnAtOnce) {
  wchar_t display[64];
  EXPECT_EQ(GetEnvironmentVariableW(L"DISPLAY", display, 64), 0u)
      << "a box shown here would wait for a click; run without DISPLAY";
}

TEST(Creation, ProgIdsNameTheClasses) {
  InApartment([] {
    CLSID clsid{};
    ASSERT_EQ(CLSIDFromProgID(kGlobalProgId, &clsid), S_OK);
    EXPECT_EQ(clsid, CLSID_MOLTRAGlobalClass);
    ASSERT_EQ(CLSIDFromProgID(kClassPPProgId, &clsid), S_OK);
    EXPECT_EQ(clsid, CLSID_classPP);
  });
}

TEST(Creation, TheGlobalObjectAnswersItsInterfaces) {
  InApartment([] {
    Ref<_MOLTRAGlobalClass> global = NewGlobal();
    ASSERT_TRUE(global);
    const void* identity = Identity(global);
    for (REFIID iid : {IID_IDispatch, IID__MOLTRAGlobalClass, IID_IConnectionPointContainer,
                       IID_IProvideClassInfo, IID_IProvideClassInfo2, IID_ISupportErrorInfo}) {
      HRESULT hr = E_FAIL;
      Ref<IUnknown> answer = global.As<IUnknown>(iid, &hr);
      EXPECT_EQ(hr, S_OK);
      ASSERT_TRUE(answer);
      EXPECT_EQ(Identity(answer), identity);
    }
    HRESULT hr = S_OK;
    Ref<IUnknown> none = global.As<IUnknown>(kStranger, &hr);
    EXPECT_EQ(hr, E_NOINTERFACE);
    EXPECT_FALSE(none);
    // The dispatch half of the dual interface is the interface itself.
    Ref<IDispatch> dispatch = global.As<IDispatch>(IID_IDispatch);
    Ref<IDispatch> dual = global.As<IDispatch>(IID__MOLTRAGlobalClass);
    EXPECT_EQ(dispatch.get(), dual.get());
  });
}

TEST(Creation, ClassPPAnswersItsInterfaces) {
  InApartment([] {
    Ref<_classPP> pp = NewClassPP();
    ASSERT_TRUE(pp);
    for (REFIID iid : {IID_IDispatch, IID__classPP, IID_ISupportErrorInfo}) {
      HRESULT hr = E_FAIL;
      Ref<IUnknown> answer = pp.As<IUnknown>(iid, &hr);
      EXPECT_EQ(hr, S_OK);
      EXPECT_EQ(Identity(answer), Identity(pp));
    }
    HRESULT hr = S_OK;
    pp.As<IUnknown>(IID__MOLTRAGlobalClass, &hr);
    EXPECT_EQ(hr, E_NOINTERFACE);
  });
}

TEST(Creation, TheClassFactoriesRefuseAggregation) {
  InApartment([] {
    for (REFCLSID clsid : {CLSID_MOLTRAGlobalClass, CLSID_classPP}) {
      Ref<IClassFactory> factory;
      ASSERT_EQ(CoGetClassObject(clsid, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                                 factory.put_void()),
                S_OK);
      Ref<IDispatch> made;
      EXPECT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, made.put_void()), S_OK);
      EXPECT_TRUE(made);
      Deaf outer;
      Ref<IUnknown> aggregated;
      EXPECT_EQ(factory->CreateInstance(&outer, IID_IUnknown, aggregated.put_void()),
                CLASS_E_NOAGGREGATION);
      EXPECT_FALSE(aggregated);
    }
  });
}

TEST(Creation, EachAliasIdentifierGivesTheClassInterface) {
  InApartment([] {
    Ref<_MOLTRAGlobalClass> global = NewGlobal();
    ASSERT_TRUE(global);
    for (const Alias& alias : kAliases) {
      SCOPED_TRACE(alias.minor);
      HRESULT hr = E_FAIL;
      Ref<_MOLTRAGlobalClass> old = global.As<_MOLTRAGlobalClass>(alias.iid, &hr);
      ASSERT_EQ(hr, S_OK) << "alias ___v" << alias.minor;
      EXPECT_EQ(Identity(old), Identity(global));
      // Callers compiled against the old identifier call through the same vtable.
      EXPECT_EQ(StringOf(old, &Global::get_Application), L"VELMO_SW2")
          << "alias ___v" << alias.minor;
    }
  });
}

// ---------------------------------------------------------------------------------------------

TEST(StartUp, FindsTheInstallationThroughTheRegistry) {
  Installation installation;
  InApartment([&] {
    Ref<_MOLTRAGlobalClass> global = NewGlobal();
    ASSERT_TRUE(global);
    EXPECT_EQ(StringOf(global, &Global::get_Version), L"");  // nothing before start-up
    EXPECT_EQ(Init(global), 0);
    EXPECT_EQ(StringOf(global, &Global::get_Version), L"2008");
    EXPECT_EQ(StringOf(global, &Global::MOLTRAG_GetServicePack), L"2");
    EXPECT_EQ(StringOf(global, &Global::get_AppPath), installation.AppDir());
    EXPECT_EQ(StringOf(global, &Global::get_RepBase), installation.AppDir());
    EXPECT_EQ(StringOf(global, &Global::get_UserPath), installation.UserDir());
    EXPECT_EQ(StringOf(global, &Global::get_User), installation.UserDir());
    EXPECT_EQ(StringOf(global, &Global::get_Application), L"VELMO_SW2");
    LONG langue = 0;
    EXPECT_EQ(global->get_Langue(&langue), S_OK);
    EXPECT_EQ(langue, 1);
    // A first run stores the language it took.
    EXPECT_EQ(ReadRegistryString(Hive::kUser, kInterfaceKey, L"Langue"), L"1");
    VARIANT_BOOL debug = VARIANT_TRUE;
    EXPECT_EQ(global->MOLTRAG_IsDebug(&debug), S_OK);
    EXPECT_EQ(debug, VARIANT_FALSE);

    // The documents are MOLConfigLib's, read through their typed interface: the user's
    // configuration with the application's merged under it.
    Ref<_ConfigDocument> cfg;
    EXPECT_EQ(global->get_VelmoCFG(cfg.put()), S_OK);
    ASSERT_TRUE(cfg);
    EXPECT_EQ(ValueOf(cfg, L"general", L"NOM"), L"utilisateur");
    EXPECT_EQ(ValueOf(cfg, L"General", L"Unites"), L"mm");
    Ref<_ConfigDocument> geometry;
    EXPECT_EQ(global->get_GeometrieDat(geometry.put()), S_OK);
    ASSERT_TRUE(geometry);
    EXPECT_EQ(ValueOf(geometry, L"Poutre", L"Hauteur"), L"200");
    EXPECT_EQ(ValueOf(geometry, L"Poutre", L"Largeur"), std::nullopt);
  });
}

TEST(StartUp, TheHostsVersionChoosesTheServicePack) {
  Installation installation;
  InApartment([&] {
    Ref<_MOLTRAGlobalClass> global = NewGlobal();
    ASSERT_TRUE(global);
    EXPECT_EQ(Init(global, L"2010"), 0);
    EXPECT_EQ(StringOf(global, &Global::get_Version), L"2010");
    EXPECT_EQ(StringOf(global, &Global::MOLTRAG_GetServicePack), L"1");
    EXPECT_EQ(StringOf(global, &Global::get_AppPath), installation.AppDir());
  });
}

TEST(StartUp, WithoutAnInstallationItStillSucceedsWithNoDirectories) {
  ClearLibraryKeys();
  InApartment([] {
    Ref<_MOLTRAGlobalClass> global = NewGlobal();
    ASSERT_TRUE(global);
    // A null BSTR is the empty string to an automation server.
    LONG result = 12345;
    EXPECT_EQ(global->MOLTRAG_Init(nullptr, &result), S_OK);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(StringOf(global, &Global::get_Version), L"2008");
    EXPECT_EQ(StringOf(global, &Global::get_AppPath), L"");
    EXPECT_EQ(StringOf(global, &Global::get_UserPath), L"");
    Ref<_ConfigDocument> cfg;
    EXPECT_EQ(global->get_VelmoCFG(cfg.put()), S_OK);
    EXPECT_FALSE(cfg);
  });
  ClearLibraryKeys();
}

TEST(StartUp, InstancesOnOneThreadShareTheContext) {
  Installation installation;
  InApartment([&] {
    Ref<_MOLTRAGlobalClass> first = NewGlobal();
    ASSERT_TRUE(first);
    EXPECT_EQ(Init(first, L"2010"), 0);
    Ref<_MOLTRAGlobalClass> second = NewGlobal();
    ASSERT_TRUE(second);
    EXPECT_NE(Identity(first), Identity(second));
    EXPECT_EQ(StringOf(second, &Global::get_Version), L"2010");
    EXPECT_EQ(StringOf(second, &Global::get_UserPath), installation.UserDir());
  });
}

// Counts the boxes the server shows, by standing in for MessageBoxW in its imports while it
// lives: none is shown, so none can wait whatever the display.
class BoxCounter {
 public:
  BoxCounter() : slot_(ImportOf(GetModuleHandleW(L"VELMOSWGlobalLib.dll"), "MessageBoxW")) {
    count_ = 0;
    if (slot_ != nullptr) real_ = Patch(reinterpret_cast<ULONG_PTR>(&Counted));
  }
  ~BoxCounter() {
    if (slot_ != nullptr) Patch(real_);
  }
  BoxCounter(const BoxCounter&) = delete;
  BoxCounter& operator=(const BoxCounter&) = delete;
  bool ok() const { return slot_ != nullptr; }
  int count() const { return count_; }

 private:
  static int WINAPI Counted(HWND, LPCWSTR, LPCWSTR, UINT) {
    ++count_;
    return IDOK;
  }
  // The entry of `name` in the import address table of `module`.
  static ULONG_PTR* ImportOf(HMODULE module, const char* name) {
    if (module == nullptr) return nullptr;
    const auto* base = reinterpret_cast<const BYTE*>(module);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
        base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* dll =
             reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
         dll->Name != 0; ++dll) {
      const auto* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + dll->OriginalFirstThunk);
      auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(const_cast<BYTE*>(base) + dll->FirstThunk);
      for (; names->u1.AddressOfData != 0; ++names, ++slots) {
        if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
        const auto* by_name =
            reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
        if (std::string_view(reinterpret_cast<const char*>(by_name->Name)) == name) {
          return reinterpret_cast<ULONG_PTR*>(&slots->u1.Function);
        }
      }
    }
    return nullptr;
  }
  ULONG_PTR Patch(ULONG_PTR to) {
    DWORD was = 0;
    VirtualProtect(slot_, sizeof *slot_, PAGE_READWRITE, &was);
    const ULONG_PTR before = std::exchange(*slot_, to);
    VirtualProtect(slot_, sizeof *slot_, was, &was);
    return before;
  }
  ULONG_PTR* slot_;
  ULONG_PTR real_ = 0;
  static inline int count_ = 0;
};

TEST(Members, BeforeStartUpEachGivesItsFallbackWithSuccess) {
  ClearLibraryKeys();
  InApartment([] {
    Ref<_MOLTRAGlobalClass> global = NewGlobal();
    ASSERT_TRUE(global);
    const BoxCounter boxes;
    ASSERT_TRUE(boxes.ok());
    EXPECT_EQ(StringOf(global, &Global::MOLTRAG_GetServicePack), L"");
    Bstr name(L"DEBUG");
    Bstr value(L"1");
    EXPECT_EQ(Get([&](BSTR* out) { return global->RegReadInterfaceValue(name.get(), out); }), L"");
    VARIANT_BOOL written = VARIANT_TRUE;
    EXPECT_EQ(global->RegWriteInterfaceValue(name.get(), value.get(), &written), S_OK);
    EXPECT_EQ(written, VARIANT_FALSE);
    EXPECT_EQ(global->RegWriteSecurityValue(name.get(), value.get(), &written), S_OK);
    EXPECT_EQ(written, VARIANT_FALSE);
    EXPECT_EQ(boxes.count(), 4) << "one box of the guard a member";
  });
  EXPECT_EQ(ReadRegistryString(Hive::kUser, kInterfaceKey, L"DEBUG"), std::nullopt);
}

TEST(Members, InterfaceValuesLiveInTheUsersHive) {
  Installation installation;
  ASSERT_TRUE(WriteRegistryString(Hive::kMachine, kInterfaceKey, L"Machine", L"du poste"));
  InApartment([&] {
    Ref<_MOLTRAGlobalClass> global = NewGlobal();
    ASSERT_TRUE(global);
    EXPECT_EQ(Init(global), 0);
    Bstr colour(L"Couleur");
    Bstr blue(L"Bleu \u00e9t\u00e9");
    VARIANT_BOOL written = VARIANT_FALSE;
    EXPECT_EQ(global->RegWriteInterfaceValue(colour.get(), blue.get(), &written), S_OK);
    EXPECT_EQ(written, VARIANT_TRUE);
    EXPECT_EQ(Get([&](BSTR* out) { return global->RegReadInterfaceValue(colour.get(), out); }),
              blue.text());
    EXPECT_EQ(ReadRegistryString(Hive::kUser, kInterfaceKey, L"Couleur"), blue.text());
    EXPECT_EQ(ReadRegistryString(Hive::kMachine, kInterfaceKey, L"Couleur"), std::nullopt);

    // A machine value reaches the user, who keeps a copy.
    Bstr machine(L"Machine");
    EXPECT_EQ(Get([&](BSTR* out) { return global->RegReadInterfaceValue(machine.get(), out); }),
              L"du poste");
    EXPECT_EQ(ReadRegistryString(Hive::kUser, kInterfaceKey, L"Machine"), L"du poste");

    Bstr missing(L"Absente");
    EXPECT_EQ(Get([&](BSTR* out) { return global->RegReadInterfaceValue(missing.get(), out); }),
              L"");

    Bstr debug(L"DEBUG");
    Bstr one(L"1");
    EXPECT_EQ(global->RegWriteInterfaceValue(debug.get(), one.get(), &written), S_OK);
    VARIANT_BOOL is_debug = VARIANT_FALSE;
    EXPECT_EQ(global->MOLTRAG_IsDebug(&is_debug), S_OK);
    EXPECT_EQ(is_debug, VARIANT_TRUE);
  });
}

TEST(Members, LangueIsStoredAndBecomesCurrent) {
  Installation installation;
  InApartment([&] {
    Ref<_MOLTRAGlobalClass> global = NewGlobal();
    ASSERT_TRUE(global);
    EXPECT_EQ(Init(global), 0);
    LONG lang = 3;
    EXPECT_EQ(global->put_Langue(&lang), S_OK);
    LONG current = 0;
    EXPECT_EQ(global->get_Langue(&current), S_OK);
    EXPECT_EQ(current, 3);
    EXPECT_EQ(ReadRegistryString(Hive::kUser, kInterfaceKey, L"Langue"), L"3");
  });
}

TEST(Members, SecurityValuesGoToBothHives) {
  Installation installation;
  InApartment([&] {
    Ref<_MOLTRAGlobalClass> global = NewGlobal();
    ASSERT_TRUE(global);
    EXPECT_EQ(Init(global), 0);
    Bstr level(L"Niveau");
    Bstr three(L"3");
    VARIANT_BOOL written = VARIANT_FALSE;
    EXPECT_EQ(global->RegWriteSecurityValue(level.get(), three.get(), &written), S_OK);
    EXPECT_EQ(written, VARIANT_TRUE);
    EXPECT_EQ(Get([&](BSTR* out) { return global->RegReadSecurityValue(level.get(), out); }), L"3");
    EXPECT_EQ(ReadRegistryString(Hive::kUser, kSettingsKey, L"Niveau"), L"3");
    EXPECT_EQ(ReadRegistryString(Hive::kMachine, kSettingsKey, L"Niveau"), L"3");
  });
}

TEST(Members, VelmoCFGIsOneObjectUntilReplaced) {
  Installation installation;
  InApartment([&] {
    Ref<_MOLTRAGlobalClass> global = NewGlobal();
    ASSERT_TRUE(global);
    EXPECT_EQ(Init(global), 0);
    Ref<_ConfigDocument> first;
    Ref<_ConfigDocument> again;
    ASSERT_EQ(global->get_VelmoCFG(first.put()), S_OK);
    ASSERT_EQ(global->get_VelmoCFG(again.put()), S_OK);
    ASSERT_TRUE(first);
    EXPECT_EQ(Identity(first), Identity(again));

    // A document the caller made and loaded itself comes back as itself.
    Ref<_ConfigDocument> made = CreateByProgId<_ConfigDocument>(kConfigProgId, IID__ConfigDocument);
    ASSERT_TRUE(made);
    installation.user().Write(u"mine.cfg", "[Mine]\nA = 1\n");
    Bstr path(HostPath(installation.user(), u"mine.cfg"));
    VARIANT_BOOL loaded = VARIANT_FALSE;
    ASSERT_EQ(made->Load(path.get(), &loaded), S_OK);
    EXPECT_EQ(loaded, VARIANT_TRUE);
    _ConfigDocument* slot = made.get();
    EXPECT_EQ(global->putref_VelmoCFG(&slot), S_OK);
    EXPECT_EQ(slot, made.get());
    Ref<_ConfigDocument> back;
    ASSERT_EQ(global->get_VelmoCFG(back.put()), S_OK);
    EXPECT_EQ(Identity(back), Identity(made));
    EXPECT_EQ(ValueOf(back, L"Mine", L"A"), L"1");

    // An object that is no configuration document stops the setter; the document stays.
    auto* stranger = new CountedDispatch;
    Ref<IDispatch> held(stranger);
    auto* stranger_slot = reinterpret_cast<_ConfigDocument*>(held.get());
    EXPECT_EQ(global->putref_VelmoCFG(&stranger_slot), S_OK);
    EXPECT_EQ(stranger->references(), 1u);
    ASSERT_EQ(global->get_VelmoCFG(back.put()), S_OK);
    EXPECT_EQ(Identity(back), Identity(made));
    back.reset();

    // Closing drops it; the next read loads the user's file again into a new object.
    const ULONG before_close = (made->AddRef(), made->Release());
    LONG closed = 12345;
    EXPECT_EQ(global->MOLTRAG_Close(&closed), S_OK);
    EXPECT_EQ(closed, 0);
    EXPECT_EQ((made->AddRef(), made->Release()), before_close - 1);
    Ref<_ConfigDocument> reloaded;
    ASSERT_EQ(global->get_VelmoCFG(reloaded.put()), S_OK);
    ASSERT_TRUE(reloaded);
    EXPECT_NE(Identity(reloaded), Identity(made));
    EXPECT_NE(Identity(reloaded), Identity(first));
  });
}

TEST(Members, GetPPHandsOutTheCachedParameterObject) {
  Installation installation;
  InApartment([&] {
    Ref<_MOLTRAGlobalClass> global = NewGlobal();
    ASSERT_TRUE(global);
    EXPECT_EQ(Init(global), 0);
    Bstr beam(installation.Params(u"beam.pp"));
    Ref<_PPDocument> pp;
    LONG status = 12345;
    EXPECT_EQ(global->MOLTRAG_GetPP(beam.get(), pp.put(), &status), S_OK);
    EXPECT_EQ(status, 0);
    ASSERT_TRUE(pp);
    Bstr largeur(L"largeur");
    Variant value;
    ASSERT_EQ(pp->Value(largeur.get(), &value), S_OK);
    ASSERT_EQ(V_VT(&value), VT_BSTR);
    EXPECT_EQ(Bstr::Text(V_BSTR(&value)), L"100");

    // The same file by another spelling is the same cache entry.
    std::wstring upper = installation.Params(u"BEAM.PP");
    Bstr other_case(upper);
    Ref<_PPDocument> again;
    EXPECT_EQ(global->MOLTRAG_GetPP(other_case.get(), again.put(), &status), S_OK);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(Identity(again), Identity(pp));

    // A file that is not there gives -2, and no object even where the caller had one.
    Bstr missing(installation.Params(u"none.pp"));
    _PPDocument* slot = again.get();
    slot->AddRef();
    EXPECT_EQ(global->MOLTRAG_GetPP(missing.get(), &slot, &status), S_OK);
    EXPECT_EQ(status, -2);
    EXPECT_EQ(slot, nullptr);
    if (slot != nullptr) slot->Release();

    // A cached file that has gone fails the request, still with success at the COM level.
    Bstr column(installation.Params(u"column.pp"));
    Ref<_PPDocument> column_pp;
    EXPECT_EQ(global->MOLTRAG_GetPP(column.get(), column_pp.put(), &status), S_OK);
    EXPECT_EQ(status, 0);
    installation.app().Remove(u"params/column.pp");
    Ref<_PPDocument> gone;
    EXPECT_EQ(global->MOLTRAG_GetPP(column.get(), gone.put(), &status), S_OK);
    EXPECT_EQ(status, -1);
    EXPECT_FALSE(gone);
  });
}

// ---------------------------------------------------------------------------------------------

TEST(ByName, DispatchIdsAreThoseOfTheTypeLibrary) {
  InApartment([] {
    Ref<_MOLTRAGlobalClass> global = NewGlobal();
    ASSERT_TRUE(global);
    Ref<IDispatch> dispatch = global.As<IDispatch>(IID_IDispatch);
    for (const Member& member : kGlobalMembers) {
      HRESULT hr = E_FAIL;
      EXPECT_EQ(IdOf(dispatch.get(), member.name, &hr), member.id);
      EXPECT_EQ(hr, S_OK);
    }
    // Names compare without regard to case.
    EXPECT_EQ(IdOf(dispatch.get(), L"moltrag_getservicepack"), 0x60030003);
    HRESULT hr = S_OK;
    IdOf(dispatch.get(), L"NoSuchMember", &hr);
    EXPECT_EQ(hr, DISP_E_UNKNOWNNAME);
    // A member's name cut short or run on is no member; nor is one with a letter outside ASCII.
    for (const wchar_t* name : {L"Langu", L"LangueX", L"Lang\u00DCe", L""}) {
      hr = S_OK;
      IdOf(dispatch.get(), name, &hr);
      EXPECT_EQ(hr, DISP_E_UNKNOWNNAME) << name;
    }
    // With its arguments' names, a member answers for them too.
    LPOLESTR with_argument[] = {const_cast<LPOLESTR>(L"regreadinterfacevalue"),
                                const_cast<LPOLESTR>(L"VALUENAME")};
    DISPID ids[2] = {DISPID_UNKNOWN, DISPID_UNKNOWN};
    EXPECT_EQ(dispatch->GetIDsOfNames(IID_NULL, with_argument, 2, LOCALE_USER_DEFAULT, ids), S_OK);
    EXPECT_EQ(ids[0], 0x60030005);
    EXPECT_EQ(ids[1], 0);

    UINT count = 0;
    EXPECT_EQ(dispatch->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 1u);
    Ref<ITypeInfo> info;
    ASSERT_EQ(dispatch->GetTypeInfo(0, LOCALE_USER_DEFAULT, info.put()), S_OK);
    Attr attr(info.get());
    ASSERT_TRUE(attr);
    EXPECT_EQ(attr->guid, IID__MOLTRAGlobalClass);

    Ref<_classPP> pp = NewClassPP();
    ASSERT_TRUE(pp);
    Ref<IDispatch> pp_dispatch = pp.As<IDispatch>(IID_IDispatch);
    for (const Member& member : kClassPPMembers) {
      EXPECT_EQ(IdOf(pp_dispatch.get(), member.name), member.id);
    }
  });
}

TEST(ByName, MembersThroughInvoke) {
  Installation installation;
  InApartment([&] {
    Ref<_MOLTRAGlobalClass> global = NewGlobal();
    ASSERT_TRUE(global);
    Ref<IDispatch> g = global.As<IDispatch>(IID_IDispatch);
    Args args;

    // The optional version left out.
    Variant result;
    ASSERT_EQ(CallByName(g.get(), L"MOLTRAG_Init", DISPATCH_METHOD, {}, &result), S_OK);
    EXPECT_EQ(V_VT(&result), VT_I4);
    EXPECT_EQ(V_I4(&result), 0);

    Variant version;
    ASSERT_EQ(CallByName(g.get(), L"Version", DISPATCH_PROPERTYGET, {}, &version), S_OK);
    ASSERT_EQ(V_VT(&version), VT_BSTR);
    EXPECT_EQ(Bstr::Text(V_BSTR(&version)), L"2008");

    Variant app;
    ASSERT_EQ(CallByName(g.get(), L"AppPath", DISPATCH_PROPERTYGET, {}, &app), S_OK);
    ASSERT_EQ(V_VT(&app), VT_BSTR);
    EXPECT_EQ(Bstr::Text(V_BSTR(&app)), installation.AppDir());

    Variant written;
    ASSERT_EQ(CallByName(g.get(), L"RegWriteInterfaceValue", DISPATCH_METHOD,
                         {args.String(L"Couleur"), args.String(L"Vert")}, &written),
              S_OK);
    EXPECT_EQ(V_VT(&written), VT_BOOL);
    EXPECT_EQ(V_BOOL(&written), VARIANT_TRUE);
    Variant read;
    ASSERT_EQ(CallByName(g.get(), L"RegReadInterfaceValue", DISPATCH_METHOD,
                         {args.String(L"Couleur")}, &read),
              S_OK);
    ASSERT_EQ(V_VT(&read), VT_BSTR);
    EXPECT_EQ(Bstr::Text(V_BSTR(&read)), L"Vert");

    // Langue written by value, through a typed reference and as a script's variable.
    EXPECT_EQ(CallByName(g.get(), L"Langue", DISPATCH_PROPERTYPUT, {args.Long(4)}, nullptr), S_OK);
    LONG langue = 0;
    EXPECT_EQ(global->get_Langue(&langue), S_OK);
    EXPECT_EQ(langue, 4);
    LONG five = 5;
    EXPECT_EQ(CallByName(g.get(), L"Langue", DISPATCH_PROPERTYPUT, {args.LongRef(&five)}, nullptr),
              S_OK);
    EXPECT_EQ(global->get_Langue(&langue), S_OK);
    EXPECT_EQ(langue, 5);
    Variant variable;
    V_VT(&variable) = VT_I4;
    V_I4(&variable) = 6;
    EXPECT_EQ(
        CallByName(g.get(), L"Langue", DISPATCH_PROPERTYPUT, {args.ByRef(&variable)}, nullptr),
        S_OK);
    EXPECT_EQ(global->get_Langue(&langue), S_OK);
    EXPECT_EQ(langue, 6);
    EXPECT_EQ(ReadRegistryString(Hive::kUser, kInterfaceKey, L"Langue"), L"6");

    // MOLTRAG_GetPP fills a script's empty variable, and a typed reference.
    Variant pp;
    Variant status;
    ASSERT_EQ(CallByName(g.get(), L"MOLTRAG_GetPP", DISPATCH_METHOD,
                         {args.String(installation.Params(u"beam.pp")), args.ByRef(&pp)}, &status),
              S_OK);
    EXPECT_EQ(V_VT(&status), VT_I4);
    EXPECT_EQ(V_I4(&status), 0);
    ASSERT_EQ(V_VT(&pp), VT_DISPATCH);
    EXPECT_NE(V_DISPATCH(&pp), nullptr);
    IDispatch* typed = nullptr;
    Variant status2;
    ASSERT_EQ(CallByName(g.get(), L"MOLTRAG_GetPP", DISPATCH_METHOD,
                         {args.String(installation.Params(u"beam.pp")), args.DispatchRef(&typed)},
                         &status2),
              S_OK);
    EXPECT_EQ(V_I4(&status2), 0);
    EXPECT_EQ(typed, V_DISPATCH(&pp));
    if (typed != nullptr) typed->Release();

    // VelmoCFG set from a script's variable holding an object.
    Variant geometry;
    ASSERT_EQ(CallByName(g.get(), L"GeometrieDat", DISPATCH_PROPERTYGET, {}, &geometry), S_OK);
    ASSERT_EQ(V_VT(&geometry), VT_DISPATCH);
    ASSERT_NE(V_DISPATCH(&geometry), nullptr);
    EXPECT_EQ(
        CallByName(g.get(), L"VelmoCFG", DISPATCH_PROPERTYPUTREF, {args.ByRef(&geometry)}, nullptr),
        S_OK);
    Ref<_ConfigDocument> cfg;
    EXPECT_EQ(global->get_VelmoCFG(cfg.put()), S_OK);
    Ref<IDispatch> geometry_ref(V_DISPATCH(&geometry));
    geometry_ref->AddRef();
    EXPECT_EQ(Identity(cfg), Identity(geometry_ref));

    // The user switch by name.
    Variant switched;
    ASSERT_EQ(CallByName(g.get(), L"MOLTRAG_EcrireUser", DISPATCH_METHOD,
                         {args.String(installation.OtherUser())}, &switched),
              S_OK);
    EXPECT_EQ(V_I4(&switched), 0);
    EXPECT_EQ(StringOf(global, &Global::get_User), installation.OtherUser() + L"\\");

    // What ITypeInfo::Invoke says to malformed calls.
    EXPECT_EQ(Call(g.get(), 0x6003FFFF, DISPATCH_METHOD, {}, nullptr), DISP_E_MEMBERNOTFOUND);
    const HRESULT missing_argument =
        CallByName(g.get(), L"RegReadInterfaceValue", DISPATCH_METHOD, {}, nullptr);
    EXPECT_TRUE(missing_argument == DISP_E_BADPARAMCOUNT ||
                missing_argument == DISP_E_PARAMNOTOPTIONAL)
        << std::hex << missing_argument;
    // More arguments than fit the fix-ups' own room, a variable among them: refused, and the
    // variable is left as it was.
    Variant untouched;
    std::vector<VARIANT*> too_many{args.String(installation.Params(u"beam.pp")),
                                   args.ByRef(&untouched)};
    while (too_many.size() < 10) too_many.push_back(args.String(L"1"));
    const HRESULT refused =
        CallByName(g.get(), L"MOLTRAG_GetPP", DISPATCH_METHOD, too_many, nullptr);
    EXPECT_TRUE(refused == DISP_E_BADPARAMCOUNT || refused == DISP_E_TYPEMISMATCH)
        << std::hex << refused;
    EXPECT_EQ(V_VT(&untouched), VT_EMPTY);
  });
}

// ---------------------------------------------------------------------------------------------

class Events : public ::testing::Test {
 protected:
  Installation installation_;
};

TEST_F(Events, BothSinksHearBothEventsInTheOrderTheyConnected) {
  InApartment([&] {
    Ref<_MOLTRAGlobalClass> global = NewGlobal();
    ASSERT_TRUE(global);
    EXPECT_EQ(Init(global), 0);
    std::vector<Heard> log;
    Ref<EventSink> a(new EventSink('A', &log));
    Ref<EventSink> b(new EventSink('B', &log));
    Ref<IConnectionPoint> point = EventsOf(global);
    ASSERT_TRUE(point);
    const DWORD cookie_a = Connect(point, a.get());
    const DWORD cookie_b = Connect(point, b.get());
    EXPECT_NE(cookie_a, cookie_b);

    const std::wstring other = installation_.OtherUser();
    EXPECT_EQ(SwitchUser(global, other), 0);
    EXPECT_EQ(log, (std::vector<Heard>{
                       Changing('A', other, false),
                       Changing('B', other, false),
                       Changed('A', installation_.UserDir(), other + L"\\"),
                       Changed('B', installation_.UserDir(), other + L"\\"),
                   }));
    EXPECT_EQ(StringOf(global, &Global::get_User), other + L"\\");
    EXPECT_EQ(ReadRegistryString(Hive::kUser, kReleaseKey, L"USER"), other + L"\\");
    EXPECT_EQ(point->Unadvise(cookie_a), S_OK);
    EXPECT_EQ(point->Unadvise(cookie_b), S_OK);
  });
}

TEST_F(Events, ASecondSinkClearingCancelLetsTheSwitchGoOn) {
  InApartment([&] {
    Ref<_MOLTRAGlobalClass> global = NewGlobal();
    ASSERT_TRUE(global);
    EXPECT_EQ(Init(global), 0);
    std::vector<Heard> log;
    Ref<EventSink> a(new EventSink('A', &log, EventSink::OnChanging::kSetCancel));
    Ref<EventSink> b(new EventSink('B', &log, EventSink::OnChanging::kClearCancel));
    Ref<IConnectionPoint> point = EventsOf(global);
    ASSERT_TRUE(point);
    Connect(point, a.get());
    Connect(point, b.get());

    const std::wstring other = installation_.OtherUser();
    EXPECT_EQ(SwitchUser(global, other), 0);
    EXPECT_EQ(log, (std::vector<Heard>{
                       Changing('A', other, false),
                       Changing('B', other, true),  // the same Cancel, as A left it
                       Changed('A', installation_.UserDir(), other + L"\\"),
                       Changed('B', installation_.UserDir(), other + L"\\"),
                   }));
    EXPECT_EQ(StringOf(global, &Global::get_User), other + L"\\");
  });
}

TEST_F(Events, CancelLeftSetRefusesTheSwitch) {
  InApartment([&] {
    Ref<_MOLTRAGlobalClass> global = NewGlobal();
    ASSERT_TRUE(global);
    EXPECT_EQ(Init(global), 0);
    std::vector<Heard> log;
    Ref<EventSink> a(new EventSink('A', &log, EventSink::OnChanging::kSetCancel));
    Ref<EventSink> b(new EventSink('B', &log));
    Ref<IConnectionPoint> point = EventsOf(global);
    ASSERT_TRUE(point);
    Connect(point, a.get());
    Connect(point, b.get());

    const std::wstring other = installation_.OtherUser();
    EXPECT_EQ(SwitchUser(global, other), 0);  // refused is not a failure
    EXPECT_EQ(log, (std::vector<Heard>{
                       Changing('A', other, false),
                       Changing('B', other, true),
                   }));
    EXPECT_EQ(StringOf(global, &Global::get_User), installation_.UserDir());
    EXPECT_EQ(ReadRegistryString(Hive::kUser, kReleaseKey, L"USER"), Bare(installation_.user()));
  });
}

TEST_F(Events, EnumConnectionsAndUnadvise) {
  InApartment([&] {
    Ref<_MOLTRAGlobalClass> global = NewGlobal();
    ASSERT_TRUE(global);
    EXPECT_EQ(Init(global), 0);
    std::vector<Heard> log;
    EventSink* a_raw = new EventSink('A', &log);
    Ref<EventSink> a(a_raw);
    Ref<EventSink> b(new EventSink('B', &log));
    Ref<IConnectionPoint> point = EventsOf(global);
    ASSERT_TRUE(point);
    const DWORD cookie_a = Connect(point, a.get());
    const DWORD cookie_b = Connect(point, b.get());
    EXPECT_GT(a_raw->references(), 1u);  // held while connected

    auto connections = [&] {
      std::vector<std::pair<DWORD, IUnknown*>> found;
      Ref<IEnumConnections> list;
      EXPECT_EQ(point->EnumConnections(list.put()), S_OK);
      if (!list) return found;
      CONNECTDATA data{};
      ULONG fetched = 0;
      while (list->Next(1, &data, &fetched) == S_OK && fetched == 1) {
        found.emplace_back(data.dwCookie, data.pUnk);
        if (data.pUnk != nullptr) data.pUnk->Release();
      }
      return found;
    };
    using Connections = std::vector<std::pair<DWORD, IUnknown*>>;
    IUnknown* a_unknown = static_cast<IDispatch*>(a.get());
    IUnknown* b_unknown = static_cast<IDispatch*>(b.get());
    EXPECT_EQ(connections(), (Connections{{cookie_a, a_unknown}, {cookie_b, b_unknown}}));

    EXPECT_EQ(point->Unadvise(cookie_a), S_OK);
    EXPECT_EQ(a_raw->references(), 1u);  // let go
    EXPECT_EQ(point->Unadvise(cookie_a), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(point->Unadvise(0xBADC0DE), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(connections(), (Connections{{cookie_b, b_unknown}}));

    const std::wstring other = installation_.OtherUser();
    EXPECT_EQ(SwitchUser(global, other), 0);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].sink, 'B');
    EXPECT_EQ(log[1].sink, 'B');
  });
}

TEST_F(Events, OnlyTheSwitchingInstancesSinksHear) {
  InApartment([&] {
    Ref<_MOLTRAGlobalClass> switching = NewGlobal();
    Ref<_MOLTRAGlobalClass> bystander = NewGlobal();
    ASSERT_TRUE(switching);
    ASSERT_TRUE(bystander);
    EXPECT_EQ(Init(switching), 0);
    std::vector<Heard> log;
    Ref<EventSink> a(new EventSink('A', &log));
    Ref<EventSink> b(new EventSink('B', &log));
    Ref<IConnectionPoint> point = EventsOf(switching);
    Ref<IConnectionPoint> other_point = EventsOf(bystander);
    ASSERT_TRUE(point);
    ASSERT_TRUE(other_point);
    Connect(point, a.get());
    Connect(other_point, b.get());
    EXPECT_EQ(SwitchUser(switching, installation_.OtherUser()), 0);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].sink, 'A');
    EXPECT_EQ(log[1].sink, 'A');
  });
}

TEST_F(Events, TheConnectionPointIsThatOfTheEventInterface) {
  InApartment([&] {
    Ref<_MOLTRAGlobalClass> global = NewGlobal();
    ASSERT_TRUE(global);
    Ref<IConnectionPointContainer> container =
        global.As<IConnectionPointContainer>(IID_IConnectionPointContainer);
    ASSERT_TRUE(container);
    Ref<IConnectionPoint> none;
    EXPECT_EQ(container->FindConnectionPoint(kStranger, none.put()), CONNECT_E_NOCONNECTION);
    EXPECT_FALSE(none);

    Ref<IConnectionPoint> point = EventsOf(global);
    ASSERT_TRUE(point);
    IID iid{};
    EXPECT_EQ(point->GetConnectionInterface(&iid), S_OK);
    EXPECT_EQ(iid, DIID___MOLTRAGlobalClass);
    Ref<IConnectionPointContainer> owner;
    EXPECT_EQ(point->GetConnectionPointContainer(owner.put()), S_OK);
    EXPECT_EQ(Identity(owner), Identity(global));

    // A sink without the event interface cannot be told anything.
    Deaf deaf;
    DWORD cookie = 12345;
    EXPECT_EQ(point->Advise(&deaf, &cookie), CONNECT_E_CANNOTCONNECT);
    EXPECT_EQ(cookie, 0u);
    EXPECT_EQ(deaf.references_, 1u);
  });
}

// Type information aside, the only way for a caller to learn the outgoing interfaces; so
// E_NOTIMPL is no answer here.
TEST_F(Events, EnumConnectionPointsListsTheOne) {
  InApartment([&] {
    Ref<_MOLTRAGlobalClass> global = NewGlobal();
    ASSERT_TRUE(global);
    Ref<IConnectionPointContainer> container =
        global.As<IConnectionPointContainer>(IID_IConnectionPointContainer);
    ASSERT_TRUE(container);
    Ref<IEnumConnectionPoints> points;
    ASSERT_EQ(container->EnumConnectionPoints(points.put()), S_OK);
    ASSERT_TRUE(points);
    std::vector<Ref<IConnectionPoint>> listed;
    IConnectionPoint* next = nullptr;
    ULONG fetched = 0;
    while (points->Next(1, &next, &fetched) == S_OK && fetched == 1) listed.emplace_back(next);
    ASSERT_EQ(listed.size(), 1u);
    IID iid{};
    EXPECT_EQ(listed[0]->GetConnectionInterface(&iid), S_OK);
    EXPECT_EQ(iid, DIID___MOLTRAGlobalClass);
  });
}

TEST_F(Events, ReleasingTheObjectLetsGoOfItsSinks) {
  InApartment([&] {
    std::vector<Heard> log;
    EventSink* raw = new EventSink('A', &log);
    Ref<EventSink> a(raw);
    {
      Ref<_MOLTRAGlobalClass> global = NewGlobal();
      ASSERT_TRUE(global);
      Ref<IConnectionPoint> point = EventsOf(global);
      ASSERT_TRUE(point);
      Connect(point, a.get());
    }
    EXPECT_EQ(raw->references(), 1u);
  });
}

// ---------------------------------------------------------------------------------------------

TEST(ClassInfo, ProvideClassInfo2NamesTheClassAndItsEvents) {
  InApartment([] {
    Ref<_MOLTRAGlobalClass> global = NewGlobal();
    ASSERT_TRUE(global);
    Ref<IProvideClassInfo2> provider = global.As<IProvideClassInfo2>(IID_IProvideClassInfo2);
    ASSERT_TRUE(provider);
    Ref<ITypeInfo> info;
    ASSERT_EQ(provider->GetClassInfo(info.put()), S_OK);
    Attr attr(info.get());
    ASSERT_TRUE(attr);
    EXPECT_EQ(attr->guid, CLSID_MOLTRAGlobalClass);
    EXPECT_EQ(attr->typekind, TKIND_COCLASS);
    GUID events{};
    EXPECT_EQ(provider->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &events), S_OK);
    EXPECT_EQ(events, DIID___MOLTRAGlobalClass);
    EXPECT_EQ(provider->GetGUID(12345, &events), E_INVALIDARG);
  });
}

TEST(ErrorInfo, BothClassesSupportErrorInfoOnTheirInterfaces) {
  InApartment([] {
    Ref<_MOLTRAGlobalClass> global = NewGlobal();
    Ref<_classPP> pp = NewClassPP();
    ASSERT_TRUE(global);
    ASSERT_TRUE(pp);
    Ref<ISupportErrorInfo> global_support = global.As<ISupportErrorInfo>(IID_ISupportErrorInfo);
    Ref<ISupportErrorInfo> pp_support = pp.As<ISupportErrorInfo>(IID_ISupportErrorInfo);
    ASSERT_TRUE(global_support);
    ASSERT_TRUE(pp_support);
    EXPECT_EQ(global_support->InterfaceSupportsErrorInfo(IID__MOLTRAGlobalClass), S_OK);
    EXPECT_EQ(pp_support->InterfaceSupportsErrorInfo(IID__classPP), S_OK);
    EXPECT_EQ(pp_support->InterfaceSupportsErrorInfo(kStranger), S_FALSE);
  });
}

// ---------------------------------------------------------------------------------------------

TEST(TypeLibrary, FromTheDllAndFromTheRegistry) {
  InApartment([] {
    Ref<ITypeLib> from_dll = LoadFromDll();
    ASSERT_TRUE(from_dll);
    Ref<ITypeLib> registered;
    ASSERT_EQ(LoadRegTypeLib(LIBID_VELMOSWGlobalLib, 1, 9, 0, registered.put()), S_OK);
    for (ITypeLib* library : {from_dll.get(), registered.get()}) {
      TLIBATTR* attr = nullptr;
      ASSERT_EQ(library->GetLibAttr(&attr), S_OK);
      EXPECT_EQ(attr->guid, LIBID_VELMOSWGlobalLib);
      EXPECT_EQ(attr->wMajorVerNum, 1);
      EXPECT_EQ(attr->wMinorVerNum, 9);
      library->ReleaseTLibAttr(attr);
      Bstr name;
      library->GetDocumentation(-1, name.put(), nullptr, nullptr, nullptr);
      EXPECT_EQ(name.text(), L"VELMOSWGlobalLib");
      // Three interfaces, two classes and the eight aliases.
      EXPECT_EQ(library->GetTypeInfoCount(), 13u);
    }
  });
}

TEST(TypeLibrary, TheClasses) {
  InApartment([] {
    Ref<ITypeLib> library = LoadFromDll();
    ASSERT_TRUE(library);
    Ref<ITypeInfo> global = InfoOf(library.get(), CLSID_MOLTRAGlobalClass);
    ASSERT_TRUE(global);
    {
      Attr attr(global.get());
      ASSERT_TRUE(attr);
      EXPECT_EQ(NameOf(global.get()), L"MOLTRAGlobalClass");
      EXPECT_EQ(attr->typekind, TKIND_COCLASS);
      EXPECT_EQ(
          attr->wTypeFlags & (TYPEFLAG_FAPPOBJECT | TYPEFLAG_FCANCREATE | TYPEFLAG_FPREDECLID),
          TYPEFLAG_FAPPOBJECT | TYPEFLAG_FCANCREATE | TYPEFLAG_FPREDECLID);
      EXPECT_EQ(attr->wMajorVerNum, 1);
      EXPECT_EQ(attr->wMinorVerNum, 8);
      ASSERT_EQ(attr->cImplTypes, 2);
    }
    bool has_default = false;
    bool has_source = false;
    for (UINT i = 0; i < 2; ++i) {
      INT flags = 0;
      HREFTYPE ref = 0;
      Ref<ITypeInfo> implemented;
      ASSERT_EQ(global->GetImplTypeFlags(i, &flags), S_OK);
      ASSERT_EQ(global->GetRefTypeOfImplType(i, &ref), S_OK);
      ASSERT_EQ(global->GetRefTypeInfo(ref, implemented.put()), S_OK);
      Attr attr(implemented.get());
      if (flags == IMPLTYPEFLAG_FDEFAULT) {
        EXPECT_EQ(attr->guid, IID__MOLTRAGlobalClass);
        has_default = true;
      } else if (flags == (IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE)) {
        EXPECT_EQ(attr->guid, DIID___MOLTRAGlobalClass);
        has_source = true;
      }
    }
    EXPECT_TRUE(has_default) << "no default interface";
    EXPECT_TRUE(has_source) << "no default source";

    Ref<ITypeInfo> pp = InfoOf(library.get(), CLSID_classPP);
    ASSERT_TRUE(pp);
    Attr attr(pp.get());
    ASSERT_TRUE(attr);
    EXPECT_EQ(NameOf(pp.get()), L"classPP");
    EXPECT_EQ(attr->typekind, TKIND_COCLASS);
    EXPECT_TRUE(attr->wTypeFlags & TYPEFLAG_FCANCREATE);
    EXPECT_FALSE(attr->wTypeFlags & (TYPEFLAG_FAPPOBJECT | TYPEFLAG_FPREDECLID));
    EXPECT_EQ(attr->wMajorVerNum, 1);
    EXPECT_EQ(attr->wMinorVerNum, 0);
    ASSERT_EQ(attr->cImplTypes, 1);
    HREFTYPE ref = 0;
    Ref<ITypeInfo> implemented;
    ASSERT_EQ(pp->GetRefTypeOfImplType(0, &ref), S_OK);
    ASSERT_EQ(pp->GetRefTypeInfo(ref, implemented.put()), S_OK);
    Attr implemented_attr(implemented.get());
    EXPECT_EQ(implemented_attr->guid, IID__classPP);
  });
}

TEST(TypeLibrary, TheDualInterfaces) {
  InApartment([] {
    Ref<ITypeLib> library = LoadFromDll();
    ASSERT_TRUE(library);
    struct Expected {
      const GUID* iid;
      const wchar_t* name;
      WORD minor;
      const Member* members;
      size_t count;
    };
    for (const Expected& e : {Expected{&IID__MOLTRAGlobalClass, L"_MOLTRAGlobalClass", 8,
                                       kGlobalMembers.data(), kGlobalMembers.size()},
                              Expected{&IID__classPP, L"_classPP", 0, kClassPPMembers.data(),
                                       kClassPPMembers.size()}}) {
      SCOPED_TRACE(std::string(e.name, e.name + wcslen(e.name)));
      Ref<ITypeInfo> info = InfoOf(library.get(), *e.iid);
      ASSERT_TRUE(info);
      EXPECT_EQ(NameOf(info.get()), e.name);
      {
        Attr attr(info.get());
        ASSERT_TRUE(attr);
        constexpr WORD kFlags =
            TYPEFLAG_FDUAL | TYPEFLAG_FHIDDEN | TYPEFLAG_FNONEXTENSIBLE | TYPEFLAG_FDISPATCHABLE;
        EXPECT_EQ(attr->typekind, TKIND_DISPATCH);
        EXPECT_EQ(attr->wTypeFlags & kFlags, kFlags) << std::hex << attr->wTypeFlags;
        EXPECT_EQ(attr->wMajorVerNum, 1);
        EXPECT_EQ(attr->wMinorVerNum, e.minor);
      }
      Ref<ITypeInfo> half = VtableHalf(info.get());
      ASSERT_TRUE(half);
      Attr half_attr(half.get());
      ASSERT_TRUE(half_attr);
      EXPECT_EQ(half_attr->typekind, TKIND_INTERFACE);
      // Automation-compatible is said of the interface, not of its dispatch description.
      constexpr WORD kHalfFlags =
          TYPEFLAG_FDUAL | TYPEFLAG_FHIDDEN | TYPEFLAG_FNONEXTENSIBLE | TYPEFLAG_FOLEAUTOMATION;
      EXPECT_EQ(half_attr->wTypeFlags & kHalfFlags, kHalfFlags)
          << std::hex << half_attr->wTypeFlags;
      EXPECT_EQ(half_attr->cbSizeVft, (7 + e.count) * sizeof(void*));
      ExpectMembers(half.get(), e.members, e.count);
    }
  });
}

TEST(TypeLibrary, ParametersOfTheClassInterface) {
  InApartment([] {
    Ref<ITypeLib> library = LoadFromDll();
    ASSERT_TRUE(library);
    Ref<ITypeInfo> half = VtableHalf(InfoOf(library.get(), IID__MOLTRAGlobalClass).get());
    ASSERT_TRUE(half);
    // VersionStr is optional with "" for default.
    FUNCDESC* init = nullptr;
    ASSERT_EQ(half->GetFuncDesc(0, &init), S_OK);
    ASSERT_EQ(init->cParams, 2);
    const PARAMDESC& version = init->lprgelemdescParam[0].paramdesc;
    EXPECT_EQ(init->lprgelemdescParam[0].tdesc.vt, VT_BSTR);
    EXPECT_TRUE(version.wParamFlags & PARAMFLAG_FOPT);
    ASSERT_TRUE(version.wParamFlags & PARAMFLAG_FHASDEFAULT);
    ASSERT_NE(version.pparamdescex, nullptr);
    EXPECT_EQ(V_VT(&version.pparamdescex->varDefaultValue), VT_BSTR);
    EXPECT_EQ(Bstr::Text(V_BSTR(&version.pparamdescex->varDefaultValue)), L"");
    half->ReleaseFuncDesc(init);

    constexpr USHORT kInOut = PARAMFLAG_FIN | PARAMFLAG_FOUT;
    EXPECT_EQ(ParamFlags(half.get(), 0x68030006, INVOKE_PROPERTYPUT, 0) & kInOut, kInOut);
    EXPECT_EQ(ParamFlags(half.get(), 0x68030007, INVOKE_PROPERTYPUTREF, 0) & kInOut, kInOut);
    EXPECT_EQ(ParamFlags(half.get(), 0x60030009, INVOKE_FUNC, 1) & kInOut, kInOut);
    EXPECT_EQ(ParamFlags(half.get(), 0x60030009, INVOKE_FUNC, 0) & kInOut, PARAMFLAG_FIN);
  });
}

// Where a parameter's type, `depth` pointers down, refers to: the interface and the library
// that holds it, as LoadTypeLib resolves them.
struct Referred {
  GUID iid{};
  std::wstring name;
  GUID library{};
  WORD major = 0;
  WORD minor = 0;
};

Referred ReferredBy(ITypeInfo* info, MEMBERID member, INVOKEKIND kind, UINT param, int depth) {
  Referred referred;
  Attr attr(info);
  for (UINT i = 0; attr && i < attr->cFuncs; ++i) {
    FUNCDESC* func = nullptr;
    if (info->GetFuncDesc(i, &func) != S_OK) continue;
    if (func->memid == member && func->invkind == kind && param < UINT(func->cParams)) {
      const TYPEDESC* type = &func->lprgelemdescParam[param].tdesc;
      for (int level = 0; level < depth && type != nullptr && type->vt == VT_PTR; ++level) {
        type = type->lptdesc;
      }
      Ref<ITypeInfo> target;
      if (type != nullptr && type->vt == VT_USERDEFINED &&
          info->GetRefTypeInfo(type->hreftype, target.put()) == S_OK) {
        Attr target_attr(target.get());
        if (target_attr) referred.iid = target_attr->guid;
        referred.name = NameOf(target.get());
        Ref<ITypeLib> library;
        UINT index = 0;
        TLIBATTR* lib_attr = nullptr;
        if (target->GetContainingTypeLib(library.put(), &index) == S_OK &&
            library->GetLibAttr(&lib_attr) == S_OK) {
          referred.library = lib_attr->guid;
          referred.major = lib_attr->wMajorVerNum;
          referred.minor = lib_attr->wMinorVerNum;
          library->ReleaseTLibAttr(lib_attr);
        }
      }
    }
    info->ReleaseFuncDesc(func);
  }
  return referred;
}

TEST(TypeLibrary, DocumentsAreTypedByTheCompanionLibraries) {
  InApartment([] {
    Ref<ITypeLib> library = LoadFromDll();
    ASSERT_TRUE(library);
    Ref<ITypeInfo> global = VtableHalf(InfoOf(library.get(), IID__MOLTRAGlobalClass).get());
    Ref<ITypeInfo> pp = VtableHalf(InfoOf(library.get(), IID__classPP).get());
    ASSERT_TRUE(global && pp);
    struct Case {
      ITypeInfo* info;
      MEMBERID member;
      INVOKEKIND kind;
      UINT param;
      int depth;  // pointers to the interface: two for a result or by reference
      bool config;
    };
    const Case cases[] = {
        {global.get(), 0x68030007, INVOKE_PROPERTYGET, 0, 2, true},
        {global.get(), 0x68030007, INVOKE_PROPERTYPUTREF, 0, 2, true},
        {global.get(), 0x68030008, INVOKE_PROPERTYGET, 0, 2, true},
        {global.get(), 0x60030009, INVOKE_FUNC, 1, 2, false},
        {pp.get(), 0x40030000, INVOKE_PROPERTYGET, 0, 2, false},
        {pp.get(), 0x40030000, INVOKE_PROPERTYPUTREF, 0, 1, false},
    };
    for (const Case& c : cases) {
      const Referred referred = ReferredBy(c.info, c.member, c.kind, c.param, c.depth);
      const std::string where =
          "member " + std::to_string(c.member) + " kind " + std::to_string(c.kind);
      if (c.config) {
        EXPECT_EQ(referred.iid, IID__ConfigDocument) << where;
        EXPECT_EQ(referred.name, L"_ConfigDocument") << where;
        EXPECT_EQ(referred.library, LIBID_MOLConfigLib) << where;
        EXPECT_EQ(referred.major * 10 + referred.minor, 36) << where;
      } else {
        EXPECT_EQ(referred.iid, IID__PPDocument) << where;
        EXPECT_EQ(referred.name, L"_PPDocument") << where;
        EXPECT_EQ(referred.library, LIBID_MolGPP) << where;
        EXPECT_EQ(referred.major * 10 + referred.minor, 19) << where;
      }
    }
  });
}

TEST(TypeLibrary, TheEventInterface) {
  InApartment([] {
    Ref<ITypeLib> library = LoadFromDll();
    ASSERT_TRUE(library);
    Ref<ITypeInfo> events = InfoOf(library.get(), DIID___MOLTRAGlobalClass);
    ASSERT_TRUE(events);
    EXPECT_EQ(NameOf(events.get()), L"__MOLTRAGlobalClass");
    Attr attr(events.get());
    ASSERT_TRUE(attr);
    EXPECT_EQ(attr->typekind, TKIND_DISPATCH);
    EXPECT_EQ(attr->wTypeFlags & (TYPEFLAG_FHIDDEN | TYPEFLAG_FNONEXTENSIBLE),
              TYPEFLAG_FHIDDEN | TYPEFLAG_FNONEXTENSIBLE);
    EXPECT_FALSE(attr->wTypeFlags & TYPEFLAG_FDUAL);
    EXPECT_EQ(attr->wMajorVerNum, 1);
    EXPECT_EQ(attr->wMinorVerNum, 8);
    ASSERT_EQ(attr->cFuncs, 2);
    struct Event {
      const wchar_t* name;
      MEMBERID id;
      std::array<VARTYPE, 2> types;
    };
    const Event expected[] = {{L"UserChanging", 1, {VT_BSTR, VT_PTR}},
                              {L"UserChanged", 2, {VT_BSTR, VT_BSTR}}};
    for (UINT i = 0; i < 2; ++i) {
      FUNCDESC* func = nullptr;
      ASSERT_EQ(events->GetFuncDesc(i, &func), S_OK);
      EXPECT_EQ(func->memid, expected[i].id);
      EXPECT_EQ(NameOf(events.get(), func->memid), expected[i].name);
      EXPECT_EQ(func->funckind, FUNC_DISPATCH);
      ASSERT_EQ(func->cParams, 2);
      for (UINT p = 0; p < 2; ++p) {
        EXPECT_EQ(func->lprgelemdescParam[p].tdesc.vt, expected[i].types[p]) << i << "/" << p;
      }
      if (i == 0) {
        const ELEMDESC& cancel = func->lprgelemdescParam[1];
        ASSERT_EQ(cancel.tdesc.vt, VT_PTR);
        EXPECT_EQ(cancel.tdesc.lptdesc->vt, VT_BOOL);
        EXPECT_EQ(cancel.paramdesc.wParamFlags & (PARAMFLAG_FIN | PARAMFLAG_FOUT),
                  PARAMFLAG_FIN | PARAMFLAG_FOUT);
      }
      events->ReleaseFuncDesc(func);
    }
  });
}

TEST(TypeLibrary, TheAliasesOfEarlierVersions) {
  InApartment([] {
    Ref<ITypeLib> library = LoadFromDll();
    ASSERT_TRUE(library);
    for (const Alias& alias : kAliases) {
      SCOPED_TRACE(alias.minor);
      Ref<ITypeInfo> info = InfoOf(library.get(), alias.iid);
      ASSERT_TRUE(info);
      EXPECT_EQ(NameOf(info.get()), alias.name);
      Attr attr(info.get());
      ASSERT_TRUE(attr);
      EXPECT_EQ(attr->typekind, TKIND_ALIAS);
      EXPECT_TRUE(attr->wTypeFlags & TYPEFLAG_FHIDDEN);
      EXPECT_EQ(attr->wMajorVerNum, 1);
      EXPECT_EQ(attr->wMinorVerNum, alias.minor);
      ASSERT_EQ(attr->tdescAlias.vt, VT_USERDEFINED);
      Ref<ITypeInfo> target;
      ASSERT_EQ(info->GetRefTypeInfo(attr->tdescAlias.hreftype, target.put()), S_OK);
      Attr target_attr(target.get());
      ASSERT_TRUE(target_attr);
      EXPECT_EQ(target_attr->guid, IID__MOLTRAGlobalClass);
    }
  });
}

// ---------------------------------------------------------------------------------------------

TEST(VersionResource, FileAndProductVersionLanguageAndSelfRegistration) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(kServerDll, &ignored);
  ASSERT_GT(size, 0u);
  std::vector<BYTE> block(size);
  ASSERT_TRUE(GetFileVersionInfoW(kServerDll, 0, size, block.data()));

  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  ASSERT_GE(length, sizeof(VS_FIXEDFILEINFO));
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
  EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);  // 1.0
  EXPECT_EQ(fixed->dwFileVersionLS, 0x00000032u);  // .0.50
  EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
  EXPECT_EQ(fixed->dwProductVersionLS, 0x00000032u);

  WORD* translation = nullptr;
  ASSERT_TRUE(VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation",
                             reinterpret_cast<void**>(&translation), &length));
  ASSERT_GE(length, 4u);
  EXPECT_EQ(translation[0], 0x040C);

  // The strings of that translation, as a tool that reads the resource finds them.
  wchar_t path[64];
  swprintf(path, 64, L"\\StringFileInfo\\%04x%04x\\OLESelfRegister", translation[0],
           translation[1]);
  void* value = nullptr;
  EXPECT_TRUE(VerQueryValueW(block.data(), path, &value, &length)) << "no OLESelfRegister";
}

// ---------------------------------------------------------------------------------------------

TEST(ClassPP, LoadsAFileAndKeepsItsProperties) {
  TempDir dir;
  dir.Write(u"beam.pp", "Largeur = 100\n");
  const std::wstring file = HostPath(dir, u"beam.pp");
  InApartment([&] {
    // The date check below means something only where local time is not UTC.
    TIME_ZONE_INFORMATION zone{};
    GetTimeZoneInformation(&zone);
    EXPECT_NE(zone.Bias, 0) << "run with TZ set to a zone away from UTC";
    Ref<_classPP> pp = NewClassPP();
    ASSERT_TRUE(pp);
    // Nothing loaded yet: no date, in any zone.
    DATE date = -1;
    EXPECT_EQ(pp->get_datePP(&date), S_OK);
    EXPECT_EQ(date, 0.0);
    Bstr name(file);
    LONG status = 12345;
    EXPECT_EQ(pp->LoadPP(name.get(), &status), S_OK);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(StringOf(pp, &_classPP::get_fichier), file);
    LONG count = 0;
    EXPECT_EQ(pp->get_nbAcces(&count), S_OK);
    EXPECT_EQ(count, 1);
    Ref<_PPDocument> document;
    EXPECT_EQ(pp->get_PP(document.put()), S_OK);
    EXPECT_TRUE(document);

    // The file's date as an automation date in local time: the UTC date shifted by the zone.
    WIN32_FILE_ATTRIBUTE_DATA data{};
    ASSERT_TRUE(GetFileAttributesExW(file.c_str(), GetFileExInfoStandard, &data));
    SYSTEMTIME utc{};
    FileTimeToSystemTime(&data.ftLastWriteTime, &utc);
    DATE utc_date = 0;
    SystemTimeToVariantTime(&utc, &utc_date);
    EXPECT_EQ(pp->get_datePP(&date), S_OK);
    const double offset_minutes = (date - utc_date) * 24 * 60;
    EXPECT_NEAR(offset_minutes, -zone.Bias, 1.0 / 60) << "zone bias " << zone.Bias;

    EXPECT_EQ(pp->put_nbAcces(7), S_OK);
    EXPECT_EQ(pp->get_nbAcces(&count), S_OK);
    EXPECT_EQ(count, 7);
    EXPECT_EQ(pp->put_datePP(45000.5), S_OK);
    // Dates Windows has no day for are refused, and change nothing.
    for (const DATE wrong : {std::nan(""), HUGE_VAL, -HUGE_VAL, -657435.0, 2958466.0, 1e300}) {
      EXPECT_EQ(pp->put_datePP(wrong), E_INVALIDARG) << wrong;
    }
    EXPECT_EQ(pp->get_datePP(&date), S_OK);
    EXPECT_NEAR(date, 45000.5, 1.0 / 86400);
    EXPECT_EQ(pp->put_datePP(0.0), S_OK);
    EXPECT_EQ(pp->get_datePP(&date), S_OK);
    EXPECT_EQ(date, 0.0);
    Bstr renamed(L"C:\\autre\\fichier.pp");
    EXPECT_EQ(pp->put_fichier(renamed.get()), S_OK);
    EXPECT_EQ(StringOf(pp, &_classPP::get_fichier), renamed.text());
    EXPECT_EQ(pp->putref_PP(nullptr), S_OK);
    EXPECT_EQ(pp->get_PP(document.put()), S_OK);
    EXPECT_FALSE(document);
  });
}

TEST(ClassPP, AMissingFileIsMinusTwo) {
  TempDir dir;
  InApartment([&] {
    Ref<_classPP> pp = NewClassPP();
    ASSERT_TRUE(pp);
    Bstr name(HostPath(dir, u"none.pp"));
    LONG status = 12345;
    EXPECT_EQ(pp->LoadPP(name.get(), &status), S_OK);
    EXPECT_EQ(status, -2);
  });
}

TEST(ClassPP, UpdatePPOfAFileThatHasGoneFailsWithADescription) {
  TempDir dir;
  dir.Write(u"beam.pp", "Largeur = 100\n");
  InApartment([&] {
    Ref<_classPP> pp = NewClassPP();
    ASSERT_TRUE(pp);
    Bstr name(HostPath(dir, u"beam.pp"));
    LONG status = 12345;
    ASSERT_EQ(pp->LoadPP(name.get(), &status), S_OK);
    ASSERT_EQ(status, 0);
    EXPECT_EQ(pp->UpdatePP(&status), S_OK);  // unchanged
    EXPECT_EQ(status, 0);

    dir.Remove(u"beam.pp");
    SetErrorInfo(0, nullptr);
    const HRESULT hr = pp->UpdatePP(&status);
    EXPECT_TRUE(FAILED(hr)) << std::hex << hr;
    GUID source{};
    const std::wstring description = ErrorDescription(&source);
    EXPECT_FALSE(description.empty()) << "no IErrorInfo";
    EXPECT_EQ(source, IID__classPP);

    // Late bound, the same failure is an exception with that description.
    Ref<IDispatch> dispatch = pp.As<IDispatch>(IID_IDispatch);
    EXCEPINFO exception{};
    Variant result;
    EXPECT_EQ(CallByName(dispatch.get(), L"UpdatePP", DISPATCH_METHOD, {}, &result, &exception),
              DISP_E_EXCEPTION);
    EXPECT_EQ(Bstr::Text(exception.bstrDescription), description);
    EXPECT_TRUE(FAILED(exception.scode)) << std::hex << exception.scode;
    SysFreeString(exception.bstrSource);
    SysFreeString(exception.bstrDescription);
    SysFreeString(exception.bstrHelpFile);
  });
}

TEST(ClassPP, ThroughInvokeTheDateIsADate) {
  TempDir dir;
  dir.Write(u"beam.pp", "Largeur = 100\n");
  InApartment([&] {
    Ref<_classPP> pp = NewClassPP();
    ASSERT_TRUE(pp);
    Ref<IDispatch> dispatch = pp.As<IDispatch>(IID_IDispatch);
    Args args;
    Variant status;
    ASSERT_EQ(CallByName(dispatch.get(), L"LoadPP", DISPATCH_METHOD,
                         {args.String(HostPath(dir, u"beam.pp"))}, &status),
              S_OK);
    EXPECT_EQ(V_I4(&status), 0);
    Variant date;
    ASSERT_EQ(CallByName(dispatch.get(), L"datePP", DISPATCH_PROPERTYGET, {}, &date), S_OK);
    EXPECT_EQ(V_VT(&date), VT_DATE);
    EXPECT_GT(V_DATE(&date), 45000.0);  // a date of this century
  });
}

// ---------------------------------------------------------------------------------------------

using CanUnloadNow = HRESULT(STDAPICALLTYPE*)();

CanUnloadNow ServerCanUnloadNow() {
  HMODULE module = LoadLibraryW(kServerDll);
  EXPECT_NE(module, nullptr);
  if (module == nullptr) return nullptr;
  // COM loaded the same module, which stays loaded: this reference is never given back.
  return reinterpret_cast<CanUnloadNow>(
      reinterpret_cast<void*>(GetProcAddress(module, "DllCanUnloadNow")));
}

TEST(Module, CanUnloadOnlyWhileNothingIsHeld) {
  InApartment([] {
    Ref<_MOLTRAGlobalClass> global = NewGlobal();
    ASSERT_TRUE(global);
    const CanUnloadNow can_unload = ServerCanUnloadNow();
    ASSERT_NE(can_unload, nullptr);
    EXPECT_EQ(GetModuleHandleW(L"VELMOSWGlobalLib.dll"), LoadLibraryW(kServerDll))
        << "COM loaded another copy";
    EXPECT_EQ(can_unload(), S_FALSE);
    Ref<_classPP> pp = NewClassPP();
    ASSERT_TRUE(pp);
    global.reset();
    EXPECT_EQ(can_unload(), S_FALSE);  // classPP still held
    pp.reset();
    EXPECT_EQ(can_unload(), S_OK);

    Ref<IClassFactory> factory;
    ASSERT_EQ(CoGetClassObject(CLSID_MOLTRAGlobalClass, CLSCTX_INPROC_SERVER, nullptr,
                               IID_IClassFactory, factory.put_void()),
              S_OK);
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    factory.reset();
    EXPECT_EQ(can_unload(), S_FALSE);  // locked
    ASSERT_EQ(CoGetClassObject(CLSID_MOLTRAGlobalClass, CLSCTX_INPROC_SERVER, nullptr,
                               IID_IClassFactory, factory.put_void()),
              S_OK);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    factory.reset();
    EXPECT_EQ(can_unload(), S_OK);
  });
}

TEST(Module, NothingIsLeftHeldOnceAStartedThreadHasEnded) {
  Installation installation;
  InApartment([&] {
    Ref<_MOLTRAGlobalClass> global = NewGlobal();
    ASSERT_TRUE(global);
    EXPECT_EQ(Init(global), 0);
    Ref<_ConfigDocument> cfg;
    EXPECT_EQ(global->get_VelmoCFG(cfg.put()), S_OK);
    Ref<_PPDocument> pp;
    Bstr beam(installation.Params(u"beam.pp"));
    LONG status = 12345;
    EXPECT_EQ(global->MOLTRAG_GetPP(beam.get(), pp.put(), &status), S_OK);
    EXPECT_EQ(status, 0);
  });
  InApartment([] {
    const CanUnloadNow can_unload = ServerCanUnloadNow();
    ASSERT_NE(can_unload, nullptr);
    EXPECT_EQ(can_unload(), S_OK);
  });
}

// A document handed out belongs to its own library: it keeps MOLConfigLib.dll loaded after
// VELMOSWGlobalLib has let go of everything, and only its release lets COM unload that DLL.
TEST(Module, ADocumentKeepsItsLibraryLoadedUntilReleased) {
  Installation installation;
  InApartment([&] {
    Ref<_MOLTRAGlobalClass> global = NewGlobal();
    ASSERT_TRUE(global);
    EXPECT_EQ(Init(global), 0);
    Ref<_ConfigDocument> cfg;
    ASSERT_EQ(global->get_VelmoCFG(cfg.put()), S_OK);
    ASSERT_TRUE(cfg);
    global.reset();  // the context goes with the thread's last object
    EXPECT_EQ(ServerCanUnloadNow()(), S_OK);
    CoFreeUnusedLibrariesEx(0, 0);
    ASSERT_NE(GetModuleHandleW(L"MOLConfigLib.dll"), nullptr);
    EXPECT_EQ(ValueOf(cfg, L"General", L"Nom"), L"utilisateur");
    cfg.reset();
    CoFreeUnusedLibrariesEx(0, 0);
    EXPECT_EQ(GetModuleHandleW(L"MOLConfigLib.dll"), nullptr);
  });
}

// ---------------------------------------------------------------------------------------------

// Two apartment threads of one host: each has its own context. The first also hands its object
// to the second through the standard marshaller, and calls on it run in the first's apartment.
TEST(Apartments, EachThreadHasItsOwnContext) {
  Installation installation;
  HANDLE first_ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE second_done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  IStream* marshalled = nullptr;
  std::wstring first_version_at_end;

  std::thread first([&] {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    {
      Ref<_MOLTRAGlobalClass> global = NewGlobal();
      if (global) {
        EXPECT_EQ(Init(global, L"2010"), 0);
        EXPECT_EQ(CoMarshalInterThreadInterfaceInStream(IID__MOLTRAGlobalClass, global.get(),
                                                        &marshalled),
                  S_OK);
      }
      SetEvent(first_ready);
      // Serve calls from the other apartment until it is done.
      for (;;) {
        const DWORD woke = MsgWaitForMultipleObjects(1, &second_done, FALSE, 20000, QS_ALLINPUT);
        if (woke != WAIT_OBJECT_0 + 1) break;
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
      }
      if (global) first_version_at_end = StringOf(global, &Global::get_Version);
    }
    CoUninitialize();
  });

  InApartment([&] {
    ASSERT_EQ(WaitForSingleObject(first_ready, 20000), WAIT_OBJECT_0);
    Ref<_MOLTRAGlobalClass> own = NewGlobal();
    ASSERT_TRUE(own);
    // Started up over there, not here.
    EXPECT_EQ(StringOf(own, &Global::get_Version), L"");
    EXPECT_EQ(StringOf(own, &Global::get_AppPath), L"");
    EXPECT_EQ(StringOf(own, &Global::MOLTRAG_GetServicePack), L"");
    EXPECT_EQ(Init(own), 0);
    EXPECT_EQ(StringOf(own, &Global::get_Version), L"2008");
    EXPECT_EQ(StringOf(own, &Global::get_AppPath), installation.AppDir());

    if (marshalled != nullptr) {
      Ref<_MOLTRAGlobalClass> proxy;
      EXPECT_EQ(
          CoGetInterfaceAndReleaseStream(marshalled, IID__MOLTRAGlobalClass, proxy.put_void()),
          S_OK);
      marshalled = nullptr;
      if (proxy) {
        EXPECT_NE(Identity(proxy), Identity(own));
        EXPECT_EQ(StringOf(proxy, &Global::get_Version), L"2010");
        EXPECT_EQ(StringOf(proxy, &Global::MOLTRAG_GetServicePack), L"1");
      }
    }
    SetEvent(second_done);
  });
  SetEvent(second_done);
  first.join();
  EXPECT_EQ(first_version_at_end, L"2010");
  CloseHandle(first_ready);
  CloseHandle(second_done);
}

}  // namespace
}  // namespace velmo::testing
