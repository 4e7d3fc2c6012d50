#include "platform/hive_reader.h"

#include <optional>
#include <utility>

#include "platform/hive_schema.h"
#include "platform/hive_test_hooks.h"

namespace velmo::platform::hive {

void HiveReader::Begin() {
  if (reading_database_) return;
  if (in_changes_) {
    // Reads see the changes' own writes, in their transaction.
    reading_database_ = true;
    return;
  }
  // Read before the snapshot is taken, so that the snapshot is no older than the stamp: what
  // is read in it may be kept under the stamp, and is dropped by the next commit.
  const std::optional<Stamp> stamp = stamp_.Read();
  if (HooksForTesting().after_stamp) HooksForTesting().after_stamp();
  snapshot_ = Transaction(db_, Transaction::Kind::kRead);
  reading_database_ = true;
  statements_.Prepare(db_, "SELECT 1 FROM keys WHERE id = 1").Step();
  if (!stamp_.knows_index()) stamp_.LookForIndex(db_);
  // A commit between the stamp and the snapshot would file this snapshot's entries under the
  // state before it: they are kept only when the stamp has not moved across the snapshot's start.
  const bool steady = stamp && stamp_.Read() == stamp;
  if (!cache_.Validate(steady ? stamp : std::nullopt) && served_from_cache_) throw StaleCache{};
}

void HiveReader::Finish() {
  if (!reading_database_) return;
  reading_database_ = false;
  if (snapshot_.is_open()) Check(snapshot_.Commit());
}

Statement HiveReader::Prepare(const char* sql) {
  Begin();
  return statements_.Prepare(db_, sql);
}

sqlite3_int64 HiveReader::Child(sqlite3_int64 parent, std::u16string_view name) {
  if (db_ == nullptr) return 0;
  std::string key = CacheKey(parent, name);
  if (Cached()) {
    if (const sqlite3_int64* id = cache_.Child(key)) {
      served_from_cache_ = true;
      return *id;
    }
  }
  Statement find = Prepare("SELECT id FROM keys WHERE parent = ?1 AND fold = ?2");
  find.Bind(1, parent).BindBlob(2, key.substr(sizeof parent));
  const sqlite3_int64 id = find.Step() ? find.Int(0) : 0;
  if (Keeping()) cache_.KeepChild(std::move(key), id);
  return id;
}

bool HiveReader::Alive(sqlite3_int64 key) {
  if (key == kRootKeyId) return true;
  if (db_ == nullptr) return false;
  if (Cached()) {
    if (const bool* alive = cache_.Alive(key)) {
      served_from_cache_ = true;
      return *alive;
    }
  }
  Statement find = Prepare("SELECT 1 FROM keys WHERE id = ?1");
  find.Bind(1, key);
  const bool alive = find.Step();
  if (Keeping()) cache_.KeepAlive(key, alive);
  return alive;
}

const CachedValue* HiveReader::Find(sqlite3_int64 key, std::u16string_view name) {
  if (db_ == nullptr) return nullptr;
  std::string cache_key = CacheKey(key, name);
  if (Cached()) {
    if (const std::optional<CachedValue>* value = cache_.Value(cache_key)) {
      served_from_cache_ = true;
      return *value ? &**value : nullptr;
    }
  }
  Statement find = Prepare("SELECT type, data FROM vals WHERE key = ?1 AND fold = ?2");
  find.Bind(1, key).BindBlob(2, cache_key.substr(sizeof key));
  std::optional<CachedValue> value;
  if (find.Step()) value = CachedValue{static_cast<std::uint32_t>(find.Int(0)), find.Blob(1)};
  if (!Keeping() || (value && ReadCache::TooLong(value->data.size()))) {
    if (!value) return nullptr;
    uncached_ = std::move(*value);
    return &uncached_;
  }
  const std::optional<CachedValue>& kept = cache_.KeepValue(std::move(cache_key), std::move(value));
  return kept ? &*kept : nullptr;
}

const ResolvedPath* HiveReader::KnownPath(const std::string& text) {
  if (db_ == nullptr || !Cached()) return nullptr;
  const ResolvedPath* known = cache_.Path(text);
  if (known != nullptr) served_from_cache_ = true;
  return known;
}

void HiveReader::RememberPath(const std::string& text, ResolvedPath path) {
  if (Keeping() && !ReadCache::TooLong(text.size())) cache_.KeepPath(text, path);
}

}  // namespace velmo::platform::hive
