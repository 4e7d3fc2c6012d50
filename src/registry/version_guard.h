// Operations that depend on the version do nothing before MOLTRAG_Init has set one on the
// calling thread; they say so in a modal box first.
#ifndef VELMO_REGISTRY_VERSION_GUARD_H_
#define VELMO_REGISTRY_VERSION_GUARD_H_

#include <string_view>

#include "context/application_context.h"

namespace velmo::registry {

// True, after showing "<operation>: Version non definie", when the context has no version; the
// caller then returns its empty result at once.
bool VersionUndefined(ApplicationContext& context, std::u16string_view operation);

}  // namespace velmo::registry

#endif  // VELMO_REGISTRY_VERSION_GUARD_H_
