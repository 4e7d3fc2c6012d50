// MOLConfigLib.dll and MolGPP.dll as a module of the add-in uses them once registered: created
// by ProgID, called through their typed interfaces and by name, with what bad input gets.
#include <windows.h>

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "com_caller.h"
#include "mol_config_lib.h"
#include "mol_gpp.h"
#include "temp_dir.h"
#include "velmo.h"

namespace velmo::testing {
namespace {

std::optional<std::wstring> Text(const VARIANT& value) {
  if (V_VT(&value) == VT_EMPTY) return std::nullopt;
  EXPECT_EQ(V_VT(&value), VT_BSTR);
  return V_VT(&value) == VT_BSTR ? Bstr::Text(V_BSTR(&value)) : L"?";
}

// A list of names as it crossed: an array of Variants holding Strings, lower bound 0.
std::vector<std::wstring> Names(const VARIANT& names) {
  std::vector<std::wstring> out;
  EXPECT_EQ(V_VT(&names), VT_ARRAY | VT_VARIANT);
  if (V_VT(&names) != (VT_ARRAY | VT_VARIANT)) return out;
  LONG low = -1;
  LONG high = -1;
  SafeArrayGetLBound(V_ARRAY(&names), 1, &low);
  SafeArrayGetUBound(V_ARRAY(&names), 1, &high);
  EXPECT_EQ(low, 0);
  for (LONG i = low; i <= high; ++i) {
    Variant item;
    SafeArrayGetElement(V_ARRAY(&names), &i, &item);
    out.push_back(Text(item).value_or(L"(empty)"));
  }
  return out;
}

std::optional<std::wstring> ValueOf(_ConfigDocument* doc, const wchar_t* section,
                                    const wchar_t* name) {
  Bstr s(section);
  Bstr n(name);
  Variant value;
  EXPECT_EQ(doc->Value(s.get(), n.get(), &value), S_OK);
  return Text(value);
}

std::vector<std::wstring> SectionsOf(_ConfigDocument* doc) {
  Variant names;
  EXPECT_EQ(doc->Sections(&names), S_OK);
  return Names(names);
}

Ref<_ConfigDocument> LoadedConfig(const TempDir& dir, std::u16string_view file,
                                  std::string_view content) {
  dir.Write(file, content);
  Ref<_ConfigDocument> doc = CreateByProgId<_ConfigDocument>(kConfigProgId, IID__ConfigDocument);
  EXPECT_TRUE(doc) << "MOLConfigLib.ConfigDocument is not registered";
  if (!doc) return doc;
  Bstr path(dir.Host(file).wstring());
  VARIANT_BOOL loaded = VARIANT_FALSE;
  EXPECT_EQ(doc->Load(path.get(), &loaded), S_OK);
  EXPECT_EQ(loaded, VARIANT_TRUE);
  return doc;
}

// A configuration document of another maker's: only its interface is known.
class ClientConfig final : public _ConfigDocument {
 public:
  explicit ClientConfig(std::map<std::wstring, std::map<std::wstring, std::wstring>> sections)
      : sections_(std::move(sections)) {}
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    *out =
        iid == IID_IUnknown || iid == IID_IDispatch || iid == IID__ConfigDocument ? this : nullptr;
    if (*out == nullptr) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++references_; }
  STDMETHODIMP_(ULONG) Release() override { return --references_; }  // lives on the stack
  STDMETHODIMP GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                      UINT*) override {
    return E_NOTIMPL;
  }
  STDMETHODIMP Load(BSTR, VARIANT_BOOL*) override { return E_NOTIMPL; }
  STDMETHODIMP Merge(_ConfigDocument**) override { return E_NOTIMPL; }
  STDMETHODIMP Value(BSTR section, BSTR name, VARIANT* value) override {
    VariantInit(value);
    auto s = sections_.find(Bstr::Text(section));
    if (s == sections_.end() || !s->second.contains(Bstr::Text(name))) return S_OK;
    V_VT(value) = VT_BSTR;
    V_BSTR(value) = Bstr(s->second[Bstr::Text(name)]).release();
    return S_OK;
  }
  STDMETHODIMP Sections(VARIANT* names) override {
    std::vector<std::wstring> list;
    for (const auto& [section, values] : sections_) list.push_back(section);
    return Array(list, names);
  }
  STDMETHODIMP Names(BSTR section, VARIANT* names) override {
    std::vector<std::wstring> list;
    for (const auto& [name, value] : sections_[Bstr::Text(section)]) list.push_back(name);
    return Array(list, names);
  }
  ULONG references_ = 1;

