// velmoctl's commands that use the library as an add-in module would: through MOLTRAGlobalClass,
// each after a start-up.
#ifndef VELMO_TOOLS_VELMOCTL_LIBRARY_COMMANDS_H_
#define VELMO_TOOLS_VELMOCTL_LIBRARY_COMMANDS_H_

#include <CLI/CLI.hpp>

#include "reg_command.h"

namespace velmo::tools {

// Adds status, interface, setting, explain, user and pp to `app`; as AddRegCommands.
void AddLibraryCommands(CLI::App& app, Action* action);

}  // namespace velmo::tools

#endif  // VELMO_TOOLS_VELMOCTL_LIBRARY_COMMANDS_H_
