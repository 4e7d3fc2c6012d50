// velmoctl's commands that use the library as an add-in module would: through MOLTRAGlobalClass.
#ifndef VELMO_TOOLS_VELMOCTL_LIBRARY_COMMANDS_H_
#define VELMO_TOOLS_VELMOCTL_LIBRARY_COMMANDS_H_

#include <iosfwd>
#include <string>
#include <vector>

namespace velmo::tools {

extern const char kLibraryUsage[];

// `command` is status, interface, setting, user or pp; `args` the words after it. Returns the
// exit status.
int RunLibraryCommand(const std::string& command, const std::vector<std::string>& args,
                      std::ostream& out, std::ostream& err);

bool IsLibraryCommand(const std::string& command);

}  // namespace velmo::tools

#endif  // VELMO_TOOLS_VELMOCTL_LIBRARY_COMMANDS_H_
