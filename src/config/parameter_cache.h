// The five-slot cache of parameter files behind MOLTRAG_GetPP.
#ifndef VELMO_CONFIG_PARAMETER_CACHE_H_
#define VELMO_CONFIG_PARAMETER_CACHE_H_

#include <cstdint>
#include <memory>
#include <string_view>

#include "context/application_context.h"
#include "velmo/class_pp.h"

namespace velmo {

// Hands out the parameter object of `nomPP` in `pp`: from the cache when an entry has that name
// (compared in upper case), reloaded first when its file changed; otherwise loaded into the first
// free slot or, with all five taken, into the least-used one (the lowest slot among equals).
// 0 with the object, or -1 (the file did not load, or a failure) or -2 (no such file) with none.
// Initialises the library first when it never was.
std::int32_t MOLTRAG_GetPP(ApplicationContext& context, std::u16string_view nomPP,
                           std::shared_ptr<PPDocument>& pp);

// The slot of the entry named `nomPP`, or -1; for tools that show where a file went.
int CacheSlotOf(const ApplicationContext& context, std::u16string_view nomPP);

}  // namespace velmo

#endif  // VELMO_CONFIG_PARAMETER_CACHE_H_
