#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <string_view>
#include <utility>

#include "platform/posix/file_lock.h"
#include "platform/files.h"
#include "platform/files_shared.h"
#include "platform/posix/path_walk.h"
#include "platform/posix/protection.h"

namespace platform {
namespace {

// Opens the regular file that a walk found, for reading and, where the
// caller may, writing too (*writable); -1 for anything but a regular file.
// Nothing else is ever opened, so that a device or a FIFO is never touched.
int OpenWalkedFile(const WalkedPath& walked, bool* writable) {
  if (!S_ISREG(walked.st.st_mode)) return -1;
  int fd = ReopenWalked(walked, O_RDWR | O_NONBLOCK);
  *writable = fd >= 0;
  // Not to be written (or, EAGAIN, leased to another for now): read only.
  if (fd < 0 && (errno == EACCES || errno == EPERM || errno == EROFS || errno == ETXTBSY ||
                 errno == EAGAIN)) {
    fd = ReopenWalked(walked, O_RDONLY | O_NONBLOCK);
  }
  return fd;
}

// True when `name` in the folder open on `folder` still is the file whose
// status is `st`, and not a file that replaced it.
bool StillNamed(int folder, const std::string& name, const struct stat& st) {
  struct stat now;
  return fstatat(folder, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 && now.st_dev == st.st_dev &&
         now.st_ino == st.st_ino;
}

// Temporary files are named kTempPrefix and six letters or digits.
bool IsTempName(std::string_view name) {
  return name.size() == kTempPrefix.size() + 6 && name.starts_with(kTempPrefix) &&
         std::all_of(name.begin() + kTempPrefix.size(), name.end(),
                     [](char c) { return std::isalnum(static_cast<unsigned char>(c)); });
}

// Removes the temporary files in the folder open on `folder`, other than
// `own`, that runs left behind when they were killed. A writer holds a lock
// on its temporary file from just after making it until it is renamed into
// place or removed, so a lock that can be taken means its writer is gone, or
// has not locked it yet (then it notices the removal and makes another).
// Only the very file that was locked is removed: meanwhile its name may have
// been renamed into place, and the name passed to a new file. Where the file
// system cannot lock, nothing is removed.
void RemoveLeftoverTemps(int folder, const std::string& own) {
  DIR* dir = OpenListing(folder);
  if (dir == nullptr) return;
  while (const dirent* entry = readdir(dir)) {
    if (!IsTempName(entry->d_name) || own == entry->d_name) continue;
    ScopedFd fd(
        openat(dirfd(dir), entry->d_name, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat locked;
    if (fd.get() >= 0 && fstat(fd.get(), &locked) == 0 && S_ISREG(locked.st_mode) &&
        TakeLock(fd.get()) && StillNamed(dirfd(dir), entry->d_name, locked)) {
      unlinkat(dirfd(dir), entry->d_name, 0);
    }
  }
  closedir(dir);
}

// Large writes go out in pieces of this size, and the disk starts on each
// piece while the next is written, so that the flush before the replace has
// little left to wait for.
constexpr size_t kWritebackChunk = 8 << 20;

// Starts writing the file's dirty pages to the disk, without waiting.
void StartWriteback(int fd) {
#ifdef __linux__
  sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
#else
  (void)fd;
#endif
}

// The one mapping whose bus errors are caught: a read past the end of a
// mapped file that shrank raises SIGBUS.
char* volatile guardedBegin = nullptr;
volatile size_t guardedSize = 0;
volatile sig_atomic_t guardedCut = 0;
size_t pageSize = 0;
struct sigaction previousBusAction;

// Notes the loss and maps zeros over the rest of the mapping, from the
// failing page to its end, in one step and populated, so that no page of it
// faults again: the file is not touched further, and the rest of the
// caller's pass, whose result it then drops (Intact() is false), runs over
// zeros. Bus errors anywhere else take their usual course once the handler
// returns.
void OnBusError(int, siginfo_t* info, void*) {
  const uintptr_t at = reinterpret_cast<uintptr_t>(info->si_addr);
  const uintptr_t begin = reinterpret_cast<uintptr_t>(guardedBegin);
  if (begin != 0 && at >= begin && at - begin < guardedSize) {
    const uintptr_t page = at & ~(pageSize - 1);
    const size_t rest = begin + guardedSize - page;
    void* zeros = reinterpret_cast<void*>(page);
    if (mmap(zeros, rest, PROT_READ,
             MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED | MAP_NORESERVE | MAP_POPULATE, -1,
             0) != MAP_FAILED) {
      guardedCut = 1;
      return;
    }
  }
  sigaction(SIGBUS, &previousBusAction, nullptr);
}

// Maps the whole regular file open on `fd` and guards the mapping; nullptr
// when that cannot be done and the file is to be read instead.
void* MapGuarded(int fd, size_t size) {
  if (guardedBegin != nullptr || size == 0) return nullptr;
  void* mapping = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
  if (mapping == MAP_FAILED) return nullptr;
  struct sigaction action {};
  action.sa_sigaction = OnBusError;
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  if (sigaction(SIGBUS, &action, &previousBusAction) != 0) {
    munmap(mapping, size);
    return nullptr;
  }
  pageSize = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  guardedCut = 0;
  guardedSize = size;
  guardedBegin = static_cast<char*>(mapping);
  return mapping;
}

// How much a file is read past the size it reports: a file under /proc
// reports 0 and holds a few KiB, but /proc/<pid>/pagemap, for one, reads on
// for 256 GiB. A file that goes on further is refused.
constexpr size_t kMaxReadPastSize = 8 << 20;

// Reads the file open on `fd`, whose size was `size`, to its end.
Status ReadOpenFile(int fd, off_t size, std::string& contents) {
  if (static_cast<unsigned long long>(size) >= contents.max_size() - kMaxReadPastSize)
    throw std::bad_alloc();
  auto readSome = [fd](char* buffer, size_t count, size_t& got) -> Status {
    ssize_t put;
    do put = read(fd, buffer, count);
    while (put < 0 && errno == EINTR);
    if (put < 0) return {Step::kRead, static_cast<uint32_t>(errno)};
    got = static_cast<size_t>(put);
    return {};
  };
  return ReadToEnd(readSome, static_cast<size_t>(size), kMaxReadPastSize, contents);
}

// True when the regular file open on `fd`, of `size` bytes, has a hole: a
// range that no data was ever written to, which reads as zeros for as long
// as the file claims. A user makes a file of 1 TiB so at no cost; reading it
// would take hours, and writing it out fill the disk. Where the file system
// cannot tell, it has none. The search moves the file offset: one that
// cannot be put back at the start counts as a hole, or the read would
// start at the end and find the file empty.
bool HasHoles(int fd, off_t size) {
  const off_t hole = lseek(fd, 0, SEEK_HOLE);
  return lseek(fd, 0, SEEK_SET) != 0 || (hole >= 0 && hole < size);
}

// A new temporary file's name: the prefix and six random letters or digits.
std::string NewTempName() {
  static constexpr char kLetters[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  // Should the system have no random bytes to give, the clock's serve: the
  // file is made only where no file of that name exists.
  uint64_t random = 0;
  if (getrandom(&random, sizeof random, 0) != sizeof random) {
    random = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  }
  std::string name(kTempPrefix);
  for (int i = 0; i < 6; ++i, random /= sizeof kLetters - 1) {
    name += kLetters[random % (sizeof kLetters - 1)];
  }
  return name;
}

// The failure of `step`, with errno.
Status Failed(Step step) { return {step, static_cast<uint32_t>(errno)}; }

}  // namespace

FileContents::~FileContents() {
  if (native_.mapping != nullptr) {
    munmap(native_.mapping, bytes_.size());
    guardedBegin = nullptr;
    sigaction(SIGBUS, &previousBusAction, nullptr);
  }
  if (native_.file >= 0) close(native_.file);
  if (native_.folder >= 0) close(native_.folder);
}

Status FileContents::Load(const std::string& path, NativeFolder from) {
  const LockDeadline deadline = NewLockDeadline();
  ScopedFd fd;
  for (;;) {
    WalkedPath walked;
    if (Status status = WalkPath(from, path, true, &walked); !status.ok()) return status;
    fd.reset(OpenWalkedFile(walked, &native_.writable));
    if (fd.get() < 0) return Failed(Step::kResolve);
    // A file that cannot be written is read unlocked; it is never replaced.
    if (native_.writable && !LockOpenFile(fd.get(), deadline)) return Failed(Step::kLock);
    // A run that held the file may have replaced it meanwhile: the lock then
    // guards the old file, and the one the name leads to now must be locked.
    if (!native_.writable || StillNamed(walked.folder.get(), walked.name, walked.st)) {
      native_.folder = walked.folder.release();
      name_ = walked.name;
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) return {Step::kLock, 0};
  }
  struct stat st;
  if (fstat(fd.get(), &st) != 0) return Failed(Step::kRead);
  if (HasHoles(fd.get(), st.st_size)) return {Step::kRead, 0};
  if (static_cast<unsigned long long>(st.st_size) < SIZE_MAX) {
    native_.mapping = MapGuarded(fd.get(), static_cast<size_t>(st.st_size));
  }
  if (native_.mapping != nullptr) {
    bytes_ = std::string_view(static_cast<const char*>(native_.mapping),
                              static_cast<size_t>(st.st_size));
  } else {
    if (Status status = ReadOpenFile(fd.get(), st.st_size, copy_); !status.ok()) return status;
    bytes_ = copy_;
  }
  native_.file = fd.release();
  return {};
}

bool FileContents::Intact() const { return native_.mapping == nullptr || guardedCut == 0; }

Status DeleteOneFile(const std::string& path) {
  WalkedPath walked;
  if (Status status = WalkPath(AT_FDCWD, path, false, &walked); !status.ok()) return status;
  if (unlinkat(walked.folder.get(), walked.name.c_str(), 0) != 0) return Failed(Step::kDelete);
  return {};
}

Status AtomicFileWriter::OpenTemp(FileContents& original) {
  // Only a file that could be opened for writing, and so locked, is replaced.
  if (!original.native_.writable || original.native_.folder < 0) return {Step::kLock, 0};
  original_ = &original;
  const int folder = original.native_.folder;
  // In such a folder the temporary file could be made but never removed.
  if (FolderIsAppendOnlyOrImmutable(folder)) return {Step::kCreateTemp, 0};
  // A run that cleans up may take a new temporary file away before its
  // writer has locked it (see RemoveLeftoverTemps); the writer then makes
  // another.
  for (int attempt = 0; attempt < kTempTries && native_.fd < 0; ++attempt) {
    const std::string temp = NewTempName();
    ScopedFd fd(
        openat(folder, temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd.get() < 0 && errno == EEXIST) continue;
    if (fd.get() < 0) return Failed(Step::kCreateTemp);
    struct stat own;
    if (!TryLockOpenFile(fd.get()) || fstat(fd.get(), &own) != 0 || own.st_nlink == 0) continue;
    native_.fd = fd.release();
    temp_ = temp;
  }
  if (native_.fd < 0) return {Step::kCreateTemp, EEXIST};
  // Before its first byte: the folder's default ACL may have named others
  // in it, whose entries the mode given at commit would bring to life.
  if (!DropInheritedAcl(native_.fd)) {
    const Status status = Failed(Step::kCopyProtection);
    Discard();
    return status;
  }
  RemoveLeftoverTemps(folder, temp_);
  return {};
}

Status AtomicFileWriter::WriteOut(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t put = write(native_.fd, bytes.data(), std::min(bytes.size(), kWritebackChunk));
    if (put < 0 && errno == EINTR) continue;
    if (put < 0) return Failed(Step::kWrite);
    if (put == 0) return {Step::kWrite, 0};
    bytes.remove_prefix(static_cast<size_t>(put));
    StartWriteback(native_.fd);
  }
  return {};
}

Status AtomicFileWriter::Commit() {
  if (failed_.ok() && native_.fd < 0) failed_ = {Step::kCreateTemp, 0};  // never opened
  if (failed_.ok()) failed_ = WriteOut(buffer_);
  buffer_.clear();
  if (!failed_.ok()) {
    Discard();
    return failed_;
  }
  const int fd = native_.fd;
  const int folder = original_->native_.folder;
  const int from = original_->native_.file;
  // The new file gets the old one's protection before it takes its place.
  // The temporary file stays open, and so locked, until it has its place:
  // a run that cleans up would take it for one left behind. The name must
  // still hold the file that was read, or the new contents would replace
  // another file.
  struct stat st;
  if (fstat(from, &st) != 0 || !CopyProtection(from, st, fd)) {
    failed_ = Failed(Step::kCopyProtection);
  } else if (fsync(fd) != 0) {
    failed_ = Failed(Step::kFlush);
  } else if (!StillNamed(folder, original_->name_, st)) {
    failed_ = {Step::kNameChanged, 0};
  } else if (renameat(folder, temp_.c_str(), folder, original_->name_.c_str()) != 0) {
    failed_ = Failed(Step::kRename);
  }
  if (!failed_.ok()) {
    Discard();
    return failed_;
  }
  temp_.clear();
  native_.fd = -1;
  close(fd);  // fsync already reported any write error
  // Make the rename itself durable; the new contents are already safe.
  ScopedFd listing(OpenFolder(folder));
  if (listing.get() >= 0) fsync(listing.get());
  return {};
}

void AtomicFileWriter::Discard() {
  // Removed while still locked: once unlocked, the name may pass to another
  // run's new file.
  if (!temp_.empty()) unlinkat(original_->native_.folder, temp_.c_str(), 0);
  temp_.clear();
  if (native_.fd >= 0) close(native_.fd);
  native_.fd = -1;
}

}  // namespace platform
