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
#include "platform/files.h"
#include "platform/posix/file_lock.h"
#include "platform/posix/path_walk.h"
#include "support/temp_dir.h"

namespace {

// Without /proc (hidden in a mount namespace of the child's own), a file that
// a walk found is opened anew by its name in the folder found, which must
// still hold that very file: one renamed there meanwhile is refused.
TEST(FileEditTest, ReopenWithoutProcRefusesASwappedName) {
  TempDir dir;
  WriteBytes(dir / "f", "a\n");
  WriteBytes(dir / "g", "b\n");
  const pid_t child = fork();
  if (child == 0) {
    platform::WalkedPath walked;
    // Nothing mounted here may reach the rest of the system: the mounts are
    // made private first, from "/" or, in a chroot whose "/" is no mount
    // point, from /proc. A chroot without /proc has nothing to hide.
    auto makePrivate = [](const char* at) {
      return mount("none", at, nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    };
    const bool hidden = access("/proc/self/fd", F_OK) != 0;
    if (unshare(CLONE_NEWNS) != 0 ||
        (!hidden && !((makePrivate("/") || makePrivate("/proc")) &&
                      mount("none", "/proc", "tmpfs", 0, nullptr) == 0)) ||
        !platform::WalkPath(AT_FDCWD, dir / "f", true, &walked).ok())
      _exit(2);
    const int same = platform::ReopenWalked(walked, O_RDONLY);
    rename((dir / "g").c_str(), (dir / "f").c_str());
    _exit(same < 0 || platform::ReopenWalked(walked, O_RDONLY) >= 0 || errno != ESTALE);
  }
  int status = -1;
  waitpid(child, &status, 0);
  EXPECT_EQ(status, 0) << "exit status 2: needs root to mount; 1: not reopened as it should";
}

// The walk's own cases, from a folder that holds "d/f" and the links
// "l1" -> "l2" -> "d": each name leads to what the system would open, or
// fails as the system would.
TEST(WalkTest, LeadsWhereTheSystemDoes) {
  namespace fs = std::filesystem;
  TempDir dir;
  fs::create_directory(dir / "d");
  WriteBytes(dir / "d/f", "a\n");
  fs::create_directory_symlink("l2", dir / "l1");
  fs::create_directory_symlink("d", dir / "l2");
  const int from = open(dir.path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  const std::string up = "../" + fs::path(dir.path()).filename().string();
  // clang-format off
  const struct { std::string path, leadsTo; int error; } cases[] = {
      {"l1/f", "d/f", 0},           // a chain of links to a folder
      {up + "/d/f", "d/f", 0},      // ".." above the folder walked from
      {"l1/../d/f", "d/f", 0},      // ".." out of a folder a link led to
      {"d/.", "d", 0},              // "." last: the folder itself
      {"d/f/x", "", ENOTDIR},       // a file where a folder must be
      {"d/f/", "", EISDIR},         // a name that ends in '/'
  };
  // clang-format on
  auto inode = [&](const std::string& name) {
    struct stat st {};
    stat((dir / name).c_str(), &st);
    return st.st_ino;
  };
  for (const auto& c : cases) {
    platform::WalkedPath walked;
    const platform::Status status = platform::WalkPath(from, c.path, true, &walked);
    const bool found = status.ok();
    EXPECT_EQ(status.code, static_cast<uint32_t>(c.error)) << c.path;
    EXPECT_EQ(found ? walked.st.st_ino : 0, found ? inode(c.leadsTo) : 0) << c.path;
  }
  // A link of user nobody's to root's file breaks the link rule.
  fs::create_symlink("d/f", dir / "l3");
  ASSERT_EQ(lchown((dir / "l3").c_str(), 65534, 65534), 0);
  platform::WalkedPath walked;
  EXPECT_EQ(platform::WalkPath(from, "l3", true, &walked).step, platform::Step::kLinkRule);
  close(from);
}

// A temporary file that its writer still holds is never taken for a
// left-over of a killed run.
TEST(FileEditTest, TemporaryFileOfALiveRunStays) {
  TempDir dir;
  WriteBytes(dir / "f", "a\n");
  const int held = open((dir / ".cfgline-Live00").c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_TRUE(platform::TakeLock(held));
  CclFileUtils(dir / "f").AddLine("x");
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
