// A hive file judged from outside the store, for a support tool: opened read-only, never written,
// and never taken as the store would take it (no schema check, no cache).
#ifndef VELMO_PLATFORM_HIVE_CHECK_H_
#define VELMO_PLATFORM_HIVE_CHECK_H_

#include <filesystem>
#include <string>

namespace velmo::platform {

// "ok" when SQLite's quick check finds nothing wrong with the file; otherwise what it found, or
// why the file could not be opened or read (a -shm this process may not read, say). Any thread.
std::string QuickCheckHive(const std::filesystem::path& file);

}  // namespace velmo::platform

#endif  // VELMO_PLATFORM_HIVE_CHECK_H_
