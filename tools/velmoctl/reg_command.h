// `velmoctl reg`: the registry seen through the same seam as the library sees it, with no
// fallback between the hives or views.
#ifndef VELMO_TOOLS_VELMOCTL_REG_COMMAND_H_
#define VELMO_TOOLS_VELMOCTL_REG_COMMAND_H_

#include <CLI/CLI.hpp>
#include <functional>

namespace velmo::tools {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;  // the registry or the library said no
inline constexpr int kExitUsage = 2;   // the command line was wrong

// What a command does once its command line is parsed; returns the exit status.
using Action = std::function<int()>;

// Adds "reg" and its subcommands to `app`. When one of them is parsed, `*action` is set to run it
// against the default store; `app` and `action` must outlive the parse and the run.
void AddRegCommands(CLI::App& app, Action* action);

}  // namespace velmo::tools

#endif  // VELMO_TOOLS_VELMOCTL_REG_COMMAND_H_
