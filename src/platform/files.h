// Whole-file reading, safe replacement and deletion of single files.
//
// Error contract: every operation reports failure through its result and
// prints nothing. The only exception that can leave this layer is
// std::bad_alloc, for a file that does not fit in memory.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

// The contents of a whole file, loaded once and held until destroyed.
//
// Load resolves the file's name once and keeps the file open; every later
// step works on what it resolved, never on the name again. A symbolic link,
// in any folder of the name or as its last part, is followed only when its
// owner is root, the caller, or the owner of what it finally leads to (POSIX
// layers, where the owner of the link's folder must pass the same test;
// Windows follows the system's own rules). Only regular files are read, to
// their end even when they report a size of 0 (as files under /proc do);
// anything else, such as a pipe, a device or a folder, is refused at once
// without a wait. A read error is never taken for the end of the file.
// POSIX layers: a file is read at most 8 MiB past the size it reports, and a
// file with holes (sparse) is refused before it is read.
//
// The object also holds an exclusive lock on the file, from before it is read
// until the object is destroyed, so that runs of the tool that edit the same
// file take turns. The lock needs write access: a file the caller may only
// read is loaded unlocked, and can then not be replaced. Keep the object
// alive until the file's replacement is committed. Load waits 30 s at most
// for another run that holds the file, then fails. The system releases the
// lock when the process ends, however it ends.
//
// Where the system allows, the file is mapped rather than copied. Should
// another program cut it short while it is held, the lost bytes read as zeros
// rather than ending the process, and Intact() turns false: callers check it
// before they act on what they read.
class FileContents {
 public:
  // The folder that relative names are taken from, unless another is given.
  static constexpr intptr_t kWorkingFolder = -1;

  FileContents() = default;
  ~FileContents();
  FileContents(const FileContents&) = delete;
  FileContents& operator=(const FileContents&) = delete;

  // Loads and locks the file `path`; false when it cannot. A relative path
  // is taken from `from`: the working folder, or (POSIX layers only) a
  // folder open on that descriptor. A file that another run replaced while
  // this one waited is not read: the file that `path` names then is.
  bool Load(const std::string& path, intptr_t from = kWorkingFolder);
  std::string_view bytes() const { return bytes_; }
  // False when the file was cut short while it was held.
  bool Intact() const;

 private:
  friend class AtomicFileWriter;

  std::string_view bytes_;
  std::string copy_;  // the bytes, when they were read rather than mapped
  void* mapping_ = nullptr;
  // The file that was read, open. POSIX: it holds the lock. Windows: the
  // writer closes it before the replace, which no open file may block.
  mutable intptr_t file_ = -1;
  bool writable_ = false;                // POSIX: file_ is open for writing too, and locked
  intptr_t folder_ = -1;                 // the folder that holds the file, open
  std::string name_;                     // its name in that folder
  [[maybe_unused]] intptr_t lock_ = -1;  // Windows: what holds the lock
};

// Removes the one file `path`, never a directory. A symbolic link named by
// `path` is removed itself; links in its folders are followed as Load follows
// them. Returns false when nothing was removed.
bool DeleteOneFile(const std::string& path);

// Replaces the contents of a file that a FileContents loaded, so that it is
// never left half written:
//   Open()   checks that the caller may write the file, creates a temporary
//            file in the file's own folder (for a symbolic link, the folder
//            of the file it leads to) that grants nobody more than the file
//            that was read (Windows: it is created with that file's DACL and
//            label, then gets its owner and group where the caller may set
//            them, before a byte is in it; POSIX: not in an append-only or
//            immutable folder, and without the ACL that the folder's default
//            ACL gives), and removes the temporary files that killed runs
//            left there (any that no live run holds);
//   Write()  appends bytes, buffered;
//   Commit() writes out the buffer, flushes the temporary file to the disk,
//            gives it the protection of the file that was read (POSIX: the
//            owner, mode, ACL, labels, attributes and flags that
//            posix/protection.h lists) or its attributes (Windows), checks
//            that the file's name still leads to that very file, closes the
//            temporary file and puts it in the file's place in one step.
// Each returns false on failure, and a failure sticks: after a failed
// Write(), every later Write() and Commit() fails too, so a caller that
// writes many pieces may check Commit() alone. After any failure, or when the object is
// destroyed before Commit() succeeded, the temporary file is removed and the
// target is byte for byte as it was. The target is never deleted first.
class AtomicFileWriter {
 public:
  AtomicFileWriter() = default;
  ~AtomicFileWriter();
  AtomicFileWriter(const AtomicFileWriter&) = delete;
  AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;

  // `original` must outlive the writer.
  bool Open(const FileContents& original);
  bool Write(std::string_view bytes) {
    if (failed_) return false;
    if (buffer_.size() + bytes.size() > kBufferSize && !FlushBuffer()) return false;
    if (bytes.size() >= kBufferSize) return WriteOut(bytes);
    buffer_.append(bytes);
    return true;
  }
  bool Commit();

 private:
  static constexpr size_t kBufferSize = 1 << 20;

  bool FlushBuffer() {
    bool ok = WriteOut(buffer_);
    buffer_.clear();
    return ok;
  }
  bool WriteOut(std::string_view bytes);  // unbuffered; sets failed_
  void Discard();                         // closes and removes the temp file

  const FileContents* original_ = nullptr;  // the file that is replaced
  std::string temp_;                        // the temporary file's name, empty when there is none
  intptr_t handle_ = -1;
  std::string buffer_;
  bool failed_ = false;
};

}  // namespace platform
