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

#include <memory>

#include "platform/hive_paths.h"
#include "platform/registry_api.h"

namespace velmo::platform {

// Safe to share between threads; each call is atomic.
std::unique_ptr<RegistryApi> NewSqliteRegistry(const HivePaths& paths);

}  // namespace velmo::platform

#endif  // VELMO_PLATFORM_SQLITE_REGISTRY_H_
