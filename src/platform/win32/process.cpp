#include <windows.h>

#include "platform/process.h"

namespace platform {
namespace {

// Older headers lack the policy, older systems the functions (they came with
// Windows 8), so both are named here.
constexpr int kRedirectionTrustPolicy = 16;
constexpr DWORD kEnforceRedirectionTrust = 1;

template <typename Function>
Function* Kernel32(const char* name) {
  return reinterpret_cast<Function*>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), name)));
}

}  // namespace

// The request can fail where the system does not know the policy; the
// program then runs as before. What it asked for is read back, so that the
// answer is the system's, not the request's: a system that accepts the
// request without knowing it (Wine does) leaves the flags as they were, 0.
bool RequestRedirectionGuard() {
  using SetPolicy = BOOL WINAPI(int policy, void* flags, SIZE_T size);
  using GetPolicy = BOOL WINAPI(HANDLE process, int policy, void* flags, SIZE_T size);
  const auto set = Kernel32<SetPolicy>("SetProcessMitigationPolicy");
  const auto get = Kernel32<GetPolicy>("GetProcessMitigationPolicy");
  DWORD flags = kEnforceRedirectionTrust;
  if (set != nullptr) set(kRedirectionTrustPolicy, &flags, sizeof flags);
  flags = 0;
  return get != nullptr &&
         get(GetCurrentProcess(), kRedirectionTrustPolicy, &flags, sizeof flags) &&
         (flags & kEnforceRedirectionTrust) != 0;
}

}  // namespace platform
