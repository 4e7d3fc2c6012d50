// The in-process server's entry points.
#include <windows.h>

#include "class_factory.h"
#include "context/application_context.h"
#include "server.h"
#include "velmo.h"

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
