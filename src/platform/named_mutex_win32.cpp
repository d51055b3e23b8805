#include "platform/named_mutex_win32.h"

#include <cstdint>
#include <cwchar>

namespace platform {
namespace {

constexpr DWORD kWaitMilliseconds = 30000;

// A mutex name holds no backslash after its namespace, so `what` is hashed.
std::wstring MutexName(const wchar_t* space, std::wstring what) {
  CharUpperBuffW(what.data(), static_cast<DWORD>(what.size()));
  uint64_t hash = 14695981039346656037ull;  // FNV-1a
  for (const wchar_t unit : what) {
    hash = (hash ^ static_cast<uint16_t>(unit)) * 1099511628211ull;
  }
  wchar_t name[64];
  std::swprintf(name, 64, L"%ls\\cfgline-%016llx", space, static_cast<unsigned long long>(hash));
  return name;
}

}  // namespace

HANDLE AcquireNamedMutex(std::wstring what) {
  // Global\ reaches every session, but not every caller may create it there.
  HANDLE mutex = CreateMutexW(nullptr, FALSE, MutexName(L"Global", what).c_str());
  if (mutex == nullptr && GetLastError() == ERROR_ACCESS_DENIED) {
    mutex = CreateMutexW(nullptr, FALSE, MutexName(L"Local", what).c_str());
  }
  if (mutex == nullptr) return nullptr;
  const DWORD wait = WaitForSingleObject(mutex, kWaitMilliseconds);
  if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) {  // abandoned: its owner died
    CloseHandle(mutex);
    return nullptr;
  }
  return mutex;
}

void ReleaseNamedMutex(HANDLE mutex) {
  ReleaseMutex(mutex);
  CloseHandle(mutex);
}

}  // namespace platform
