#include <windows.h>

#include <gtest/gtest.h>

#include "platform/files.h"
#include "support/temp_dir.h"

namespace {

using platform::AtomicFileWriter;

const std::string kOld = "old contents\r\n";

TEST(FilesWin32Test, CommitReplacesAndKeepsAttributes) {
  TempDir dir;
  WriteBytes(dir / "f", kOld);
  ASSERT_TRUE(SetFileAttributesA((dir / "f").c_str(), FILE_ATTRIBUTE_HIDDEN));
  AtomicFileWriter out;
  ASSERT_TRUE(out.Open(dir / "f"));
  out.Write("new");
  ASSERT_TRUE(out.Commit());
  EXPECT_EQ(ReadBytes(dir / "f"), "new");
  EXPECT_TRUE(GetFileAttributesA((dir / "f").c_str()) & FILE_ATTRIBUTE_HIDDEN);
  EXPECT_EQ(dir.List(), std::vector<std::string>{"f"});
}

TEST(FilesWin32Test, OpenRefusesReadOnlyFile) {
  TempDir dir;
  WriteBytes(dir / "f", kOld);
  ASSERT_TRUE(SetFileAttributesA((dir / "f").c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_FALSE(AtomicFileWriter().Open(dir / "f"));
  SetFileAttributesA((dir / "f").c_str(), FILE_ATTRIBUTE_NORMAL);
  EXPECT_EQ(ReadBytes(dir / "f"), kOld);
  EXPECT_EQ(dir.List(), std::vector<std::string>{"f"});
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

}  // namespace
