// The registry as a folder tree. Below the store's folder, each root key is a
// folder named by its long name, each key a folder in its parent's folder, and
// each value a regular file "<name>.<type>" in its key's folder that holds the
// value's data bytes and nothing else. Key and value names are matched without
// regard to ASCII case; a name that matches two entries opens nothing.
// Folders, links and value files are found as platform/posix/path_walk.h
// walks names. A value that is read stays locked until its key is closed, so
// that runs of the tool take turns on it.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "platform/files.h"
#include "platform/posix/path_walk.h"
#include "platform/registry.h"
#include "text/ascii_case.h"

namespace platform {

struct RegKey {
  ScopedFd folder;                      // the key's folder (O_PATH)
  std::string valueFile;                // the file of the value read, if any
  std::unique_ptr<FileContents> value;  // its contents, locked
};

namespace {

// Indexed by RegType.
constexpr std::string_view kTypeNames[] = {
    "REG_NONE",
    "REG_SZ",
    "REG_EXPAND_SZ",
    "REG_BINARY",
    "REG_DWORD",
    "REG_DWORD_BIG_ENDIAN",
    "REG_LINK",
    "REG_MULTI_SZ",
    "REG_RESOURCE_LIST",
    "REG_FULL_RESOURCE_DESCRIPTOR",
    "REG_RESOURCE_REQUIREMENTS_LIST",
    "REG_QWORD",
};
constexpr uint32_t kTypeCount = sizeof(kTypeNames) / sizeof(kTypeNames[0]);

const char* RootFolderName(RootKey root) {
  switch (root) {
    case RootKey::kClassesRoot:
      return "HKEY_CLASSES_ROOT";
    case RootKey::kCurrentUser:
      return "HKEY_CURRENT_USER";
    case RootKey::kLocalMachine:
      return "HKEY_LOCAL_MACHINE";
    case RootKey::kUsers:
      return "HKEY_USERS";
    case RootKey::kCurrentConfig:
      return "HKEY_CURRENT_CONFIG";
  }
  return nullptr;
}

std::string GetEnv(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// $CFGLINE_REGISTRY, else ${XDG_DATA_HOME:-$HOME/.local/share}/cfgline/registry;
// empty when none of these variables is set.
std::string StoreFolder() {
  std::string folder = GetEnv("CFGLINE_REGISTRY");
  if (!folder.empty())
    return folder.substr(0, std::max<size_t>(folder.find_last_not_of('/') + 1, 1));
  folder = GetEnv("XDG_DATA_HOME");
  if (folder.empty()) {
    folder = GetEnv("HOME");
    if (folder.empty()) return "";
    folder += "/.local/share";
  }
  return folder + "/cfgline/registry";
}

// The type named by the part of `file_name` after its last dot, or kTypeCount
// when that part names no type (or there is no dot).
uint32_t TypeOfFile(std::string_view file_name) {
  const size_t dot = file_name.rfind('.');
  if (dot == std::string_view::npos) return kTypeCount;
  uint32_t type = 0;
  while (type < kTypeCount && kTypeNames[type] != file_name.substr(dot + 1)) ++type;
  return type;
}

// The file name stem of the value `name`: the name with '%' written as "%25"
// and '/' as "%2F", so that every name is one file name and no two names that
// differ beyond ASCII case share a stem.
std::string EncodeValueName(const std::string& name) {
  std::string encoded;
  for (char c : name) {
    if (c == '%')
      encoded += "%25";
    else if (c == '/')
      encoded += "%2F";
    else
      encoded += c;
  }
  return encoded;
}

// Finds the one entry of the folder open on `folder` that `match` accepts
// and that is of `kind` (S_IFDIR or S_IFREG, links followed) and stores its
// name in *found. Fails when there is none, more than one, or the folder
// cannot be read. The kind only sorts the entries out: what is used is
// walked to afresh.
template <typename Match>
bool FindOneEntry(int folder, mode_t kind, Match match, std::string* found) {
  DIR* dir = OpenListing(folder);
  if (dir == nullptr) return false;
  found->clear();
  bool ok = true;
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(dir);
    if (entry == nullptr) {
      ok = ok && errno == 0;
      break;
    }
    struct stat st;
    if (!match(std::string_view(entry->d_name)) ||
        fstatat(dirfd(dir), entry->d_name, &st, 0) != 0 || (st.st_mode & S_IFMT) != kind) {
      continue;
    }
    if (!found->empty()) ok = false;  // ambiguous
    *found = entry->d_name;
  }
  closedir(dir);
  return ok && !found->empty();
}

// Walks from `folder` to the folder `name` and puts it in `folder`'s place.
Status EnterFolder(ScopedFd& folder, const std::string& name) {
  WalkedPath walked;
  if (Status status = WalkPath(folder.get(), name, true, &walked); !status.ok()) return status;
  if (!S_ISDIR(walked.st.st_mode)) return {Step::kResolve, ENOTDIR};
  folder.reset(walked.object.release());
  return {};
}

// Finds the file of the value `name` in `key`'s folder.
bool FindValue(const RegKey* key, const std::string& name, std::string* file, uint32_t* type) {
  const std::string stem = EncodeValueName(name);
  auto match = [&](std::string_view entry) {
    return TypeOfFile(entry) < kTypeCount &&
           EqualsIgnoringAsciiCase(entry.substr(0, entry.rfind('.')), stem);
  };
  if (key == nullptr || !FindOneEntry(key->folder.get(), S_IFREG, match, file)) return false;
  *type = TypeOfFile(*file);
  return true;
}

// Loads, and locks, the value `name` of `key`, unless it is loaded already;
// stores its type in *type.
Status LoadValue(RegKey* key, const std::string& name, uint32_t* type) {
  std::string file;
  struct stat st;
  if (!FindValue(key, name, &file, type)) return {Step::kQueryValue, 0};
  if (key->value && key->valueFile == file) return {};
  // Too large for a value: not even read.
  if (fstatat(key->folder.get(), file.c_str(), &st, 0) != 0) {
    return {Step::kResolve, static_cast<uint32_t>(errno)};
  }
  if (st.st_size > UINT32_MAX) return {Step::kQueryValue, 0};
  key->value = std::make_unique<FileContents>();
  key->valueFile = file;
  Status status = key->value->Load(file, key->folder.get());
  if (status.ok() && (!key->value->Intact() || key->value->bytes().size() > UINT32_MAX)) {
    status = {Step::kRead, 0};
  }
  if (!status.ok()) key->value.reset();
  return status;
}

}  // namespace

Status OpenRegKey(RootKey root, const std::string& subkey, RegKey** key) {
  const char* root_name = RootFolderName(root);
  const std::string store = StoreFolder();
  if (root_name == nullptr || store.empty()) return {Step::kOpenKey, 0};
  ScopedFd folder(AT_FDCWD);
  if (Status status = EnterFolder(folder, store); !status.ok()) return status;
  if (Status status = EnterFolder(folder, root_name); !status.ok()) return status;

  // One folder per component of the subkey; components are separated by backslashes.
  for (size_t start = 0, end; !subkey.empty() && start <= subkey.size(); start = end + 1) {
    end = std::min(subkey.find('\\', start), subkey.size());
    const std::string_view part(subkey.data() + start, end - start);
    // No entry is named "" or holds a '/', so only these two need refusing.
    if (part == "." || part == "..") return {Step::kOpenKey, 0};
    auto match = [&](std::string_view entry) { return EqualsIgnoringAsciiCase(entry, part); };
    std::string found;
    if (!FindOneEntry(folder.get(), S_IFDIR, match, &found)) return {Step::kOpenKey, 0};
    if (Status status = EnterFolder(folder, found); !status.ok()) return status;
  }

  // As a key opened for writing on Windows, the folder must be ours to change.
  if (faccessat(folder.get(), ".", R_OK | W_OK | X_OK, AT_EACCESS) != 0) {
    return {Step::kOpenKey, static_cast<uint32_t>(errno)};
  }
  *key = new RegKey{};
  (*key)->folder.reset(folder.release());
  return {};
}

void CloseRegKey(RegKey* key) { delete key; }

Status QueryRegValue(RegKey* key, const std::string& name, uint32_t* type, unsigned char* data,
                     uint32_t* size) {
  uint32_t found_type;
  if (size == nullptr) return {Step::kQueryValue, 0};
  if (Status status = LoadValue(key, name, &found_type); !status.ok()) return status;
  const std::string_view bytes = key->value->bytes();
  if (data == nullptr) {
    *size = static_cast<uint32_t>(bytes.size());
  } else {
    if (bytes.size() > *size) return {Step::kQueryValue, 0};
    std::memcpy(data, bytes.data(), bytes.size());
    *size = static_cast<uint32_t>(bytes.size());
  }
  if (type != nullptr) *type = found_type;
  return {};
}

Status SetRegValue(RegKey* key, const std::string& name, uint32_t type, const unsigned char* data,
                   uint32_t size) {
  uint32_t found_type;
  if (data == nullptr && size != 0) return {Step::kSetValue, 0};
  if (Status status = LoadValue(key, name, &found_type); !status.ok()) return status;
  if (found_type != type) return {Step::kSetValue, 0};
  const std::string_view bytes =
      size == 0 ? std::string_view() : std::string_view(reinterpret_cast<const char*>(data), size);
  AtomicFileWriter writer;
  if (Status status = writer.Open(*key->value); !status.ok()) return status;
  if (Status status = writer.Write(bytes); !status.ok()) return status;
  return writer.Commit();
}

void AnnounceEnvironmentChange() {}

}  // namespace platform
