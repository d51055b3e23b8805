#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

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

// The path of the file that `file` is open on, links resolved, or "" when
// the system cannot tell.
std::wstring FinalPathOf(HANDLE file) {
  std::wstring path(MAX_PATH, L'\0');
  DWORD length = GetFinalPathNameByHandleW(file, path.data(), static_cast<DWORD>(path.size()), 0);
  if (length >= path.size()) {  // too small: length is the size needed
    path.resize(length);
    length = GetFinalPathNameByHandleW(file, path.data(), static_cast<DWORD>(path.size()), 0);
    if (length >= path.size()) return L"";
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
  return path;
}

// The attributes that can be given to a file, less read-only: the target was
// checked to be writable.
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
// place; while the file is open, the writer shares it with readers only, so
// no delete could take it away either.
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

bool ReadWholeFile(HANDLE file, std::string& contents) {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file, &size)) return false;
  if (static_cast<unsigned long long>(size.QuadPart) >= contents.max_size()) {
    throw std::bad_alloc();
  }

  // The size is known, so read it into a buffer of exactly that size; then
  // read on to the end, which for a file that grows lies past it.
  contents.resize(static_cast<size_t>(size.QuadPart));
  size_t got = 0;
  if (!ReadFully(file, contents.data(), contents.size(), got)) return false;
  contents.resize(got);
  char more[4096];
  do {
    if (!ReadFully(file, more, sizeof more, got)) return false;
    contents.append(more, got);
  } while (got > 0);
  return true;
}

// Paths compare as names on a disk do: without regard to case.
bool SamePath(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                              static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// True when `name` leads to the file that `read` describes: the same file
// index on the same volume.
bool LeadsTo(const std::wstring& name, const BY_HANDLE_FILE_INFORMATION& read) {
  ScopedHandle file(CreateFileW(name.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                OPEN_EXISTING, 0, nullptr));
  BY_HANDLE_FILE_INFORMATION now;
  return file.get() != INVALID_HANDLE_VALUE && GetFileInformationByHandle(file.get(), &now) &&
         now.dwVolumeSerialNumber == read.dwVolumeSerialNumber &&
         now.nFileIndexHigh == read.nFileIndexHigh && now.nFileIndexLow == read.nFileIndexLow;
}

// Sets the owner and group of `file` from `security` where the process may;
// otherwise they stay the caller's. Another account than the caller's needs
// SeRestorePrivilege, which an elevated installer holds: it is enabled for
// this call only.
void SetOwnerAndGroup(HANDLE file, PSECURITY_DESCRIPTOR security) {
  HANDLE token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
    return;
  }
  TOKEN_PRIVILEGES enable{}, before{};
  enable.PrivilegeCount = 1;
  enable.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  DWORD size = 0;
  if (LookupPrivilegeValueW(nullptr, L"SeRestorePrivilege", &enable.Privileges[0].Luid)) {
    // `before` holds the privilege only when this call changed it.
    AdjustTokenPrivileges(token, FALSE, &enable, sizeof before, &before, &size);
  }
  SetKernelObjectSecurity(file, OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION, security);
  if (before.PrivilegeCount > 0) AdjustTokenPrivileges(token, FALSE, &before, 0, nullptr, nullptr);
  CloseHandle(token);
}

// Gives `to` the DACL of `from`, protected from inherited entries as that
// one is, and its owner and group where the process may set them. False when
// the DACL cannot be copied. A volume that keeps no ACLs (FAT) has none.
bool CopySecurity(HANDLE from, HANDLE to) {
  DWORD volumeFlags = 0;
  if (GetVolumeInformationByHandleW(from, nullptr, 0, nullptr, nullptr, &volumeFlags, nullptr, 0) &&
      (volumeFlags & FILE_PERSISTENT_ACLS) == 0) {
    return true;
  }
  constexpr SECURITY_INFORMATION kParts =
      OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  std::vector<BYTE> security(512);
  DWORD size = 0;
  while (!GetKernelObjectSecurity(from, kParts, security.data(),
                                  static_cast<DWORD>(security.size()), &size)) {
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size <= security.size()) return false;
    security.resize(size);
  }
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  if (!GetSecurityDescriptorControl(security.data(), &control, &revision)) return false;
  const SECURITY_INFORMATION protection = (control & SE_DACL_PROTECTED) != 0
                                              ? PROTECTED_DACL_SECURITY_INFORMATION
                                              : UNPROTECTED_DACL_SECURITY_INFORMATION;
  if (!SetKernelObjectSecurity(to, DACL_SECURITY_INFORMATION | protection, security.data())) {
    return false;
  }
  SetOwnerAndGroup(to, security.data());
  return true;
}

// Renames the file open on `file` (with DELETE access) to `target`,
// replacing the file there.
bool RenameOver(HANDLE file, const std::wstring& target) {
  // The name follows the structure; it is NUL-terminated too, as the system
  // reads it as a C string when it makes its own form of it.
  const size_t nameSize = target.size() * sizeof(wchar_t);
  const size_t size = offsetof(FILE_RENAME_INFO, FileName) + nameSize + sizeof(wchar_t);
  const std::unique_ptr<FILE_RENAME_INFO, decltype(&std::free)> info(
      static_cast<FILE_RENAME_INFO*>(std::calloc(1, size)), &std::free);
  if (info == nullptr) throw std::bad_alloc();
  info->ReplaceIfExists = TRUE;
  info->FileNameLength = static_cast<DWORD>(nameSize);
  std::memcpy(info->FileName, target.data(), nameSize);
  return SetFileInformationByHandle(file, FileRenameInfo, info.get(), static_cast<DWORD>(size));
}

