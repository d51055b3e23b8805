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

// Reads the whole file `path`, as bytes, into `contents`. Returns false when
// the file cannot be opened or any read fails; a read error is never taken
// for the end of the file. Only regular files are read, to their end even
// when they report a size of 0 (as files under /proc do); anything else, such
// as a pipe, a device or a folder, is refused at once without a wait.
bool ReadWholeFile(const std::string& path, std::string& contents);

// The contents of a whole file, loaded once and held until destroyed.
//
// The object also holds an exclusive lock on the file, from before it is read
// until the object is destroyed, so that runs of the tool that edit the same
// file take turns. Keep it alive until the file's replacement is committed.
// Load waits 30 s at most for another run that holds the file, then fails.
// The system releases the lock when the process ends, however it ends.
//
// Where the system allows, the file is mapped rather than copied. Should
// another program cut it short while it is held, the lost bytes read as zeros
// rather than ending the process, and Intact() turns false: callers check it
// before they act on what they read.
class FileContents {
 public:
  FileContents() = default;
  ~FileContents();
  FileContents(const FileContents&) = delete;
  FileContents& operator=(const FileContents&) = delete;

  // Loads the file `path`, as ReadWholeFile reads it, and locks it; false
  // when it cannot. A file that another run replaced while this one waited
  // is not read: the file that `path` names then is.
  bool Load(const std::string& path);
  std::string_view bytes() const { return bytes_; }
  // False when the file was cut short while it was held.
  bool Intact() const;

 private:
  std::string_view bytes_;
  std::string copy_;  // the bytes, when they were read rather than mapped
  void* mapping_ = nullptr;
  intptr_t lock_ = -1;  // what holds the lock: the open file, where there is one
};

// Removes the one file `path`, never a directory. Returns false when nothing
// was removed.
bool DeleteOneFile(const std::string& path);

// Replaces the contents of an existing file so that it is never left half
// written:
//   Open()   checks that the caller may write the target, creates a
//            temporary file in the target's own folder (for a symbolic link,
//            the folder of the file it points to) and removes the temporary
//            files that killed runs left there (any that no live run holds);
//   Write()  appends bytes, buffered;
//   Commit() writes out the buffer, flushes the temporary file to the disk,
//            gives it the target's permission bits and owner (POSIX) or
//            attributes (Windows), closes it and puts it in the target's
//            place in one step.
// Each returns false on failure. After any failure, or when the object is
// destroyed before Commit() succeeded, the temporary file is removed and the
// target is byte for byte as it was. The target is never deleted first.
class AtomicFileWriter {
 public:
  AtomicFileWriter() = default;
  ~AtomicFileWriter();
  AtomicFileWriter(const AtomicFileWriter&) = delete;
  AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;

  bool Open(const std::string& target);
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
  void Discard();                          // closes and removes the temp file

  std::string target_;  // the file that is replaced, links resolved
  std::string temp_;    // the temporary file, empty when there is none
  intptr_t handle_ = -1;
  std::string buffer_;
  bool failed_ = false;
};

}  // namespace platform
