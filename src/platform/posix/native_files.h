// What a loaded file and a writer hold on the POSIX layers, and what these
// layers add to files.h:
//   - links are followed by the rule of posix/path_walk.h (the owner of a
//     link, and of its folder, must be root, the caller, or the owner of
//     what it leads to);
//   - a file is read at most 8 MiB past the size it reports, and a file
//     with holes (sparse) is refused before it is read;
//   - Load takes a relative name from a folder open on a descriptor too;
//   - the temporary file is made with mode 0600, not in an append-only or
//     immutable folder, and without the ACL that the folder's default ACL
//     gives; Commit gives it what posix/protection.h lists.
// Best-effort steps: starting the disk on each written piece, and flushing
// the folder after the rename.
#pragma once

#include <fcntl.h>

namespace platform {

// A folder that relative names are taken from: open on this descriptor.
using NativeFolder = int;
inline constexpr NativeFolder kWorkingFolder = AT_FDCWD;

struct NativeFile {
  int file = -1;            // the file that was read, open; it holds the lock
  int folder = -1;          // the folder that holds it (O_PATH)
  bool writable = false;    // file is open for writing too, and locked
  void* mapping = nullptr;  // the file, mapped; null when it was read
};

struct NativeTemp {
  int fd = -1;  // the temporary file, open and locked
};

}  // namespace platform
