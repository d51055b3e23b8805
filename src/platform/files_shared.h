// What both OSes' file layers do alike, written once in files.cpp.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

#include "platform/failure.h"

namespace platform {

// How long a run waits for another that holds what it needs.
constexpr std::chrono::seconds kLockWait{30};

// Temporary files are named this and then as each OS says; a writer tries
// this many names before it gives up.
constexpr std::string_view kTempPrefix = ".cfgline-";
constexpr int kTempTries = 100;

// Reads up to `size` bytes into `buffer` in one go and stores the count in
// `got`, 0 at the end of the file.
using ReadSome = std::function<Status(char* buffer, size_t size, size_t& got)>;

// Reads to its end a file that reported `size` bytes, at most `past` bytes
// beyond that (a file that goes on further fails, kRead; size + past must
// not overflow). The reported size
// is read into a buffer of exactly that size; the end of a file that grows
// or reports no size lies past it. A read error is never taken for the end.
Status ReadToEnd(const ReadSome& read, size_t size, size_t past, std::string& contents);

}  // namespace platform
