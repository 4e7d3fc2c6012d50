// The five entry points of an in-process server, the same in every DLL of the add-in: each DLL
// compiles this file and says what it serves through ThisServer().
#include <windows.h>

#include "automation/base/boundary.h"
#include "automation/base/class_factory.h"
#include "automation/base/server.h"

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) {
    velmo::binding::SetModule(instance);
    DisableThreadLibraryCalls(instance);
  } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
    // Unloaded while the process goes on, which COM does only once DllCanUnloadNow said yes:
    // no object is left, and this may only give back what the module took from the system.
    if (auto* on_unload = velmo::binding::ThisServer().on_unload) on_unload();
  }
  return TRUE;
}

HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  for (const velmo::binding::ServedClass& c : velmo::binding::ThisServer().classes) {
    if (!IsEqualCLSID(clsid, c.clsid)) continue;
    return velmo::binding::NewClassFactory(c.create, riid, object);
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT WINAPI DllCanUnloadNow() {
  const auto in_use = velmo::binding::ThisServer().in_use;
  if (!velmo::binding::CanUnloadNow() || (in_use != nullptr && in_use())) return S_FALSE;
  velmo::binding::ReleaseTypeLibrary();
  return S_OK;
}

HRESULT WINAPI DllRegisterServer() {
  using namespace velmo::binding;
  return Guard([] { return RegisterServer(ThisServer(), Scope::kMachine); });
}

HRESULT WINAPI DllUnregisterServer() {
  using namespace velmo::binding;
  return Guard([] { return UnregisterServer(ThisServer(), Scope::kMachine); });
}

// regsvr32 /n /i:user registers for the current user alone, which needs no administrator; /u
// with them takes that away. Nothing else is understood.
HRESULT WINAPI DllInstall(BOOL install, LPCWSTR command_line) {
  using namespace velmo::binding;
  if (command_line == nullptr ||
      CompareStringOrdinal(command_line, -1, L"user", -1, TRUE) != CSTR_EQUAL) {
    return E_INVALIDARG;
  }
  return Guard([install] {
    return install ? RegisterServer(ThisServer(), Scope::kUser)
                   : UnregisterServer(ThisServer(), Scope::kUser);
  });
}

}  // extern "C"
