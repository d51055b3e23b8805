// Runs a piece of a test in a child process: to change process-wide limits
// without touching the test runner, or to act as the unprivileged user
// nobody, so that permission checks bite also when the tests run as root (as
// they do under CI).
#pragma once

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

constexpr uid_t kNobody = 65534;

// Runs `body` in a child process and returns its result as the child's exit
// status, or -1 when the child did not exit normally.
inline int RunInChild(const std::function<int()>& body) {
  const pid_t pid = fork();
  if (pid == 0) _exit(body());
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The same as user and group 65534. Switching users needs root: without it
// the calling test fails.
inline int RunAsNobody(const std::function<int()>& body) {
  if (geteuid() != 0) {
    ADD_FAILURE() << "this case must run as root, to drop to an unprivileged user";
    return -1;
  }
  return RunInChild([&] {
    if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) return 125;
    return body();
  });
}
