// The Windows lock (platform/named_mutex_win32.h): what its files are made
// with, and that nothing made first under its names, old or new, lets a run
// edit unlocked or holds it up.
#include <gtest/gtest.h>
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <set>
#include <string>

#include "platform/named_mutex_win32.h"
#include "platform/process.h"
#include "support/temp_dir.h"

namespace {

const std::wstring kAdministrators = L"S-1-5-32-544";
const std::wstring kSystem = L"S-1-5-18";

bool IsWine() { return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version"); }

std::wstring SidText(PSID sid) {
  wchar_t* text = nullptr;
  if (!ConvertSidToStringSidW(sid, &text)) return L"?";
  const std::wstring result = text;
  LocalFree(text);
  return result;
}

std::wstring OwnUser() {
  HANDLE token = nullptr;
  unsigned char user[512];
  DWORD size = sizeof user;
  OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
  const bool known = GetTokenInformation(token, TokenUser, user, size, &size);
  CloseHandle(token);
  return known ? SidText(reinterpret_cast<TOKEN_USER*>(user)->User.Sid) : L"?";
}

bool IsAdministrator() {
  BYTE sid[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof sid;
  BOOL member = FALSE;
  return CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &size) &&
         CheckTokenMembership(nullptr, sid, &member) && member;
}

// The accounts that the DACL of `path` allows anything.
std::set<std::wstring> Allowed(const std::wstring& path) {
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  std::set<std::wstring> allowed;
  if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                            nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
    return {L"unreadable"};
  }
  for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
    ACCESS_ALLOWED_ACE* ace = nullptr;
    if (GetAce(dacl, i, reinterpret_cast<void**>(&ace)) &&
        ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE) {
      allowed.insert(SidText(&ace->SidStart));
    }
  }
  LocalFree(descriptor);
  return dacl == nullptr ? std::set<std::wstring>{L"everyone (no DACL)"} : allowed;
}

bool MakeWith(const std::wstring& path, const wchar_t* sddl, bool folder) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor,
                                                            nullptr)) {
    return false;
  }
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
  bool made = folder;
  if (folder) {
    made = CreateDirectoryW(path.c_str(), &attributes);
  } else {
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, &attributes, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    made = file != INVALID_HANDLE_VALUE && CloseHandle(file);
  }
  LocalFree(descriptor);
  return made;
}

// A lock file that this run makes, and its folder, grant Administrators and
// SYSTEM, and a run without administrator rights its own user too. Wine keeps
// only the mode: it shows SYSTEM and its one user (an administrator there),
// and would show Everyone had the mode let others read.
TEST(LockWin32Test, MadeForAdministratorsAndSystem) {
  const std::wstring what = L"test\\descriptor";
  const std::wstring folder = platform::LockFolder(), file = folder + L"\\" +
                                                           platform::LockFileName(what);
  DeleteFileW(file.c_str());  // made afresh
  const HANDLE lock = platform::AcquireNamedMutex(what);
  ASSERT_NE(lock, nullptr);
  std::set<std::wstring> expected = {kAdministrators, kSystem};
  if (!IsAdministrator()) expected.insert(OwnUser());
  if (IsWine()) expected = {kSystem, OwnUser()};
  EXPECT_EQ(Allowed(file), expected);
  EXPECT_EQ(Allowed(folder), expected);
  platform::ReleaseNamedMutex(lock);
}

struct Holder {
  const char* name;
  std::function<HANDLE(const std::wstring&)> make;
};

DWORD WINAPI HoldMutex(void* name) {
  const HANDLE mutex = CreateMutexW(nullptr, TRUE, static_cast<const wchar_t*>(name));
  Sleep(INFINITE);
  return mutex != nullptr;
}

