// The five-slot cache of parameter files behind MOLTRAG_GetPP.
#ifndef VELMO_CONFIG_PARAMETER_CACHE_H_
#define VELMO_CONFIG_PARAMETER_CACHE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "context/application_context.h"
#include "velmo/class_pp.h"

namespace velmo {

// Hands out the parameter object of `nomPP` in `pp`: from the cache when an entry has that name
// (compared in upper case), reloaded first when its file changed; otherwise loaded into the first
// free slot or, with all five taken, into the least-used one (the lowest slot among equals).
// 0 with the object, or -1 (the file did not load or could not be looked at, or the cache does
// not exist yet) or -2 (no such file) with none. Never starts the library up; only a failure
// outside the entry's and the file system's calls (allocation) reaches the caller.
std::int32_t RequestParameterFile(ApplicationContext& context, std::u16string_view nomPP,
                                  std::shared_ptr<PPDocument>& pp);

// Where the entry named `nomPP` is, and how often it was asked for; for tools that show it.
struct CacheEntryInfo {
  size_t slot;
  std::int32_t accesses;
};
std::optional<CacheEntryInfo> CacheEntryOf(const ApplicationContext& context,
                                           std::u16string_view nomPP);

// The slot of the entry named `nomPP`, or -1.
int CacheSlotOf(const ApplicationContext& context, std::u16string_view nomPP);

}  // namespace velmo

#endif  // VELMO_CONFIG_PARAMETER_CACHE_H_
