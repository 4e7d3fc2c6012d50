// The registry seam on the Windows registry, through advapi32's wide functions.
#ifndef VELMO_PLATFORM_WIN32_REGISTRY_H_
#define VELMO_PLATFORM_WIN32_REGISTRY_H_

#include <memory>

#include "platform/registry_api.h"

namespace velmo::platform {

std::unique_ptr<RegistryApi> NewWin32Registry();

}  // namespace velmo::platform

#endif  // VELMO_PLATFORM_WIN32_REGISTRY_H_
