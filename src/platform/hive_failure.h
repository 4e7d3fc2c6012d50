// How the layers of the portable store fail: by throwing Failure with the Win32 status the call
// is to return. Each registry call catches it at the seam (sqlite_registry.cc); nothing below
// the seam returns a status of its own.
#ifndef VELMO_PLATFORM_HIVE_FAILURE_H_
#define VELMO_PLATFORM_HIVE_FAILURE_H_

#include <cerrno>

#include "platform/registry_api.h"

namespace velmo::platform::hive {

struct Failure {
  RegStatus status;
};
[[noreturn]] inline void Fail(RegStatus status) { throw Failure{status}; }

// What the system refused as denied, anything else as a failed I/O.
inline RegStatus StatusOfErrno(int error) {
  return error == EACCES || error == EPERM || error == EROFS ? kErrorAccessDenied
                                                             : kErrorRegistryIoFailed;
}

}  // namespace velmo::platform::hive

#endif  // VELMO_PLATFORM_HIVE_FAILURE_H_
