// A file cut short by another program while the editor holds it. A program
// of its own: it takes the place of the byte search, which every other test
// must see as it is.
#include <gtest/gtest.h>
#include <unistd.h>

#include <utility>

#include "fileutils/CclFileUtils.h"
#include "support/temp_dir.h"
#include "text/find_bytes.h"

namespace {

std::string cutShortAtSearch;  // a file to cut to one page at the next search

}  // namespace

// Takes the place of the library's search in this program, so that a file
// can be cut short while the editor holds and reads it.
size_t text::FindBytes(std::string_view haystack, std::string_view needle) {
  if (!cutShortAtSearch.empty()) truncate(std::exchange(cutShortAtSearch, "").c_str(), 4096);
  return haystack.find(needle);
}

namespace {

// The lost bytes read as zeros; the editor must neither write them back nor
// take them for the file. Removing "x" meets the cut while it searches the
// file, removing "C" only while it writes the file out.
TEST(FileEditTest, FileCutShortWhileReadIsLeftAlone) {
  TempDir dir;
  const std::string lines(3 * 4096, 'C');
  for (const char* text : {"x", "C"}) {
    WriteBytes(dir / "f", lines);
    cutShortAtSearch = dir / "f";
    std::string message;
    try {
      CclFileUtils(dir / "f").RemoveLine(text);
    } catch (const char* thrown) {
      message = thrown;
    }
    EXPECT_EQ(message, "Cannot open file.") << text;
    EXPECT_EQ(ReadBytes(dir / "f"), lines.substr(0, 4096));
    EXPECT_EQ(dir.List(), std::vector<std::string>{"f"});
  }
}

}  // namespace
