// An exclusive lock that every process naming the same thing shares: a
// named mutex, which the system releases when its owner dies, so a crash
// never leaves a lock behind.
#pragma once

#include <windows.h>

#include <string>

namespace platform {

class NamedMutex {
 public:
  NamedMutex() = default;
  ~NamedMutex();
  NamedMutex(const NamedMutex&) = delete;
  NamedMutex& operator=(const NamedMutex&) = delete;

  // Waits up to 30 seconds for the lock of `what`, compared without regard to
  // case. False when it cannot be had in that time or cannot be made.
  bool Acquire(std::wstring what);

 private:
  HANDLE handle_ = nullptr;
};

}  // namespace platform
