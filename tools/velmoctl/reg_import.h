// Imports a .reg file into the registry: the whole file is read and checked first, and only a
// file found sound is applied, so a file with any error changes nothing.
//
// Applied, it is one transaction in each hive: a store failure in the middle (a full disk, say)
// leaves nothing of it, and other processes see none of it until all of it. The user's hive is
// committed first: when the machine hive's commit then fails, the user's changes stand, and the
// error says so. Where the registry
// commits each call on its own, such a failure leaves the changes made before it, and the error
// says how many. Before applying, every hive the file touches must accept a writer, which catches
// the common refusal (no write access) before anything is begun.
#ifndef VELMO_TOOLS_VELMOCTL_REG_IMPORT_H_
#define VELMO_TOOLS_VELMOCTL_REG_IMPORT_H_

#include <cstdint>
#include <filesystem>
#include <string>

#include "platform/registry_api.h"

namespace velmo::tools {

struct ImportResult {
  bool ok = false;
  std::string error;          // when !ok: what went wrong, with the file's name and line
  std::uint64_t changes = 0;  // keys created or deleted and values set or deleted (that stand)
};

// `view` is 0, kKeyWow64_32Key or kKeyWow64_64Key: the view of the machine hive written to.
ImportResult ImportRegFile(platform::RegistryApi& registry, const std::filesystem::path& file,
                           std::uint32_t view);

}  // namespace velmo::tools

#endif  // VELMO_TOOLS_VELMOCTL_REG_IMPORT_H_
