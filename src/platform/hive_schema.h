// The layout of a hive file: the one place that knows its tables, its `application_id` and its
// version. Every function runs on a connection its caller holds, under the hive's lock, and fails
// by throwing Failure.
#ifndef VELMO_PLATFORM_HIVE_SCHEMA_H_
#define VELMO_PLATFORM_HIVE_SCHEMA_H_

#include <sqlite3.h>

namespace velmo::platform::hive {

// The row of a hive's root key.
inline constexpr sqlite3_int64 kRootKeyId = 1;

// Whether the file holds our tables. An empty database holds nothing yet (false), and is adopted
// when it is an empty file or was marked as ours; a database holding anything else is not a hive
// (kErrorBadDb).
bool HasSchema(sqlite3* db);
// Makes the tables and the root key, in the write transaction under way.
void CreateSchema(sqlite3* db);
// Fails unless `db`, opened on its own, is a sound hive of ours: kErrorBadDb when it is not one,
// kErrorRegistryCorrupt when it is damaged.
void CheckIsSoundHive(sqlite3* db);

}  // namespace velmo::platform::hive

#endif  // VELMO_PLATFORM_HIVE_SCHEMA_H_
