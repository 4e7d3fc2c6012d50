#include "child_process.h"

#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace velmo::testing {

Child StartChild(const std::function<void(int to_parent)>& body) {
  int fds[2];
  if (pipe(fds) != 0) return {-1, -1};
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    return {-1, -1};
  }
  if (pid == 0) {
    // A child that writes forever must not outlive a test that stopped reading.
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) _exit(1);
    close(fds[0]);
    body(fds[1]);
    _exit(0);  // no destructors or exit handlers of the parent's state
  }
  close(fds[1]);
  return {pid, fds[0]};
}

bool ReadWithin(int from_child, void* data, std::size_t size, std::chrono::milliseconds patience) {
  const auto deadline = std::chrono::steady_clock::now() + patience;
  auto* at = static_cast<char*>(data);
  while (size > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd ready{from_child, POLLIN, 0};
    if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) <= 0) return false;
    const ssize_t n = read(from_child, at, size);
    if (n <= 0) return false;
    at += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

std::string InChild(const std::function<void(std::string& report)>& body) {
  const Child child = StartChild([&](int to_parent) {
    std::string report;
    body(report);
    const char* data = report.data();
    size_t left = report.size();
    while (left > 0) {
      const ssize_t n = write(to_parent, data, left);
      if (n <= 0) break;
      data += n;
      left -= static_cast<size_t>(n);
    }
  });
  if (child.pid < 0) return "fork failed";
  std::string report;
  char buffer[4096];
  for (ssize_t n; (n = read(child.from_child, buffer, sizeof buffer)) > 0;) {
    report.append(buffer, static_cast<size_t>(n));
  }
  close(child.from_child);
  int status = 0;
  waitpid(child.pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) report += " (child died)";
  return report;
}

bool DropPrivileges(uid_t uid) {
  return setgroups(0, nullptr) == 0 && setgid(uid) == 0 && setuid(uid) == 0;
}

}  // namespace velmo::testing
