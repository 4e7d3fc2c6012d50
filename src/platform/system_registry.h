// The registry of the system the library runs on: the Windows registry on Windows, the
// portable store at its default place elsewhere.
#ifndef VELMO_PLATFORM_SYSTEM_REGISTRY_H_
#define VELMO_PLATFORM_SYSTEM_REGISTRY_H_

#include <memory>

#include "platform/registry_api.h"

namespace velmo::platform {

std::unique_ptr<RegistryApi> NewSystemRegistry();

}  // namespace velmo::platform

#endif  // VELMO_PLATFORM_SYSTEM_REGISTRY_H_
