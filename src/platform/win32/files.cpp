#include "platform/files.h"

#include <windows.h>
#include <winioctl.h>
#include <winternl.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "platform/files_shared.h"
#include "platform/win32/lock.h"
#include "platform/win32/wide.h"

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

// Reads and writes go in pieces of this size: one large request can exhaust
// the kernel's address space on 32-bit Windows.
constexpr DWORD kPiece = 8 << 20;

// A caller's name may lead to a named pipe: its server gets to identify the
// caller, never to act as it.
constexpr DWORD kNoImpersonation = SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;

// The failure of `step`, with the thread's last error.
Status Failed(Step step) { return {step, GetLastError()}; }

// True for a file whose contents can be read: on a disk, not a folder, and
// not a link or junction that opening it did not follow. A volume opened as
// "\\.\C:" is no file either; it has no folder to be found in (see Load).
bool IsPlainFile(HANDLE file) {
  FILE_ATTRIBUTE_TAG_INFO tag;
  return GetFileType(file) == FILE_TYPE_DISK &&
         GetFileInformationByHandleEx(file, FileAttributeTagInfo, &tag, sizeof tag) &&
         (tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
         ((tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 ||
          !IsReparseTagNameSurrogate(tag.ReparseTag));
}

// Opens `path` for reading; INVALID_HANDLE_VALUE for anything but a plain
// file (IsPlainFile): a device such as CON or NUL, a pipe, or a folder.
HANDLE OpenDiskFile(const std::string& path) {
  std::wstring wide;
  if (!WidePath(path, wide)) return INVALID_HANDLE_VALUE;
  const HANDLE file = CreateFileW(wide.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_SEQUENTIAL_SCAN | kNoImpersonation, nullptr);
  if (file == INVALID_HANDLE_VALUE || IsPlainFile(file)) return file;
  CloseHandle(file);
  return INVALID_HANDLE_VALUE;
}

// Opens, or creates, the file `name` (a bare name) in the folder open on
// `folder`, without resolving the folder's own name again; the handle is for
// synchronous use. INVALID_HANDLE_VALUE, with the error set, when it cannot.
HANDLE OpenIn(HANDLE folder, const std::wstring& name, ACCESS_MASK access, ULONG attributes,
              ULONG share, ULONG disposition, ULONG options,
              PSECURITY_DESCRIPTOR security = nullptr) {
  UNICODE_STRING object;
  object.Buffer = const_cast<wchar_t*>(name.c_str());
  object.Length = object.MaximumLength = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  SECURITY_QUALITY_OF_SERVICE quality = {sizeof quality, SecurityIdentification,
                                         SECURITY_STATIC_TRACKING, FALSE};
  OBJECT_ATTRIBUTES attrs;
  InitializeObjectAttributes(&attrs, &object, OBJ_CASE_INSENSITIVE, folder, security);
  attrs.SecurityQualityOfService = &quality;
  IO_STATUS_BLOCK io;
  HANDLE file = INVALID_HANDLE_VALUE;
  const NTSTATUS status =
      NtCreateFile(&file, access | SYNCHRONIZE, &attrs, &io, nullptr, attributes, share,
                   disposition, options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  if (status >= 0) return file;
  SetLastError(RtlNtStatusToDosError(status));
  return INVALID_HANDLE_VALUE;
}

// The full path of `path` in the "\\?\" form, which the system takes as it
// is; "" when it has none.
std::wstring ExtendedPathOf(const std::string& path) {
  std::wstring wide;
  if (!WidePath(path, wide)) return L"";
  if (wide.starts_with(L"\\\\?\\")) return wide;
  const DWORD size = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  std::wstring full(size, L'\0');
  const DWORD length = size == 0 ? 0 : GetFullPathNameW(wide.c_str(), size, full.data(), nullptr);
  if (length == 0 || length >= size) return L"";
  full.resize(length);
  if (full.starts_with(L"\\\\.\\")) return L"";  // a device
  return full.starts_with(L"\\\\") ? L"\\\\?\\UNC\\" + full.substr(2) : L"\\\\?\\" + full;
}

// The path of the file that `file` was opened on by the name `path`, links
// resolved, in the "\\?\" form that the system gives; where the system
// cannot tell (Wine, for a path longer than MAX_PATH), the full form of
// `path` itself. "" when there is neither.
std::wstring FinalPathOf(HANDLE file, const std::string& path) {
  std::wstring final(MAX_PATH, L'\0');
  DWORD length = GetFinalPathNameByHandleW(file, final.data(), static_cast<DWORD>(final.size()), 0);
  if (length >= final.size()) {  // too small: length is the size needed
    final.resize(length);
    length = GetFinalPathNameByHandleW(file, final.data(), static_cast<DWORD>(final.size()), 0);
    if (length >= final.size()) length = 0;
  }
  final.resize(length);
  return length > 0 ? final : ExtendedPathOf(path);
}

// The lock's name for a final path: without the "\\?\" prefix where the path
// is short, as the lock names have always been.
std::wstring LockNameOf(std::wstring path) {
  if (path.size() < MAX_PATH && path.starts_with(L"\\\\?\\UNC\\")) {
    path.replace(0, 8, L"\\\\");
  } else if (path.size() < MAX_PATH && path.starts_with(L"\\\\?\\") && path.size() > 6 &&
             path[5] == L':') {
    path.erase(0, 4);
  }
  return path;
}

// Who a file is: its 128-bit id and its volume's serial number, or, where the
// file system cannot tell that (FileIdInfo came with Windows 8), its 64-bit
// index, which ReFS does not keep unique.
struct FileId {
  ULONGLONG volume = 0;
  BYTE id[16] = {};
  bool operator==(const FileId&) const = default;
};

bool IdOf(HANDLE file, FileId& id) {
  FILE_ID_INFO info;
  if (GetFileInformationByHandleEx(file, FileIdInfo, &info, sizeof info)) {
    id.volume = info.VolumeSerialNumber;
    std::memcpy(id.id, &info.FileId, sizeof id.id);
    return true;
  }
  BY_HANDLE_FILE_INFORMATION old;
  if (!GetFileInformationByHandle(file, &old)) return false;
  const ULONGLONG index = ULONGLONG{old.nFileIndexHigh} << 32 | old.nFileIndexLow;
  id = FileId{old.dwVolumeSerialNumber};
  std::memcpy(id.id, &index, sizeof index);
  return true;
}

// True when `name` in `folder` is, itself, the file `id` says.
bool Holds(HANDLE folder, const std::wstring& name, const FileId& id) {
  ScopedHandle file(OpenIn(folder, name, FILE_READ_ATTRIBUTES, 0, kShareAll, FILE_OPEN,
                           FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT));
  FileId there;
  return file.get() != INVALID_HANDLE_VALUE && IdOf(file.get(), there) && there == id;
}

// Opens the folder of `path`, a "\\?\" path, in that exact form, when the
// last part of `path` there is the file `id`, and stores that part in `name`;
// INVALID_HANDLE_VALUE when it cannot or is not. Shared for writing, which a
// rename into the folder asks for, and not for deleting: the folder cannot be
// moved away while it is open.
HANDLE OpenFolderOf(const std::wstring& path, const FileId& id, std::wstring& name) {
  const size_t slash = path.rfind(L'\\');
  if (slash == std::wstring::npos) return INVALID_HANDLE_VALUE;
  const HANDLE folder = CreateFileW(path.substr(0, slash + 1).c_str(),
                                    FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | kNoImpersonation, nullptr);
  if (folder == INVALID_HANDLE_VALUE) return folder;
  name = path.substr(slash + 1);
  FILE_ATTRIBUTE_TAG_INFO tag;
  if (GetFileInformationByHandleEx(folder, FileAttributeTagInfo, &tag, sizeof tag) &&
      (tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && Holds(folder, name, id)) {
    return folder;
  }
  CloseHandle(folder);
  return INVALID_HANDLE_VALUE;
}

// Temporary files are named kTempPrefix, then their writer's process id, a
// tick count and a counter, in hexadecimal, joined by '-'.
std::string TempName(unsigned long pid, unsigned long tick, unsigned counter) {
  char name[64];
  std::snprintf(name, sizeof name, "%s%lx-%lx-%x", kTempPrefix.data(), pid, tick, counter);
  return name;
}

// The id of the process that made the temporary file `name`, or 0 when
// `name` is not a temporary file's.
DWORD TempWriter(const std::string& name) {
  unsigned long pid = 0, tick = 0;
  unsigned counter = 0;
  const bool ours =
      name.starts_with(kTempPrefix) &&
      std::sscanf(name.c_str() + kTempPrefix.size(), "%lx-%lx-%x", &pid, &tick, &counter) == 3 &&
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

// Deletes the file open on `file` (with DELETE access) once it is closed.
bool MarkForDeletion(HANDLE file) {
  FILE_DISPOSITION_INFO disposition = {TRUE};
  return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition);
}

// Removes the temporary files in the folder open on `folder` that runs left
// behind when they were killed: those whose writer, named in the file's name,
// is no longer running. Each is opened as itself, never what a link there
// leads to, and never a folder. A live writer's file stays, also between the
// moment it closes the file and the moment it puts it in place; while the
// file is open, the writer shares it with readers only, so no delete could
// take it away either.
void RemoveLeftoverTemps(HANDLE folder) {
  std::vector<std::wstring> gone;
  std::vector<LONGLONG> buffer(8192);  // 64 KiB, aligned for the entries
  const DWORD size = static_cast<DWORD>(buffer.size() * sizeof buffer[0]);
  for (FILE_INFO_BY_HANDLE_CLASS next = FileIdBothDirectoryRestartInfo;
       GetFileInformationByHandleEx(folder, next, buffer.data(), size);
       next = FileIdBothDirectoryInfo) {
    const char* at = reinterpret_cast<const char*>(buffer.data());
    for (;;) {
      const auto* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(at);
      const std::wstring name(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
      const DWORD writer = TempWriter(Narrow(name));
      if (writer != 0 && (entry->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
          !IsRunning(writer)) {
        gone.push_back(name);
      }
      if (entry->NextEntryOffset == 0) break;
      at += entry->NextEntryOffset;
    }
  }
  for (const std::wstring& name : gone) {
    ScopedHandle file(OpenIn(folder, name, DELETE, 0, kShareAll, FILE_OPEN,
                             FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT));
    if (file.get() != INVALID_HANDLE_VALUE) MarkForDeletion(file.get());
  }
}

Status ReadWholeFile(HANDLE file, std::string& contents) {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file, &size)) return Failed(Step::kRead);
  if (static_cast<unsigned long long>(size.QuadPart) >= contents.max_size()) {
    throw std::bad_alloc();
  }
  auto readSome = [file](char* buffer, size_t count, size_t& got) -> Status {
    DWORD read = 0;
    if (!ReadFile(file, buffer, static_cast<DWORD>(std::min<size_t>(count, kPiece)), &read,
                  nullptr)) {
      return Failed(Step::kRead);
    }
    got = read;
    return {};
  };
  const size_t known = static_cast<size_t>(size.QuadPart);
  return ReadToEnd(readSome, known, SIZE_MAX - known, contents);
}

// Paths compare as names on a disk do: without regard to case.
bool SamePath(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                              static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// The security of the file that is replaced, to be given to its replacement.
class Security {
 public:
  // Reads the owner, group, DACL and mandatory label of `file`. False when
  // they cannot be read. A volume that keeps no ACLs (FAT) has none.
  bool Read(HANDLE file) {
    DWORD volumeFlags = 0;
    if (GetVolumeInformationByHandleW(file, nullptr, 0, nullptr, nullptr, &volumeFlags, nullptr,
                                      0) &&
        (volumeFlags & FILE_PERSISTENT_ACLS) == 0) {
      return true;
    }
    constexpr SECURITY_INFORMATION kParts = OWNER_SECURITY_INFORMATION |
                                            GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                            LABEL_SECURITY_INFORMATION;
    original_.resize(512);
    DWORD size = 0;
    while (!GetKernelObjectSecurity(file, kParts, original_.data(),
                                    static_cast<DWORD>(original_.size()), &size)) {
      if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size <= original_.size()) return false;
      original_.resize(size);
    }
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    BOOL daclPresent = FALSE, saclPresent = FALSE, defaulted = FALSE;
    PACL dacl = nullptr, sacl = nullptr;
    if (!GetSecurityDescriptorControl(original_.data(), &control, &revision) ||
        !GetSecurityDescriptorDacl(original_.data(), &daclPresent, &dacl, &defaulted) ||
        !GetSecurityDescriptorSacl(original_.data(), &saclPresent, &sacl, &defaulted)) {
      return false;
    }
    protected_ = (control & SE_DACL_PROTECTED) != 0;
    // The replacement is born with the DACL, protected so that nothing the
    // folder hands down is merged in, and with the label.
    has_ = InitializeSecurityDescriptor(&creation_, SECURITY_DESCRIPTOR_REVISION) &&
           SetSecurityDescriptorDacl(&creation_, daclPresent, dacl, FALSE) &&
           SetSecurityDescriptorControl(&creation_, SE_DACL_PROTECTED, SE_DACL_PROTECTED) &&
           (!saclPresent || SetSecurityDescriptorSacl(&creation_, TRUE, sacl, FALSE));
    return has_;
  }

  // What to create the replacement with; null when there is nothing to copy.
  PSECURITY_DESCRIPTOR ForCreation() { return has_ ? &creation_ : nullptr; }

  // Then gives the replacement the original's protection from inherited
  // entries, the same DACL still, and its owner and group where the process
  // may set them. False when the DACL cannot be set.
  bool Finish(HANDLE file) const {
    if (!has_) return true;
    const SECURITY_INFORMATION protection =
        protected_ ? PROTECTED_DACL_SECURITY_INFORMATION : UNPROTECTED_DACL_SECURITY_INFORMATION;
    if (!SetKernelObjectSecurity(file, DACL_SECURITY_INFORMATION | protection,
                                 const_cast<BYTE*>(original_.data()))) {
      return false;
    }
    SetOwnerAndGroup(file);
    return true;
  }

 private:
  // Another account than the caller's needs SeRestorePrivilege, which an
  // elevated installer holds: it is enabled for these calls only. The owner
  // and group are set one at a time, so that a group the process may give
  // is given even where the owner cannot be.
  void SetOwnerAndGroup(HANDLE file) const {
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
    BYTE* security = const_cast<BYTE*>(original_.data());
    SetKernelObjectSecurity(file, OWNER_SECURITY_INFORMATION, security);
    SetKernelObjectSecurity(file, GROUP_SECURITY_INFORMATION, security);
    if (before.PrivilegeCount > 0) {
      AdjustTokenPrivileges(token, FALSE, &before, 0, nullptr, nullptr);
    }
    CloseHandle(token);
  }

  std::vector<BYTE> original_;    // self-relative, as read
  SECURITY_DESCRIPTOR creation_;  // points into original_
  bool protected_ = false;
  bool has_ = false;
};

// The attributes that a replacement takes from the file, less read-only (the
// file was checked to be writable). Archive is set, as on any new contents;
// offline is not copied: the new contents are here. Encryption and
// compression are states of the contents, kept by other means.
constexpr DWORD kCopiedAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED |
                                    FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_TEMPORARY;

DWORD AttributesOf(HANDLE file) {
  FILE_BASIC_INFO basic;
  return GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic)
             ? basic.FileAttributes
             : INVALID_FILE_ATTRIBUTES;
}

// Makes the new file `file` compressed where `original` is, and not where it
// is not (a compressed folder compresses new files).
bool KeepCompression(DWORD original, HANDLE file) {
  const DWORD now = AttributesOf(file);
  if (now == INVALID_FILE_ATTRIBUTES) return false;
  if ((now & FILE_ATTRIBUTE_COMPRESSED) == (original & FILE_ATTRIBUTE_COMPRESSED)) return true;
  USHORT format = (original & FILE_ATTRIBUTE_COMPRESSED) != 0 ? COMPRESSION_FORMAT_DEFAULT
                                                              : COMPRESSION_FORMAT_NONE;
  DWORD size = 0;
  return DeviceIoControl(file, FSCTL_SET_COMPRESSION, &format, sizeof format, nullptr, 0, &size,
                         nullptr);
}

// The NT form of FILE_RENAME_INFO, whose flags older headers lack.
struct RenameInformation {
  ULONG flags;  // ReplaceIfExists in the first byte for FileRenameInformation
  HANDLE root;
  ULONG nameLength;
  WCHAR name[1];
};
constexpr auto kFileRenameInformation = static_cast<FILE_INFORMATION_CLASS>(10);
constexpr auto kFileRenameInformationEx = static_cast<FILE_INFORMATION_CLASS>(65);
constexpr ULONG kReplaceIfExists = 0x1;  // FILE_RENAME_REPLACE_IF_EXISTS
constexpr ULONG kPosixSemantics = 0x2;   // FILE_RENAME_POSIX_SEMANTICS

// Renames the file open on `file` (with DELETE access) to `name` in the
// folder open on `folder`, replacing the file there. First as POSIX does
// (Windows 10 1709 and later, on NTFS): the old file goes even while others
// hold it open, sharing delete. Where the system or the file system has no
// such rename, as Windows always did, which an open target blocks.
bool RenameOver(HANDLE file, HANDLE folder, const std::wstring& name) {
  static bool posix = true;
  const size_t nameSize = name.size() * sizeof(wchar_t);
  const size_t size = offsetof(RenameInformation, name) + nameSize + sizeof(wchar_t);
  const std::unique_ptr<RenameInformation, decltype(&std::free)> info(
      static_cast<RenameInformation*>(std::calloc(1, size)), &std::free);
  if (info == nullptr) throw std::bad_alloc();
  info->root = folder;
  info->nameLength = static_cast<ULONG>(nameSize);
  std::memcpy(info->name, name.data(), nameSize);
  IO_STATUS_BLOCK io;
  NTSTATUS status = 0;
  if (posix) {
    info->flags = kReplaceIfExists | kPosixSemantics;
    status = NtSetInformationFile(file, &io, info.get(), static_cast<ULONG>(size),
                                  kFileRenameInformationEx);
    const ULONG error = RtlNtStatusToDosError(status);
    posix = status >= 0 || (error != ERROR_INVALID_PARAMETER && error != ERROR_INVALID_FUNCTION &&
                            error != ERROR_NOT_SUPPORTED);
  }
  if (!posix) {
    info->flags = TRUE;  // ReplaceIfExists
    status = NtSetInformationFile(file, &io, info.get(), static_cast<ULONG>(size),
                                  kFileRenameInformation);
  }
  if (status >= 0) return true;
  SetLastError(RtlNtStatusToDosError(status));
  return false;
}

}  // namespace

FileContents::~FileContents() {
  if (native_.file != nullptr) CloseHandle(native_.file);
  if (native_.folder != nullptr) CloseHandle(native_.folder);
  if (native_.lock != nullptr) ReleaseLock(native_.lock);
}

Status FileContents::Load(const std::string& path, NativeFolder from) {
  if (from != kWorkingFolder) return {Step::kResolve, ERROR_INVALID_PARAMETER};
  // Runs on one file take turns: the lock is named by the file's final path,
  // which every name of the file, or a link to it, leads to. The file is
  // closed while this run waits: no open file can be replaced, not even by
  // the run that holds the lock.
  std::wstring finalPath;
  {
    ScopedHandle file(OpenDiskFile(path));
    if (file.get() == INVALID_HANDLE_VALUE) return Failed(Step::kResolve);
    finalPath = FinalPathOf(file.get(), path);
  }
  if (finalPath.empty()) return Failed(Step::kResolve);
  native_.lock = AcquireLock(L"file\\" + LockNameOf(finalPath));
  if (native_.lock == nullptr) return Failed(Step::kLock);
  // Opened anew: a run that held the lock may have replaced the file. The
  // name must still lead to the file that the lock is named for.
  const HANDLE file = OpenDiskFile(path);
  if (file == INVALID_HANDLE_VALUE) return Failed(Step::kResolve);
  native_.file = file;
  if (!SamePath(FinalPathOf(file, path), finalPath)) return {Step::kNameChanged, 0};

  // The folder, opened once: the temporary file, the left-overs and the
  // replace are found through this handle, and the file must be its child.
  // Wine gives a final path without a last dot or space of the file's name:
  // there the name as given, in its full form, finds it.
  FileId id;
  std::wstring name;
  if (!IdOf(file, id)) return Failed(Step::kResolve);
  HANDLE folder = OpenFolderOf(finalPath, id, name);
  if (folder == INVALID_HANDLE_VALUE) folder = OpenFolderOf(ExtendedPathOf(path), id, name);
  if (folder == INVALID_HANDLE_VALUE) return Failed(Step::kResolve);
  native_.folder = folder;
  if (Status status = ReadWholeFile(file, copy_); !status.ok()) return status;
  bytes_ = copy_;
  name_ = Narrow(name);
  return {};
}

bool FileContents::Intact() const { return true; }

Status DeleteOneFile(const std::string& path) {
  // Opened as a file, never a folder, and as the link itself where the name
  // is one: what a link leads to stays.
  std::wstring wide;
  if (!WidePath(path, wide)) return {Step::kResolve, ERROR_INVALID_NAME};
  ScopedHandle file(CreateFileW(wide.c_str(), DELETE, kShareAll, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT | kNoImpersonation, nullptr));
  if (file.get() == INVALID_HANDLE_VALUE) return Failed(Step::kResolve);
  if (!MarkForDeletion(file.get())) return Failed(Step::kDelete);
  return {};
}

Status AtomicFileWriter::OpenTemp(FileContents& original) {
  // Opening the file that was read (not its name) for writing, and closing it
  // again without a change, proves the caller may write it.
  const HANDLE read = original.native_.file;
  const DWORD attributes = read == nullptr ? INVALID_FILE_ATTRIBUTES : AttributesOf(read);
  if (attributes == INVALID_FILE_ATTRIBUTES) return Failed(Step::kLock);
  if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) return {Step::kLock, ERROR_ACCESS_DENIED};
  if (ScopedHandle(ReOpenFile(read, GENERIC_WRITE, kShareAll, 0)).get() == INVALID_HANDLE_VALUE) {
    return Failed(Step::kLock);
  }
  Security security;
  if (!security.Read(read)) return Failed(Step::kCopyProtection);

  original_ = &original;
  const HANDLE folder = original.native_.folder;
  const DWORD encrypted = attributes & FILE_ATTRIBUTE_ENCRYPTED;
  static unsigned counter = 0;
  for (int attempt = 0; attempt < kTempTries; ++attempt) {
    const std::string temp = TempName(GetCurrentProcessId(), GetTickCount(), counter++);
    // DELETE: the file is renamed, or removed, through this handle. Shared
    // with readers, who may open it as soon as it is in the file's place.
    const HANDLE file = OpenIn(
        folder, std::wstring(temp.begin(), temp.end()),
        GENERIC_WRITE | FILE_READ_DATA | FILE_READ_ATTRIBUTES | DELETE | WRITE_DAC | WRITE_OWNER,
        FILE_ATTRIBUTE_NORMAL | encrypted, FILE_SHARE_READ, FILE_CREATE, FILE_NON_DIRECTORY_FILE,
        security.ForCreation());
    if (file != INVALID_HANDLE_VALUE) {
      native_.file = file;
      temp_ = temp;
      // Before a byte is in it, it is what the original was. A folder that
      // encrypts what is made in it, or a file it would not encrypt, is left
      // alone rather than have its contents change state.
      const DWORD made = AttributesOf(file);
      if (!security.Finish(file) || made == INVALID_FILE_ATTRIBUTES ||
          (made & FILE_ATTRIBUTE_ENCRYPTED) != encrypted || !KeepCompression(attributes, file)) {
        const Status status = Failed(Step::kCopyProtection);
        Discard();
        return status;
      }
      RemoveLeftoverTemps(folder);
      return {};
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS && GetLastError() != ERROR_FILE_EXISTS) {
      return Failed(Step::kCreateTemp);
    }
  }
  return {Step::kCreateTemp, ERROR_FILE_EXISTS};
}

Status AtomicFileWriter::WriteOut(std::string_view bytes) {
  while (!bytes.empty()) {
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size(), kPiece));
    DWORD put = 0;
    if (!WriteFile(native_.file, bytes.data(), chunk, &put, nullptr)) return Failed(Step::kWrite);
    if (put == 0) return {Step::kWrite, 0};
    bytes.remove_prefix(put);
  }
  return {};
}

