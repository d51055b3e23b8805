#include "text/find_bytes.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

// Against std::string_view::find, on texts of few distinct bytes (where
// pairs and near misses are common) and on long runs that push the search
// into its worst-case fallback, with hits at either end and none.
TEST(FindBytesTest, FindsWhatFindFinds) {
  std::mt19937 random(7);
  auto draw = [&](size_t size, const char* bytes) {
    std::string s;
    while (s.size() < size) s += bytes[random() % std::char_traits<char>::length(bytes)];
    return s;
  };
  for (int i = 0; i < 20000; ++i) {
    const std::string haystack = draw(random() % 40, "ab\n\xE9");
    const std::string needle = draw(1 + random() % 6, "ab\n\xE9");
    ASSERT_EQ(text::FindBytes(haystack, needle), haystack.find(needle))
        << haystack << "|" << needle;
  }
  const std::string run(100000, 'a');
  const std::string needle = std::string(300, 'a') + "b" + std::string(300, 'a');
  for (const std::string& haystack : {run, run + needle, needle + run, run + needle + run}) {
    EXPECT_EQ(text::FindBytes(haystack, needle), haystack.find(needle)) << haystack.size();
  }
}

}  // namespace
