// What the pieces of the in-process server share: the module, its object and lock counts, the
// embedded type library, and the conversions at the automation boundary.
#ifndef VELMO_CONTEXT_BINDING_SERVER_H_
#define VELMO_CONTEXT_BINDING_SERVER_H_

#include <windows.h>

#include <oaidl.h>

#include <string>
#include <string_view>

#include "platform/file_system.h"

namespace velmo::binding {

// The DLL's own handle, set when it is loaded.
HMODULE Module();
void SetModule(HMODULE module);
std::wstring ModulePath();

// A COM server must know whether anything it handed out is still alive; these counts are the
// only process-wide state the library keeps, and they are atomic.
void ObjectCreated();
void ObjectDestroyed();
void LockServer(bool lock);
bool CanUnloadNow();

// The type description of `guid` from the type library in this DLL. For a dual interface,
// `vtable_half` gives the interface description that ITypeInfo::Invoke needs rather than the
// dispatch one.
HRESULT TypeInfoOf(REFGUID guid, bool vtable_half, ITypeInfo** info);

// Gives this thread a context for automation callers, unless it has one already: the system
// platform, with documents that cross the boundary as automation objects.
void PrepareThreadContext();

// Strings and dates across the boundary.
std::u16string FromBstr(BSTR text);
HRESULT ToBstr(std::u16string_view text, BSTR* out);
// Automation dates are local time, as the Windows Script Runtime reports file dates.
DATE ToAutomationDate(platform::FileDate date);
platform::FileDate FromAutomationDate(DATE date);

// Sets the calling thread's error object and returns `hr`, so that a caller sees `description`.
HRESULT ReportError(HRESULT hr, REFGUID interface_id, std::u16string_view description);

// ITypeInfo::Invoke, made to accept what scripting callers pass: a variable given by reference
// (VT_VARIANT | VT_BYREF) to a parameter typed by reference is pointed into when its type fits,
// and otherwise coerced, passed and copied back.
HRESULT InvokeWithTypeInfo(ITypeInfo* info, void* object, DISPID member, WORD flags,
                           DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                           UINT* bad_argument);

}  // namespace velmo::binding

#endif  // VELMO_CONTEXT_BINDING_SERVER_H_
