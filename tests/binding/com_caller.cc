#include "com_caller.h"

#include <gtest/gtest.h>

#include <thread>

namespace velmo::testing {
namespace {

HKEY RootOf(Hive hive) { return hive == Hive::kUser ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE; }
REGSAM ViewOf(Hive hive) { return hive == Hive::kUser ? 0 : KEY_WOW64_32KEY; }

void DeleteTree(HKEY root, REGSAM view) {
  HKEY software = nullptr;
  if (RegOpenKeyExW(root, L"SOFTWARE", 0, KEY_ALL_ACCESS | view, &software) != ERROR_SUCCESS) {
    return;
  }
  RegDeleteTreeW(software, L"MOLTRA");
  RegCloseKey(software);
}

}  // namespace

void InApartment(const std::function<void()>& body) {
  std::thread thread([&body] {
    const HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (FAILED(hr)) {
      ADD_FAILURE() << "CoInitializeEx: 0x" << std::hex << hr;
      return;
    }
    body();
    CoUninitialize();
  });
  thread.join();
}

Installation::Installation() {
  ClearLibraryKeys();
  app_.Write(u"Dat/Geometrie.dat", "[Poutre]\nHauteur = 200\n");
  app_.Write(u"dat/velmo.cfg", "[General]\nNom = application\nUnites = mm\n");
  app_.Write(u"params/beam.pp", "Largeur = 100\nHauteur = 200\n");
  app_.Write(u"params/column.pp", "Hauteur = 3000\n");
  user_.Write(u"dat/velmo.cfg", "[General]\nNom = utilisateur\n");
  other_user_.MakeDirectory(u"dat");
  EXPECT_TRUE(WriteRegistryString(Hive::kMachine, kReleaseKey, L"PATH", Bare(app_)));
  EXPECT_TRUE(WriteRegistryString(Hive::kUser, kReleaseKey, L"USER", Bare(user_)));
}

void ClearLibraryKeys() {
  DeleteTree(HKEY_CURRENT_USER, 0);
  DeleteTree(HKEY_LOCAL_MACHINE, KEY_WOW64_32KEY);
  DeleteTree(HKEY_LOCAL_MACHINE, KEY_WOW64_64KEY);
}

bool WriteRegistryString(Hive hive, const wchar_t* key, const wchar_t* name,
                         std::wstring_view value) {
  HKEY opened = nullptr;
  if (RegCreateKeyExW(RootOf(hive), key, 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_SET_VALUE | ViewOf(hive), nullptr, &opened, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  const std::wstring data(value);
  const LSTATUS status =
      RegSetValueExW(opened, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                     static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(opened);
  return status == ERROR_SUCCESS;
}

std::optional<std::wstring> ReadRegistryString(Hive hive, const wchar_t* key, const wchar_t* name) {
  HKEY opened = nullptr;
  if (RegOpenKeyExW(RootOf(hive), key, 0, KEY_QUERY_VALUE | ViewOf(hive), &opened) !=
      ERROR_SUCCESS) {
    return std::nullopt;
  }
  DWORD type = 0;
  DWORD size = 0;
  std::optional<std::wstring> text;
  if (RegQueryValueExW(opened, name, nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
      type == REG_SZ) {
    std::wstring data(size / sizeof(wchar_t) + 1, L'\0');
    if (RegQueryValueExW(opened, name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()),
                         &size) == ERROR_SUCCESS) {
      data.resize(size / sizeof(wchar_t));
      while (!data.empty() && data.back() == L'\0') data.pop_back();
      text = data;
    }
  }
  RegCloseKey(opened);
  return text;
}

std::wstring ErrorDescription(GUID* source_interface) {
  Ref<IErrorInfo> info;
  if (GetErrorInfo(0, info.put()) != S_OK || !info) return {};
  Bstr description;
  info->GetDescription(description.put());
  if (source_interface != nullptr) info->GetGUID(source_interface);
  return description.text();
}

Ref<_MOLTRAGlobalClass> NewGlobal() {
  HRESULT hr = E_FAIL;
  Ref<_MOLTRAGlobalClass> global =
      CreateByProgId<_MOLTRAGlobalClass>(kGlobalProgId, IID__MOLTRAGlobalClass, &hr);
  EXPECT_EQ(hr, S_OK) << "creating VELMOSWGlobalLib.MOLTRAGlobalClass";
  return global;
}

Ref<_classPP> NewClassPP() {
  HRESULT hr = E_FAIL;
  Ref<_classPP> pp = CreateByProgId<_classPP>(kClassPPProgId, IID__classPP, &hr);
  EXPECT_EQ(hr, S_OK) << "creating VELMOSWGlobalLib.classPP";
  return pp;
}

LONG Init(const Ref<_MOLTRAGlobalClass>& global, std::wstring_view version) {
  Bstr text(version);
  LONG result = 12345;
  EXPECT_EQ(global->MOLTRAG_Init(text.get(), &result), S_OK);
  return result;
}

LONG SwitchUser(const Ref<_MOLTRAGlobalClass>& global, std::wstring_view path) {
  Bstr text(path);
  LONG result = 12345;
  EXPECT_EQ(global->MOLTRAG_EcrireUser(text.get(), &result), S_OK);
  return result;
}

std::optional<std::wstring> ValueOf(const Ref<_ConfigDocument>& document, const wchar_t* section,
                                    const wchar_t* name) {
  Bstr section_text(section);
  Bstr name_text(name);
  Variant value;
  EXPECT_EQ(document->Value(section_text.get(), name_text.get(), &value), S_OK);
  if (V_VT(&value) == VT_EMPTY) return std::nullopt;
  EXPECT_EQ(V_VT(&value), VT_BSTR);
  return V_VT(&value) == VT_BSTR ? Bstr::Text(V_BSTR(&value)) : L"?";
}

DISPID IdOf(IDispatch* object, const wchar_t* name, HRESULT* hr) {
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  DISPID id = DISPID_UNKNOWN;
  const HRESULT status = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  if (hr != nullptr) *hr = status;
  return id;
}

HRESULT Call(IDispatch* object, DISPID id, WORD flags, std::vector<VARIANT*> args, VARIANT* result,
             EXCEPINFO* exception) {
  std::vector<VARIANT> reversed;
  for (auto it = args.rbegin(); it != args.rend(); ++it) reversed.push_back(**it);
  DISPID put = DISPID_PROPERTYPUT;
  DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
  if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) {
    params.rgdispidNamedArgs = &put;
    params.cNamedArgs = 1;
  }
  EXCEPINFO ignored{};
  UINT bad_argument = 0;
  const HRESULT hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result,
                                    exception != nullptr ? exception : &ignored, &bad_argument);
  if (exception == nullptr) {
    SysFreeString(ignored.bstrSource);
    SysFreeString(ignored.bstrDescription);
    SysFreeString(ignored.bstrHelpFile);
  }
  return hr;
}

HRESULT CallByName(IDispatch* object, const wchar_t* name, WORD flags, std::vector<VARIANT*> args,
                   VARIANT* result, EXCEPINFO* exception) {
  HRESULT hr = S_OK;
  const DISPID id = IdOf(object, name, &hr);
  if (FAILED(hr)) return hr;
  return Call(object, id, flags, std::move(args), result, exception);
}

std::ostream& operator<<(std::ostream& out, const Heard& h) {
  return out << h.sink << ":" << h.id << "(" << std::string(h.first.begin(), h.first.end()) << ", "
             << std::string(h.second.begin(), h.second.end()) << ", cancel=" << h.cancel_on_entry
             << (h.well_formed ? "" : ", malformed") << ")";
}

Heard Changing(char sink, std::wstring new_user, bool cancel_on_entry) {
  return {
      sink, kUserChanging, std::move(new_user), L"", cancel_on_entry ? VARIANT_TRUE : VARIANT_FALSE,
      true};
}
Heard Changed(char sink, std::wstring old_user, std::wstring new_user) {
  return {sink, kUserChanged, std::move(old_user), std::move(new_user), VARIANT_FALSE, true};
}

Ref<IConnectionPoint> EventsOf(const Ref<_MOLTRAGlobalClass>& global) {
  Ref<IConnectionPointContainer> container =
      global.As<IConnectionPointContainer>(IID_IConnectionPointContainer);
  Ref<IConnectionPoint> point;
  if (!container) {
    ADD_FAILURE() << "no IConnectionPointContainer";
    return point;
  }
  EXPECT_EQ(container->FindConnectionPoint(DIID___MOLTRAGlobalClass, point.put()), S_OK);
  return point;
}

DWORD Connect(const Ref<IConnectionPoint>& point, IUnknown* sink) {
  DWORD cookie = 0;
  EXPECT_EQ(point->Advise(sink, &cookie), S_OK);
  EXPECT_NE(cookie, 0u);
  return cookie;
}

Ref<ITypeInfo> InfoOf(ITypeLib* library, REFGUID guid) {
  Ref<ITypeInfo> info;
  EXPECT_EQ(library->GetTypeInfoOfGuid(guid, info.put()), S_OK);
  return info;
}

std::wstring NameOf(ITypeInfo* info, MEMBERID member) {
  Bstr name;
  info->GetDocumentation(member, name.put(), nullptr, nullptr, nullptr);
  return name.text();
}

Ref<ITypeLib> LoadFromDll() {
  Ref<ITypeLib> library;
  EXPECT_EQ(LoadTypeLib(kServerDll, library.put()), S_OK);
  return library;
}

Ref<ITypeInfo> VtableHalf(ITypeInfo* dispatch) {
  Ref<ITypeInfo> half;
  HREFTYPE ref = 0;
  if (dispatch->GetRefTypeOfImplType(-1, &ref) != S_OK) {
    ADD_FAILURE() << "no vtable half";
    return half;
  }
  EXPECT_EQ(dispatch->GetRefTypeInfo(ref, half.put()), S_OK);
  return half;
}

USHORT ParamFlags(ITypeInfo* info, MEMBERID member, INVOKEKIND kind, UINT param) {
  Attr attr(info);
  for (UINT i = 0; attr && i < attr->cFuncs; ++i) {
    FUNCDESC* func = nullptr;
    if (info->GetFuncDesc(i, &func) != S_OK) continue;
    USHORT flags = 0xFFFF;
    if (func->memid == member && func->invkind == kind && param < UINT(func->cParams)) {
      flags = func->lprgelemdescParam[param].paramdesc.wParamFlags;
    }
    info->ReleaseFuncDesc(func);
    if (flags != 0xFFFF) return flags;
  }
  ADD_FAILURE() << "no parameter " << param << " of member " << std::hex << member;
  return 0;
}

// ---------------------------------------------------------------------------------------------

}  // namespace velmo::testing
