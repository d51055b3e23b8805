// The Windows lock (platform/win32/lock.h): what its files are made with,
// and that nothing made first under its names, old or new, holds a run up.
#include <aclapi.h>
#include <gtest/gtest.h>
#include <sddl.h>
#include <shlobj.h>
#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "platform/win32/lock.h"
#include "platform/process.h"
#include "support/temp_dir.h"

namespace {

bool IsWine() { return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version"); }

std::wstring OwnUser() {
  HANDLE token = nullptr;
  unsigned char user[512];
  DWORD size = sizeof user;
  wchar_t* sid = nullptr;
  OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
  GetTokenInformation(token, TokenUser, user, size, &size);
  ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user)->User.Sid, &sid);
  const std::wstring text = sid != nullptr ? sid : L"?";
  LocalFree(sid);
  CloseHandle(token);
  return text;
}

// The DACL of `path`, in SDDL.
std::wstring Dacl(const std::wstring& path) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  wchar_t* sddl = nullptr;
  GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                        nullptr, nullptr, &descriptor);
  ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1,
                                                       DACL_SECURITY_INFORMATION, &sddl, nullptr);
  const std::wstring text = sddl != nullptr ? sddl : L"?";
  LocalFree(sddl);
  LocalFree(descriptor);
  return text;
}

// Makes a folder ('d') or a file ('f') at `path` with the DACL `sddl`; any
// other kind makes nothing.
bool Make(const std::wstring& path, char kind, const wchar_t* sddl) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (kind != 'd' && kind != 'f') return true;
  ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr);
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
  const HANDLE file = kind == 'd' ? INVALID_HANDLE_VALUE
                                  : CreateFileW(path.c_str(), GENERIC_WRITE, 0, &attributes,
                                                CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  const bool made = kind == 'd' ? CreateDirectoryW(path.c_str(), &attributes)
                                : file != INVALID_HANDLE_VALUE && CloseHandle(file);
  LocalFree(descriptor);
  return made;
}

// A lock file that this run makes grants Administrators and SYSTEM, and for a
// run without administrator rights its own user too. Wine keeps only the
// mode: it shows SYSTEM and its one user (an administrator there), and would
// show Everyone had the mode let others read.
TEST(LockWin32Test, MadeForAdministratorsAndSystem) {
  const std::wstring what = L"test\\descriptor";
  const std::wstring folder = platform::LockFolder(),
                     file = folder + L"\\" + platform::LockFileName(what);
  DeleteFileW(file.c_str());  // made afresh
  const HANDLE lock = platform::AcquireLock(what);
  ASSERT_NE(lock, nullptr);
  const std::wstring own = L"(A;;FA;;;" + OwnUser() + L")";
  const std::wstring expected = IsWine()          ? L"D:(A;;FA;;;SY)" + own
                                : IsUserAnAdmin() ? L"D:P(A;;FA;;;BA)(A;;FA;;;SY)"
                                                  : L"D:P(A;;FA;;;BA)(A;;FA;;;SY)" + own;
  EXPECT_EQ(Dacl(file), expected);
  platform::ReleaseLock(lock);
}

DWORD WINAPI HoldMutex(void* name) {
  const HANDLE mutex = CreateMutexW(nullptr, TRUE, static_cast<const wchar_t*>(name));
  Sleep(INFINITE);
  return mutex != nullptr;
}

HANDLE HeldByAnother(const std::wstring& name) {
  const HANDLE thread = CreateThread(nullptr, 0, HoldMutex, (void*)name.c_str(), 0, nullptr);
  Sleep(200);
  return thread;  // ended below, which abandons its mutex
}

HANDLE NoOneMayOpen(const std::wstring& name) {
  PSECURITY_DESCRIPTOR denyAll = nullptr;
  ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(D;;GA;;;WD)", SDDL_REVISION_1, &denyAll,
                                                       nullptr);
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, denyAll, FALSE};
  const HANDLE mutex = CreateMutexW(&attributes, FALSE, name.c_str());
  LocalFree(denyAll);
  return mutex;
}

HANDLE Event(const std::wstring& name) { return CreateEventW(nullptr, TRUE, FALSE, name.c_str()); }

// Whatever holds the names of the mutexes of old, Global\cfgline-<hash>, a
// run takes its lock at once.
TEST(LockWin32Test, OldMutexNamesHoldNothingUp) {
  for (const auto make : {HeldByAnother, Event, NoOneMayOpen}) {
    const std::wstring what =
        L"test\\old names\\" + std::to_wstring(reinterpret_cast<uintptr_t>(make));
    const HANDLE held = make(L"Global\\cfgline-" + platform::LockFileName(what).substr(0, 16));
    ASSERT_NE(held, nullptr);
    const HANDLE lock = platform::AcquireLock(what);
    EXPECT_NE(lock, nullptr);
    if (lock != nullptr) platform::ReleaseLock(lock);
    TerminateThread(held, 0);
    CloseHandle(held);
  }
}

// A lock folder or file that is not what a run makes is refused, never
// worked around: the run then fails. (Wine cannot show a folder that others
// may write: it keeps a DACL as the mode, less the umask, and has no owners.)
TEST(LockWin32Test, RefusesWhatItDidNotMake) {
  const std::wstring sddl = L"D:P(A;;FA;;;BA)(A;;FA;;;SY)(A;;FA;;;" + OwnUser() + L")";
  const wchar_t* const own = sddl.c_str();
  // What stands at the folder's name and at the lock file's, as Make makes it.
  // clang-format off
  const struct { const char* name; char folder; const wchar_t* folderSddl; char file; const wchar_t* fileSddl; bool locks; } cases[] = {
      {"made_when_missing", 0, nullptr, 0, nullptr, true},
      {"folder_is_a_file", 'f', own, 0, nullptr, false},
      {"lock_file_is_a_folder", 'd', own, 'd', own, false},
      {"others_may_read_the_lock_file", 'd', own, 'f', L"D:P(A;;FA;;;SY)(A;;FR;;;WD)", false},
  };
  // clang-format on
  for (const auto& c : cases) {
    TempDir dir;
    const std::wstring folder = std::filesystem::path(dir / "locks").wstring();
    ASSERT_TRUE(Make(folder, c.folder, c.folderSddl) &&
                Make(folder + L"\\" + platform::LockFileName(L"x"), c.file, c.fileSddl))
        << c.name;
    const HANDLE lock = platform::AcquireLockIn(folder, L"x");
    EXPECT_EQ(lock != nullptr, c.locks) << c.name;
    if (lock != nullptr) platform::ReleaseLock(lock);
  }
}

// Wine accepts the request for Redirection Guard and cannot report it.
TEST(ProcessWin32Test, RedirectionGuardReadBack) {
  EXPECT_TRUE(!platform::RequestRedirectionGuard() || !IsWine());
}

}  // namespace
