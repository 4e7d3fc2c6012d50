// What one read call of a hive sees: answers from the read cache while the file has not changed
// since they were read, from the database otherwise. The first question the cache cannot answer
// opens a read transaction, so that every answer of one call comes from one state of the file;
// within changes under way, the changes' own transaction serves instead and nothing is kept.
//
// Fails by throwing Failure, or StaleCache when answers already given from the cache turn out to
// be older than the snapshot a later question had to read (the read call then starts again).
// Lives for one read call, under its hive's lock; the connection and the parts it is given must
// outlive it.
#ifndef VELMO_PLATFORM_HIVE_READER_H_
#define VELMO_PLATFORM_HIVE_READER_H_

#include <sqlite3.h>

#include <string>
#include <string_view>

#include "platform/hive_failure.h"
#include "platform/hive_read_cache.h"
#include "platform/hive_statement.h"
#include "platform/hive_transaction.h"
#include "platform/hive_wal_stamp.h"

namespace velmo::platform::hive {

struct StaleCache {};

class HiveReader {
 public:
  // `db` is null when there is no file yet, or a file with nothing in it. `use_cache` false reads
  // everything from the database and keeps nothing.
  HiveReader(sqlite3* db, ReadCache& cache, WalStamp& stamp, StatementCache& statements,
             bool in_changes, bool use_cache)
      : db_(db),
        cache_(cache),
        stamp_(stamp),
        statements_(statements),
        in_changes_(in_changes),
        use_cache_(use_cache) {}
  HiveReader(const HiveReader&) = delete;
  HiveReader& operator=(const HiveReader&) = delete;

  // No file yet, or a file with nothing in it: only the empty root key.
  bool empty() const { return db_ == nullptr; }

  sqlite3_int64 Child(sqlite3_int64 parent, std::u16string_view name);  // 0 when missing
  bool Alive(sqlite3_int64 key);
  // The value, or null when there is none; valid until the next call on this reader.
  const CachedValue* Find(sqlite3_int64 key, std::u16string_view name);

  // Where `path`, split into keys by `parts_of()`, leads below the live key `base`. A path asked
  // again in the same state of the file is answered whole, without being split.
  template <typename Parts>
  ResolvedPath Walk(sqlite3_int64 base, char view, std::u16string_view path, Parts&& parts_of) {
    const std::string text = PathKey(base, view, path);
    if (const ResolvedPath* known = KnownPath(text)) return *known;
    const auto parts = parts_of();
    ResolvedPath found{base, parts.size()};
    if (empty()) {
      if (!parts.empty()) found.id = 0;
      return found;
    }
    if (!Alive(base)) Fail(kErrorKeyDeleted);
    for (const auto& part : parts) {
      found.id = Child(found.id, part);
      if (found.id == 0) break;
    }
    RememberPath(text, found);
    return found;
  }

  // For what the cache does not hold.
  Statement Prepare(const char* sql);

  // Ends the read transaction; a failure to is the call's.
  void Finish();
  // The connection is being let go of after a failure, which ends the transaction.
  void Abandon() { snapshot_.Drop(); }

 private:
  void Begin();
  bool Cached() const { return use_cache_ && !reading_database_; }
  bool Keeping() const { return use_cache_ && cache_.keeping(); }
  const ResolvedPath* KnownPath(const std::string& text);
  void RememberPath(const std::string& text, ResolvedPath path);

  sqlite3* const db_;
  ReadCache& cache_;
  WalStamp& stamp_;
  StatementCache& statements_;
  const bool in_changes_;
  const bool use_cache_;
  bool served_from_cache_ = false;
  bool reading_database_ = false;  // the questions from now on go to the database
  Transaction snapshot_;           // ours, outside changes
  CachedValue uncached_;           // what Find answers when the cache does not keep it
};

}  // namespace velmo::platform::hive

#endif  // VELMO_PLATFORM_HIVE_READER_H_
