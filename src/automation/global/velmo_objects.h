// The two creatable classes of VELMOSWGlobalLib.dll.
#ifndef VELMO_AUTOMATION_GLOBAL_VELMO_OBJECTS_H_
#define VELMO_AUTOMATION_GLOBAL_VELMO_OBJECTS_H_

#include <windows.h>

#include "context/application_context.h"

namespace velmo::binding {

// Each makes a new object and asks it for `riid`.
HRESULT CreateGlobalObject(REFIID riid, void** object);
HRESULT CreateClassPPObject(REFIID riid, void** object);

// What the contexts of automation callers reach the system through: the system platform, with
// documents made by MOLConfigLib and MolGPP. Every object of the two classes holds its thread's
// context, made on this when the thread has none, and the context goes with the last of them.
Platform AutomationPlatform();

}  // namespace velmo::binding

#endif  // VELMO_AUTOMATION_GLOBAL_VELMO_OBJECTS_H_
