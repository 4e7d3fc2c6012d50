// Registering a module's classes and type library, and taking them away again.
#include <windows.h>

#include <oleauto.h>

#include <string>

#include "server.h"

namespace velmo::binding {
namespace {

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

void RemoveClasses(const ServerDescription& server) {
  for (const ServedClass& c : server.classes) {
    RegDeleteTreeW(HKEY_CLASSES_ROOT, (L"CLSID\\" + Text(c.clsid)).c_str());
    RegDeleteKeyW(HKEY_CLASSES_ROOT, (L"CLSID\\" + Text(c.clsid)).c_str());
    RegDeleteTreeW(HKEY_CLASSES_ROOT, c.prog_id);
    RegDeleteKeyW(HKEY_CLASSES_ROOT, c.prog_id);
  }
}

LSTATUS RegisterClass(const ServedClass& c, const std::wstring& path, const std::wstring& library) {
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
  if (status == ERROR_SUCCESS) {
    status = SetDefault(std::wstring(c.prog_id) + L"\\CLSID", Text(c.clsid));
  }
  return status;
}

}  // namespace

HRESULT RegisterServer(const ServerDescription& server) {
  const std::wstring path = ModulePath();
  if (path.empty()) return HRESULT_FROM_WIN32(GetLastError());
  const std::wstring library = Text(server.library);
  for (const ServedClass& c : server.classes) {
    const LSTATUS status = RegisterClass(c, path, library);
    if (status != ERROR_SUCCESS) {
      RemoveClasses(server);
      return HRESULT_FROM_WIN32(status);
    }
  }
  ITypeLib* types = nullptr;
  HRESULT hr = LoadTypeLibEx(path.c_str(), REGKIND_NONE, &types);
  if (SUCCEEDED(hr)) {
    std::wstring writable = path;  // RegisterTypeLib takes a non-const string
    hr = RegisterTypeLib(types, writable.data(), nullptr);
    types->Release();
  }
  if (FAILED(hr)) RemoveClasses(server);
  return hr;
}

HRESULT UnregisterServer(const ServerDescription& server) {
  RemoveClasses(server);
  const HRESULT hr = UnRegisterTypeLib(server.library, server.major, server.minor, LOCALE_NEUTRAL,
                                       sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32);
  // Already gone counts as done.
  return hr == TYPE_E_REGISTRYACCESS || hr == TYPE_E_CANTLOADLIBRARY ? S_OK : hr;
}

}  // namespace velmo::binding
