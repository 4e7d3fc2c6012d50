#include "platform/hive_paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace velmo::platform {
namespace {

std::filesystem::path HomeDirectory(const std::function<const char*(const char*)>& get_env) {
  if (const char* home = get_env("HOME"); home != nullptr && home[0] == '/') return home;
  // Services and su-without-login run without HOME; the password database still knows.
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr) {
    return found->pw_dir;
  }
  return "/";
}

}  // namespace

HivePaths HivePathsFromEnvironment(const std::function<const char*(const char*)>& get_env) {
  if (const char* dir = get_env(kRegistryDirVariable); dir != nullptr && dir[0] != '\0') {
    const std::filesystem::path base(dir);
    return {base / "machine.db", base / "user.db"};
  }
  std::filesystem::path config;
  // Relative values are invalid by the XDG rules and are ignored.
  if (const char* xdg = get_env("XDG_CONFIG_HOME"); xdg != nullptr && xdg[0] == '/') {
    config = xdg;
  } else {
    config = HomeDirectory(get_env) / ".config";
  }
  return {"/var/lib/moltra/registry/machine.db", config / "moltra" / "registry" / "user.db"};
}

HivePaths DefaultHivePaths() {
  return HivePathsFromEnvironment([](const char* name) { return std::getenv(name); });
}

}  // namespace velmo::platform
