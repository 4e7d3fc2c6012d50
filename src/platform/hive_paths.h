// Where the portable store keeps its two hives.
#ifndef VELMO_PLATFORM_HIVE_PATHS_H_
#define VELMO_PLATFORM_HIVE_PATHS_H_

#include <filesystem>
#include <functional>

namespace velmo::platform {

struct HivePaths {
  std::filesystem::path machine;  // HKEY_LOCAL_MACHINE
  std::filesystem::path user;     // HKEY_CURRENT_USER
};

// Setting this variable to a directory puts both hives there, as "machine.db" and "user.db".
inline constexpr char kRegistryDirVariable[] = "MOLTRA_REGISTRY_DIR";

// The machine hive lives in /var/lib/moltra/registry/machine.db, the user's in
// ${XDG_CONFIG_HOME:-$HOME/.config}/moltra/registry/user.db, unless kRegistryDirVariable is set.
HivePaths HivePathsFromEnvironment(const std::function<const char*(const char*)>& get_env);
HivePaths DefaultHivePaths();

}  // namespace velmo::platform

#endif  // VELMO_PLATFORM_HIVE_PATHS_H_
