// `velmoctl reg`: the registry seen through the same seam as the library sees it.
#ifndef VELMO_TOOLS_VELMOCTL_REG_COMMAND_H_
#define VELMO_TOOLS_VELMOCTL_REG_COMMAND_H_

#include <iosfwd>
#include <string>
#include <vector>

#include "platform/hive_paths.h"
#include "platform/registry_api.h"

namespace velmo::tools {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;  // the registry said no
inline constexpr int kExitUsage = 2;   // the command line was wrong

extern const char kRegUsage[];

// `args` are the words after "reg". `paths` only serve to name the hive files in messages.
int RunRegCommand(platform::RegistryApi& registry, const platform::HivePaths& paths,
                  const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace velmo::tools

#endif  // VELMO_TOOLS_VELMOCTL_REG_COMMAND_H_
