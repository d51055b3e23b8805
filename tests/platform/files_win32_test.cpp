#include <windows.h>

#include <gtest/gtest.h>

#include "platform/files.h"
#include "support/temp_dir.h"

namespace {

using namespace std::string_literals;
using platform::AtomicFileWriter;

const std::string kOld = "old contents\r\n";

TEST(FilesWin32Test, ReadsBytesWithoutTextModeTranslation) {
  TempDir dir;
  const std::string bytes = "a\r\n\x1a\0b\r"s;
  WriteBytes(dir / "f", bytes);
  platform::FileContents file;
  ASSERT_TRUE(file.Load(dir / "f"));
  EXPECT_EQ(file.bytes(), bytes);
  EXPECT_TRUE(file.Intact());
  EXPECT_FALSE(platform::FileContents().Load(dir / "missing"));
  EXPECT_FALSE(platform::FileContents().Load(dir.path()));
}

TEST(FilesWin32Test, DeletesFilesOnly) {
  TempDir dir;
  WriteBytes(dir / "f", "x");
  ASSERT_TRUE(CreateDirectoryA((dir / "d").c_str(), nullptr));
  EXPECT_TRUE(platform::DeleteOneFile(dir / "f"));
  EXPECT_FALSE(platform::DeleteOneFile(dir / "f"));
  EXPECT_FALSE(platform::DeleteOneFile(dir / "d"));
  EXPECT_EQ(dir.List(), std::vector<std::string>{"d"});
}

TEST(FilesWin32Test, CommitReplacesAndKeepsAttributes) {
  TempDir dir;
  WriteBytes(dir / "f", kOld);
  ASSERT_TRUE(SetFileAttributesA((dir / "f").c_str(), FILE_ATTRIBUTE_HIDDEN));
  AtomicFileWriter out;
  ASSERT_TRUE(out.Open(dir / "f"));
  out.Write(std::string(3 << 20, 'x'));
  ASSERT_TRUE(out.Commit());
  EXPECT_EQ(ReadBytes(dir / "f"), std::string(3 << 20, 'x'));
  EXPECT_TRUE(GetFileAttributesA((dir / "f").c_str()) & FILE_ATTRIBUTE_HIDDEN);
  EXPECT_EQ(dir.List(), std::vector<std::string>{"f"});
}

TEST(FilesWin32Test, OpenRefusesReadOnlyFilesAndFolders) {
  TempDir dir;
  WriteBytes(dir / "f", kOld);
  ASSERT_TRUE(SetFileAttributesA((dir / "f").c_str(), FILE_ATTRIBUTE_READONLY));
  ASSERT_TRUE(CreateDirectoryA((dir / "d").c_str(), nullptr));
  for (const char* name : {"f", "d", "missing"}) EXPECT_FALSE(AtomicFileWriter().Open(dir / name));
  SetFileAttributesA((dir / "f").c_str(), FILE_ATTRIBUTE_NORMAL);
  EXPECT_EQ(ReadBytes(dir / "f"), kOld);
  EXPECT_EQ(dir.List(), (std::vector<std::string>{"d", "f"}));
}

// Another program holds the target open without letting it be deleted, as a
// scanner may: the replace fails after the retries, and nothing is lost.
TEST(FilesWin32Test, ReplaceFailingLeavesTargetAlone) {
  TempDir dir;
  WriteBytes(dir / "f", kOld);
  AtomicFileWriter out;
  ASSERT_TRUE(out.Open(dir / "f"));
  out.Write("new");
  const HANDLE holder = CreateFileA((dir / "f").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(out.Commit());
  CloseHandle(holder);
  EXPECT_EQ(ReadBytes(dir / "f"), kOld);
  EXPECT_EQ(dir.List(), std::vector<std::string>{"f"});
}

TEST(FilesWin32Test, DestroyedBeforeCommitLeavesTargetAlone) {
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

}  // namespace
