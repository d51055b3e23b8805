// Fast search for a byte string in a whole file's bytes.
#pragma once

#include <string_view>

namespace text {

// Position of the first occurrence of a non-empty `needle` in `haystack`, or
// std::string_view::npos. Linear in the haystack's size whatever the bytes.
size_t FindBytes(std::string_view haystack, std::string_view needle);

}  // namespace text
