// What the editor and the file layer under it do that the command line cannot
// show. The rest of the editor's behaviour is in the end-to-end table.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "fileutils/CclFileUtils.h"
#include "platform/file_lock_posix.h"
#include "platform/files.h"
#include "support/temp_dir.h"

namespace {

// Runs one edit and returns the message it threw, or "" when none.
std::string Edit(bool add, const std::string& file, const std::string& text) {
  try {
    add ? CclFileUtils(file).AddLine(text) : CclFileUtils(file).RemoveLine(text);
  } catch (const char* message) {
    return message;
  }
  return "";
}

// A file system that fills up partway through the rewrite: a small one of
// its own, mounted (as root) in a mount namespace of the child's own, which
// unmounts it when the child ends.
TEST(FileEditTest, DiskFullLeavesFileAlone) {
  TempDir dir;
  const pid_t child = fork();
  if (child == 0) {
    if (unshare(CLONE_NEWNS) || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
        mount("tmpfs", dir.path().c_str(), "tmpfs", 0, "size=1m"))
      _exit(2);
    const std::string old(600 << 10, 'a');
    WriteBytes(dir / "f", old);
    _exit(Edit(true, dir / "f", "x") != "Cannot open file." || ReadBytes(dir / "f") != old ||
          dir.List() != std::vector<std::string>{"f"});
  }
  int status = -1;
  waitpid(child, &status, 0);
  EXPECT_EQ(status, 0) << "exit status 2: needs root to mount; 1: file or folder changed";
}

// A temporary file that its writer still holds is never taken for a
// left-over of a killed run.
TEST(FileEditTest, TemporaryFileOfALiveRunStays) {
  TempDir dir;
  WriteBytes(dir / "f", "a\n");
  const int held = open((dir / ".cfgline-Live00").c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_TRUE(platform::TakeLock(held));
  EXPECT_EQ(Edit(true, dir / "f", "x"), "");
  close(held);
  EXPECT_EQ(dir.List(), (std::vector<std::string>{".cfgline-Live00", "f"}));
}

// A run that holds the file keeps another waiting until the deadline, and no
// longer: the lock is one description's, even within one process.
TEST(FileEditTest, LockWaitEndsAtItsDeadline) {
  TempDir dir;
  WriteBytes(dir / "f", "a\n");
  const int holder = open((dir / "f").c_str(), O_RDWR);
  const int waiter = open((dir / "f").c_str(), O_RDWR);
  ASSERT_TRUE(platform::TakeLock(holder));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(platform::LockOpenFile(waiter, start + std::chrono::milliseconds(50)));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  close(holder);
  EXPECT_TRUE(platform::LockOpenFile(waiter, std::chrono::steady_clock::now()));
  close(waiter);
}

}  // namespace