 private:
  // Strings this time, which a reader must take as well as Variants.
  static HRESULT Array(const std::vector<std::wstring>& list, VARIANT* out) {
    SAFEARRAY* array = SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(list.size()));
    for (LONG i = 0; i < static_cast<LONG>(list.size()); ++i) {
      Bstr text(list[i]);
      SafeArrayPutElement(array, &i, text.get());
    }
    V_VT(out) = VT_ARRAY | VT_BSTR;
    V_ARRAY(out) = array;
    return S_OK;
  }
  std::map<std::wstring, std::map<std::wstring, std::wstring>> sections_;
};

TEST(ConfigDocument, ReadsValuesByNameAndListsNames) {
  TempDir dir;
  InApartment([&] {
    Ref<_ConfigDocument> doc =
        LoadedConfig(dir, u"velmo.cfg", "top=1\n[Units]\nLength = mm\nAngle=deg\n[Empty]\n");
    ASSERT_TRUE(doc);
    EXPECT_EQ(ValueOf(doc.get(), L"units", L"LENGTH"), L"mm");
    EXPECT_EQ(ValueOf(doc.get(), L"", L"top"), L"1");
    EXPECT_EQ(ValueOf(doc.get(), L"Units", L"Depth"), std::nullopt);
    EXPECT_EQ(ValueOf(doc.get(), L"Nowhere", L"Length"), std::nullopt);
    EXPECT_EQ(SectionsOf(doc.get()), (std::vector<std::wstring>{L"", L"Units", L"Empty"}));
    Bstr units(L"UNITS");
    Variant names;
    EXPECT_EQ(doc->Names(units.get(), &names), S_OK);
    EXPECT_EQ(Names(names), (std::vector<std::wstring>{L"Length", L"Angle"}));
    Bstr nowhere(L"Nowhere");
    Variant none;
    EXPECT_EQ(doc->Names(nowhere.get(), &none), S_OK);
    EXPECT_TRUE(Names(none).empty());
  });
}

TEST(ConfigDocument, WhatCannotBeReadLoadsAsFalse) {
  TempDir dir;
  dir.Write(u"binary.cfg", std::string("\x7F"
                                       "ELF\0\x01\x02\xFF",
                                       8));
  dir.Write(u"latin1.cfg", "[S]\nNom=\xE9t\xE9\n");
  InApartment([&] {
    Ref<_ConfigDocument> doc = CreateByProgId<_ConfigDocument>(kConfigProgId, IID__ConfigDocument);
    ASSERT_TRUE(doc);
    Ref<_PPDocument> pp = CreateByProgId<_PPDocument>(kPPProgId, IID__PPDocument);
    ASSERT_TRUE(pp);
    for (const char16_t* name : {u"missing.cfg", u"binary.cfg", u"latin1.cfg", u""}) {
      Bstr path(name[0] == 0 ? L"" : dir.Host(name).wstring());
      VARIANT_BOOL loaded = VARIANT_TRUE;
      EXPECT_EQ(doc->Load(path.get(), &loaded), S_OK);
      EXPECT_EQ(loaded, VARIANT_FALSE) << Wide(name);
      loaded = VARIANT_TRUE;
      BSTR by_reference = path.get();
      EXPECT_EQ(pp->Load(&by_reference, &loaded), S_OK);
      EXPECT_EQ(loaded, VARIANT_FALSE) << Wide(name);
    }
    VARIANT_BOOL loaded = VARIANT_TRUE;
    EXPECT_EQ(doc->Load(nullptr, &loaded), S_OK);
    EXPECT_EQ(loaded, VARIANT_FALSE);
    EXPECT_EQ(doc->Load(nullptr, nullptr), E_POINTER);
  });
}

