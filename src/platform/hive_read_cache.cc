#include "platform/hive_read_cache.h"

#include <unicode/uchar.h>
#include <unicode/utf16.h>

#include <utility>

namespace velmo::platform::hive {

namespace {

// What is longer is read again each time rather than kept, so that the maps stay within a few
// tens of megabytes whatever is asked: settings are short, while a value may hold megabytes and a
// path 512 levels of 255 characters.
constexpr size_t kCachedBytesLimit = 4096;

void AppendFold(std::string& out, std::u16string_view name) {
  out.reserve(out.size() + name.size() * 2);
  for (char16_t unit : name) {
    // Windows upper-cases each UTF-16 unit alone: a surrogate is not a character, and a letter
    // outside the first plane keeps its case.
    if (unit >= u'a' && unit <= u'z') {
      unit = static_cast<char16_t>(unit - u'a' + u'A');
    } else if (unit >= 0x80 && !U16_IS_SURROGATE(unit)) {
      const UChar32 upper = u_toupper(unit);
      if (upper <= 0xFFFF) unit = static_cast<char16_t>(upper);
    }
    out.push_back(static_cast<char>(unit & 0xFF));
    out.push_back(static_cast<char>(unit >> 8));
  }
}

}  // namespace

std::string CacheKey(sqlite3_int64 id, std::u16string_view name) {
  std::string key;
  key.reserve(sizeof id + name.size() * 2);
  key.append(reinterpret_cast<const char*>(&id), sizeof id);
  AppendFold(key, name);
  return key;
}

std::string Fold(std::u16string_view name) {
  std::string out;
  AppendFold(out, name);
  return out;
}

std::string PathKey(sqlite3_int64 base, char view, std::u16string_view path) {
  std::string key = CacheKey(base, u"");
  key.push_back(view);
  AppendFold(key, path);
  return key;
}

bool ReadCache::TooLong(std::size_t bytes) { return bytes > kCachedBytesLimit; }

bool ReadCache::Validate(const std::optional<Stamp>& stamp) {
  const bool kept = stamp && stamp == stamp_;
  if (!kept) {
    ++generation_;
    children_.clear();
    values_.clear();
    alive_.clear();
    paths_.clear();
  }
  stamp_ = stamp;
  return kept;
}

}  // namespace velmo::platform::hive
