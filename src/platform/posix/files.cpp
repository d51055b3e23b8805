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

// Temporary files are named this and six letters or digits.
constexpr std::string_view kTempPrefix = ".cfgline-";

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

// Reads until the end of the file or until `buffer` is full; returns the
// count read, or -1 on an error.
ssize_t ReadFully(int fd, char* buffer, size_t size) {
  size_t used = 0;
  while (used < size) {
    const ssize_t got = read(fd, buffer + used, size - used);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return -1;
    if (got == 0) break;
    used += static_cast<size_t>(got);
  }
  return static_cast<ssize_t>(used);
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
bool ReadOpenFile(int fd, off_t size, std::string& contents) {
  if (static_cast<unsigned long long>(size) >= contents.max_size() - kMaxReadPastSize)
    throw std::bad_alloc();
  // The size is known, so read it into a buffer of exactly that size; then
  // read on to the end, which for a file that grows or reports no size lies
  // past it.
  const size_t limit = static_cast<size_t>(size) + kMaxReadPastSize;
  contents.resize(static_cast<size_t>(size));
  ssize_t got = ReadFully(fd, contents.data(), contents.size());
  if (got < 0) return false;
  contents.resize(static_cast<size_t>(got));
  char more[4096];
  do {
    got = ReadFully(fd, more, sizeof more);
    if (got < 0) return false;
    contents.append(more, static_cast<size_t>(got));
  } while (got > 0 && contents.size() <= limit);
  return contents.size() <= limit;
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

}  // namespace

FileContents::~FileContents() {
  if (mapping_ != nullptr) {
    munmap(mapping_, bytes_.size());
    guardedBegin = nullptr;
    sigaction(SIGBUS, &previousBusAction, nullptr);
  }
  if (file_ >= 0) close(static_cast<int>(file_));
  if (folder_ >= 0) close(static_cast<int>(folder_));
}

bool FileContents::Load(const std::string& path, intptr_t from) {
  const LockDeadline deadline = NewLockDeadline();
  ScopedFd fd;
  for (;;) {
    WalkedPath walked;
    if (!WalkPath(from == kWorkingFolder ? AT_FDCWD : static_cast<int>(from), path, true,
                  &walked)) {
      return false;
    }
    fd.reset(OpenWalkedFile(walked, &writable_));
    if (fd.get() < 0) return false;
    // A file that cannot be written is read unlocked; it is never replaced.
    if (writable_ && !LockOpenFile(fd.get(), deadline)) return false;
    // A run that held the file may have replaced it meanwhile: the lock then
    // guards the old file, and the one the name leads to now must be locked.
    if (!writable_ || StillNamed(walked.folder.get(), walked.name, walked.st)) {
      folder_ = walked.folder.release();
      name_ = walked.name;
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
  }
  struct stat st;
  if (fstat(fd.get(), &st) != 0 || HasHoles(fd.get(), st.st_size)) return false;
  if (static_cast<unsigned long long>(st.st_size) < SIZE_MAX) {
    mapping_ = MapGuarded(fd.get(), static_cast<size_t>(st.st_size));
  }
  if (mapping_ != nullptr) {
    bytes_ = std::string_view(static_cast<const char*>(mapping_), static_cast<size_t>(st.st_size));
  } else {
    if (!ReadOpenFile(fd.get(), st.st_size, copy_)) return false;
    bytes_ = copy_;
  }
  file_ = fd.release();
  return true;
}

bool FileContents::Intact() const { return mapping_ == nullptr || guardedCut == 0; }

bool DeleteOneFile(const std::string& path) {
  WalkedPath walked;
  return WalkPath(AT_FDCWD, path, false, &walked) &&
         unlinkat(walked.folder.get(), walked.name.c_str(), 0) == 0;
}

AtomicFileWriter::~AtomicFileWriter() { Discard(); }

bool AtomicFileWriter::Open(const FileContents& original) {
  // Only a file that could be opened for writing, and so locked, is replaced.
  if (!original.writable_ || original.folder_ < 0) return false;
  original_ = &original;
  const int folder = static_cast<int>(original.folder_);
  // In such a folder the temporary file could be made but never removed.
  if (FolderIsAppendOnlyOrImmutable(folder)) return false;
  // A run that cleans up may take a new temporary file away before its
  // writer has locked it (see RemoveLeftoverTemps); the writer then makes
  // another.
  for (int attempt = 0; attempt < 100 && handle_ < 0; ++attempt) {
    const std::string temp = NewTempName();
    ScopedFd fd(
        openat(folder, temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd.get() < 0 && errno == EEXIST) continue;
    if (fd.get() < 0) return false;
    struct stat own;
    if (!TryLockOpenFile(fd.get()) || fstat(fd.get(), &own) != 0 || own.st_nlink == 0) continue;
    handle_ = fd.release();
    temp_ = temp;
  }
  if (handle_ < 0) return false;
  // Before its first byte: the folder's default ACL may have named others
  // in it, whose entries the mode given at commit would bring to life.
  if (!DropInheritedAcl(static_cast<int>(handle_))) {
    Discard();
    return false;
  }
  RemoveLeftoverTemps(folder, temp_);
  buffer_.reserve(kBufferSize);
  return true;
}

bool AtomicFileWriter::WriteOut(std::string_view bytes) {
  const int fd = static_cast<int>(handle_);
  while (!failed_ && !bytes.empty()) {
    const ssize_t put = write(fd, bytes.data(), std::min(bytes.size(), kWritebackChunk));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      failed_ = true;
    } else {
      bytes.remove_prefix(static_cast<size_t>(put));
      StartWriteback(fd);
    }
  }
  return !failed_;
}

bool AtomicFileWriter::Commit() {
  if (handle_ < 0 || !FlushBuffer()) {
    Discard();
    return false;
  }
  const int fd = static_cast<int>(handle_);
  const int folder = static_cast<int>(original_->folder_);
  // The new file gets the old one's protection before it takes its place.
  struct stat st;
  bool ok = fstat(static_cast<int>(original_->file_), &st) == 0 &&
            CopyProtection(static_cast<int>(original_->file_), st, fd);
  // The temporary file stays open, and so locked, until it has its place:
  // a run that cleans up would take it for one left behind. The name must
  // still hold the file that was read, or the new contents would replace
  // another file.
  ok = ok && fsync(fd) == 0 && StillNamed(folder, original_->name_, st) &&
       renameat(folder, temp_.c_str(), folder, original_->name_.c_str()) == 0;
  if (!ok) {
    Discard();
    return false;
  }
  temp_.clear();
  handle_ = -1;
  close(fd);  // fsync already reported any write error
  // Make the rename itself durable; the new contents are already safe.
  ScopedFd listing(OpenFolder(folder));
  if (listing.get() >= 0) fsync(listing.get());
  return true;
}

void AtomicFileWriter::Discard() {
  // Removed while still locked: once unlocked, the name may pass to another
  // run's new file.
  if (!temp_.empty()) unlinkat(static_cast<int>(original_->folder_), temp_.c_str(), 0);
  temp_.clear();
  if (handle_ >= 0) close(static_cast<int>(handle_));
  handle_ = -1;
  failed_ = true;
}

}  // namespace platform
