// Names resolved on descriptors, one component at a time, for the POSIX
// layers: what a walk finds stays open, so that every later step works on it
// and never on the name again.
//
// The link rule: a symbolic link, in a folder of the name or as its last
// part, relative or absolute, in chains, is followed only when its owner,
// and the owner of the folder that holds it (who may rename it there, in a
// sticky folder too), are each root, the caller (effective user), or the
// owner of what the link finally leads to. So a user can only lead a more
// privileged run to what that user owns already, whether by a link of their
// own or by giving another's link a new name. The system's
// protected_symlinks covers only sticky folders that anyone may write, and
// only where it is enabled; refusing every link would break a user's
// dotfiles and root's own links.
//
// ".." goes to the folder the walk came from, or to the parent of a folder
// it did not come to by a name; a ".." that leaves a folder that links led
// to stays on their path and reaches only what the rule lets them lead to.
//
// Errors (platform/failure.h): WalkPath fails with kLinkRule when a link
// breaks the rule, and with kResolve and errno when a component is missing
// or not a folder, or more than 40 links are met (ELOOP); it changes nothing. While it
// runs it holds a descriptor for each folder on its way down from where it
// started, or from an absolute link's "/".
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <utility>

#include "platform/failure.h"

namespace platform {

class ScopedFd {
 public:
  ScopedFd() = default;
  explicit ScopedFd(int fd) : fd_(fd) {}
  ~ScopedFd() { reset(); }
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;
  ScopedFd(ScopedFd&& other) noexcept : fd_(other.release()) {}
  ScopedFd& operator=(ScopedFd&& other) noexcept {
    reset(other.release());
    return *this;
  }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

// What a walk found.
struct WalkedPath {
  ScopedFd folder;    // the folder that holds the last name (O_PATH)
  std::string name;   // the last name
  ScopedFd object;    // with followLast: what the name finally leads to (O_PATH)
  struct stat st {};  // with followLast: its status
};

// Resolves `path`, a relative one from the folder open on `from` (or
// AT_FDCWD). Links in its folders are followed by the rule above; the last
// name too when `followLast`, else it is left as it is, link or not, and
// need not exist. A name that ends in '/' is refused.
Status WalkPath(int from, const std::string& path, bool followLast, WalkedPath* walked);

// Opens anew, with `flags` (O_CLOEXEC and O_NOCTTY added), the very file that
// a walk found; -1 with errno set when it cannot.
int ReopenWalked(const WalkedPath& walked, int flags);

// The folder open on `folder` (O_PATH will do), opened anew for reading its
// entries or flushing it; -1 where the caller may not read it.
int OpenFolder(int folder);

// A listing of the entries of the folder open on `folder`, for readdir and
// closedir; null where the caller may not read it.
DIR* OpenListing(int folder);

}  // namespace platform
