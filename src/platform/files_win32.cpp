#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <new>

#include "platform/files.h"
#include "platform/named_mutex_win32.h"
#include "platform/wide_win32.h"

namespace platform {
namespace {

class ScopedHandle {
 public:
  explicit ScopedHandle(HANDLE handle) : handle_(handle) {}
  ~ScopedHandle() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

HANDLE ToHandle(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

// Everything up to and including the last separator, "" for a bare name.
std::string FolderPrefixOf(const std::string& path) {
  size_t end = path.find_last_of("\\/");
  end = end == std::string::npos ? 0 : end + 1;
  if (end == 0 && path.size() >= 2 && path[1] == ':') end = 2;  // "C:name"
  return path.substr(0, end);
}

// Opens `path` with CreateFileW; INVALID_HANDLE_VALUE when it cannot.
HANDLE OpenFile(const std::string& path, DWORD access, DWORD share, DWORD disposition,
                DWORD flags) {
  std::wstring wide;
  if (!WidePath(path, wide)) return INVALID_HANDLE_VALUE;
  return CreateFileW(wide.c_str(), access, share, nullptr, disposition, flags, nullptr);
}

DWORD AttributesOf(const std::string& path) {
  std::wstring wide;
  return WidePath(path, wide) ? GetFileAttributesW(wide.c_str()) : INVALID_FILE_ATTRIBUTES;
}

// The path of the file that `file` is open on, links resolved, or "" when
// the system cannot tell (GetFinalPathNameByHandleW is missing before Vista).
std::string FinalPathOf(HANDLE file) {
  using GetFinalPathFn = DWORD(WINAPI*)(HANDLE, LPWSTR, DWORD, DWORD);
  const auto getFinalPath = reinterpret_cast<GetFinalPathFn>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetFinalPathNameByHandleW")));
  if (getFinalPath == nullptr) return "";
  std::wstring path(MAX_PATH, L'\0');
  DWORD length = getFinalPath(file, path.data(), static_cast<DWORD>(path.size()), 0);
  if (length >= path.size()) {  // too small: length is the size needed
    path.resize(length);
    length = getFinalPath(file, path.data(), static_cast<DWORD>(path.size()), 0);
    if (length >= path.size()) return "";
  }
  path.resize(length);
  // Drop the "\\?\" prefix where the plain form says the same thing; a
  // longer path gets it back when it is used.
  if (path.size() < MAX_PATH && path.starts_with(L"\\\\?\\UNC\\")) {
    path.replace(0, 8, L"\\\\");
  } else if (path.size() < MAX_PATH && path.starts_with(L"\\\\?\\") && path.size() > 6 &&
             path[5] == L':') {
    path.erase(0, 4);
  }
  return Narrow(path);
}

// The attributes SetFileAttributesW can give a file, less read-only: the
// target was checked to be writable, and the temporary file must stay
// removable.
constexpr DWORD kCopiedAttributes = FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN |
                                    FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_OFFLINE |
                                    FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_TEMPORARY;

// Opens `path` for reading; INVALID_HANDLE_VALUE for anything but a file on
// a disk: a device such as CON or NUL, a pipe, or a folder.
HANDLE OpenDiskFile(const std::string& path) {
  const HANDLE file = OpenFile(path, GENERIC_READ, kShareAll, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN);
  if (file == INVALID_HANDLE_VALUE || GetFileType(file) == FILE_TYPE_DISK) return file;
  CloseHandle(file);
  return INVALID_HANDLE_VALUE;
}

// Temporary files are named ".cfgline-", then their writer's process id, a
// tick count and a counter, in hexadecimal, joined by '-'.
std::string TempName(unsigned long pid, unsigned long tick, unsigned counter) {
  char name[64];
  std::snprintf(name, sizeof name, ".cfgline-%lx-%lx-%x", pid, tick, counter);
  return name;
}

// The id of the process that made the temporary file `name`, or 0 when
// `name` is not a temporary file's.
DWORD TempWriter(const std::string& name) {
  unsigned long pid = 0, tick = 0;
  unsigned counter = 0;
  const bool ours = std::sscanf(name.c_str(), ".cfgline-%lx-%lx-%x", &pid, &tick, &counter) == 3 &&
                    name == TempName(pid, tick, counter);
  return ours ? static_cast<DWORD>(pid) : 0;
}

bool IsRunning(DWORD pid) {
  const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
  if (process == nullptr) return GetLastError() == ERROR_ACCESS_DENIED;  // someone else's
  const bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
  CloseHandle(process);
  return running;
}

// Removes the temporary files in the folder `prefix` (as FolderPrefixOf
// gives it) that runs left behind when they were killed: those whose writer,
// named in the file's name, is no longer running. A live writer's file stays,
// also between the moment it closes the file and the moment it puts it in
// place; while the file is open, the writer shares it with nobody, so no
// delete could take it away either.
void RemoveLeftoverTemps(const std::string& prefix) {
  std::wstring pattern;
  if (!WidePath(prefix + ".cfgline-*", pattern)) return;
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileW(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    const std::string name = Narrow(found.cFileName);
    const DWORD writer = TempWriter(name);
    if (writer != 0 && (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
        !IsRunning(writer)) {
      DeleteOneFile(prefix + name);
    }
  } while (FindNextFileW(search, &found));
  FindClose(search);
}

// Reads until the end of the file or until `buffer` is full; stores the count
// read in `got`. False on a read error.
bool ReadFully(HANDLE file, char* buffer, size_t size, size_t& got) {
  for (got = 0; got < size;) {
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(size - got, 1u << 30));
    DWORD read = 0;
    if (!ReadFile(file, buffer + got, chunk, &read, nullptr)) return false;
    if (read == 0) break;
    got += read;
  }
  return true;
}

bool ReadWholeFile(const std::string& path, std::string& contents) {
  ScopedHandle file(OpenDiskFile(path));
  LARGE_INTEGER size;
  if (file.get() == INVALID_HANDLE_VALUE || !GetFileSizeEx(file.get(), &size)) return false;
  if (static_cast<unsigned long long>(size.QuadPart) >= contents.max_size()) {
    throw std::bad_alloc();
  }

  // The size is known, so read it into a buffer of exactly that size; then
  // read on to the end, which for a file that grows lies past it.
  contents.resize(static_cast<size_t>(size.QuadPart));
  size_t got = 0;
  if (!ReadFully(file.get(), contents.data(), contents.size(), got)) return false;
  contents.resize(got);
  char more[4096];
  do {
    if (!ReadFully(file.get(), more, sizeof more, got)) return false;
    contents.append(more, got);
  } while (got > 0);
  return true;
}

}  // namespace

FileContents::~FileContents() {
  if (lock_ != -1) ReleaseNamedMutex(ToHandle(lock_));
}

bool FileContents::Load(const std::string& path, intptr_t from) {
  if (from != kWorkingFolder) return false;
  // Runs on one file take turns: the lock is named by the file's final path,
  // which every name of the file, or a link to it, leads to.
  std::string lockName;
  {
    ScopedHandle file(OpenDiskFile(path));
    if (file.get() == INVALID_HANDLE_VALUE) return false;
    lockName = FinalPathOf(file.get());
  }
  std::wstring wideName;
  if (!WidePath(lockName.empty() ? path : lockName, wideName)) return false;
  const HANDLE lock = AcquireNamedMutex(L"file\\" + wideName);
  if (lock == nullptr) return false;
  lock_ = reinterpret_cast<intptr_t>(lock);
  // Opened anew: a run that held the lock may have replaced the file.
  if (!ReadWholeFile(path, copy_)) return false;
  bytes_ = copy_;
  name_ = lockName.empty() ? path : lockName;
  return true;
}

bool FileContents::Intact() const { return true; }

bool DeleteOneFile(const std::string& path) {
  std::wstring wide;
  return WidePath(path, wide) && DeleteFileW(wide.c_str()) != 0;
}

AtomicFileWriter::~AtomicFileWriter() { Discard(); }

bool AtomicFileWriter::Open(const FileContents& original) {
  const std::string& target = original.name_;
  // Opening for writing, and closing again without a change, proves the
  // caller may write the file. A symbolic link stays in place; the file it
  // leads to is replaced.
  std::string resolved;
  {
    ScopedHandle file(
        OpenFile(target, GENERIC_WRITE, kShareAll, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL));
    if (file.get() == INVALID_HANDLE_VALUE) return false;
    resolved = FinalPathOf(file.get());
  }
  if (resolved.empty()) resolved = target;
  const DWORD attributes = AttributesOf(resolved);
  if (attributes == INVALID_FILE_ATTRIBUTES ||
      (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0) {
    return false;
  }

  original_ = &original;
  const std::string folder = FolderPrefixOf(resolved);
  static unsigned counter = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string temp = folder + TempName(GetCurrentProcessId(), GetTickCount(), counter++);
    const HANDLE file = OpenFile(temp, GENERIC_WRITE, 0, CREATE_NEW, FILE_ATTRIBUTE_NORMAL);
    if (file != INVALID_HANDLE_VALUE) {
      handle_ = reinterpret_cast<intptr_t>(file);
      temp_ = temp;
      RemoveLeftoverTemps(folder);
      buffer_.reserve(kBufferSize);
      return true;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return false;
  }
  return false;
}

bool AtomicFileWriter::WriteOut(std::string_view bytes) {
  while (!failed_ && !bytes.empty()) {
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size(), 1u << 30));
    DWORD put = 0;
    if (!WriteFile(ToHandle(handle_), bytes.data(), chunk, &put, nullptr) || put == 0) {
      failed_ = true;
    } else {
      bytes.remove_prefix(put);
    }
  }
  return !failed_;
}

bool AtomicFileWriter::Commit() {
  if (handle_ == -1 || !FlushBuffer()) {
    Discard();
    return false;
  }
  const HANDLE file = ToHandle(handle_);
  bool ok = FlushFileBuffers(file) != 0;
  handle_ = -1;
  ok = CloseHandle(file) != 0 && ok;

  std::wstring temp, target;
  ok = ok && WidePath(temp_, temp) && WidePath(original_->name_, target);
  const DWORD attributes = ok ? GetFileAttributesW(target.c_str()) : INVALID_FILE_ATTRIBUTES;
  ok = ok && attributes != INVALID_FILE_ATTRIBUTES;
  if (ok && (attributes & kCopiedAttributes) != 0) {
    ok = SetFileAttributesW(temp.c_str(), attributes & kCopiedAttributes) != 0;
  }

  // A virus scanner or indexer may hold the target open for a moment.
  for (int attempt = 0; ok; ++attempt) {
    if (MoveFileExW(temp.c_str(), target.c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      temp_.clear();
      return true;
    }
    const DWORD error = GetLastError();
    ok = attempt < 4 && (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
                         error == ERROR_ACCESS_DENIED);
    if (ok) Sleep(100);
  }
  Discard();
  return false;
}

void AtomicFileWriter::Discard() {
  if (handle_ != -1) CloseHandle(ToHandle(handle_));
  handle_ = -1;
  if (!temp_.empty()) DeleteOneFile(temp_);
  temp_.clear();
  failed_ = true;
}

}  // namespace platform
