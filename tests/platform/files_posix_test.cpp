#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include "fileutils/CclFileUtils.h"
#include "platform/files.h"
#include "support/temp_dir.h"

namespace {

using platform::AtomicFileWriter;

const std::string kOld = "old contents\n";

// A file system that fills up partway through the rewrite: a small one of
// its own, mounted (as root) in a mount namespace of the child's own, which
// unmounts it when the child ends.
TEST(AtomicFileWriterTest, DiskFullLeavesTargetAlone) {
  TempDir dir;
  const auto run = [&] {
    if (unshare(CLONE_NEWNS) != 0 ||
        mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", dir.path().c_str(), "tmpfs", 0, "size=1m") != 0) {
      return 2;
    }
    std::string old;
    while (old.size() < (600 << 10)) old += "C:\\Tool\\bin\n";
    WriteBytes(dir / "f", old);
    try {
      CclFileUtils(dir / "f").AddLine("x");
      return 1;
    } catch (const char* message) {
      if (std::string(message) != "Cannot open file.") return 3;
    }
    return ReadBytes(dir / "f") == old && dir.List() == std::vector<std::string>{"f"} ? 0 : 4;
  };
  const pid_t child = fork();
  if (child == 0) _exit(run());
  int status = -1;
  waitpid(child, &status, 0);
  EXPECT_EQ(status, 0) << "exit status " << WEXITSTATUS(status)
                       << "; 2: needs root to mount, 1: written, 3: wrong message, 4: changed";
}

// A temporary file that its writer still holds is never taken for a
// left-over of a killed run.
TEST(AtomicFileWriterTest, TemporaryFileOfALiveRunStays) {
  TempDir dir;
  WriteBytes(dir / "f", kOld);
  WriteBytes(dir / ".cfgline-Live00", "being written");
  const int held = open((dir / ".cfgline-Live00").c_str(), O_RDONLY);
  ASSERT_EQ(flock(held, LOCK_EX), 0);
  AtomicFileWriter out;
  ASSERT_TRUE(out.Open(dir / "f"));
  out.Write("new");
  EXPECT_TRUE(out.Commit());
  close(held);
  EXPECT_EQ(dir.List(), (std::vector<std::string>{".cfgline-Live00", "f"}));
}

}  // namespace
