#include "platform/win32/lock.h"

#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>

#include <cstdint>
#include <cwchar>
#include <utility>
#include <vector>

#include "platform/files_shared.h"

// Why lock files, and not named kernel objects. A mutex in Global\ can be
// made first, held or given a hostile DACL by any user, and runs under
// different accounts or elevation levels cannot share one made with the
// default DACL. A private namespace (CreatePrivateNamespace with a boundary
// of the Administrators SID) would keep users out, but its name cannot be
// opened any more once the run that made it has closed it, while the objects
// in it live on: a later run would make a namespace of its own and not meet a
// run still holding the lock in the old one. It is also missing from Wine,
// where the shipped program is tested. A lock file at a fixed place is always
// the same file, for runs in every session and for both programs (the Windows
// folder is not redirected for 32-bit programs), and a folder that only the
// run's own side may write keeps everyone else from making, opening or
// holding it.

namespace platform {
namespace {

constexpr DWORD kWaitMilliseconds = std::chrono::milliseconds(kLockWait).count();
constexpr DWORD kRetryMilliseconds = 50;  // a waiter tries again this often

// The accounts that may own or change a lock folder or file, besides the
// run's own user: Administrators, LocalSystem and TrustedInstaller.
const wchar_t* const kTrusted[] = {
    L"S-1-5-32-544", L"S-1-5-18",
    L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"};

// Rights that let an account put, remove or change files in a folder, and,
// for a lock file, open it in a way that can take its lock.
constexpr ACCESS_MASK kFolderRights = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD |
                                      DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE |
                                      GENERIC_ALL | MAXIMUM_ALLOWED;
constexpr ACCESS_MASK kLockFileRights = kFolderRights | FILE_READ_DATA | GENERIC_READ;

std::wstring SidText(PSID sid) {
  wchar_t* text = nullptr;
  if (!ConvertSidToStringSidW(sid, &text)) return L"";
  std::wstring result = text;
  LocalFree(text);
  return result;
}

// The user of the token the thread runs with; "" when it cannot be told.
std::wstring OwnUser() {
  HANDLE token = nullptr;
  if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token) &&
      !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    return L"";
  }
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<unsigned char> user(size == 0 ? 1 : size);
  std::wstring sid;
  if (GetTokenInformation(token, TokenUser, user.data(), size, &size)) {
    sid = SidText(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid);
  }
  CloseHandle(token);
  return sid;
}

// Whether the run has administrator rights: Administrators is an enabled
// group of its token, as in an elevated or LocalSystem run, and not in an
// administrator's unelevated one.
bool IsAdministrator() {
  BYTE sid[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof sid;
  BOOL member = FALSE;
  return CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &size) &&
         CheckTokenMembership(nullptr, sid, &member) && member;
}

bool IsTrusted(PSID sid, const std::wstring& ownUser) {
  const std::wstring text = SidText(sid);
  if (text.empty()) return false;
  for (const wchar_t* trusted : kTrusted) {
    if (text == trusted) return true;
  }
  return text == ownUser;
}

// Whether `object` is owned by a trusted account and its DACL allows no one
// else any of `rights`. A DACL that is missing allows everyone everything.
bool OnlyTrustedMay(HANDLE object, ACCESS_MASK rights, const std::wstring& ownUser) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(object, SE_FILE_OBJECT,
                      OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                      &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  bool only = owner != nullptr && IsTrusted(owner, ownUser) && dacl != nullptr;
  for (DWORD i = 0; only && i < dacl->AceCount; ++i) {
    ACE_HEADER* ace = nullptr;
    if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace))) {
      only = false;
    } else if ((ace->AceFlags & INHERIT_ONLY_ACE) != 0) {
      // Applies only to what is made inside, which is checked itself.
    } else if (ace->AceType == ACCESS_ALLOWED_ACE_TYPE) {
      const auto* allowed = reinterpret_cast<ACCESS_ALLOWED_ACE*>(ace);
      only = (allowed->Mask & rights) == 0 ||
             IsTrusted(const_cast<DWORD*>(&allowed->SidStart), ownUser);
    } else if (ace->AceType != ACCESS_DENIED_ACE_TYPE &&
               ace->AceType != ACCESS_DENIED_OBJECT_ACE_TYPE &&
               ace->AceType != ACCESS_DENIED_CALLBACK_ACE_TYPE &&
               ace->AceType != ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE) {
      // Any other kind that allows (object, callback, compound): never in a
      // folder or file made here. Every kind keeps its mask after the header.
      only = (reinterpret_cast<ACCESS_ALLOWED_ACE*>(ace)->Mask & rights) == 0;
    }
  }
  LocalFree(descriptor);
  return only;
}

