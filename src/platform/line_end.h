// The line end of the platform's text files.
#pragma once

#include <string_view>

namespace platform {

// The line end that a rewrite writes after every line, made of CR and LF
// only: CR LF on Windows, LF alone elsewhere.
extern const std::string_view kLineEnd;

}  // namespace platform
