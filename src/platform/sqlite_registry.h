// The portable registry: two hives, each a SQLite database file, behind the registry seam.
//
// A hive is a tree of keys holding typed values. Key and value names compare without regard to
// case and keep the case they were created with. The machine hive has a native view and a 32-bit
// view, which differ only under SOFTWARE, where the 32-bit view lives in SOFTWARE\WOW6432Node.
//
// Each write is one transaction, durable when the call returns; any number of processes may share
// a hive. A hive file that the process may not write answers writes with kErrorAccessDenied; one
// that is not a hive of ours, or is damaged, is never touched and answers kErrorBadDb.
#ifndef VELMO_PLATFORM_SQLITE_REGISTRY_H_
#define VELMO_PLATFORM_SQLITE_REGISTRY_H_

#include <filesystem>
#include <memory>
#include <string>

#include "platform/hive_paths.h"
#include "platform/registry_api.h"

namespace velmo::platform {

// One object may be shared by threads: each call runs alone, under the object's lock. Changes
// (BeginChanges to their end) are the object's, so every thread's writes meanwhile join them; an
// operation (BeginOperation to EndOperation) is its thread's alone, so a call of another thread
// meanwhile still sees everything committed before it began.
std::unique_ptr<RegistryApi> NewSqliteRegistry(const HivePaths& paths);

// One hive as a whole, `root` (kHkeyCurrentUser or kHkeyLocalMachine) naming it; safe while other
// processes use it.
//
// Copies the hive, as one committed state, into a new file `file` (0600), which replaces `file`
// once whole. kErrorFileNotFound when the hive does not exist.
RegStatus BackupHive(const HivePaths& paths, RegKey root, const std::filesystem::path& file);
// Replaces the hive's content with the copy `file` in one write: processes that have the hive
// open see the copy at their next read. A file that is not a sound hive of ours is refused
// (kErrorBadDb, kErrorRegistryCorrupt) before anything is written.
RegStatus RestoreHive(const HivePaths& paths, RegKey root, const std::filesystem::path& file);

// Which process holds the lock that keeps writers of the hive `root` out, as
// "process N (name) of user U"; empty when none is seen, or it is this process.
std::string HiveLockHolder(const HivePaths& paths, RegKey root);

}  // namespace velmo::platform

#endif  // VELMO_PLATFORM_SQLITE_REGISTRY_H_
