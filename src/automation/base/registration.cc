// Registering a module's classes and type library, machine-wide or for the current user, and
// taking them away again without breaking what the other bitness registered.
#include <windows.h>

#include <oleauto.h>

#include <string>
#include <vector>

#include "automation/base/bstr.h"
#include "automation/base/com_ref.h"
#include "automation/base/server.h"

namespace velmo::binding {
namespace {

// The proxies of the standard automation marshaller: for dual and automation interfaces, and
// for dispatch-only interfaces.
constexpr wchar_t kAutomationMarshaller[] = L"{00020424-0000-0000-C000-000000000046}";
constexpr wchar_t kDispatchMarshaller[] = L"{00020420-0000-0000-C000-000000000046}";

std::wstring Text(REFGUID guid) {
  wchar_t buffer[40] = {};
  StringFromGUID2(guid, buffer, 40);
  return buffer;
}

// Where the keys of one registration live: HKEY_CLASSES_ROOT's machine part, or the user's own
// classes, which Windows consults first.
class Classes {
 public:
  // Taking a registration away creates nothing, not even the user's classes key.
  Classes(Scope scope, bool create) {
    if (scope == Scope::kMachine) {
      root_ = HKEY_CLASSES_ROOT;
      return;
    }
    const LSTATUS status =
        create ? RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Classes", 0, nullptr, 0,
                                 KEY_ALL_ACCESS, nullptr, &root_, nullptr)
               : RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Classes", 0, KEY_ALL_ACCESS, &root_);
    if (status != ERROR_SUCCESS) root_ = nullptr;
    owned_ = root_ != nullptr;
  }
  ~Classes() {
    if (owned_) RegCloseKey(root_);
  }
  Classes(const Classes&) = delete;
  Classes& operator=(const Classes&) = delete;

  bool ok() const { return root_ != nullptr; }