TEST(ConfigDocument, MergeTakesWhatIsMissingFromAnyConfigurationDocument) {
  TempDir dir;
  InApartment([&] {
    Ref<_ConfigDocument> user = LoadedConfig(dir, u"user.cfg", "[General]\nNom = utilisateur\n");
    Ref<_ConfigDocument> app = LoadedConfig(
        dir, u"app.cfg", "[general]\nnom = application\nUnites = mm\n[Chemins]\nX=1\n");
    ASSERT_TRUE(user && app);
    _ConfigDocument* slot = app.get();
    EXPECT_EQ(user->Merge(&slot), S_OK);
    EXPECT_EQ(slot, app.get());  // by reference, and left as it was
    EXPECT_EQ(ValueOf(user.get(), L"General", L"Nom"), L"utilisateur");
    EXPECT_EQ(ValueOf(user.get(), L"General", L"Unites"), L"mm");
    EXPECT_EQ(ValueOf(user.get(), L"Chemins", L"X"), L"1");
    EXPECT_EQ(ValueOf(app.get(), L"General", L"Nom"), L"application");

    // Another maker's document is read through its interface.
    ClientConfig foreign({{L"General", {{L"Nom", L"autre"}, {L"Langue", L"2"}}}});
    _ConfigDocument* foreign_slot = &foreign;
    EXPECT_EQ(user->Merge(&foreign_slot), S_OK);
    EXPECT_EQ(ValueOf(user.get(), L"General", L"Langue"), L"2");
    EXPECT_EQ(ValueOf(user.get(), L"General", L"Nom"), L"utilisateur");
    EXPECT_EQ(foreign.references_, 1u);
  });
}

TEST(ConfigDocument, MergeRefusesWhatIsNoConfigurationDocumentAndChangesNothing) {
  TempDir dir;
  InApartment([&] {
    Ref<_ConfigDocument> doc = LoadedConfig(dir, u"a.cfg", "[A]\nB=C\n");
    ASSERT_TRUE(doc);
    EXPECT_EQ(doc->Merge(nullptr), E_INVALIDARG);
    _ConfigDocument* none = nullptr;
    EXPECT_EQ(doc->Merge(&none), E_INVALIDARG);
    // Anything else COM hands over, as an automation caller may: here a type library.
    Ref<ITypeLib> stranger;
    ASSERT_EQ(LoadTypeLib(kConfigDll, stranger.put()), S_OK);
    auto* stranger_slot = reinterpret_cast<_ConfigDocument*>(stranger.get());
    EXPECT_EQ(doc->Merge(&stranger_slot), E_NOINTERFACE);
    EXPECT_NE(ErrorDescription(), L"");
    EXPECT_EQ(SectionsOf(doc.get()), std::vector<std::wstring>{L"A"});
    EXPECT_EQ(ValueOf(doc.get(), L"A", L"B"), L"C");
  });
}

TEST(PPDocument, LoadsThePathByReferenceLeavingItAndReloads) {
  TempDir dir;
  dir.Write(u"beam.pp", "Largeur = 100\nHauteur=200\n");
  InApartment([&] {
    Ref<_PPDocument> pp = CreateByProgId<_PPDocument>(kPPProgId, IID__PPDocument);
    ASSERT_TRUE(pp);
    Bstr path(dir.Host(u"beam.pp").wstring());
    BSTR passed = path.get();
    VARIANT_BOOL loaded = VARIANT_FALSE;
    EXPECT_EQ(pp->Load(&passed, &loaded), S_OK);
    EXPECT_EQ(loaded, VARIANT_TRUE);
    EXPECT_EQ(passed, path.get());
    EXPECT_EQ(Bstr::Text(passed), dir.Host(u"beam.pp").wstring());
    Bstr name(L"LARGEUR");
    Variant value;
    EXPECT_EQ(pp->Value(name.get(), &value), S_OK);
    EXPECT_EQ(Text(value), L"100");
    Variant names;
    EXPECT_EQ(pp->Names(&names), S_OK);
    EXPECT_EQ(Names(names), (std::vector<std::wstring>{L"Largeur", L"Hauteur"}));

    dir.Write(u"beam.pp", "Largeur = 120\n");
    EXPECT_EQ(pp->Load(&passed, &loaded), S_OK);
    Variant reloaded;
    EXPECT_EQ(pp->Value(name.get(), &reloaded), S_OK);
    EXPECT_EQ(Text(reloaded), L"120");
  });
}

TEST(Companions, ScriptCallersReachTheMembersByNameWithTheirVariables) {
  TempDir dir;
  dir.Write(u"beam.pp", "Largeur = 100\n");
  InApartment([&] {
    Ref<_PPDocument> pp = CreateByProgId<_PPDocument>(kPPProgId, IID__PPDocument);
    ASSERT_TRUE(pp);
    Ref<IDispatch> dispatch = pp.As<IDispatch>(IID_IDispatch);
    LPOLESTR load_name[] = {const_cast<LPOLESTR>(L"load")};
    DISPID load = DISPID_UNKNOWN;
    ASSERT_EQ(dispatch->GetIDsOfNames(IID_NULL, load_name, 1, LOCALE_USER_DEFAULT, &load), S_OK);
    // A script passes its variable by reference as a Variant.
    Variant variable;
    V_VT(&variable) = VT_BSTR;
    V_BSTR(&variable) = Bstr(dir.Host(u"beam.pp").wstring()).release();
    const BSTR before = V_BSTR(&variable);
    VARIANT argument;
    V_VT(&argument) = VT_VARIANT | VT_BYREF;
    V_VARIANTREF(&argument) = &variable;
    DISPPARAMS params{&argument, nullptr, 1, 0};
    Variant result;
    ASSERT_EQ(dispatch->Invoke(load, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params,
                               &result, nullptr, nullptr),
              S_OK);
    EXPECT_EQ(V_VT(&result), VT_BOOL);
    EXPECT_EQ(V_BOOL(&result), VARIANT_TRUE);
    EXPECT_EQ(V_VT(&variable), VT_BSTR);
    EXPECT_EQ(V_BSTR(&variable), before);
  });
}

