// The file layer's contract, the same on every platform.

#include "platform/files.h"

#include <filesystem>

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace {

using namespace std::string_literals;
using platform::AtomicFileWriter;

const std::string kOld = "old contents\n";

TEST(FilesTest, ReadsEveryByteUntranslated) {
  TempDir dir;
  const std::string bytes = std::string(10000, 'a') + "\r\n\x1a\0b\r"s;
  WriteBytes(dir / "f", bytes);
  WriteBytes(dir / "empty", "");
  for (const std::string name : {"f", "empty"}) {
    std::string contents = "stale";
    ASSERT_TRUE(platform::ReadWholeFile(dir / name, contents)) << name;
    EXPECT_EQ(contents, ReadBytes(dir / name));
    platform::FileContents file;
    ASSERT_TRUE(file.Load(dir / name)) << name;
    EXPECT_EQ(file.bytes(), ReadBytes(dir / name));
    EXPECT_TRUE(file.Intact());
  }
  EXPECT_EQ(ReadBytes(dir / "f"), bytes);
}

TEST(FilesTest, ReadingFailsOnMissingFileAndFolder) {
  TempDir dir;
  std::string contents;
  for (const std::string& path : {dir / "missing", dir.path()}) {
    EXPECT_FALSE(platform::ReadWholeFile(path, contents)) << path;
    EXPECT_FALSE(platform::FileContents().Load(path)) << path;
  }
}

TEST(FilesTest, DeletesFilesOnly) {
  TempDir dir;
  WriteBytes(dir / "f", "x");
  ASSERT_TRUE(std::filesystem::create_directory(dir / "d"));
  EXPECT_TRUE(platform::DeleteOneFile(dir / "f"));
  EXPECT_FALSE(platform::DeleteOneFile(dir / "f"));
  EXPECT_FALSE(platform::DeleteOneFile(dir / "d"));
  EXPECT_EQ(dir.List(), std::vector<std::string>{"d"});
}

TEST(AtomicFileWriterTest, CommitReplacesTheTarget) {
  TempDir dir;
  WriteBytes(dir / "f", kOld);
  const std::string large(3 << 20, 'x');  // larger than the write buffer
  AtomicFileWriter out;
  ASSERT_TRUE(out.Open(dir / "f"));
  EXPECT_TRUE(out.Write("new"));
  EXPECT_TRUE(out.Write(large));
  EXPECT_TRUE(out.Commit());
  EXPECT_EQ(ReadBytes(dir / "f"), "new" + large);
  EXPECT_EQ(dir.List(), std::vector<std::string>{"f"});
}

TEST(AtomicFileWriterTest, DestroyedBeforeCommitLeavesTargetAlone) {
  TempDir dir;
  WriteBytes(dir / "f", kOld);
  {
    AtomicFileWriter out;
    ASSERT_TRUE(out.Open(dir / "f"));
    out.Write(std::string(3 << 20, 'x'));
  }
  EXPECT_EQ(ReadBytes(dir / "f"), kOld);
  EXPECT_EQ(dir.List(), std::vector<std::string>{"f"});
}

TEST(AtomicFileWriterTest, OpenRefusesMissingFileAndFolder) {
  TempDir dir;
  ASSERT_TRUE(std::filesystem::create_directory(dir / "d"));
  EXPECT_FALSE(AtomicFileWriter().Open(dir / "missing"));
  EXPECT_FALSE(AtomicFileWriter().Open(dir / "d"));
  EXPECT_EQ(dir.List(), std::vector<std::string>{"d"});
}

}  // namespace
