#include "platform/unicode.h"

#include <gtest/gtest.h>

namespace {

struct Wtf8Case {
  std::u16string units;
  std::string text;
  bool utf8;  // no unpaired surrogate: valid UTF-8 too
};

const Wtf8Case kWtf8Cases[] = {
    {u"", "", true},
    {u"a\u0141\u5de5", "a\xC5\x81\xE5\xB7\xA5", true},
    {u"\U0001F600", "\xF0\x9F\x98\x80", true},
    {u"\xD800", "\xED\xA0\x80", false},
    {u"a\xDFFFz", "a\xED\xBF\xBFz", false},
    {u"\xDC00\xD800", "\xED\xB0\x80\xED\xA0\x80", false},  // trail before lead: no pair
    {u"\xD800\U0001F600", "\xED\xA0\x80\xF0\x9F\x98\x80", false},
};

TEST(UnicodeTest, AnyUnitsRoundTripThroughWtf8) {
  for (const Wtf8Case& c : kWtf8Cases) {
    EXPECT_EQ(platform::Wtf8FromUtf16(c.units), c.text);
    std::u16string units;
    EXPECT_TRUE(platform::Utf16FromWtf8(c.text, true, units));
    EXPECT_EQ(units, c.units);
    EXPECT_EQ(platform::Utf16FromWtf8(c.text, false, units), c.utf8);
  }
}

TEST(UnicodeTest, MalformedTextIsRefused) {
  const std::string_view malformed[] = {
      "\x80",
      "\xFF",
      "\xC0\x80",
      "\xE0\x80\x80",
      "\xE5\xB7",
      "\xF4\x90\x80\x80",
      "\xED\xA0\x80\xED\xB0\x80",  // a pair must be one four-byte sequence
  };
  for (std::string_view text : malformed) {
    std::u16string units;
    EXPECT_FALSE(platform::Utf16FromWtf8(text, true, units)) << testing::PrintToString(text);
  }
}

}  // namespace
