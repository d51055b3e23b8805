// Whole-file reading, safe replacement and deletion of single files. What
// each OS adds to the contract below is in its native_files.h.
//
// Errors: as platform/failure.h says; std::bad_alloc also for a file that
// does not fit in memory.
//
// Best-effort steps, which never fail an operation: removing the temporary
// files of killed runs (Open), each OS's own listed in its native_files.h,
// and removing the temporary file after a failure or when an uncommitted
// writer is destroyed (the only I/O in a destructor: closing and removing,
// never writing).
#pragma once

#include <string>
#include <string_view>

#include "native_files.h"  // this OS's handles: CMake puts its folder on the include path
#include "platform/failure.h"

namespace platform {

// The contents of a whole file, loaded once and held until destroyed.
//
// Load resolves the file's name once and keeps the file open; every later
// step works on what it resolved, never on the name again. A symbolic link,
// in any folder of the name or as its last part, is followed only as the OS's
// rule allows. Only regular files are read, to their end even when they
// report a size of 0 (as files under /proc do); anything else, such as a
// pipe, a device or a folder, is refused at once without a wait. A read
// error is never taken for the end of the file.
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
  FileContents() = default;
  ~FileContents();
  FileContents(const FileContents&) = delete;
  FileContents& operator=(const FileContents&) = delete;

  // Loads and locks the file `path`; a relative path is taken from `from`.
  // A file that another run replaced while this one waited is not read: the
  // file that `path` names then is.
  Status Load(const std::string& path, NativeFolder from = kWorkingFolder);
  std::string_view bytes() const { return bytes_; }
  // False when the file was cut short while it was held.
  bool Intact() const;

 private:
  friend class AtomicFileWriter;

  std::string_view bytes_;
  std::string copy_;  // the bytes, when they were read rather than mapped
  NativeFile native_;
  std::string name_;  // its name in its folder
};

// Removes the one file `path`, never a directory. A symbolic link named by
// `path` is removed itself; links in its folders are followed as Load follows
// them. Fails when nothing was removed.
Status DeleteOneFile(const std::string& path);

// Replaces the contents of a file that a FileContents loaded, so that it is
// never left half written:
//   Open()   checks that the caller may write the file, creates a temporary
//            file in the file's own folder (for a symbolic link, the folder
//            of the file it leads to) that grants nobody more than the file
//            that was read, from before a byte is in it, and removes the
//            temporary files that killed runs left there (any that no live
//            run holds);
//   Write()  appends bytes, buffered;
//   Commit() writes out the buffer, flushes the temporary file to the disk,
//            gives it the protection of the file that was read, checks
//            that the file's name still leads to that very file, closes the
//            temporary file and puts it in the file's place in one step.
// Each returns the failure, and a failure sticks: after a failed Open() or
// Write(), every later Write() and Commit() returns it too, so a caller
// that writes many pieces may check Commit() alone. After any failure, or when the object is
// destroyed before Commit() succeeded, the temporary file is removed and the
// target is byte for byte as it was. The target is never deleted first.
class AtomicFileWriter {
 public:
  AtomicFileWriter() = default;
  ~AtomicFileWriter();
  AtomicFileWriter(const AtomicFileWriter&) = delete;
  AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;

  // `original` must outlive the writer, which may close it at Commit.
  Status Open(FileContents& original);
  Status Write(std::string_view bytes);
  Status Commit();

 private:
  Status OpenTemp(FileContents& original);  // Open's work, this OS's
  Status WriteOut(std::string_view bytes);  // unbuffered, this OS's
  void Discard();                           // closes and removes the temp file

  FileContents* original_ = nullptr;  // the file that is replaced
  std::string temp_;                  // the temporary file's name, empty when there is none
  NativeTemp native_;
  std::string buffer_;
  Status failed_;  // the first failure, which sticks
};

}  // namespace platform
