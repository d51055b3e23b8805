// What a rewritten file keeps of the file it replaces, for the POSIX layers
// (Linux): the new file is made in the old one's folder with mode 0600 and
// then given, before it takes the old one's place, everything that protects
// and marks the old one:
//   - the owner and group;
//   - the permission bits, less set-user-ID and set-group-ID;
//   - the access ACL, byte for byte (system.posix_acl_access);
//   - the security.* labels (such as security.selinux), less
//     security.capability (a text file runs nothing), security.ima and
//     security.evm (hashes of the old contents, which the system computes
//     anew for the new ones);
//   - the user.* and trusted.* attributes (trusted.* only where the caller
//     may read them: root);
//   - the inode flags that users set with chattr, less i and a (such files
//     are never replaced: they cannot be opened for writing) and C.
//
// Error contract: DropInheritedAcl and CopyProtection return false when they
// cannot do all they say; nothing here prints.
#pragma once

#include <sys/stat.h>

namespace platform {

// True when the folder open on `folder` (O_PATH will do) is append-only or
// immutable: a file made there could never be renamed or removed again. A
// folder whose file system has no such flags is neither.
bool FolderIsAppendOnlyOrImmutable(int folder);

// Removes from the new file open on `fd` the access ACL it inherited from
// its folder's default ACL, so that no entry of it ever grants anything.
bool DropInheritedAcl(int fd);

// Gives the new file open on `to` the protection of the file open on `from`,
// whose status is `st`, as listed above. The owner and group: a caller that may change owners
// (CAP_CHOWN) fails when it cannot set them; any other caller sets what the
// system allows (the group, when the caller is in it) and keeps the rest its
// own. Anything else that cannot be copied fails the call.
bool CopyProtection(int from, const struct stat& st, int to);

}  // namespace platform
