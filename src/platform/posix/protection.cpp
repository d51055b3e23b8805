#include "platform/posix/protection.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>

namespace platform {
namespace {

constexpr char kAccessAcl[] = "system.posix_acl_access";

// The flags of chattr that a rewritten file keeps: s u c S d A j t m x.
// Left out: i and a; C, which btrfs takes only on an empty file; and those
// the system sets itself (extents, inline data, encryption, verity) or that
// only folders have.
constexpr int kKeptFlags = FS_SECRM_FL | FS_UNRM_FL | FS_COMPR_FL | FS_SYNC_FL | FS_NODUMP_FL |
                           FS_NOATIME_FL | FS_JOURNAL_DATA_FL | FS_NOTAIL_FL | FS_NOCOMP_FL |
                           FS_DAX_FL;

// True when the attribute `name` is copied to the new file.
bool Kept(std::string_view name) {
  if (name == "security.capability" || name == "security.ima" || name == "security.evm") {
    return false;
  }
  return name == kAccessAcl || name.starts_with("security.") || name.starts_with("user.") ||
         name.starts_with("trusted.");
}

// Reads what `read` gives (flistxattr's names, or fgetxattr's value, into a
// buffer and its size) into *out: asks for the size first, and again should
// it grow meanwhile.
template <typename Read>
bool ReadSized(Read read, std::string* out) {
  for (;;) {
    ssize_t size = read(nullptr, 0);
    if (size < 0) return false;
    out->resize(static_cast<size_t>(size));
    size = read(out->data(), out->size());
    if (size >= 0) {
      out->resize(static_cast<size_t>(size));
      return true;
    }
    if (errno != ERANGE) return false;
  }
}

// Reads the value of the attribute `name` of the file open on `fd`.
bool GetAttribute(int fd, const char* name, std::string* value) {
  return ReadSized([&](char* buffer, size_t size) { return fgetxattr(fd, name, buffer, size); },
                   value);
}

// The names of the attributes of the file open on `fd`, each ended by a NUL.
bool ListAttributes(int fd, std::string* names) {
  return ReadSized([&](char* buffer, size_t size) { return flistxattr(fd, buffer, size); }, names);
}

bool CopyAttributes(int from, int to) {
  std::string names;
  if (!ListAttributes(from, &names)) return errno == ENOTSUP;  // none at all
  std::string value, own;
  for (size_t at = 0, end; at < names.size(); at = end + 1) {
    end = names.find('\0', at);
    if (end == std::string::npos) end = names.size();
    const std::string name = names.substr(at, end - at);
    if (!Kept(name)) continue;
    if (!GetAttribute(from, name.c_str(), &value)) {
      if (errno == ENODATA) continue;  // removed meanwhile
      return false;
    }
    // A label that the new file has already, such as the one SELinux gave
    // it, is not set again: that could need a right the caller lacks.
    if (GetAttribute(to, name.c_str(), &own) && own == value) continue;
    if (fsetxattr(to, name.c_str(), value.data(), value.size(), 0) != 0) return false;
  }
  return true;
}

bool CopyFlags(int from, int to) {
  int wanted = 0, flags = 0;
  // A file system without flags has none to keep.
  if (ioctl(from, FS_IOC_GETFLAGS, &wanted) != 0) return true;
  wanted &= kKeptFlags;
  // The new file may have inherited some from its folder; it gets the old one's.
  if (ioctl(to, FS_IOC_GETFLAGS, &flags) != 0) return wanted == 0;
  const int set = (flags & ~kKeptFlags) | wanted;
  return set == flags || ioctl(to, FS_IOC_SETFLAGS, &set) == 0;
}

// True when the caller may give files to others: CAP_CHOWN is in its
// effective set (root's, in its user namespace).
bool MayChangeOwners() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (syscall(SYS_capget, &header, data) != 0) return geteuid() == 0;
  return (data[CAP_CHOWN / 32].effective & (1u << (CAP_CHOWN % 32))) != 0;
}

}  // namespace

bool FolderIsAppendOnlyOrImmutable(int folder) {
  // statx, unlike FS_IOC_GETFLAGS, needs no right to read the folder.
  struct statx stx;
  return statx(folder, "", AT_EMPTY_PATH, 0, &stx) == 0 &&
         (stx.stx_attributes & stx.stx_attributes_mask &
          (STATX_ATTR_APPEND | STATX_ATTR_IMMUTABLE)) != 0;
}

bool DropInheritedAcl(int fd) {
  return fremovexattr(fd, kAccessAcl) == 0 || errno == ENODATA || errno == ENOTSUP;
}

bool CopyProtection(int from, const struct stat& st, int to) {
  // Owner first: a change of owner clears the set-ID bits and the file
  // capability, and must not undo anything set after it.
  if (fchown(to, st.st_uid, st.st_gid) != 0) {
    if (MayChangeOwners()) return false;
    if (fchown(to, static_cast<uid_t>(-1), st.st_gid) != 0) {
      // Not in that group: the new file stays wholly the caller's.
    }
  }
  // Then the ACL and the labels, then the mode. Setting the ACL sets the
  // permission bits from it, the group's from its mask; the old file's mode
  // agrees with its ACL, so the chmod after it changes none of it and adds
  // only the sticky bit. The other way round, the owning group would hold
  // the mask's rights for a moment, which the ACL may deny it. Flags last:
  // none that is kept forbids what comes before.
  return CopyAttributes(from, to) && fchmod(to, st.st_mode & 01777) == 0 && CopyFlags(from, to);
}

}  // namespace platform
