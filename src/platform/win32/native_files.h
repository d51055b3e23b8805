// What a loaded file and a writer hold on Windows, without <windows.h> (a
// HANDLE is a void*), and what Windows adds to files.h:
//   - links and junctions are followed as the system's own rules say; the
//     lock is named by the file's final path (win32/lock.h);
//   - the temporary file is created with the file's DACL and label, then
//     gets its owner and group where the caller may set them, before a byte
//     is in it; Commit gives it the file's attributes, and closes the file
//     that was read before the replace, which no open file may block.
// Best-effort step: giving the owner and group.
#pragma once

namespace platform {

using Handle = void*;

// Relative names are taken from the working folder only.
using NativeFolder = Handle;
inline constexpr NativeFolder kWorkingFolder = nullptr;

struct NativeFile {
  Handle file = nullptr;    // the file that was read; the writer closes it before the replace
  Handle folder = nullptr;  // the folder that holds it
  Handle lock = nullptr;    // what holds the lock (win32/lock.h)
};

struct NativeTemp {
  Handle file = nullptr;  // the temporary file, open with DELETE access
};

}  // namespace platform