// Deletes the file open on `file` (with DELETE access) once it is closed.
bool MarkForDeletion(HANDLE file) {
  FILE_DISPOSITION_INFO disposition = {TRUE};
  return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition);
}

}  // namespace

FileContents::~FileContents() {
  if (file_ != -1) CloseHandle(ToHandle(file_));
  if (lock_ != -1) ReleaseNamedMutex(ToHandle(lock_));
}

bool FileContents::Load(const std::string& path, intptr_t from) {
  if (from != kWorkingFolder) return false;
  // Runs on one file take turns: the lock is named by the file's final path,
  // which every name of the file, or a link to it, leads to. The file is
  // closed while this run waits: no open file can be replaced, not even by
  // the run that holds the lock.
  std::wstring finalPath;
  {
    ScopedHandle file(OpenDiskFile(path));
    if (file.get() == INVALID_HANDLE_VALUE) return false;
    finalPath = FinalPathOf(file.get());
  }
  std::wstring lockName = finalPath;
  if (lockName.empty() && !WidePath(path, lockName)) return false;
  const HANDLE lock = AcquireNamedMutex(L"file\\" + lockName);
  if (lock == nullptr) return false;
  lock_ = reinterpret_cast<intptr_t>(lock);
  // Opened anew: a run that held the lock may have replaced the file. The
  // name must still lead to the file that the lock is named for.
  const HANDLE file = OpenDiskFile(path);
  if (file == INVALID_HANDLE_VALUE) return false;
  file_ = reinterpret_cast<intptr_t>(file);
  if (!SamePath(FinalPathOf(file), finalPath) || !ReadWholeFile(file, copy_)) return false;
  bytes_ = copy_;
  name_ = finalPath.empty() ? path : Narrow(finalPath);
  return true;
}

bool FileContents::Intact() const { return true; }

bool DeleteOneFile(const std::string& path) {
  // Opened as a file, never a folder, and as the link itself where the name
  // is one: what a link leads to stays.
  std::wstring wide;
  if (!WidePath(path, wide)) return false;
  ScopedHandle file(CreateFileW(wide.c_str(), DELETE, kShareAll, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  return file.get() != INVALID_HANDLE_VALUE && MarkForDeletion(file.get());
}

AtomicFileWriter::~AtomicFileWriter() { Discard(); }

bool AtomicFileWriter::Open(const FileContents& original) {
  // Opening the file that was read (not its name) for writing, and closing it
  // again without a change, proves the caller may write it.
  const HANDLE read = ToHandle(original.file_);
  BY_HANDLE_FILE_INFORMATION info;
  if (original.file_ == -1 || !GetFileInformationByHandle(read, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0 ||
      ScopedHandle(ReOpenFile(read, GENERIC_WRITE, kShareAll, 0)).get() == INVALID_HANDLE_VALUE) {
    return false;
  }

  original_ = &original;
  const std::string folder = FolderPrefixOf(original.name_);
  static unsigned counter = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string temp = folder + TempName(GetCurrentProcessId(), GetTickCount(), counter++);
    // DELETE: the file is renamed, or removed, through this handle. Shared
    // with readers, who may open it as soon as it is in the file's place.
    const HANDLE file = OpenFile(temp, GENERIC_WRITE | DELETE | WRITE_DAC | WRITE_OWNER,
                                 FILE_SHARE_READ, CREATE_NEW, FILE_ATTRIBUTE_NORMAL);
    if (file != INVALID_HANDLE_VALUE) {
      handle_ = reinterpret_cast<intptr_t>(file);
      temp_ = temp;
      // Before a byte is in it, it grants no more than the original does.
      if (!CopySecurity(read, file)) {
        Discard();
        return false;
      }
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
  const HANDLE file = ToHandle(handle_);
  std::wstring target;
  BY_HANDLE_FILE_INFORMATION read;
  FILE_BASIC_INFO basic{};
  bool ok = handle_ != -1 && FlushBuffer() && FlushFileBuffers(file) &&
            WidePath(original_->name_, target) &&
            GetFileInformationByHandle(ToHandle(original_->file_), &read);
  basic.FileAttributes = ok ? read.dwFileAttributes & kCopiedAttributes : 0;
  ok = ok && (basic.FileAttributes == 0 ||
              SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic));
  // No open file can be replaced, not even by the handle that read it.
  if (ok) {
    CloseHandle(ToHandle(original_->file_));
    original_->file_ = -1;
  }

  // A virus scanner or indexer may hold the target open for a moment.
  for (int attempt = 0; ok && LeadsTo(target, read); ++attempt) {
    if (RenameOver(file, target)) {
      CloseHandle(file);
      handle_ = -1;
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
  // Through the handle: the DACL the file was given may not let this caller
  // delete it by its name.
  if (handle_ != -1) {
    MarkForDeletion(ToHandle(handle_));
    CloseHandle(ToHandle(handle_));
  }
  handle_ = -1;
  temp_.clear();
  failed_ = true;
}

}  // namespace platform
