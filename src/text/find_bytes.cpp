#include <algorithm>
#include <functional>

#include "platform/find_bytes.h"

namespace platform {

size_t FindBytes(std::string_view haystack, std::string_view needle) {
  const std::boyer_moore_horspool_searcher search(needle.begin(), needle.end());
  const auto hit = std::search(haystack.begin(), haystack.end(), search);
  return hit == haystack.end() ? std::string_view::npos : hit - haystack.begin();
}

}  // namespace platform
