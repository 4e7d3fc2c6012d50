// The class factories of the two creatable classes.
#ifndef VELMO_CONTEXT_BINDING_CLASS_FACTORY_H_
#define VELMO_CONTEXT_BINDING_CLASS_FACTORY_H_

#include <windows.h>

#include <unknwn.h>

namespace velmo::binding {

// Makes a new object and asks it for `riid`.
using Creator = HRESULT (*)(REFIID riid, void** object);

// A new factory for `create`, with one reference.
IClassFactory* NewClassFactory(Creator create);

// The creators of the two classes.
HRESULT CreateGlobalObject(REFIID riid, void** object);
HRESULT CreateClassPPObject(REFIID riid, void** object);

}  // namespace velmo::binding

#endif  // VELMO_CONTEXT_BINDING_CLASS_FACTORY_H_
