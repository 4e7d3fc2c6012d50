#include "store_access.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>

#include "platform/hive_paths.h"
#include "platform/sqlite_registry.h"
#endif

#include "platform/system_registry.h"

namespace velmo::tools {

using namespace velmo::platform;

namespace {

#ifdef _WIN32
std::string SystemText(RegStatus status) {
  char* text = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(status), 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string message = length > 0 ? std::string(text, length) : "";
  LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                              message.back() == ' ' || message.back() == '.')) {
    message.pop_back();
  }
  return message.empty() ? "registry error " + std::to_string(status) : message;
}
#else
// The hive, or the file beside it, that this process may not use as it needed to.
std::string RefusedFile(const std::string& hive, bool writing) {
  const int mode = writing ? R_OK | W_OK : R_OK;
  for (const char* suffix : {"", "-shm", "-wal"}) {
    const std::string file = hive + suffix;
    if (::access(file.c_str(), F_OK) == 0 && ::access(file.c_str(), mode) != 0) return file;
  }
  return hive;
}
#endif

}  // namespace

std::unique_ptr<RegistryApi> OpenRegistry() { return NewSystemRegistry(); }

std::string HiveName(RegKey root) {
#ifdef _WIN32
  return root == kHkeyCurrentUser ? "HKEY_CURRENT_USER" : "HKEY_LOCAL_MACHINE";
#else
  const HivePaths paths = DefaultHivePaths();
  return (root == kHkeyCurrentUser ? paths.user : paths.machine).string();
#endif
}

std::string FailureText(RegKey root, RegStatus status, bool writing) {
  if (status == kErrorFileNotFound) return "not found";
  if (status == kErrorBadPathname || status == kErrorInvalidParameter) {
    return "invalid key path or name";
  }
#ifdef _WIN32
  (void)root;
  if (status == kErrorAccessDenied) {
    return std::string("access denied (may not ") + (writing ? "write" : "read") + " this key)";
  }
  return SystemText(status);
#else
  const HivePaths paths = DefaultHivePaths();
  const std::string file = (root == kHkeyCurrentUser ? paths.user : paths.machine).string();
  switch (status) {
    case kErrorAccessDenied:
      return std::string("access denied (may not ") + (writing ? "write " : "read ") +
             RefusedFile(file, writing) + ")";
    case kErrorBadDb:
      return "cannot open " + file + ": not a registry hive";
    case kErrorRegistryCorrupt:
      return file + " is damaged";
    case kErrorBusy: {
      const std::string holder = HiveLockHolder(paths, root);
      return file + " is busy: " + (holder.empty() ? "another process" : holder) +
             " kept it locked too long";
    }
    default:
      return "registry error " + std::to_string(status);
  }
#endif
}

}  // namespace velmo::tools
