// The program's front end: runs the command that the arguments name and
// reports every failure on standard output. The program's entry point
// (main_posix.cpp, main_win32.cpp) calls it with the arguments as the
// program's text (see text/unicode.h).
#pragma once

// argv[0] is the program, argv[1] the mode word, argv[2] the command word,
// then the command's arguments. Returns the exit status, which is always 0.
int RunCommandLine(int argc, char** argv);

// The message for a failure that no command names, such as running out of
// memory; an entry point prints it for a failure before RunCommandLine.
extern const char kSomeError[];
