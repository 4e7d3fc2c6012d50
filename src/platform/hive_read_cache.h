// What a hive's connection has read, kept under the stamp of the file it was read in, and the
// keys it is found by: names folded as Windows compares them.
//
// Bounded: each map starts again past kCacheLimit entries, and values and paths longer than a
// few kilobytes are not kept. Never fails but for allocation. Used under its hive's lock; what it
// returns is valid until its next change.
#ifndef VELMO_PLATFORM_HIVE_READ_CACHE_H_
#define VELMO_PLATFORM_HIVE_READ_CACHE_H_

#include <sqlite3.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "platform/hive_wal_stamp.h"

namespace velmo::platform::hive {

// The form a name is matched by: Windows upper-cases each UTF-16 unit on its own and leaves
// surrogates as they are. UTF-16LE bytes, with as many code units as the name.
std::string Fold(std::u16string_view name);
// What a name below the key `id` is kept by: the key's id, then the folded name.
std::string CacheKey(sqlite3_int64 id, std::u16string_view name);
// What the read cache knows a key path by: the key it starts from, `view` (whatever else decides
// the walk) and the folded path. Paths that fold alike split alike.
std::string PathKey(sqlite3_int64 base, char view, std::u16string_view path);

struct CachedValue {
  std::uint32_t type;
  std::string data;
};

// Where a path below a key leads: the key's row (0 when missing) and how many levels it went down.
struct ResolvedPath {
  sqlite3_int64 id;
  std::size_t levels;
};

class ReadCache {
 public:
  // Changes whenever the cache is dropped: what was read under one generation is still so.
  std::uint64_t generation() const { return generation_; }
  // What is read now is what the file holds under `stamp`: drops what was kept unless it was
  // kept under that stamp; true when it was. No stamp keeps nothing.
  bool Validate(const std::optional<Stamp>& stamp);
  // Whether what is read now may be kept.
  bool keeping() const { return stamp_.has_value(); }
  // What is held no longer stands: the next Validate drops it.
  void Invalidate() { stamp_.reset(); }
  // Listings read before no longer hold, although the file's stamp has not moved (changes of
  // this connection not yet committed).
  void NextGeneration() { ++generation_; }

  // Too long to keep: read again each time.
  static bool TooLong(std::size_t bytes);

  // Null when not known. The keys are CacheKey's (children, values) and PathKey's (paths).
  const sqlite3_int64* Child(const std::string& key) const { return Find(children_, key); }
  const bool* Alive(sqlite3_int64 key) const { return Find(alive_, key); }
  const std::optional<CachedValue>* Value(const std::string& key) const {
    return Find(values_, key);
  }
  const ResolvedPath* Path(const std::string& key) const { return Find(paths_, key); }

  void KeepChild(std::string key, sqlite3_int64 id) { Keep(children_, std::move(key), id); }
  void KeepAlive(sqlite3_int64 key, bool alive) { Keep(alive_, key, alive); }
  const std::optional<CachedValue>& KeepValue(std::string key, std::optional<CachedValue> value) {
    return Keep(values_, std::move(key), std::move(value));
  }
  void KeepPath(std::string key, ResolvedPath path) { Keep(paths_, std::move(key), path); }

 private:
  template <typename Map>
  static const typename Map::mapped_type* Find(const Map& map, const typename Map::key_type& key) {
    const auto it = map.find(key);
    return it == map.end() ? nullptr : &it->second;
  }
  template <typename Map>
  static typename Map::mapped_type& Keep(Map& map, typename Map::key_type key,
                                         typename Map::mapped_type value) {
    if (map.size() >= kCacheLimit) map.clear();
    return map.insert_or_assign(std::move(key), std::move(value)).first->second;
  }

  static constexpr std::size_t kCacheLimit = 8192;  // entries of each map; past it, it starts again

  std::optional<Stamp> stamp_;  // what the file's stamp was when what is held was read
  std::uint64_t generation_ = 0;
  std::unordered_map<std::string, sqlite3_int64> children_;             // parent id and folded name
  std::unordered_map<std::string, std::optional<CachedValue>> values_;  // key id and folded name
  std::unordered_map<sqlite3_int64, bool> alive_;                       // key id
  std::unordered_map<std::string, ResolvedPath> paths_;                 // see HiveReader::Walk
};

}  // namespace velmo::platform::hive

#endif  // VELMO_PLATFORM_HIVE_READ_CACHE_H_
