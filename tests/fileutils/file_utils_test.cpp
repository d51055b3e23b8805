#include "fileutils/CclFileUtils.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <optional>

#include <gtest/gtest.h>

#include "support/child_process.h"
#include "support/temp_dir.h"

namespace {

using namespace std::string_literals;

enum Op { kAdd, kRemove };

// Runs one edit and returns the message it threw, or "" when none.
std::string Edit(Op op, const std::string& file, const std::string& text) {
  try {
    CclFileUtils utils(file);
    if (op == kAdd) utils.AddLine(text);
    else utils.RemoveLine(text);
  } catch (const char* message) {
    return message;
  }
  return "";
}

ino_t InodeOf(const std::string& path) {
  struct stat st {};
  stat(path.c_str(), &st);
  return st.st_ino;
}

struct EditCase {
  Op op;
  std::string before;
  std::string text;
  std::optional<std::string> after;  // nullopt: the file is not written
};

class FileEditTest : public testing::TestWithParam<EditCase> {};

TEST_P(FileEditTest, GivesExactBytes) {
  const EditCase& c = GetParam();
  TempDir dir;
  const std::string file = dir / "f.txt";
  WriteBytes(file, c.before);
  const ino_t inode = InodeOf(file);

  EXPECT_EQ(Edit(c.op, file, c.text), "");
  EXPECT_EQ(ReadBytes(file), c.after.value_or(c.before));
  EXPECT_EQ(InodeOf(file) == inode, !c.after.has_value()) << "written or not";
  EXPECT_EQ(dir.List(), std::vector<std::string>{"f.txt"});
}

const EditCase kEditCases[] = {
    {kAdd, "a\nb\n", "x", "a\r\nb\r\nx\r\n"},
    {kAdd, "a\nb", "x", "a\r\nb\r\nx\r\n"},
    {kAdd, "a\r\nb\r\n", "x", "a\r\nb\r\nx\r\n"},
    {kAdd, "", "x", "x\r\n"},
    {kAdd, "\n\n", "x", "x\r\n"},
    {kAdd, "a\n\n\nb\n", "x", "a\r\nb\r\nx\r\n"},
    {kAdd, "a\r\n\r\nb", "x", "a\r\nb\r\nx\r\n"},
    {kAdd, "ax\n", "x", std::nullopt},
    {kAdd, "ax\r\n\r\n\nb", "x", std::nullopt},
    {kAdd, "a b\tc\n", "x", "a b\tc\r\nx\r\n"},
    {kAdd, "a\rb\n", "x", "a\rb\r\nx\r\n"},
    {kAdd, "a\r\r\nb", "x", "a\r\r\nb\r\nx\r\n"},
    {kAdd, "a\x1a" "b\x1a\nc\n", "x", "a\x1a" "b\x1a\r\nc\r\nx\r\n"},
    {kAdd, "a\0b\n"s, "x", "a\0b\r\nx\r\n"s},
    {kAdd, "x\r\n", "x\r", "x\r\nx\r\r\n"},  // the CR of CR LF is in no line
    {kAdd, "x\r\r\n", "x\r", std::nullopt},
    {kAdd, "a\n", "", std::nullopt},
    {kAdd, "", "", "\r\n"},
    {kAdd, "\r\n\n", "", "\r\n"},
    {kRemove, "a\nx\nb\n", "x", "a\r\nb\r\n"},
    {kRemove, "xa\nb\nx", "x", "b\r\n"},
    {kRemove, "x\n", "x", "\r\n"},
    {kRemove, "a\nb\n", "x", std::nullopt},
    {kRemove, "X\n", "x", std::nullopt},
    {kRemove, "", "x", std::nullopt},
    {kRemove, "a\0x\nb\n"s, "x", "b\r\n"},
    {kRemove, "a\r\nb\n", "a\r", std::nullopt},
    {kRemove, "a\r\r\nb\n", "a\r", "b\r\n"},
    {kRemove, "a\r\n\r\nb\nab\n", "b", "a\r\n"},
    {kRemove, "a\r\nx\r\nb\r\nc\n\r\nd\r\ne", "x", "a\r\nb\r\nc\r\nd\r\ne\r\n"},
    {kRemove, "a\nb\n", "", "\r\n"},
    {kRemove, "\n\n", "", std::nullopt},
};

INSTANTIATE_TEST_SUITE_P(Table, FileEditTest, testing::ValuesIn(kEditCases));

TEST(FileEditTest, LinesLongerThanTheWriteBufferSurviveWhole) {
  TempDir dir;
  const std::string file = dir / "f.txt";
  const std::string longLine(3 << 20, 'a');
  WriteBytes(file, longLine + "\n" + longLine + "x\n");
  EXPECT_EQ(Edit(kRemove, file, "x"), "");
  EXPECT_EQ(ReadBytes(file), longLine + "\r\n");
}

TEST(FileEditTest, MissingFileOrFolderIsReportedAndNothingIsCreated) {
  TempDir dir;
  for (Op op : {kAdd, kRemove}) {
    EXPECT_EQ(Edit(op, dir / "missing.txt", "x"), "Cannot open file.");
    EXPECT_EQ(Edit(op, dir.path(), "x"), "Cannot open file.");
  }
  EXPECT_TRUE(dir.List().empty());
}

TEST(FileEditTest, SymbolicLinkStaysALinkAndItsTargetIsEdited) {
  TempDir dir;
  WriteBytes(dir / "real.txt", "a\n");
  ASSERT_EQ(symlink("real.txt", (dir / "link.txt").c_str()), 0);
  EXPECT_EQ(Edit(kAdd, dir / "link.txt", "x"), "");
  struct stat st {};
  ASSERT_EQ(lstat((dir / "link.txt").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(ReadBytes(dir / "real.txt"), "a\r\nx\r\n");
}

TEST(FileEditTest, RewriteKeepsModeAndOwner) {
  TempDir dir;
  const std::string file = dir / "f.txt";
  WriteBytes(file, "a\n");
  ASSERT_EQ(chmod(file.c_str(), 0640), 0);
  ASSERT_EQ(chown(file.c_str(), 1234, 5678), 0) << "needs root";
  EXPECT_EQ(Edit(kAdd, file, "x"), "");
  struct stat st {};
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(st.st_uid, 1234u);
  EXPECT_EQ(st.st_gid, 5678u);
}

// A file that the caller may not write, in a folder where a rename would
// succeed: refused when a change is needed, untouched when none is.
TEST(FileEditTest, ReadOnlyFileIsRefusedOrLeftAlone) {
  TempDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
  const std::string file = dir / "f.txt";
  struct Case { Op op; const char* text; const char* message; } cases[] = {
      {kAdd, "x", "Cannot open file."},
      {kRemove, "a", "Cannot open file."},
      {kAdd, "a", ""},
      {kRemove, "x", ""},
  };
  for (const Case& c : cases) {
    WriteBytes(file, "a\n");
    ASSERT_EQ(chmod(file.c_str(), 0444), 0);
    const std::string expected = c.message;
    EXPECT_EQ(RunAsNobody([&] { return Edit(c.op, file, c.text) == expected ? 0 : 1; }), 0)
        << c.text;
    EXPECT_EQ(ReadBytes(file), "a\n");
    EXPECT_EQ(dir.List(), std::vector<std::string>{"f.txt"});
  }
}

}  // namespace