// Whatever holds the names of the mutexes of old, Global\cfgline-<hash>, a
// run takes its lock at once.
TEST(LockWin32Test, OldMutexNamesHoldNothingUp) {
  const Holder holders[] = {
      {"mutex_held_by_another",
       [](const std::wstring& name) {
         const HANDLE thread = CreateThread(nullptr, 0, HoldMutex, (void*)name.c_str(), 0, nullptr);
         Sleep(200);
         return thread;
       }},
      {"event", [](const std::wstring& name) { return CreateEventW(nullptr, TRUE, FALSE, name.c_str()); }},
      {"mutex_no_one_may_open",
       [](const std::wstring& name) {
         PSECURITY_DESCRIPTOR denyAll = nullptr;
         ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(D;;GA;;;WD)", SDDL_REVISION_1,
                                                              &denyAll, nullptr);
         SECURITY_ATTRIBUTES attributes = {sizeof attributes, denyAll, FALSE};
         const HANDLE mutex = CreateMutexW(&attributes, FALSE, name.c_str());
         LocalFree(denyAll);
         return mutex;
       }},
  };
  for (const Holder& holder : holders) {
    const std::wstring what = L"test\\old names\\" + std::wstring(holder.name, holder.name + std::strlen(holder.name));
    const std::wstring name = L"Global\\cfgline-" + platform::LockFileName(what).substr(0, 16);
    const HANDLE held = holder.make(name);
    ASSERT_NE(held, nullptr) << holder.name;
    const ULONGLONG start = GetTickCount64();
    const HANDLE lock = platform::AcquireNamedMutex(what);
    EXPECT_NE(lock, nullptr) << holder.name;
    EXPECT_LT(GetTickCount64() - start, 10000u) << holder.name;
    if (lock != nullptr) platform::ReleaseNamedMutex(lock);
    TerminateThread(held, 0);  // a thread's mutex is abandoned; the others are closed
    CloseHandle(held);
  }
}

// A lock folder or file that is not what a run makes is refused, never
// worked around: the run then fails. (Wine cannot show a folder that others
// may write: it keeps a DACL as the mode, less the umask, and has no owners.)
TEST(LockWin32Test, RefusesWhatItDidNotMake) {
  const std::wstring sddl = L"D:P(A;;FA;;;BA)(A;;FA;;;SY)(A;;FA;;;" + OwnUser() + L")";
  const wchar_t* const own = sddl.c_str();
  const struct {
    const char* name;
    std::function<bool(const std::wstring& folder, const std::wstring& file)> make;
    bool locks;
  } cases[] = {
      {"made_when_missing", [](auto&, auto&) { return true; }, true},
      {"made_before", [&](auto& folder, auto& file) { return MakeWith(folder, own, true) && MakeWith(file, own, false); }, true},
      {"folder_is_a_file", [&](auto& folder, auto&) { return MakeWith(folder, own, false); }, false},
      {"lock_file_is_a_folder", [&](auto& folder, auto& file) { return MakeWith(folder, own, true) && MakeWith(file, own, true); }, false},
      {"others_may_read_the_lock_file", [&](auto& folder, auto& file) { return MakeWith(folder, own, true) && MakeWith(file, L"D:P(A;;FA;;;SY)(A;;FR;;;WD)", false); }, false},
  };
  for (const auto& c : cases) {
    TempDir dir;
    const std::wstring folder = std::filesystem::path(dir / "locks").wstring();
    ASSERT_TRUE(c.make(folder, folder + L"\\" + platform::LockFileName(L"x"))) << c.name;
    const HANDLE lock = platform::AcquireLockIn(folder, L"x");
    EXPECT_EQ(lock != nullptr, c.locks) << c.name;
    if (lock != nullptr) platform::ReleaseNamedMutex(lock);
  }
}

// Wine accepts the request for Redirection Guard and cannot report it.
TEST(ProcessWin32Test, RedirectionGuardReadBack) {
  const bool inForce = platform::RequestRedirectionGuard();
  if (IsWine()) {
    EXPECT_FALSE(inForce);
  }
}

}  // namespace
