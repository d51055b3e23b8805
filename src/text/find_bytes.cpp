#include "text/find_bytes.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>

namespace text {
namespace {

constexpr size_t npos = std::string_view::npos;

// A hash of the two bytes that end at `end`.
unsigned char PairAt(const char* end) {
  return static_cast<unsigned char>(static_cast<unsigned char>(end[0]) -
                                    (static_cast<unsigned char>(end[-1]) << 3));
}

}  // namespace

// Horspool's search on pairs of bytes rather than single ones: in text, a
// pair at the window's end is rarely anywhere in the needle, so the window
// mostly moves the needle's length at a time. Should comparisons pile up (a
// needle and a haystack of few distinct bytes), Boyer-Moore, linear in the
// worst case, searches the rest. Needles of one or two bytes: memchr.
size_t FindBytes(std::string_view haystack, std::string_view needle) {
  const size_t size = needle.size();
  if (size > haystack.size()) return npos;
  const char* begin = haystack.data();
  const char* end = begin + haystack.size();
  if (size < 3) {
    for (const char* at = begin;; ++at) {
      at = static_cast<const char*>(std::memchr(at, needle[0], end - size + 1 - at));
      if (at == nullptr) return npos;
      if (std::memcmp(at, needle.data(), size) == 0) return at - begin;
    }
  }
  // last[h]: where in the needle the last pair of hash h ends, 0 for none.
  const size_t lastIndex = size - 1;
  uint32_t last[256] = {};
  for (size_t i = 1; i < lastIndex; ++i) last[PairAt(needle.data() + i)] = static_cast<uint32_t>(i);
  const size_t shiftOnMismatch = lastIndex - last[PairAt(needle.data() + lastIndex)];
  last[PairAt(needle.data() + lastIndex)] = static_cast<uint32_t>(lastIndex);

  size_t compared = 0;  // bytes compared in vain
  for (size_t windowEnd = lastIndex; windowEnd < haystack.size();) {
    const size_t at = last[PairAt(begin + windowEnd)];
    if (at == 0) {
      windowEnd += lastIndex;
    } else if (at < lastIndex) {
      windowEnd += lastIndex - at;
    } else {
      const size_t window = windowEnd - lastIndex;
      if (std::memcmp(begin + window, needle.data(), size) == 0) return window;
      compared += size;
      if (compared > 4 * window + 4096) {
        const std::boyer_moore_searcher search(needle.begin(), needle.end());
        const char* hit = std::search(begin + window + 1, end, search);
        return hit == end ? npos : hit - begin;
      }
      windowEnd += shiftOnMismatch;
    }
  }
  return npos;
}

}  // namespace text
