#include <windows.h>

#include "platform/process.h"

namespace platform {

// Older systems lack the function or the policy (older headers too, so both
// are named here); the program then runs as before.
void RequestRedirectionGuard() {
  using SetPolicyFn = BOOL(WINAPI*)(int policy, void* flags, SIZE_T size);
  constexpr int kRedirectionTrustPolicy = 16;
  DWORD enforce = 1;  // EnforceRedirectionTrust
  const auto setPolicy = reinterpret_cast<SetPolicyFn>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetProcessMitigationPolicy")));
  if (setPolicy != nullptr) setPolicy(kRedirectionTrustPolicy, &enforce, sizeof enforce);
}

}  // namespace platform
