#include "tool_platform.h"

#ifdef _WIN32
#include "automation/documents/com_documents.h"
#endif

namespace velmo::tools {

Platform ToolPlatform() {
  Platform platform = SystemPlatform();
#ifdef _WIN32
  platform.documents = binding::NewComDocuments();
#endif
  return platform;
}

void StartToolContext() { ResetCurrentContext(ToolPlatform()); }

}  // namespace velmo::tools
