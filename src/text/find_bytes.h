// Fast search for a byte string: the C library's own where it has one.
#pragma once

#include <string_view>

namespace platform {

// Position of the first occurrence of a non-empty `needle` in `haystack`, or
// std::string_view::npos.
size_t FindBytes(std::string_view haystack, std::string_view needle);

}  // namespace platform
