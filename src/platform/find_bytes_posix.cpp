#include <string.h>

#include "platform/find_bytes.h"

namespace platform {

size_t FindBytes(std::string_view haystack, std::string_view needle) {
  const void* hit = memmem(haystack.data(), haystack.size(), needle.data(), needle.size());
  return hit ? static_cast<const char*>(hit) - haystack.data() : std::string_view::npos;
}

}  // namespace platform
