// The in-process server's entry points.
#include <windows.h>

#include <atomic>

#include "class_factory.h"
#include "context/application_context.h"
#include "server.h"
#include "velmo.h"

namespace velmo::binding {
namespace {

HMODULE this_module = nullptr;
std::atomic<long> live_objects{0};
std::atomic<long> server_locks{0};

}  // namespace

HMODULE Module() { return this_module; }
void SetModule(HMODULE module) { this_module = module; }

std::wstring ModulePath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        GetModuleFileNameW(this_module, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return {};
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

void ObjectCreated() { ++live_objects; }
void ObjectDestroyed() { --live_objects; }
void LockServer(bool lock) { lock ? ++server_locks : --server_locks; }
bool CanUnloadNow() { return live_objects == 0 && server_locks == 0; }

}  // namespace velmo::binding

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) {
    velmo::binding::SetModule(instance);
    DisableThreadLibraryCalls(instance);
  } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
    // Unloaded while the process goes on: the contexts' clean-up must not outlive the code.
    velmo::ReleaseAllContexts();
  }
  return TRUE;
}

HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  velmo::binding::Creator create = nullptr;
  if (IsEqualCLSID(clsid, CLSID_MOLTRAGlobalClass)) {
    create = velmo::binding::CreateGlobalObject;
  } else if (IsEqualCLSID(clsid, CLSID_classPP)) {
    create = velmo::binding::CreateClassPPObject;
  } else {
    return CLASS_E_CLASSNOTAVAILABLE;
  }
  IClassFactory* factory = velmo::binding::NewClassFactory(create);
  if (factory == nullptr) return E_OUTOFMEMORY;
  const HRESULT hr = factory->QueryInterface(riid, object);
  factory->Release();
  return hr;
}

HRESULT WINAPI DllCanUnloadNow() { return velmo::binding::CanUnloadNow() ? S_OK : S_FALSE; }

}  // extern "C"
