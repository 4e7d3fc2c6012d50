// Runs test code in a child process, for what one process cannot show alone: other users'
// rights, other processes' writes.
#ifndef VELMO_TESTS_SUPPORT_CHILD_PROCESS_H_
#define VELMO_TESTS_SUPPORT_CHILD_PROCESS_H_

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>

namespace velmo::testing {

// A forked child, and the read end of a pipe from it, which the parent closes.
struct Child {
  pid_t pid;  // -1 when the pipe or the fork failed
  int from_child;
};

// Forks a child that runs `body` with the pipe's write end and then exits with status 0, unless
// `body` ends it otherwise. The child is killed when the test process ends.
Child StartChild(const std::function<void(int to_parent)>& body);

// Reads `size` bytes from a child's pipe: false when the pipe closes first or they have not all
// come within `patience`, so that a child that never writes fails the test rather than hangs it.
bool ReadWithin(int from_child, void* data, std::size_t size, std::chrono::milliseconds patience);

// Runs `body` in a forked child and returns what it appended to its report, plus a note if the
// child died.
std::string InChild(const std::function<void(std::string& report)>& body);

// In a child running as root: becomes `uid` (with that group and no others). False on failure.
bool DropPrivileges(uid_t uid);

inline constexpr uid_t kNobody = 65534;

}  // namespace velmo::testing

#endif  // VELMO_TESTS_SUPPORT_CHILD_PROCESS_H_
