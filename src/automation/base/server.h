// What every in-process server of the add-in shares: its module, its object and lock counts, its
// type library, and the conversions at the automation boundary. Each DLL links its own copy, so
// all of this is per module.
#ifndef VELMO_AUTOMATION_BASE_SERVER_H_
#define VELMO_AUTOMATION_BASE_SERVER_H_

#include <windows.h>

#include <oaidl.h>

#include <span>
#include <string>
#include <string_view>

#include "platform/file_system.h"

namespace velmo::binding {

// The DLL's own handle, set when it is loaded.
HMODULE Module();
void SetModule(HMODULE module);
std::wstring ModulePath();

// A COM server must know whether anything it handed out is still alive; these counts are the
// only process-wide state a module keeps besides its type library, and they are atomic.
void ObjectCreated();
void ObjectDestroyed();
void LockServer(bool lock);
bool CanUnloadNow();

// The type description of `guid` from the type library in this DLL, which is loaded on first
// need and kept until ReleaseTypeLibrary; any thread may ask. For a dual interface,
// `vtable_half` gives the interface description that ITypeInfo::Invoke needs rather than the
// dispatch one.
HRESULT TypeInfoOf(REFGUID guid, bool vtable_half, ITypeInfo** info);
// Drops what TypeInfoOf keeps, once no object of this module is left to use it.
void ReleaseTypeLibrary();

// Strings and dates across the boundary. A null BSTR is the empty string, as automation has
// it; FromBstr throws std::bad_alloc, ToBstr answers E_OUTOFMEMORY.
std::u16string FromBstr(BSTR text);
HRESULT ToBstr(std::u16string_view text, BSTR* out) noexcept;
// Automation dates are local time, as the Windows Script Runtime reports file dates. A date
// Windows does not represent (before 100-01-01, after 9999-12-31, or not a number) is refused.
bool IsAutomationDate(DATE date) noexcept;
DATE ToAutomationDate(platform::FileDate date) noexcept;
// `date` must pass IsAutomationDate.
platform::FileDate FromAutomationDate(DATE date) noexcept;

// Sets the calling thread's error object and returns `hr`, so that a caller sees `description`
// (UTF-8, cut short when very long). Allocates nothing of its own, so it may run in a handler.
HRESULT ReportError(HRESULT hr, REFGUID interface_id, const char* description) noexcept;

// ITypeInfo::Invoke, made to accept what scripting callers pass: a variable given by reference
// (VT_VARIANT | VT_BYREF) to a parameter typed by reference is pointed into when its type fits,
// and otherwise coerced, passed and copied back. `table` was read from `info`; a call that passes
// nothing by reference allocates nothing here.
class DispatchTable;
HRESULT InvokeWithTypeInfo(ITypeInfo* info, const DispatchTable& table, void* object, DISPID member,
                           WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                           UINT* bad_argument);

// ---- what each DLL says of itself, for the exports every one of them has

// Makes a new object and asks it for `riid`.
using Creator = HRESULT (*)(REFIID riid, void** object);

struct ServedClass {
  const CLSID& clsid;
  Creator create;
  const wchar_t* name;  // as the type library names the class
  const wchar_t* prog_id;
  const wchar_t* version;
};

struct ServerDescription {
  std::span<const ServedClass> classes;
  const GUID& library;  // the type library carried as resource 1
  WORD major;
  WORD minor;
  // Run when the DLL is unloaded from a process that goes on, under the loader lock: it may not
  // release a COM object or call into another DLL beyond kernel32. May be null.
  void (*on_unload)();
  // Whether something besides objects and locks keeps the DLL in use. May be null.
  bool (*in_use)();
};

// Defined once in each DLL.
const ServerDescription& ThisServer();

// What DllRegisterServer and DllUnregisterServer (machine-wide), and DllInstall with "user" (for
// the current user only, under HKCU\Software\Classes), do with that description: the classes as
// in-process, apartment-threaded servers with their ProgIDs, and the type library, whose
// interfaces the standard automation marshaller then carries between threads. Unregistering
// leaves the keys that both bitnesses share while the other bitness is registered, and answers
// success when there was nothing to take away.
enum class Scope { kMachine, kUser };
HRESULT RegisterServer(const ServerDescription& server, Scope scope);
HRESULT UnregisterServer(const ServerDescription& server, Scope scope);

}  // namespace velmo::binding

#endif  // VELMO_AUTOMATION_BASE_SERVER_H_
