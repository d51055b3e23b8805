// An exclusive lock that every process naming the same thing shares: a
// named mutex, which the system releases when its owner dies, so a crash
// never leaves a lock behind.
#pragma once

#include <windows.h>

#include <string>

namespace platform {

// Waits up to 30 seconds for the lock of `what`, compared without regard to
// case, and returns it; null when it cannot be had in that time or made.
HANDLE AcquireNamedMutex(std::wstring what);

// Releases a lock that AcquireNamedMutex returned.
void ReleaseNamedMutex(HANDLE mutex);

}  // namespace platform
