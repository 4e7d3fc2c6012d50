// What VELMOSWGlobalLib.dll serves.
#include "automation/base/server.h"
#include "automation/global/velmo_objects.h"
#include "context/application_context.h"
#include "velmo.h"

namespace velmo::binding {
namespace {

const ServedClass kClasses[] = {
    {CLSID_MOLTRAGlobalClass, CreateGlobalObject, L"MOLTRAGlobalClass",
     L"VELMOSWGlobalLib.MOLTRAGlobalClass", L"1.8"},
    {CLSID_classPP, CreateClassPPObject, L"classPP", L"VELMOSWGlobalLib.classPP", L"1.0"},
};

}  // namespace

const ServerDescription& ThisServer() {
  static const ServerDescription server{kClasses, LIBID_VELMOSWGlobalLib, 1,
                                        9,        ReleaseContextSlot,     ContextsAbandoned};
  return server;
}

}  // namespace velmo::binding
