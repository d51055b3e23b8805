// Exclusive locks between runs of the tool, for the POSIX layers: flock on an
// open file, which the system releases when the descriptor is closed or the
// process ends, however it ends. No lock file is ever made.
#pragma once

#include <sys/file.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ctime>

namespace platform {

// How long a run waits for another that holds what it needs.
constexpr std::chrono::seconds kLockWait{30};

using LockDeadline = std::chrono::steady_clock::time_point;

inline LockDeadline NewLockDeadline() { return std::chrono::steady_clock::now() + kLockWait; }

// Tries once to take an exclusive lock on the file open on `fd`. True when it
// is taken, and where the file system cannot lock it, which leaves the file
// unlocked as it always was: no locks at all, no lock service (ENOLCK), or
// NFS, which locks only files open for writing (EBADF). False (errno
// EWOULDBLOCK) while another holds it.
inline bool TryLockOpenFile(int fd) {
  return flock(fd, LOCK_EX | LOCK_NB) == 0 || errno == EOPNOTSUPP || errno == ENOSYS ||
         errno == EINVAL || errno == ENOLCK || errno == EBADF;
}

// Takes the lock as TryLockOpenFile does; while another holds it, waits
// until `deadline` at most, then fails.
inline bool LockOpenFile(int fd, LockDeadline deadline) {
  // Polled rather than blocked on, so that the wait is bounded; the first
  // try costs one system call when nobody else holds the file.
  auto pause = std::chrono::milliseconds(1);
  while (!TryLockOpenFile(fd)) {
    if (errno != EWOULDBLOCK && errno != EINTR) return false;
    if (std::chrono::steady_clock::now() + pause > deadline) return false;
    const timespec wait{0, std::chrono::nanoseconds(pause).count()};
    nanosleep(&wait, nullptr);
    pause = std::min(pause * 2, std::chrono::milliseconds(16));
  }
  return true;
}

}  // namespace platform