  LSTATUS Set(const std::wstring& key, const std::wstring& value,
              const wchar_t* name = nullptr) const {
    HKEY handle = nullptr;
    LSTATUS status =
        RegCreateKeyExW(root_, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &handle, nullptr);
    if (status != ERROR_SUCCESS) return status;
    status = RegSetValueExW(handle, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                            static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(handle);
    return status;
  }
  bool Exists(const std::wstring& key, REGSAM view = 0) const {
    HKEY handle = nullptr;
    if (RegOpenKeyExW(root_, key.c_str(), 0, KEY_READ | view, &handle) != ERROR_SUCCESS) {
      return false;
    }
    RegCloseKey(handle);
    return true;
  }
  // In the registry view of the other bitness, where its class keys live.
  bool ExistsForOtherBitness(const std::wstring& key) const {
    return Exists(key, sizeof(void*) == 8 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY);
  }
  void Remove(const std::wstring& key) const {
    RegDeleteTreeW(root_, key.c_str());
    RegDeleteKeyW(root_, key.c_str());
  }
  // A key both bitnesses share, wherever a registry keeps a copy of it: Windows keeps one, Wine
  // writes one into each view.
  void RemoveShared(const std::wstring& key) const {
    for (const REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
      HKEY handle = nullptr;
      if (RegOpenKeyExW(root_, key.c_str(), 0, KEY_ALL_ACCESS | view, &handle) == ERROR_SUCCESS) {
        RegDeleteTreeW(handle, nullptr);
        RegCloseKey(handle);
        RegDeleteKeyExW(root_, key.c_str(), view, 0);
      }
    }
  }
  // Removes `key` if nothing is left under it.
  void RemoveIfEmpty(const std::wstring& key) const {
    HKEY handle = nullptr;
    if (RegOpenKeyExW(root_, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS) return;
    DWORD subkeys = 0;
    DWORD values = 0;
    const bool empty =
        RegQueryInfoKeyW(handle, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values,
                         nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
        subkeys == 0 && values == 0;
    RegCloseKey(handle);
    if (empty) RegDeleteKeyW(root_, key.c_str());
  }

 private:
  HKEY root_ = nullptr;
  bool owned_ = false;
};

const wchar_t* ThisPlatform() { return sizeof(void*) == 8 ? L"win64" : L"win32"; }
const wchar_t* OtherPlatform() { return sizeof(void*) == 8 ? L"win32" : L"win64"; }

std::wstring VersionKey(const ServerDescription& server) {
  return L"TypeLib\\" + Text(server.library) + L"\\" + std::to_wstring(server.major) + L"." +
         std::to_wstring(server.minor);
}

LSTATUS RegisterClass(const Classes& classes, const ServedClass& c, const std::wstring& path,
                      const std::wstring& library) {
  const std::wstring key = L"CLSID\\" + Text(c.clsid);
  LSTATUS status = classes.Set(key, c.name);
  if (status == ERROR_SUCCESS) status = classes.Set(key + L"\\InprocServer32", path);
  if (status == ERROR_SUCCESS) {
    status = classes.Set(key + L"\\InprocServer32", L"Apartment", L"ThreadingModel");
  }
  if (status == ERROR_SUCCESS) status = classes.Set(key + L"\\ProgID", c.prog_id);
  if (status == ERROR_SUCCESS) status = classes.Set(key + L"\\TypeLib", library);
  if (status == ERROR_SUCCESS) status = classes.Set(key + L"\\Version", c.version);
  if (status == ERROR_SUCCESS) status = classes.Set(c.prog_id, c.name);
  if (status == ERROR_SUCCESS) {
    status = classes.Set(std::wstring(c.prog_id) + L"\\CLSID", Text(c.clsid));
  }
  return status;
}

// A class's keys are each bitness's own; its ProgID both share, and it stays while the other
// bitness has the class.
void RemoveClasses(const Classes& classes, const ServerDescription& server) {
  for (const ServedClass& c : server.classes) {
    const std::wstring key = L"CLSID\\" + Text(c.clsid);
    classes.Remove(key);
    if (!classes.ExistsForOtherBitness(key + L"\\InprocServer32")) classes.RemoveShared(c.prog_id);
  }
}

// The interfaces the type library declares, with the marshaller each is carried by.
struct Marshalled {
  GUID iid;
  std::wstring name;
  const wchar_t* marshaller;
};

std::vector<Marshalled> MarshalledInterfaces(ITypeLib* library) {
  std::vector<Marshalled> found;
  const UINT count = library->GetTypeInfoCount();
  for (UINT i = 0; i < count; ++i) {
    ComRef<ITypeInfo> info;
    if (FAILED(library->GetTypeInfo(i, info.put()))) continue;
    TYPEATTR* attr = nullptr;
    if (FAILED(info->GetTypeAttr(&attr))) continue;
    const bool dual = (attr->wTypeFlags & (TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION)) != 0;
    if (attr->typekind == TKIND_DISPATCH || (attr->typekind == TKIND_INTERFACE && dual)) {
      Bstr name;
      info->GetDocumentation(MEMBERID_NIL, name.put(), nullptr, nullptr, nullptr);
      found.push_back({attr->guid, name.get() != nullptr ? name.get() : L"",
                       dual ? kAutomationMarshaller : kDispatchMarshaller});
    }
    info->ReleaseTypeAttr(attr);
  }
  return found;
}

// What RegisterTypeLib writes, under the user's classes: the library for this platform and
// its interfaces. (Wine's RegisterTypeLibForUser registers machine-wide, so it cannot serve.)
HRESULT RegisterTypeLibraryForUser(const Classes& classes, const ServerDescription& server,
                                   ITypeLib* library, const std::wstring& path) {
  Bstr doc;
  library->GetDocumentation(-1, nullptr, doc.put(), nullptr, nullptr);
  const std::wstring description = doc.get() != nullptr ? doc.get() : L"";
  const std::wstring version = VersionKey(server);
  const std::wstring folder = path.substr(0, path.find_last_of(L'\\') + 1);
  const std::wstring libid = Text(server.library);
  const std::wstring dotted = std::to_wstring(server.major) + L"." + std::to_wstring(server.minor);
  LSTATUS status = classes.Set(version, description);
  if (status == ERROR_SUCCESS) status = classes.Set(version + L"\\0\\" + ThisPlatform(), path);
  if (status == ERROR_SUCCESS) status = classes.Set(version + L"\\FLAGS", L"0");
  if (status == ERROR_SUCCESS) status = classes.Set(version + L"\\HELPDIR", folder);
  for (const Marshalled& m : MarshalledInterfaces(library)) {
    const std::wstring key = L"Interface\\" + Text(m.iid);
    if (status == ERROR_SUCCESS) status = classes.Set(key, m.name);
    if (status == ERROR_SUCCESS) status = classes.Set(key + L"\\ProxyStubClsid", m.marshaller);
    if (status == ERROR_SUCCESS) status = classes.Set(key + L"\\ProxyStubClsid32", m.marshaller);
    if (status == ERROR_SUCCESS) status = classes.Set(key + L"\\TypeLib", libid);
    if (status == ERROR_SUCCESS) status = classes.Set(key + L"\\TypeLib", dotted, L"Version");
  }
  return HRESULT_FROM_WIN32(status);
}

// Takes this platform's library away; the library's and its interfaces' keys, which both
// bitnesses share, only when the other has not registered it too.
void RemoveTypeLibrary(const Classes& classes, const ServerDescription& server,
                       const std::wstring& path) {
  const std::wstring version = VersionKey(server);
  classes.Remove(version + L"\\0\\" + ThisPlatform());
  if (classes.Exists(version + L"\\0\\" + OtherPlatform())) return;
  ComRef<ITypeLib> library;
  if (SUCCEEDED(LoadTypeLibEx(path.c_str(), REGKIND_NONE, library.put()))) {
    for (const Marshalled& m : MarshalledInterfaces(library.get())) {
      classes.RemoveShared(L"Interface\\" + Text(m.iid));
    }
  }
  classes.RemoveShared(version);
  classes.RemoveIfEmpty(L"TypeLib\\" + Text(server.library));
}

}  // namespace

HRESULT RegisterServer(const ServerDescription& server, Scope scope) {
  const std::wstring path = ModulePath();
  if (path.empty()) return HRESULT_FROM_WIN32(GetLastError());
  Classes classes(scope, /*create=*/true);
  if (!classes.ok()) return E_ACCESSDENIED;
  const std::wstring library = Text(server.library);
  for (const ServedClass& c : server.classes) {
    const LSTATUS status = RegisterClass(classes, c, path, library);
    if (status != ERROR_SUCCESS) {
      RemoveClasses(classes, server);
      return HRESULT_FROM_WIN32(status);
    }
  }
  ComRef<ITypeLib> types;
  HRESULT hr = LoadTypeLibEx(path.c_str(), REGKIND_NONE, types.put());
  if (SUCCEEDED(hr)) {
    if (scope == Scope::kMachine) {
      std::wstring writable = path;  // RegisterTypeLib takes a non-const string
      hr = RegisterTypeLib(types.get(), writable.data(), nullptr);
    } else {
      hr = RegisterTypeLibraryForUser(classes, server, types.get(), path);
    }
  }
  if (FAILED(hr)) {
    RemoveClasses(classes, server);
    RemoveTypeLibrary(classes, server, path);
  }
  return hr;
}

HRESULT UnregisterServer(const ServerDescription& server, Scope scope) {
  Classes classes(scope, /*create=*/false);
  if (!classes.ok()) return scope == Scope::kUser ? S_OK : E_ACCESSDENIED;
  RemoveClasses(classes, server);
  RemoveTypeLibrary(classes, server, ModulePath());
  return S_OK;
}

}  // namespace velmo::binding
