// The platform velmoctl's library commands start up on: the host's own. On Windows the documents
// come from the registered companions, as in the host; elsewhere they are the built-in ones.
#ifndef VELMO_TOOLS_VELMOCTL_TOOL_PLATFORM_H_
#define VELMO_TOOLS_VELMOCTL_TOOL_PLATFORM_H_

#include "context/application_context.h"

namespace velmo::tools {

// May throw when the platform cannot be made.
Platform ToolPlatform();

// Gives the calling thread a fresh context on ToolPlatform(). On Windows the thread must have
// entered a single-threaded apartment, where the companions' objects live.
void StartToolContext();

}  // namespace velmo::tools

#endif  // VELMO_TOOLS_VELMOCTL_TOOL_PLATFORM_H_