Status AtomicFileWriter::Commit() {
  if (failed_.ok() && native_.file == nullptr) failed_ = {Step::kCreateTemp, 0};  // never opened
  if (failed_.ok()) failed_ = WriteOut(buffer_);
  buffer_.clear();
  const HANDLE file = native_.file;
  std::wstring name;
  FileId id;
  if (failed_.ok() && !FlushFileBuffers(file)) failed_ = Failed(Step::kFlush);
  if (failed_.ok() && !Widen(original_->name_, name)) failed_ = {Step::kRename, 0};
  if (failed_.ok() && !IdOf(original_->native_.file, id)) failed_ = Failed(Step::kNameChanged);
  if (failed_.ok()) {
    const DWORD attributes = AttributesOf(original_->native_.file);
    FILE_BASIC_INFO basic{};
    basic.FileAttributes = (attributes & kCopiedAttributes) | FILE_ATTRIBUTE_ARCHIVE;
    if (attributes == INVALID_FILE_ATTRIBUTES ||
        !SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic)) {
      failed_ = Failed(Step::kCopyProtection);
    }
  }
  if (!failed_.ok()) {
    Discard();
    return failed_;
  }
  // Without POSIX semantics no open file can be replaced, not even by the
  // handle that read it.
  CloseHandle(original_->native_.file);
  original_->native_.file = nullptr;

  // The name must still be the file that was read. A virus scanner or
  // indexer may hold it open for a moment.
  const HANDLE folder = original_->native_.folder;
  for (int attempt = 0;; ++attempt) {
    if (!Holds(folder, name, id)) {
      failed_ = {Step::kNameChanged, 0};
      break;
    }
    if (RenameOver(file, folder, name)) {
      CloseHandle(file);
      native_.file = nullptr;
      temp_.clear();
      return {};
    }
    failed_ = Failed(Step::kRename);
    if (attempt >= 4 ||
        (failed_.code != ERROR_SHARING_VIOLATION && failed_.code != ERROR_LOCK_VIOLATION &&
         failed_.code != ERROR_ACCESS_DENIED)) {
      break;
    }
    Sleep(100);
  }
  Discard();
  return failed_;
}

void AtomicFileWriter::Discard() {
  // Through the handle: the DACL the file was given may not let this caller
  // delete it by its name.
  if (native_.file != nullptr) {
    MarkForDeletion(native_.file);
    CloseHandle(native_.file);
  }
  native_.file = nullptr;
  temp_.clear();
}

}  // namespace platform