TEST(Companions, TypeLibrariesClassesAndModuleLifetime) {
  struct Server {
    const wchar_t* dll;
    const wchar_t* prog_id;
    GUID library;
    WORD major;
    WORD minor;
    GUID clsid;
    GUID iid;
    const wchar_t* members;  // as the IDL spells them
  };
  const Server servers[] = {
      {kConfigDll, kConfigProgId, LIBID_MOLConfigLib, 3, 6, CLSID_ConfigDocument,
       IID__ConfigDocument, L"Load Merge Value Sections Names"},
      {kPPDll, kPPProgId, LIBID_MolGPP, 1, 9, CLSID_PPDocument, IID__PPDocument,
       L"Load Value Names"},
  };
  for (const Server& server : servers) {
    InApartment([&] {
      Ref<ITypeLib> library;
      ASSERT_EQ(LoadTypeLib(server.dll, library.put()), S_OK);
      TLIBATTR* attr = nullptr;
      ASSERT_EQ(library->GetLibAttr(&attr), S_OK);
      EXPECT_EQ(attr->guid, server.library);
      EXPECT_EQ(attr->wMajorVerNum, server.major);
      EXPECT_EQ(attr->wMinorVerNum, server.minor);
      library->ReleaseTLibAttr(attr);
      Ref<ITypeInfo> coclass;
      ASSERT_EQ(library->GetTypeInfoOfGuid(server.clsid, coclass.put()), S_OK);
      HREFTYPE ref = 0;
      ASSERT_EQ(coclass->GetRefTypeOfImplType(0, &ref), S_OK);
      Ref<ITypeInfo> default_interface;
      ASSERT_EQ(coclass->GetRefTypeInfo(ref, default_interface.put()), S_OK);
      TYPEATTR* type = nullptr;
      ASSERT_EQ(default_interface->GetTypeAttr(&type), S_OK);
      EXPECT_EQ(type->guid, server.iid);
      EXPECT_TRUE(type->wTypeFlags & TYPEFLAG_FDUAL);
      default_interface->ReleaseTypeAttr(type);
      // An object browser shows the one spelling the library keeps of each name.
      std::wistringstream members(server.members);
      for (std::wstring name; members >> name;) {
        LPOLESTR names[] = {name.data()};
        MEMBERID id = 0;
        ASSERT_EQ(default_interface->GetIDsOfNames(names, 1, &id), S_OK);
        Bstr kept;
        EXPECT_EQ(default_interface->GetDocumentation(id, kept.put(), nullptr, nullptr, nullptr),
                  S_OK);
        EXPECT_EQ(kept.text(), name);
      }

      using CanUnloadNow = HRESULT(WINAPI*)();
      using GetClassObject = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
      HMODULE module = LoadLibraryW(server.dll);  // kept loaded for the rest of the run
      ASSERT_NE(module, nullptr);
      auto can_unload = reinterpret_cast<CanUnloadNow>(
          reinterpret_cast<void*>(GetProcAddress(module, "DllCanUnloadNow")));
      auto get_class = reinterpret_cast<GetClassObject>(
          reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
      ASSERT_TRUE(can_unload && get_class);
      Ref<IUnknown> object = CreateByProgId<IUnknown>(server.prog_id, IID_IUnknown);
      ASSERT_TRUE(object);
      EXPECT_EQ(can_unload(), S_FALSE);
      object.reset();
      EXPECT_EQ(can_unload(), S_OK);
      Ref<IClassFactory> factory;
      EXPECT_EQ(get_class(CLSID_classPP, IID_IClassFactory, factory.put_void()),
                CLASS_E_CLASSNOTAVAILABLE);
    });
  }
}

}  // namespace
}  // namespace velmo::testing
