// What the editor does that the command line cannot show. The rest of its
// behaviour is in the end-to-end table.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

#include "fileutils/CclFileUtils.h"
#include "platform/find_bytes.h"
#include "support/temp_dir.h"

namespace {

std::string cutShortAtSearch;  // a file to cut to one page at the next search

// Runs one edit and returns the message it threw, or "" when none.
std::string Edit(bool add, const std::string& file, const std::string& text) {
  try {
    add ? CclFileUtils(file).AddLine(text) : CclFileUtils(file).RemoveLine(text);
  } catch (const char* message) {
    return message;
  }
  return "";
}

}  // namespace

// Takes the place of the library's search in this program, so that a file
// can be cut short while the editor holds and reads it.
size_t platform::FindBytes(std::string_view haystack, std::string_view needle) {
  if (!cutShortAtSearch.empty()) truncate(std::exchange(cutShortAtSearch, "").c_str(), 4096);
  return haystack.find(needle);
}

namespace {

// The lost bytes read as zeros; the editor must not write them back.
TEST(FileEditTest, FileCutShortWhileReadIsLeftAlone) {
  TempDir dir;
  std::string lines;
  while (lines.size() < 3 * 4096) lines += "C:\\Tool\\bin\n";
  for (const bool add : {true, false}) {
    WriteBytes(dir / "f.txt", lines);
    cutShortAtSearch = dir / "f.txt";
    EXPECT_EQ(Edit(add, dir / "f.txt", add ? "x" : "C:"), "Cannot open file.");
    EXPECT_EQ(ReadBytes(dir / "f.txt"), lines.substr(0, 4096));
    EXPECT_EQ(dir.List(), std::vector<std::string>{"f.txt"});
  }
}

// The link stays a link; the file it leads to keeps its mode and owner.
TEST(FileEditTest, RewriteThroughALinkKeepsModeAndOwner) {
  TempDir dir;
  WriteBytes(dir / "f.txt", "a\n");
  ASSERT_EQ(chmod((dir / "f.txt").c_str(), 0640), 0);
  ASSERT_EQ(chown((dir / "f.txt").c_str(), 1234, 5678), 0) << "needs root";
  ASSERT_EQ(symlink("f.txt", (dir / "link").c_str()), 0);
  EXPECT_EQ(Edit(true, dir / "link", "x"), "");
  EXPECT_EQ(ReadBytes(dir / "f.txt"), "a\r\nx\r\n");
  struct stat st {};
  ASSERT_EQ(lstat((dir / "link").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  ASSERT_EQ(stat((dir / "f.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(st.st_uid, 1234u);
  EXPECT_EQ(st.st_gid, 5678u);
}

}  // namespace
