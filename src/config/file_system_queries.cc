#include "config/file_system_queries.h"

#include <stdexcept>

namespace velmo {

platform::FileSystem& FileSystemOf(ApplicationContext& context) {
  return *SharedFileSystemOf(context);
}

const std::shared_ptr<platform::FileSystem>& SharedFileSystemOf(ApplicationContext& context) {
  if (!context.file_system) {
    if (!context.platform.new_file_system) throw std::runtime_error("no file system");
    context.file_system = context.platform.new_file_system();
    if (!context.file_system) throw std::runtime_error("the file-system object was not made");
  }
  return context.file_system;
}

}  // namespace velmo
