// Exclusive locks between runs of the tool, for the POSIX layers: a write
// lock on an open file description (fcntl F_OFD_SETLK, F_WRLCK), which the
// system releases when the descriptor is closed or the process ends, however
// it ends. A write lock needs the file open for writing, so a user who may
// only read a file cannot take it, and flock(2) does not meet it. No lock
// file is ever made.
#pragma once

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ctime>

#include "platform/files_shared.h"

namespace platform {

using LockDeadline = std::chrono::steady_clock::time_point;

inline LockDeadline NewLockDeadline() { return std::chrono::steady_clock::now() + kLockWait; }

// Tries once to take the lock on the file open for writing on `fd`: true
// when it is taken.
inline bool TakeLock(int fd) {
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;  // l_start 0, l_len 0: the whole file
  return fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

// Tries once to take the lock as TakeLock does. True when it is taken, and
// where the file system cannot lock it, which leaves the file unlocked as it
// always was: no locks at all, or no lock service (ENOLCK). False (errno
// EAGAIN or EACCES) while another holds it.
inline bool TryLockOpenFile(int fd) {
  return TakeLock(fd) || errno == EOPNOTSUPP || errno == ENOSYS || errno == EINVAL ||
         errno == ENOLCK;
}

// Takes the lock as TryLockOpenFile does; while another holds it, waits
// until `deadline` at most, then fails.
inline bool LockOpenFile(int fd, LockDeadline deadline) {
  // Polled rather than blocked on, so that the wait is bounded; the first
  // try costs one system call when nobody else holds the file.
  auto pause = std::chrono::milliseconds(1);
  while (!TryLockOpenFile(fd)) {
    if (errno != EAGAIN && errno != EACCES && errno != EINTR) return false;
    if (std::chrono::steady_clock::now() + pause > deadline) return false;
    const timespec wait{0, std::chrono::nanoseconds(pause).count()};
    nanosleep(&wait, nullptr);
    pause = std::min(pause * 2, std::chrono::milliseconds(16));
  }
  return true;
}

}  // namespace platform