// Whether `handle` is a folder (`folder`), or a file on a disk, and not a
// link or junction.
bool IsPlain(HANDLE handle, bool folder) {
  BY_HANDLE_FILE_INFORMATION info;
  if (handle == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(handle, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    return false;
  }
  if (folder) return (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  return (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
         GetFileType(handle) == FILE_TYPE_DISK;
}

// The protected DACL of a lock folder and its files.
std::wstring LockSddl(bool administrator, const std::wstring& ownUser) {
  std::wstring sddl = L"D:P(A;;FA;;;BA)(A;;FA;;;SY)";
  if (!administrator) sddl += L"(A;;FA;;;" + ownUser + L")";
  return sddl;
}

bool WaitForLock(HANDLE file) {
  const ULONGLONG deadline = GetTickCount64() + kWaitMilliseconds;
  for (;;) {
    OVERLAPPED at = {};
    if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
      return true;
    }
    if (GetLastError() != ERROR_LOCK_VIOLATION || GetTickCount64() >= deadline) return false;
    Sleep(kRetryMilliseconds);
  }
}

}  // namespace

std::wstring LockFolder() {
  std::wstring base;
  if (IsAdministrator()) {
    wchar_t windows[MAX_PATH];
    const UINT size = GetSystemWindowsDirectoryW(windows, MAX_PATH);
    if (size == 0 || size >= MAX_PATH) return L"";
    base = windows;
  } else {
    wchar_t* local = nullptr;
    if (SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &local) == S_OK) base = local;
    CoTaskMemFree(local);
    if (base.empty()) return L"";
  }
  return base + L"\\cfgline-locks";
}

// A file name holds no backslash, so `what` is hashed.
std::wstring LockFileName(std::wstring what) {
  CharUpperBuffW(what.data(), static_cast<DWORD>(what.size()));
  uint64_t hash = 14695981039346656037ull;  // FNV-1a
  for (const wchar_t unit : what) {
    hash = (hash ^ static_cast<uint16_t>(unit)) * 1099511628211ull;
  }
  wchar_t name[32];
  std::swprintf(name, 32, L"%016llx.lock", static_cast<unsigned long long>(hash));
  return name;
}

HANDLE AcquireLockIn(const std::wstring& folder, std::wstring what) {
  const std::wstring ownUser = OwnUser();
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (folder.empty() || ownUser.empty() ||
      !ConvertStringSecurityDescriptorToSecurityDescriptorW(
          LockSddl(IsAdministrator(), ownUser).c_str(), SDDL_REVISION_1, &descriptor, nullptr)) {
    return nullptr;
  }
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
  // Made when missing. One that is there is checked as one made here would
  // be; it is held open, and so kept in place, until the lock file is open.
  CreateDirectoryW(folder.c_str(), &attributes);
  const HANDLE held = CreateFileW(
      folder.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  HANDLE file = INVALID_HANDLE_VALUE;
  if (IsPlain(held, true) && OnlyTrustedMay(held, kFolderRights, ownUser)) {
    file = CreateFileW((folder + L"\\" + LockFileName(std::move(what))).c_str(), GENERIC_READ,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, &attributes, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  }
  if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
  LocalFree(descriptor);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  if (!IsPlain(file, false) || !OnlyTrustedMay(file, kLockFileRights, ownUser) ||
      !WaitForLock(file)) {
    CloseHandle(file);
    return nullptr;
  }
  return file;
}

HANDLE AcquireLock(std::wstring what) { return AcquireLockIn(LockFolder(), std::move(what)); }

void ReleaseLock(HANDLE lock) {
  OVERLAPPED at = {};
  UnlockFileEx(lock, 0, 1, 0, &at);  // at once; closing alone may release it later
  CloseHandle(lock);
}

}  // namespace platform
