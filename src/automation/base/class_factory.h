// The class factory that every creatable class of a module is handed out through.
#ifndef VELMO_AUTOMATION_BASE_CLASS_FACTORY_H_
#define VELMO_AUTOMATION_BASE_CLASS_FACTORY_H_

#include <windows.h>

#include <unknwn.h>

#include "automation/base/server.h"

namespace velmo::binding {

// A new factory for `create`, asked for `riid`.
HRESULT NewClassFactory(Creator create, REFIID riid, void** object) noexcept;

}  // namespace velmo::binding

#endif  // VELMO_AUTOMATION_BASE_CLASS_FACTORY_H_
