#include "config/file_system_queries.h"

namespace velmo {

platform::FileSystem& FileSystemOf(ApplicationContext& context) { return *context.FileSystem(); }

const std::shared_ptr<platform::FileSystem>& SharedFileSystemOf(ApplicationContext& context) {
  return context.FileSystem();
}

}  // namespace velmo
