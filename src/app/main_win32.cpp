// The program starts at wmain (mingw's -municode), which hands it the
// arguments as UTF-16; the front end gets them as UTF-8, an unpaired
// surrogate as WTF-8, so that every name and value arrives exactly.
#include <cstdio>
#include <string>
#include <vector>

#include "app/front_end.h"
#include "platform/process.h"
#include "platform/win32/wide.h"

// The C runtime reads this before wmain: 0 hands over the arguments exactly
// as Windows splits the command line, without expanding wildcards, so that
// "*.txt" names a file called *.txt.
extern "C" {
int _dowildcard = 0;
}

int wmain(int argc, wchar_t** argv) {
  platform::RequestRedirectionGuard();
  std::vector<std::string> args;
  std::vector<char*> pointers;
  try {
    for (int i = 0; i < argc; ++i) args.push_back(platform::Narrow(argv[i]));
    for (std::string& arg : args) pointers.push_back(arg.data());
    pointers.push_back(nullptr);
  } catch (...) {
    std::fputs(kSomeError, stdout);
    return 0;
  }
  return RunCommandLine(argc, pointers.data());
}
