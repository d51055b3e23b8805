#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <new>

#include "platform/files.h"

namespace platform {
namespace {

class ScopedFd {
 public:
  explicit ScopedFd(int fd) : fd_(fd) {}
  ~ScopedFd() {
    if (fd_ >= 0) close(fd_);
  }
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

bool ReadWholeFile(const std::string& path, std::string& contents) {
  ScopedFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st;
  if (fd.get() < 0 || fstat(fd.get(), &st) != 0) return false;
  if (static_cast<unsigned long long>(st.st_size) >= contents.max_size()) throw std::bad_alloc();

  // Read to the end, which for a file that grows or a pipe lies past st_size.
  contents.resize(st.st_size > 0 ? static_cast<size_t>(st.st_size) : 4096);
  size_t used = 0;
  for (;;) {
    if (used == contents.size()) contents.resize(used + used / 2 + 4096);
    const ssize_t got = read(fd.get(), contents.data() + used, contents.size() - used);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) break;
    used += static_cast<size_t>(got);
  }
  contents.resize(used);
  return true;
}

bool DeleteOneFile(const std::string& path) { return unlink(path.c_str()) == 0; }

AtomicFileWriter::~AtomicFileWriter() { Discard(); }

bool AtomicFileWriter::Open(const std::string& target) {
  // A symbolic link stays in place; the file it leads to is replaced.
  std::unique_ptr<char, decltype(&std::free)> resolved(realpath(target.c_str(), nullptr),
                                                       &std::free);
  struct stat st;
  if (!resolved || stat(resolved.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  if (faccessat(AT_FDCWD, resolved.get(), W_OK, AT_EACCESS) != 0) return false;

  target_ = resolved.get();
  std::string temp = FolderOf(target_) + "/.cfgline-XXXXXX";
  const int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return false;
  handle_ = fd;
  temp_ = temp;
  buffer_.reserve(kBufferSize);
  return true;
}

bool AtomicFileWriter::WriteOut(std::string_view bytes) {
  while (!failed_ && !bytes.empty()) {
    const ssize_t put = write(static_cast<int>(handle_), bytes.data(), bytes.size());
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) failed_ = true;
    else bytes.remove_prefix(static_cast<size_t>(put));
  }
  return !failed_;
}

bool AtomicFileWriter::Commit() {
  if (handle_ < 0 || !FlushBuffer()) {
    Discard();
    return false;
  }
  const int fd = static_cast<int>(handle_);
  struct stat st;
  bool ok = stat(target_.c_str(), &st) == 0;
  if (ok) {
    // Owner first: changing it clears the set-user-ID and set-group-ID bits.
    if (fchown(fd, st.st_uid, st.st_gid) != 0 && fchown(fd, -1, st.st_gid) != 0) {
      // Not allowed for a file of another owner; the new file stays ours.
    }
    ok = fchmod(fd, st.st_mode & 07777) == 0;
  }
  ok = ok && fsync(fd) == 0;
  handle_ = -1;
  ok = close(fd) == 0 && ok;
  ok = ok && rename(temp_.c_str(), target_.c_str()) == 0;
  if (!ok) {
    Discard();
    return false;
  }
  temp_.clear();
  // Make the rename itself durable; the new contents are already safe.
  ScopedFd folder(open(FolderOf(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.get() >= 0) fsync(folder.get());
  return true;
}

void AtomicFileWriter::Discard() {
  if (handle_ >= 0) close(static_cast<int>(handle_));
  handle_ = -1;
  if (!temp_.empty()) unlink(temp_.c_str());
  temp_.clear();
  failed_ = true;
}

}  // namespace platform
