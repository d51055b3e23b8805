// An exclusive lock that every run naming the same thing shares, and that no
// less privileged user can take first, hold or spoil: a byte-range lock
// (LockFileEx) on a lock file named by a hash of the thing, in a folder that
// only the run's own side may write:
//   - a run with administrator rights (elevated, or LocalSystem): the
//     folder cfgline-locks in the Windows folder (GetSystemWindowsDirectory),
//     where only administrators and the system may make a folder;
//   - any other run: cfgline-locks in its own user's local application data
//     (FOLDERID_LocalAppData).
// The folder and each lock file are made with a protected DACL: Administrators
// and SYSTEM, and for a run without administrator rights its own user too.
// A folder or lock file that is not what such a run makes (of another kind,
// a link, owned or writable by anyone else) is refused, never worked around.
// The system releases the lock when its holder dies, so a crash never leaves a
// lock behind; the lock files stay, empty, one for each thing ever locked.
#pragma once

#include <windows.h>

#include <string>

namespace platform {

// Waits up to 30 seconds for the lock of `what`, compared without regard to
// case, and returns it; null when it cannot be had in that time, or when the
// folder or the lock file is refused or cannot be made.
HANDLE AcquireLock(std::wstring what);

// Releases a lock that AcquireLock returned.
void ReleaseLock(HANDLE lock);

// The parts of AcquireLock, for the tests: the folder of this run's
// lock files ("" when it cannot be told), the name of `what`'s lock file in
// it ("<hash>.lock", with the 16 hexadecimal digits of the hash), and the
// lock taken in another folder, by the same rules.
std::wstring LockFolder();
std::wstring LockFileName(std::wstring what);
HANDLE AcquireLockIn(const std::wstring& folder, std::wstring what);

}  // namespace platform
