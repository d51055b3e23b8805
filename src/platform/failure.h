// The platform layer's error contract, for every seam in this folder: an
// operation that can fail returns a Status, which is either success or the
// step that failed with the system's code for why (errno; a Win32 error code
// on Windows; 0 where the layer refused on a check of its own). A failure
// leaves what was to be changed as it was. Nothing in the layer prints, and
// std::bad_alloc is the only exception that leaves it. Steps that cannot
// fail an operation (best-effort clean-up and the like) are listed in their
// seam's header and report nothing.
#pragma once

#include <cstdint>

namespace platform {

enum class Step : uint8_t {
  kNone,            // nothing failed
  kResolve,         // finding and opening what a name leads to
  kLinkRule,        // a link that the ownership rule refuses (posix/path_walk.h)
  kLock,            // taking the lock on a file or key, or a file not writable to lock
  kRead,            // reading a file, or refusing it as unreadable (holes, too long)
  kCreateTemp,      // making the temporary file
  kWrite,           // writing it
  kFlush,           // flushing it to the disk
  kCopyProtection,  // giving it the protection or attributes of the file it replaces
  kNameChanged,     // the name no longer leads to the file that was read
  kRename,          // putting it in the file's place
  kDelete,          // removing a file
  kOpenKey,         // opening a registry key
  kQueryValue,      // reading a value: missing, of another type, or too large
  kSetValue,        // writing a value
};

struct [[nodiscard]] Status {
  Step step = Step::kNone;
  uint32_t code = 0;

  bool ok() const { return step == Step::kNone; }
};

}  // namespace platform
