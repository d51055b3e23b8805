// cfgline: adds or removes one line of a text file or one item of a registry
// string value, or deletes a file. Messages go to standard output; the exit
// status is always 0.

#include "app/front_end.h"

#include <cstdio>
#include <cstring>

#include "app/commands.h"
#include "platform/files.h"

const char kSomeError[] = "Some error occured.";

namespace {

const char kItemSeparator[] = ";";

void PrintUsage() {
  std::fputs(
      "i/u - install/uninstall\n"
      "[textline <filename> <textline>]\n"
      "[delfile <filename>]\n"
      "[regline <HKEY\\regpath> <valuename> <regline> ]\n",
      stdout);
}

bool IsCommand(int argc, char** argv, int minArgc, const char* word) {
  return argc >= minArgc && std::strcmp(argv[2], word) == 0;
}

void Dispatch(int argc, char** argv) {
  if (IsCommand(argc, argv, 5, "textline")) {
    RunTextLineCommand(std::strcmp(argv[1], "i") == 0, argv[3], argv[4]);
  } else if (IsCommand(argc, argv, 4, "delfile")) {
    if (!platform::DeleteOneFile(argv[3]).ok()) std::fputs(kSomeError, stdout);
  } else if (IsCommand(argc, argv, 6, "regline")) {
    RunRegLineCommand(std::strcmp(argv[1], "i") == 0, argv[3], argv[4], argv[5], kItemSeparator);
  } else {
    PrintUsage();
  }
}

}  // namespace

int RunCommandLine(int argc, char** argv) {
  try {
    Dispatch(argc, argv);
  } catch (const char* message) {
    std::fputs(message, stdout);
  } catch (...) {
    std::fputs(kSomeError, stdout);
  }
  return 0;
}
