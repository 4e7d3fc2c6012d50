// The two creatable classes of VELMOSWGlobalLib.dll.
#ifndef VELMO_CONTEXT_BINDING_VELMO_OBJECTS_H_
#define VELMO_CONTEXT_BINDING_VELMO_OBJECTS_H_

#include <windows.h>

namespace velmo::binding {

// Each makes a new object and asks it for `riid`.
HRESULT CreateGlobalObject(REFIID riid, void** object);
HRESULT CreateClassPPObject(REFIID riid, void** object);

// Gives this thread a context for automation callers, unless it has one already: the system
// platform, with documents made by MOLConfigLib and MolGPP.
void PrepareThreadContext();

}  // namespace velmo::binding

#endif  // VELMO_CONTEXT_BINDING_VELMO_OBJECTS_H_
