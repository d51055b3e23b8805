#include "platform/path_walk_posix.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <vector>

namespace platform {
namespace {

constexpr int kMaxLinks = 40;  // as the system's own limit

int OpenPath(int folder, const char* name) {
  return openat(folder, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
}

bool MayFollow(uid_t linkOwner, uid_t targetOwner) {
  return linkOwner == 0 || linkOwner == geteuid() || linkOwner == targetOwner;
}

// A link met on the way, waiting to be checked against what it leads to,
// which is reached once the walk's remaining text is down to `restAfter`
// bytes again.
struct PendingLink {
  uid_t owner;
  size_t restAfter;
};

// Checks, and forgets, the links that lead to the object whose owner is
// `owner`, now that the remaining text is `restSize` bytes long.
bool CheckLinks(std::vector<PendingLink>& pending, size_t restSize, uid_t owner) {
  while (!pending.empty() && pending.back().restAfter >= restSize) {
    if (!MayFollow(pending.back().owner, owner)) {
      errno = EACCES;
      return false;
    }
    pending.pop_back();
  }
  return true;
}

// The target of the link open on `link`, into `target`.
bool ReadLink(int link, std::string& target) {
  std::string buffer(256, '\0');
  for (;;) {
    const ssize_t length = readlinkat(link, "", buffer.data(), buffer.size());
    if (length < 0) return false;
    if (static_cast<size_t>(length) < buffer.size()) {
      target.assign(buffer.data(), static_cast<size_t>(length));
      return !target.empty();
    }
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace

bool WalkPath(int from, const std::string& path, bool followLast, WalkedPath* walked) {
  if (path.empty() || path.back() == '/') {
    errno = path.empty() ? ENOENT : EISDIR;
    return false;
  }
  // What is left to walk: "" or, after the first name, text that starts
  // with '/'; it never ends in '/'.
  std::string rest = path;
  ScopedFd folder(openat(path[0] == '/' ? AT_FDCWD : from, path[0] == '/' ? "/" : ".",
                         O_PATH | O_DIRECTORY | O_CLOEXEC));
  std::vector<PendingLink> pending;
  int links = 0;
  while (folder.get() >= 0) {
    const size_t begin = rest.find_first_not_of('/');
    const size_t end = std::min(rest.find('/', begin), rest.size());
    const std::string name = rest.substr(begin, end - begin);
    rest.erase(0, end);
    const bool last = rest.empty();
    if (last && !followLast) {
      walked->folder.reset(folder.release());
      walked->name = name;
      return true;
    }

    ScopedFd next(OpenPath(folder.get(), name.c_str()));
    struct stat st;
    if (next.get() < 0 || fstat(next.get(), &st) != 0) return false;
    if (S_ISLNK(st.st_mode)) {
      const uid_t owner = st.st_uid;
      std::string target;
      if (++links > kMaxLinks) {
        errno = ELOOP;
        return false;
      }
      if (!ReadLink(next.get(), target)) return false;
      const bool absolute = target[0] == '/';
      target.erase(target.find_last_not_of('/') + 1);
      if (absolute) folder.reset(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
      if (target.empty()) {  // a link to "/" itself
        if (last || fstat(folder.get(), &st) != 0 || !MayFollow(owner, st.st_uid)) {
          errno = last ? EISDIR : EACCES;
          return false;
        }
        continue;
      }
      pending.push_back({owner, rest.size()});
      rest.insert(0, target);
      continue;
    }
    if (!CheckLinks(pending, rest.size(), st.st_uid)) return false;
    if (last) {
      walked->folder.reset(folder.release());
      walked->name = name;
      walked->object.reset(next.release());
      walked->st = st;
      return true;
    }
    if (!S_ISDIR(st.st_mode)) {
      errno = ENOTDIR;
      return false;
    }
    folder.reset(next.release());
  }
  return false;
}

int OpenFolder(int folder) { return openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC); }

DIR* OpenListing(int folder) {
  const int fd = OpenFolder(folder);
  DIR* dir = fd < 0 ? nullptr : fdopendir(fd);
  if (dir == nullptr && fd >= 0) close(fd);
  return dir;
}

int ReopenWalked(const WalkedPath& walked, int flags) {
  flags |= O_CLOEXEC | O_NOCTTY;
  char proc[40];
  std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", walked.object.get());
  int fd = open(proc, flags);
  // Without /proc (a bare chroot), by its name in the folder found, which
  // must then still hold the same file.
  if (fd < 0 && errno == ENOENT)
    fd = openat(walked.folder.get(), walked.name.c_str(), flags | O_NOFOLLOW);
  struct stat st;
  if (fd >= 0 &&
      (fstat(fd, &st) != 0 || st.st_dev != walked.st.st_dev || st.st_ino != walked.st.st_ino)) {
    close(fd);
    errno = ESTALE;
    return -1;
  }
  return fd;
}

}  // namespace platform
