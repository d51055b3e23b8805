// The program starts at wmain (mingw's -municode), which hands it the
// arguments as UTF-16; the front end gets them as UTF-8, an unpaired
// surrogate as WTF-8, so that every name and value arrives exactly.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/front_end.h"
#include "platform/wide_win32.h"

// The C runtime reads this before wmain: 0 hands over the arguments exactly
// as Windows splits the command line, without expanding wildcards, so that
// "*.txt" names a file called *.txt.
extern "C" {
int _dowildcard = 0;
}

namespace {

// Asks for Redirection Guard where the system has it: no junction that a
// non-administrator made is followed, and what tried fails as any other
// access does. Older systems lack the function or the policy (older headers
// too, so both are named here); the program then runs as before.
void RequestRedirectionGuard() {
  using SetPolicyFn = BOOL(WINAPI*)(int policy, void* flags, SIZE_T size);
  constexpr int kRedirectionTrustPolicy = 16;
  DWORD enforce = 1;  // EnforceRedirectionTrust
  const auto setPolicy = reinterpret_cast<SetPolicyFn>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetProcessMitigationPolicy")));
  if (setPolicy != nullptr) setPolicy(kRedirectionTrustPolicy, &enforce, sizeof enforce);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  RequestRedirectionGuard();
  std::vector<std::string> args;
  std::vector<char*> pointers;
  try {
    for (int i = 0; i < argc; ++i) args.push_back(platform::Narrow(argv[i]));
    for (std::string& arg : args) pointers.push_back(arg.data());
    pointers.push_back(nullptr);
  } catch (...) {
    std::fputs("Some error occured.", stdout);  // as the front end reports running out of memory
    return 0;
  }
  return RunCommandLine(argc, pointers.data());
}
