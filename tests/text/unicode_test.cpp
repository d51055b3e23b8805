#include "text/unicode.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

// clang-format off
// UTF-16 code units and their WTF-8, which is valid UTF-8 when they hold no
// unpaired surrogate. Malformed text decodes to nothing.
const struct { std::u16string units; std::string_view text; bool utf8, wtf8; } kCases[] = {
    {u"", "", true, true},
    {u"a\u0141\u5de5", "a\xC5\x81\xE5\xB7\xA5", true, true},
    {u"\U0001F600", "\xF0\x9F\x98\x80", true, true},
    {u"\xD800", "\xED\xA0\x80", false, true},
    {u"a\xDFFFz", "a\xED\xBF\xBFz", false, true},
    {u"\xDC00\xD800", "\xED\xB0\x80\xED\xA0\x80", false, true},  // trail before lead: no pair
    {u"\xD800\U0001F600", "\xED\xA0\x80\xF0\x9F\x98\x80", false, true},
    {u"", "\x80", false, false},
    {u"", "\xFF", false, false},
    {u"", "\xC0\x80", false, false},
    {u"", "\xE0\x80\x80", false, false},
    {u"", std::string_view("\xE5\xB7\xA5", 2), false, false},  // cut short; not read past the end
    {u"", "\xE5\xB7z", false, false},
    {u"", "\xF4\x90\x80\x80", false, false},
    {u"", "\xED\xA0\x80\xED\xB0\x80", false, false},  // a pair must be one four-byte sequence
    // Longer than the eight bytes that ASCII is passed by at a time.
    {u"0123456789abcdefXYZ", "0123456789abcdefXYZ", true, true},
    {u"abcdefg\u0141hijklmnop", "abcdefg\xC5\x81hijklmnop", true, true},
    {u"", "abc\xC0\xAE" "defghijklmnop", false, false},
    {u"", "abcdefghijklmnop\xE5\xB7", false, false},
};
// clang-format on

TEST(UnicodeTest, Wtf8Codec) {
  for (const auto& c : kCases) {
    SCOPED_TRACE(testing::PrintToString(c.text));
    std::u16string units;
    EXPECT_EQ(text::Utf16FromWtf8(c.text, false, units), c.utf8);
    EXPECT_EQ(text::Utf16FromWtf8(c.text, true, units), c.wtf8);
    const bool ascii = std::ranges::all_of(c.text, [](unsigned char byte) { return byte < 0x80; });
    EXPECT_EQ(text::CheckUtf8(c.text), !c.utf8 ? text::Utf8Check::kNotUtf8
                                       : ascii ? text::Utf8Check::kAscii
                                               : text::Utf8Check::kUtf8);
    if (!c.wtf8) continue;
    EXPECT_EQ(units, c.units);
    EXPECT_EQ(text::Wtf8FromUtf16(c.units), c.text);
  }
}

}  // namespace
