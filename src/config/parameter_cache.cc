#include "config/parameter_cache.h"

#include <cstring>
#include <limits>
#include <optional>

#include "config/file_system_queries.h"
#include "context/startup.h"
#include "platform/text.h"

namespace velmo {
namespace {

// Names compare in upper case, the first match in slot order winning; the same spelling, the
// usual case, needs no conversion.
bool Same(std::u16string_view a, std::u16string_view b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(char16_t)) == 0;
}

int Find(const ParameterCache& cache, std::u16string_view name) {
  std::optional<std::u16string> upper;
  for (size_t slot = 0; slot < cache.size(); ++slot) {
    if (!cache[slot]) continue;
    if (Same(cache[slot]->fichier(), name)) return static_cast<int>(slot);
    if (!upper) upper = platform::ToUpper(name);
    if (Same(cache[slot]->upper_fichier(), *upper)) return static_cast<int>(slot);
  }
  return -1;
}

}  // namespace

std::int32_t MOLTRAG_GetPP(ApplicationContext& context, std::u16string_view nomPP,
                           std::shared_ptr<PPDocument>& pp) {
  try {
    if (!context.pp_cache) MOLTRAG_Init(context, u"");
    if (!context.pp_cache) throw std::logic_error("the cache was not set up");
    ParameterCache& cache = *context.pp_cache;

    if (const int hit = Find(cache, nomPP); hit >= 0) {
      classPP& entry = *cache[hit];
      // A due reload that failed would hand out an object that does not hold the file.
      if (entry.UpdatePP() < 0) {
        pp.reset();
        return -1;
      }
      if (pp != entry.PP()) pp = entry.PP();  // a caller asking again often holds it already
      // A count that a caller set to the maximum stays there rather than wrapping.
      if (entry.nbAcces() < std::numeric_limits<std::int32_t>::max()) {
        entry.SetNbAcces(entry.nbAcces() + 1);
      }
      return 0;
    }

    size_t slot = cache.size();
    for (size_t i = 0; i < cache.size() && slot == cache.size(); ++i) {
      if (!cache[i]) slot = i;
    }
    if (slot < cache.size()) {
      auto entry =
          std::make_shared<classPP>(SharedFileSystemOf(context), context.platform.documents);
      const std::int32_t status = entry->LoadPP(nomPP);
      if (status < 0) {
        pp.reset();
        return status;
      }
      cache[slot] = entry;
      pp = entry->PP();
      return 0;
    }

    slot = 0;
    for (size_t i = 1; i < cache.size(); ++i) {
      if (cache[i]->nbAcces() < cache[slot]->nbAcces()) slot = i;
    }
    const std::int32_t status = cache[slot]->LoadPP(nomPP);
    if (status == -1) {
      // Kept, the entry would answer the next request as a hit with an object that never
      // loaded; the slot is emptied as a failed load into a free slot leaves it.
      cache[slot].reset();
    }
    if (status < 0) {
      pp.reset();
      return status;
    }
    pp = cache[slot]->PP();
    return 0;
  } catch (...) {
    pp.reset();
    return -1;
  }
}

int CacheSlotOf(const ApplicationContext& context, std::u16string_view nomPP) {
  if (!context.pp_cache) return -1;
  return Find(*context.pp_cache, nomPP);
}

}  // namespace velmo
