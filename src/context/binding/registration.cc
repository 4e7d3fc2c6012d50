// DllRegisterServer and DllUnregisterServer: the two classes as in-process, apartment-threaded
// servers with their ProgIDs, and the type library, whose interfaces the standard automation
// marshaller then carries between threads.
#include <windows.h>

#include <oleauto.h>

#include <string>

#include "server.h"
#include "velmo.h"

namespace velmo::binding {
namespace {

struct Class {
  const CLSID& clsid;
  const wchar_t* name;
  const wchar_t* prog_id;
  const wchar_t* version;
};

const Class kClasses[] = {
    {CLSID_MOLTRAGlobalClass, L"MOLTRAGlobalClass", L"VELMOSWGlobalLib.MOLTRAGlobalClass", L"1.8"},
    {CLSID_classPP, L"classPP", L"VELMOSWGlobalLib.classPP", L"1.0"},
};

std::wstring Text(REFGUID guid) {
  wchar_t buffer[40] = {};
  StringFromGUID2(guid, buffer, 40);
  return buffer;
}

LSTATUS SetDefault(const std::wstring& key, const std::wstring& value,
                   const wchar_t* name = nullptr) {
  HKEY handle = nullptr;
  LSTATUS status = RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_WRITE,
                                   nullptr, &handle, nullptr);
  if (status != ERROR_SUCCESS) return status;
  status = RegSetValueExW(handle, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(handle);
  return status;
}

HRESULT FromStatus(LSTATUS status) {
  return status == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(status);
}

void RemoveClasses() {
  for (const Class& c : kClasses) {
    RegDeleteTreeW(HKEY_CLASSES_ROOT, (L"CLSID\\" + Text(c.clsid)).c_str());
    RegDeleteKeyW(HKEY_CLASSES_ROOT, (L"CLSID\\" + Text(c.clsid)).c_str());
    RegDeleteTreeW(HKEY_CLASSES_ROOT, c.prog_id);
    RegDeleteKeyW(HKEY_CLASSES_ROOT, c.prog_id);
  }
}

}  // namespace

HRESULT RegisterServer() {
  const std::wstring path = ModulePath();
  if (path.empty()) return HRESULT_FROM_WIN32(GetLastError());
  const std::wstring library = Text(LIBID_VELMOSWGlobalLib);
  for (const Class& c : kClasses) {
    const std::wstring key = L"CLSID\\" + Text(c.clsid);
    LSTATUS status = SetDefault(key, c.name);
    if (status == ERROR_SUCCESS) status = SetDefault(key + L"\\InprocServer32", path);
    if (status == ERROR_SUCCESS) {
      status = SetDefault(key + L"\\InprocServer32", L"Apartment", L"ThreadingModel");
    }
    if (status == ERROR_SUCCESS) status = SetDefault(key + L"\\ProgID", c.prog_id);
    if (status == ERROR_SUCCESS) status = SetDefault(key + L"\\TypeLib", library);
    if (status == ERROR_SUCCESS) status = SetDefault(key + L"\\Version", c.version);
    if (status == ERROR_SUCCESS) status = SetDefault(c.prog_id, c.name);
    if (status == ERROR_SUCCESS)
      status = SetDefault(std::wstring(c.prog_id) + L"\\CLSID", Text(c.clsid));
    if (status != ERROR_SUCCESS) {
      RemoveClasses();
      return FromStatus(status);
    }
  }
  ITypeLib* types = nullptr;
  HRESULT hr = LoadTypeLibEx(path.c_str(), REGKIND_NONE, &types);
  if (SUCCEEDED(hr)) {
    std::wstring writable = path;  // RegisterTypeLib takes a non-const string
    hr = RegisterTypeLib(types, writable.data(), nullptr);
    types->Release();
  }
  if (FAILED(hr)) RemoveClasses();
  return hr;
}

HRESULT UnregisterServer() {
  RemoveClasses();
  const HRESULT hr = UnRegisterTypeLib(LIBID_VELMOSWGlobalLib, 1, 9, LOCALE_NEUTRAL,
                                       sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32);
  // Already gone counts as done.
  return hr == TYPE_E_REGISTRYACCESS || hr == TYPE_E_CANTLOADLIBRARY ? S_OK : hr;
}

}  // namespace velmo::binding

extern "C" {

HRESULT WINAPI DllRegisterServer() { return velmo::binding::RegisterServer(); }
HRESULT WINAPI DllUnregisterServer() { return velmo::binding::UnregisterServer(); }

}  // extern "C"
