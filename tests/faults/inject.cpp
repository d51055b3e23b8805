// Faults for the failure tests, preloaded into the tool (LD_PRELOAD). It
// counts the tool's calls of the C library functions below, or its
// allocations, and makes the N-th go wrong, as CFGLINE_FAULT says:
//   "fail N ERRNO"  call N fails with ERRNO
//   "eintr N"       read, write or fcntl N is interrupted before it starts
//   "short N"       write N writes only half its bytes
//   "oom N"         allocation N throws std::bad_alloc
// and writes "fault: <function>" to standard error, with " after rename" once
// a rename succeeded. CFGLINE_FAULT_NOMAP=1 refuses to map files, so that
// they are read. gcov's own files are left alone.
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
  if (strcmp(mode, kind) != 0 || ++count != target) return false;
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

#define CALL(type, name, args)          \
  static auto real = Real<type>(#name); \
  return real args
#define WRAP(ret, name, failed, params, args) \
  extern "C" ret name params {                \
    if (Fault(#name)) return failed;          \
    CALL(ret params, name, args);             \
  }
WRAP(int, fsync, -1, (int fd), (fd))
WRAP(int, fdatasync, -1, (int fd), (fd))
WRAP(int, sync_file_range, -1, (int fd, off_t at, off_t size, unsigned flags),
     (fd, at, size, flags))
WRAP(off_t, lseek, -1, (int fd, off_t at, int whence), (fd, at, whence))
WRAP(int, fstat, -1, (int fd, struct stat* st), (fd, st))
WRAP(int, fstatat, -1, (int at, const char* name, struct stat* st, int flags),
     (at, name, st, flags))
WRAP(int, statx, -1, (int at, const char* name, int flags, unsigned mask, struct statx* st),
     (at, name, flags, mask, st))
WRAP(int, faccessat, -1, (int at, const char* name, int how, int flags), (at, name, how, flags))
WRAP(int, fchown, -1, (int fd, uid_t user, gid_t group), (fd, user, group))
WRAP(int, fchmod, -1, (int fd, mode_t bits), (fd, bits))
WRAP(int, unlinkat, -1, (int at, const char* name, int flags), (at, name, flags))
WRAP(ssize_t, readlinkat, -1, (int at, const char* name, char* to, size_t size),
     (at, name, to, size))
WRAP(int, munmap, -1, (void* at, size_t size), (at, size))
WRAP(int, flock, -1, (int fd, int how), (fd, how))
WRAP(DIR*, fdopendir, nullptr, (int fd), (fd))
WRAP(dirent*, readdir, nullptr, (DIR * dir), (dir))
WRAP(ssize_t, getdents64, -1, (int fd, void* to, size_t size), (fd, to, size))
WRAP(ssize_t, getrandom, -1, (void* to, size_t size, unsigned flags), (to, size, flags))
WRAP(int, sigaction, -1, (int number, const struct sigaction* action, struct sigaction* old),
     (number, action, old))
WRAP(ssize_t, fgetxattr, -1, (int fd, const char* name, void* to, size_t size),
     (fd, name, to, size))
WRAP(int, fsetxattr, -1, (int fd, const char* name, const void* from, size_t size, int flags),
     (fd, name, from, size, flags))
WRAP(ssize_t, flistxattr, -1, (int fd, char* to, size_t size), (fd, to, size))
WRAP(int, fremovexattr, -1, (int fd, const char* name), (fd, name))

extern "C" int renameat(int from, const char* old, int to, const char* name) {
  if (Fault("renameat")) return -1;
  static auto real = Real<int(int, const char*, int, const char*)>("renameat");
  return (renamed = real(from, old, to, name) == 0) ? 0 : -1;
}
extern "C" int renameat2(int from, const char* old, int to, const char* name, unsigned flags) {
  if (Fault("renameat2")) return -1;
  static auto real = Real<int(int, const char*, int, const char*, unsigned)>("renameat2");
  return (renamed = real(from, old, to, name, flags) == 0) ? 0 : -1;
}
extern "C" void* mmap(void* at, size_t size, int prot, int flags, int fd, off_t offset) {
  if (fd >= 0 && nomap) return errno = ENODEV, MAP_FAILED;
  if (Fault("mmap")) return MAP_FAILED;
  CALL(void*(void*, size_t, int, int, int, off_t), mmap, (at, size, prot, flags, fd, offset));
}
// A descriptor is closed even when close reports an error.
extern "C" int close(int fd) {
  static auto real = Real<int(int)>("close");
  const int result = real(fd);
  return Fault("close") ? -1 : result;
}
extern "C" int open(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t bits = va_arg(args, mode_t);
  va_end(args);
  if (!IsGcovFile(path) && Fault("open")) return -1;
  CALL(int(const char*, int, ...), open, (path, flags, bits));
}
extern "C" int openat(int at, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t bits = va_arg(args, mode_t);
  va_end(args);
  if (Fault("openat")) return -1;
  CALL(int(int, const char*, int, ...), openat, (at, path, flags, bits));
}
extern "C" int fcntl(int fd, int command, ...) {
  va_list args;
  va_start(args, command);
  void* argument = va_arg(args, void*);
  va_end(args);
  if (command != F_SETLKW && (Fault("fcntl") || Fault("fcntl", "eintr"))) return -1;  // not gcov's
  CALL(int(int, int, ...), fcntl, (fd, command, argument));
}
extern "C" int ioctl(int fd, unsigned long request, ...) {
  va_list args;
  va_start(args, request);
  void* argument = va_arg(args, void*);
  va_end(args);
  if (Fault("ioctl")) return -1;
  CALL(int(int, unsigned long, ...), ioctl, (fd, request, argument));
}
extern "C" ssize_t read(int fd, void* to, size_t size) {
  if (Fault("read") || Fault("read", "eintr")) return -1;
  CALL(ssize_t(int, void*, size_t), read, (fd, to, size));
}
extern "C" ssize_t pread(int fd, void* to, size_t size, off_t at) {
  if (Fault("pread") || Fault("pread", "eintr")) return -1;
  CALL(ssize_t(int, void*, size_t, off_t), pread, (fd, to, size, at));
}
extern "C" ssize_t write(int fd, const void* from, size_t size) {
  if (Fault("write") || Fault("write", "eintr")) return -1;
  if (size > 1 && Fault("write", "short")) size /= 2;
  CALL(ssize_t(int, const void*, size_t), write, (fd, from, size));
}
extern "C" ssize_t pwrite(int fd, const void* from, size_t size, off_t at) {
  if (Fault("pwrite") || Fault("pwrite", "eintr")) return -1;
  if (size > 1 && Fault("pwrite", "short")) size /= 2;
  CALL(ssize_t(int, const void*, size_t, off_t), pwrite, (fd, from, size, at));
}

void* operator new(size_t size) {
  void* memory = Fault("operator new", "oom") ? nullptr : malloc(size ? size : 1);
  if (memory == nullptr) throw std::bad_alloc();
  return memory;
}
