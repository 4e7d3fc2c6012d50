// The context's file-system object: made the first time any part of the library asks the file
// system something, then kept for the context's life.
#ifndef VELMO_CONFIG_FILE_SYSTEM_QUERIES_H_
#define VELMO_CONFIG_FILE_SYSTEM_QUERIES_H_

#include "context/application_context.h"
#include "platform/file_system.h"

namespace velmo {

// Throws when the object cannot be made; the operation that asked fails with it.
platform::FileSystem& FileSystemOf(ApplicationContext& context);
const std::shared_ptr<platform::FileSystem>& SharedFileSystemOf(ApplicationContext& context);

}  // namespace velmo

#endif  // VELMO_CONFIG_FILE_SYSTEM_QUERIES_H_
