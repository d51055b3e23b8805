#include "platform/files.h"

#include <sys/resource.h>
#include <sys/stat.h>

#include <unistd.h>

#include <csignal>

#include <gtest/gtest.h>

#include "support/child_process.h"
#include "support/temp_dir.h"

namespace {

using namespace std::string_literals;

using platform::AtomicFileWriter;

const std::string kOld = "old contents\n";

TEST(ReadWholeFileTest, ReadsEveryByteAndPastTheReportedSize) {
  TempDir dir;
  const std::string bytes("a\r\n\x1a\0b\r"s, 7);
  WriteBytes(dir / "f", bytes);
  std::string contents = "stale";
  ASSERT_TRUE(platform::ReadWholeFile(dir / "f", contents));
  EXPECT_EQ(contents, bytes);
  // Files under /proc report a size of 0 and still have contents.
  ASSERT_TRUE(platform::ReadWholeFile("/proc/self/status", contents));
  EXPECT_NE(contents.find("Name:"), std::string::npos);
}

TEST(ReadWholeFileTest, FailsOnMissingFileAndFolder) {
  TempDir dir;
  std::string contents;
  EXPECT_FALSE(platform::ReadWholeFile(dir / "missing", contents));
  EXPECT_FALSE(platform::ReadWholeFile(dir.path(), contents));
}

TEST(FileContentsTest, HoldsTheWholeFile) {
  TempDir dir;
  const std::string bytes = std::string(10000, 'a') + "\r\n\x1a\0b"s;
  WriteBytes(dir / "f", bytes);
  WriteBytes(dir / "empty", "");
  for (const std::string& path : {dir / "f", dir / "empty", "/proc/self/status"s}) {
    platform::FileContents file;
    ASSERT_TRUE(file.Load(path)) << path;
    EXPECT_EQ(file.bytes(), path == "/proc/self/status" ? file.bytes() : ReadBytes(path));
    EXPECT_TRUE(file.Intact());
  }
  EXPECT_FALSE(platform::FileContents().Load(dir / "missing"));
  EXPECT_FALSE(platform::FileContents().Load(dir.path()));
}

// A mapped file that another program cuts short reads as zeros past its new
// end, instead of ending the process with a bus error.
TEST(FileContentsTest, FileCutShortWhileHeldIsNoticed) {
  TempDir dir;
  WriteBytes(dir / "f", std::string(3 * 4096, 'a'));
  platform::FileContents file;
  ASSERT_TRUE(file.Load(dir / "f"));
  ASSERT_EQ(truncate((dir / "f").c_str(), 4096), 0);
  const std::string seen(file.bytes());
  EXPECT_EQ(seen, std::string(4096, 'a') + std::string(2 * 4096, '\0'));
  EXPECT_FALSE(file.Intact());
}

TEST(DeleteOneFileTest, RemovesFilesOnly) {
  TempDir dir;
  WriteBytes(dir / "f", "x");
  ASSERT_EQ(mkdir((dir / "d").c_str(), 0755), 0);
  EXPECT_TRUE(platform::DeleteOneFile(dir / "f"));
  EXPECT_FALSE(platform::DeleteOneFile(dir / "f"));
  EXPECT_FALSE(platform::DeleteOneFile(dir / "d"));
  EXPECT_EQ(dir.List(), std::vector<std::string>{"d"});
}

TEST(AtomicFileWriterTest, CommitReplacesTheTarget) {
  TempDir dir;
  WriteBytes(dir / "f", kOld);
  AtomicFileWriter out;
  ASSERT_TRUE(out.Open(dir / "f"));
  EXPECT_TRUE(out.Write("new"));
  EXPECT_TRUE(out.Commit());
  EXPECT_EQ(ReadBytes(dir / "f"), "new");
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

TEST(AtomicFileWriterTest, OpenRefusesWhatItMayNotReplace) {
  TempDir dir;
  ASSERT_EQ(mkdir((dir / "d").c_str(), 0755), 0);
  AtomicFileWriter out;
  EXPECT_FALSE(out.Open(dir / "missing"));
  EXPECT_FALSE(out.Open(dir / "d"));
  EXPECT_FALSE(out.Open("/dev/null"));
  EXPECT_EQ(dir.List(), std::vector<std::string>{"d"});
}

TEST(AtomicFileWriterTest, OpenRefusesAFileTheCallerMayNotWrite) {
  TempDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
  WriteBytes(dir / "f", kOld);
  ASSERT_EQ(chmod((dir / "f").c_str(), 0444), 0);
  EXPECT_EQ(RunAsNobody([&] { return AtomicFileWriter().Open(dir / "f") ? 1 : 0; }), 0);
  EXPECT_EQ(dir.List(), std::vector<std::string>{"f"});
}

// The file size limit makes the temporary file's writes fail partway.
TEST(AtomicFileWriterTest, WriteFailingPartwayLeavesTargetAlone) {
  TempDir dir;
  WriteBytes(dir / "f", kOld);
  const int result = RunInChild([&] {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{64 << 10, 64 << 10};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 2;
    AtomicFileWriter out;
    if (!out.Open(dir / "f")) return 3;
    for (int i = 0; i < 64; ++i) out.Write(std::string(16 << 10, 'x'));
    return out.Commit() ? 1 : 0;
  });
  EXPECT_EQ(result, 0);
  EXPECT_EQ(ReadBytes(dir / "f"), kOld);
  EXPECT_EQ(dir.List(), std::vector<std::string>{"f"});
}

// In a sticky folder only a file's owner may replace it, even when everybody
// may write it: the rename fails after the temporary file was written.
TEST(AtomicFileWriterTest, ReplaceFailingLeavesTargetAlone) {
  TempDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 01777), 0);
  WriteBytes(dir / "f", kOld);
  ASSERT_EQ(chmod((dir / "f").c_str(), 0666), 0);
  EXPECT_EQ(RunAsNobody([&] {
              AtomicFileWriter out;
              if (!out.Open(dir / "f")) return 3;
              out.Write("new");
              return out.Commit() ? 1 : 0;
            }),
            0);
  EXPECT_EQ(ReadBytes(dir / "f"), kOld);
  EXPECT_EQ(dir.List(), std::vector<std::string>{"f"});
}

}  // namespace
