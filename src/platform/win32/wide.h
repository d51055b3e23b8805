// The Windows layers' own conversions between the program's text (UTF-8,
// WTF-8 for unpaired surrogates) and the UTF-16 of the W functions.
//
// Error contract: Widen and WidePath return false for malformed text.
#pragma once

#include <string>
#include <string_view>

namespace platform {

bool Widen(std::string_view text, std::wstring& wide);
std::string Narrow(std::wstring_view wide);

// The name to hand the W file functions for `path`. A path shorter than
// MAX_PATH is used as it is; a longer one in the "\\?\" form of its full
// path ("\\?\UNC\server\share\..." for a share), which has no length limit.
bool WidePath(const std::string& path, std::wstring& wide);

}  // namespace platform
