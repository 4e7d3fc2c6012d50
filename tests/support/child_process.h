// Runs test code in a child process, for what one process cannot show alone: other users'
// rights, other processes' writes.
#ifndef VELMO_TESTS_SUPPORT_CHILD_PROCESS_H_
#define VELMO_TESTS_SUPPORT_CHILD_PROCESS_H_

#include <sys/types.h>

#include <functional>
#include <string>

namespace velmo::testing {

// Runs `body` in a forked child and returns what it appended to its report, plus a note if the
// child died.
std::string InChild(const std::function<void(std::string& report)>& body);

// In a child running as root: becomes `uid` (with that group and no others). False on failure.
bool DropPrivileges(uid_t uid);

inline constexpr uid_t kNobody = 65534;

}  // namespace velmo::testing

#endif  // VELMO_TESTS_SUPPORT_CHILD_PROCESS_H_
