// What differs between the registries velmoctl works on: the portable store's two hive files on
// Linux, the system's registry on Windows.
#ifndef VELMO_TOOLS_VELMOCTL_STORE_ACCESS_H_
#define VELMO_TOOLS_VELMOCTL_STORE_ACCESS_H_

#include <memory>
#include <string>

#include "platform/registry_api.h"

namespace velmo::tools {

// The registry the reg commands work on, with no fallback between hives or views.
std::unique_ptr<platform::RegistryApi> OpenRegistry();

// The hive `root` as a person finds it: its file here, its root key's name on Windows.
std::string HiveName(platform::RegKey root);

// Why a call on the hive `root` failed with `status`, in words that name the file (or the process
// holding it) where one is known: "access denied (may not write /var/lib/.../machine.db)".
// `writing` says whether the command changes the hive.
std::string FailureText(platform::RegKey root, platform::RegStatus status, bool writing);

}  // namespace velmo::tools

#endif  // VELMO_TOOLS_VELMOCTL_STORE_ACCESS_H_
