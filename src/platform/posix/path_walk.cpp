#include "platform/posix/path_walk.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <vector>

namespace platform {
namespace {

constexpr int kMaxLinks = 40;  // as the system's own limit

int OpenPath(int folder, const char* name) {
  return openat(folder, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
}

// A link the walk followed, by those who could have put it where it was: its
// owner, and the owner of the folder that held it, who may rename anything
// in it (in a sticky folder too).
struct Link {
  uid_t owner;
  uid_t folderOwner;
  bool operator==(const Link&) const = default;
};

// The link rule: `link` may lead the run to what `targetOwner` owns.
bool MayLead(const Link& link, uid_t targetOwner) {
  auto trusted = [&](uid_t user) { return user == 0 || user == geteuid() || user == targetOwner; };
  return trusted(link.owner) && trusted(link.folderOwner);
}

// A folder the walk is in, or passed through on its way to the one above it.
struct Frame {
  ScopedFd fd;  // O_PATH
  struct stat st;
  bool fromBelow;         // entered by a name in the folder below it on the stack
  std::vector<Link> via;  // links that led the walk here: a ".." out of it must obey them
};

void AddLink(std::vector<Link>& links, const Link& link) {
  if (std::find(links.begin(), links.end(), link) == links.end()) links.push_back(link);
}

// A link met on the way, waiting to be checked against what its text leads
// to, which is reached once the walk's remaining text is down to `restAfter`
// bytes again.
struct PendingLink {
  Link link;
  size_t restAfter;
};

// The walk has reached an object of `owner` with `restSize` bytes left to
// walk: checks, and forgets, the links whose text ends there; a folder
// records them in *via. A link that breaks the rule sets `refused`.
bool Arrive(std::vector<PendingLink>& pending, size_t restSize, uid_t owner, std::vector<Link>* via,
            bool& refused) {
  while (!pending.empty() && pending.back().restAfter >= restSize) {
    if (!MayLead(pending.back().link, owner)) {
      refused = true;
      return false;
    }
    if (via != nullptr) AddLink(*via, pending.back().link);
    pending.pop_back();
  }
  return true;
}

// Starts a stack of folders at `name` ("/" or ".") as seen from `from`.
bool StartAt(std::vector<Frame>& frames, int from, const char* name) {
  frames.clear();
  Frame start{ScopedFd(openat(from, name, O_PATH | O_DIRECTORY | O_CLOEXEC)), {}, false, {}};
  if (start.fd.get() < 0 || fstat(start.fd.get(), &start.st) != 0) return false;
  frames.push_back(std::move(start));
  return true;
}

// Goes up from the top folder: back to the folder below it when the walk
// came from there, else to the parent the system knows. Where links led the
// walk to the folder it leaves, the folder it reaches must be one those links
// may lead to, and records them in turn; else it sets `refused`.
bool Climb(std::vector<Frame>& frames, bool& refused) {
  const std::vector<Link> via = std::move(frames.back().via);
  frames.back().via.clear();
  if (frames.back().fromBelow) {
    frames.pop_back();
  } else {
    Frame& top = frames.back();
    top.fd.reset(openat(top.fd.get(), "..", O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (top.fd.get() < 0 || fstat(top.fd.get(), &top.st) != 0) return false;
  }
  Frame& top = frames.back();
  for (const Link& link : via) {
    if (!MayLead(link, top.st.st_uid)) {
      refused = true;
      return false;
    }
    AddLink(top.via, link);
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

// The walk, in the manner of systemd's chase():
//
//   `rest` is the text still to walk; it starts as the whole name, and the
//   text of each link followed is put in front of what is left. Names are
//   taken from its front one at a time.
//
//   `frames` is the stack of folders walked, the one the walk is in on top.
//   A folder entered by a name is pushed over the folder that holds the
//   name; an absolute link's text starts a new stack at "/".
//
//   A name that is a link puts its text in front of `rest` (40 links at
//   most), and the link waits in `pending` until that text is used up
//   (`rest` is back to the length it had after the link's name): it is then
//   checked, by the link rule (MayLead), against the owner of what the walk
//   reached. A link in a link's text waits above it, and is checked first.
//
//   A folder that links' texts ended at remembers those links (`via`). "."
//   stays in the folder. ".." leaves it: back to the folder below on the
//   stack when the walk entered it from there, else (the start folder, "/",
//   a folder reached by "..") to the parent opened on the folder's own
//   descriptor. A ".." that leaves a folder links led to stays on those
//   links' path: the folder it reaches must pass their rule as well, and
//   remembers them for the next "..". So "bin/../etc", with bin a user's
//   link to that user's own folder, climbs to the folder above that one
//   only if it is the user's too.
//
//   The last name is left as it is unless `followLast`; otherwise it is
//   walked as any other and what it leads to is opened.
static bool Walk(int from, const std::string& path, bool followLast, WalkedPath* walked,
                 bool& refused) {
  if (path.empty() || path.back() == '/') {
    errno = path.empty() ? ENOENT : EISDIR;
    return false;
  }
  // After the first name, `rest` is "" or starts with '/'; it never ends in '/'.
  std::string rest = path;
  std::vector<Frame> frames;
  if (!StartAt(frames, path[0] == '/' ? AT_FDCWD : from, path[0] == '/' ? "/" : ".")) return false;
  std::vector<PendingLink> pending;
  int links = 0;
  for (;;) {
    const size_t begin = rest.find_first_not_of('/');
    const size_t end = std::min(rest.find('/', begin), rest.size());
    const std::string name = rest.substr(begin, end - begin);
    rest.erase(0, end);
    const bool last = rest.empty();
    Frame& top = frames.back();
    if (last && !followLast) {
      walked->folder.reset(top.fd.release());
      walked->name = name;
      return true;
    }

    if (name == "." || name == "..") {
      if (name == ".." && !Climb(frames, refused)) return false;
      Frame& now = frames.back();
      if (!Arrive(pending, rest.size(), now.st.st_uid, &now.via, refused)) return false;
      if (last) {
        walked->object.reset(OpenPath(now.fd.get(), "."));
        walked->st = now.st;
        walked->folder.reset(now.fd.release());
        walked->name.assign(1, '.');  // = "." trips a false GCC 12 -Wrestrict
        return walked->object.get() >= 0;
      }
      continue;
    }

    ScopedFd next(OpenPath(top.fd.get(), name.c_str()));
    struct stat st;
    if (next.get() < 0 || fstat(next.get(), &st) != 0) return false;
    if (S_ISLNK(st.st_mode)) {
      std::string target;
      if (++links > kMaxLinks) {
        errno = ELOOP;
        return false;
      }
      if (!ReadLink(next.get(), target)) return false;
      pending.push_back({{st.st_uid, top.st.st_uid}, rest.size()});
      // A text that ends in '/' names a folder: "dir/" walks as "dir/.", and
      // "/" as "/.".
      if (target.back() == '/') {
        target.erase(target.find_last_not_of('/') + 1);
        target += "/.";
      }
      if (target[0] == '/' && !StartAt(frames, AT_FDCWD, "/")) return false;
      rest.insert(0, target);
      continue;
    }
    std::vector<Link> via;
    if (!Arrive(pending, rest.size(), st.st_uid, &via, refused)) return false;
    if (last) {
      walked->folder.reset(top.fd.release());
      walked->name = name;
      walked->object.reset(next.release());
      walked->st = st;
      return true;
    }
    if (!S_ISDIR(st.st_mode)) {
      errno = ENOTDIR;
      return false;
    }
    frames.push_back({std::move(next), st, true, std::move(via)});
  }
}

Status WalkPath(int from, const std::string& path, bool followLast, WalkedPath* walked) {
  bool refused = false;
  if (Walk(from, path, followLast, walked, refused)) return {};
  if (refused) return {Step::kLinkRule, 0};
  return {Step::kResolve, static_cast<uint32_t>(errno)};
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
