// Faults for the failure tests, preloaded into the tool (LD_PRELOAD). It
// counts the tool's calls of the C library functions below, or its
// allocations, and makes the N-th go wrong, as CFGLINE_FAULT says:
//   "fail N ERRNO"  call N fails with ERRNO
//   "eintr N"       read, write or fcntl N is interrupted before it starts
//   "short N"       write N writes only half its bytes
//   "oom N"         allocation N throws std::bad_alloc
// and writes "fault: <function>" to standard error ("openat O_CREAT" for an
// openat that may create), with " after rename"
// once a rename was let through. CFGLINE_FAULT_NOMAP=1 refuses to map
// files, so that they are read. gcov's own files are left alone.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

template <typename F>
F* Real(const char* name) {
  return reinterpret_cast<F*>(dlsym(RTLD_NEXT, name));
}

char mode[8];
long target = -1, count = 0;
int error = EIO;
bool renamed = false, nomap = false;

__attribute__((constructor)) void Init() {
  if (const char* fault = getenv("CFGLINE_FAULT"))
    sscanf(fault, "%7s %ld %d", mode, &target, &error);
  nomap = getenv("CFGLINE_FAULT_NOMAP") != nullptr;
}

// True when this call of `name`, one that `kind` of fault applies to, is
// the one to go wrong; then errno is set.
bool Fault(const char* name, const char* kind = "fail") {
  if (strcmp(mode, kind) != 0 || ++count != target) {
    renamed = renamed || strncmp(name, "rename", 6) == 0;
    return false;
  }
  char line[80];
  const int size =
      snprintf(line, sizeof line, "fault: %s%s\n", name, renamed ? " after rename" : "");
  Real<ssize_t(int, const void*, size_t)>("write")(2, line, static_cast<size_t>(size));
  errno = strcmp(kind, "eintr") == 0 ? EINTR : error;
  return true;
}

bool IsGcovFile(const char* path) {
  const size_t size = strlen(path);
  return size > 5 && strcmp(path + size - 5, ".gcda") == 0;
}

}  // namespace

// Each wrapper runs what follows its arguments, which may return, then fails
// or calls the C library's function.
#define WRAP(ret, name, failed, params, args, ...) \
  extern "C" ret name params {                     \
    static auto real = Real<ret params>(#name);    \
    __VA_ARGS__;                                   \
    if (Fault(#name)) return failed;               \
    return real args;                              \
  }
#define VARIADIC(last, type)            \
  va_list list;                         \
  va_start(list, last);                 \
  const type more = va_arg(list, type); \
  va_end(list)
// clang-format off
WRAP(int, open, -1, (const char* path, int flags, ...), (path, flags, more),
     VARIADIC(flags, mode_t); if (IsGcovFile(path)) return real(path, flags, more))
WRAP(int, openat, -1, (int at, const char* path, int flags, ...), (at, path, flags, more),
     VARIADIC(flags, mode_t);
     if (flags & O_CREAT) return Fault("openat O_CREAT") ? -1 : real(at, path, flags, more))
WRAP(int, fcntl, -1, (int fd, int command, ...), (fd, command, more),
     VARIADIC(command, void*); if (command == F_SETLKW) return real(fd, command, more);  // gcov's
     if (Fault("fcntl", "eintr")) return -1)
WRAP(int, ioctl, -1, (int fd, unsigned long request, ...), (fd, request, more),
     VARIADIC(request, void*))
WRAP(ssize_t, read, -1, (int fd, void* to, size_t size), (fd, to, size),
     if (Fault("read", "eintr")) return -1)
WRAP(ssize_t, write, -1, (int fd, const void* from, size_t size), (fd, from, size),
     if (Fault("write", "eintr")) return -1; if (size > 1 && Fault("write", "short")) size /= 2)
WRAP(void*, mmap, MAP_FAILED, (void* at, size_t size, int prot, int flags, int fd, off_t offset),
     (at, size, prot, flags, fd, offset), if (fd >= 0 && nomap) return errno = ENODEV, MAP_FAILED)
WRAP(int, fsync, -1, (int fd), (fd))
WRAP(int, sync_file_range, -1, (int fd, off_t at, off_t size, unsigned how), (fd, at, size, how))
WRAP(off_t, lseek, -1, (int fd, off_t at, int whence), (fd, at, whence))
WRAP(int, fstat, -1, (int fd, struct stat* st), (fd, st))
WRAP(int, fstatat, -1, (int at, const char* name, struct stat* st, int how), (at, name, st, how))
WRAP(int, statx, -1, (int at, const char* name, int how, unsigned mask, struct statx* st),
     (at, name, how, mask, st))
WRAP(int, faccessat, -1, (int at, const char* name, int what, int how), (at, name, what, how))
WRAP(int, fchown, -1, (int fd, uid_t user, gid_t group), (fd, user, group))
WRAP(int, fchmod, -1, (int fd, mode_t bits), (fd, bits))
WRAP(int, renameat, -1, (int at, const char* old, int to, const char* name), (at, old, to, name))
WRAP(int, unlinkat, -1, (int at, const char* name, int how), (at, name, how))
WRAP(ssize_t, readlinkat, -1, (int at, const char* name, char* to, size_t n), (at, name, to, n))
WRAP(int, munmap, -1, (void* at, size_t size), (at, size))
WRAP(DIR*, fdopendir, nullptr, (int fd), (fd))
WRAP(dirent*, readdir, nullptr, (DIR* dir), (dir))
WRAP(ssize_t, getrandom, -1, (void* to, size_t size, unsigned how), (to, size, how))
WRAP(int, sigaction, -1, (int number, const struct sigaction* action, struct sigaction* old),
     (number, action, old))
WRAP(ssize_t, fgetxattr, -1, (int fd, const char* name, void* to, size_t n), (fd, name, to, n))
WRAP(int, fsetxattr, -1, (int fd, const char* name, const void* from, size_t size, int how),
     (fd, name, from, size, how))
WRAP(ssize_t, flistxattr, -1, (int fd, char* to, size_t size), (fd, to, size))
WRAP(int, fremovexattr, -1, (int fd, const char* name), (fd, name))
// clang-format on

// A descriptor is closed even when close reports an error.
extern "C" int close(int fd) {
  const int result = Real<int(int)>("close")(fd);
  return Fault("close") ? -1 : result;
}

void* operator new(size_t size) {
  void* memory = Fault("operator new", "oom") ? nullptr : malloc(size ? size : 1);
  if (memory == nullptr) throw std::bad_alloc();
  return memory;
}
