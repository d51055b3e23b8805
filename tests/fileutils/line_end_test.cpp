// A rewrite writes the line end it is given, in every encoding, whatever the
// platform's: CR LF rewrites run in the Linux tests too.
#include <gtest/gtest.h>

#include <string>

#include "fileutils/CclFileUtils.h"
#include "support/temp_dir.h"

namespace {

using namespace std::string_literals;

// clang-format off
const struct { const char* lineEnd; bool add; const char* text; std::string before, after; } kCases[] = {
    {"\r\n", true, "x", "a\nb\r\n", "a\r\nb\r\nx\r\n"},
    {"\r\n", false, "c", "a\r\nb\r\nc\r\nd\r\n", "a\r\nb\r\nd\r\n"},  // a, b kept as one block
    {"\r\n", false, "c", "a\r\nb\nc\r\n\r\n", "a\r\nb\r\n"},
    {"\r\n", true, "x", "a\r\r\n", "a\r\r\nx\r\n"},            // the CR of line a stays in it
    {"\r\n", false, "a", "a\r\n", "\r\n"},
    {"\n", false, "c", "a\r\nb\r\nc", "a\nb\n"},
    {"\r\n", true, "x", "\xEF\xBB\xBF" "a\n", "\xEF\xBB\xBF" "a\r\nx\r\n"},
    {"\r\n", true, "x", "\xFF\xFE" "a\0\n\0"s, "\xFF\xFE" "a\0\r\0\n\0x\0\r\0\n\0"s},
    {"\r\n", false, "b", "\xFE\xFF" "\0a\0\r\0\n\0b"s, "\xFE\xFF" "\0a\0\r\0\n"s},
};
// clang-format on

TEST(LineEndTest, RewriteWritesTheGivenLineEnd) {
  TempDir dir;
  for (const auto& c : kCases) {
    SCOPED_TRACE(testing::PrintToString(c.before));
    WriteBytes(dir / "f", c.before);
    CclFileUtils file(dir / "f", c.lineEnd);
    c.add ? file.AddLine(c.text) : file.RemoveLine(c.text);
    EXPECT_EQ(ReadBytes(dir / "f"), c.after);
  }
}

}  // namespace
