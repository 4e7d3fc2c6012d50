#include "config/parameter_cache.h"

#include <limits>

#include "config/file_system_queries.h"
#include "context/attempt.h"

namespace velmo {

std::int32_t RequestParameterFile(ApplicationContext& context, std::u16string_view nomPP,
                                  std::shared_ptr<PPDocument>& pp) {
  ParameterCache& cache = context.cache();
  const auto fail = [&pp](std::int32_t status) {
    pp.reset();
    return status;
  };
  if (!cache.open()) return fail(-1);

  if (const std::optional<size_t> hit = cache.Find(nomPP)) {
    classPP& entry = *cache.at(*hit);
    // A due reload that failed, or a file that cannot be looked at, would hand out an object
    // that does not hold the file.
    std::int32_t updated = -1;
    if (!Attempt([&] { updated = entry.UpdatePP(); }) || updated < 0) return fail(-1);
    if (pp != entry.PP()) pp = entry.PP();  // a caller asking again often holds it already
    // A count that a caller set to the maximum stays there rather than wrapping.
    if (entry.nbAcces() < std::numeric_limits<std::int32_t>::max()) {
      entry.SetNbAcces(entry.nbAcces() + 1);
    }
    return 0;
  }

  if (const std::optional<size_t> free = cache.FreeSlot()) {
    std::shared_ptr<platform::FileSystem> files;
    if (!Attempt([&] { files = SharedFileSystemOf(context); })) return fail(-1);
    auto entry = std::make_shared<classPP>(std::move(files), context.platform.documents);
    const std::int32_t status = entry->LoadPP(nomPP);
    if (status < 0) return fail(status);
    cache.Insert(*free, entry);
    pp = entry->PP();
    return 0;
  }

  const size_t slot = cache.LeastUsedSlot();
  const std::int32_t status = cache.at(slot)->LoadPP(nomPP);
  if (status == -1) {
    // Kept, the entry would answer the next request as a hit with an object that never loaded;
    // the slot is emptied as a failed load into a free slot leaves it.
    cache.Remove(slot);
  }
  if (status < 0) return fail(status);
  pp = cache.at(slot)->PP();
  return 0;
}

std::optional<CacheEntryInfo> CacheEntryOf(const ApplicationContext& context,
                                           std::u16string_view nomPP) {
  const std::optional<size_t> slot = context.cache().Find(nomPP);
  if (!slot) return std::nullopt;
  return CacheEntryInfo{*slot, context.cache().at(*slot)->nbAcces()};
}

int CacheSlotOf(const ApplicationContext& context, std::u16string_view nomPP) {
  const std::optional<size_t> slot = context.cache().Find(nomPP);
  return slot ? static_cast<int>(*slot) : -1;
}

}  // namespace velmo
