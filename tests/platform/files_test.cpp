// What the file layer does on every platform that the command line cannot
// show.
#include "platform/files.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace {

// The file that was read is moved aside and another put in its place before
// the replace: the edit is refused, and neither file changes.
TEST(FilesTest, FileReplacedAfterTheReadIsLeftAlone) {
  TempDir dir;
  WriteBytes(dir / "f", "old\n");
  WriteBytes(dir / "g", "other\n");
  platform::FileContents original;
  platform::AtomicFileWriter out;
  ASSERT_TRUE(original.Load(dir / "f").ok() && out.Open(original).ok() && out.Write("new\n").ok());
  std::filesystem::rename(dir / "f", dir / "f.old");
  std::filesystem::rename(dir / "g", dir / "f");
  EXPECT_EQ(out.Commit().step, platform::Step::kNameChanged);
  EXPECT_EQ(ReadBytes(dir / "f"), "other\n");
  EXPECT_EQ(ReadBytes(dir / "f.old"), "old\n");
  EXPECT_EQ(dir.List(), (std::vector<std::string>{"f", "f.old"}));
}

}  // namespace
