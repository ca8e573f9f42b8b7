// Every POSIX call the platform layer makes goes through this one table, so a
// test can make the Nth call of a kind fail with a chosen errno, once or from
// then on, and check that each error path ends cleanly.
#pragma once

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <sys/vfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstddef>

// X(name, return type, parameter list, argument list)
#define TESSARY_SYSCALLS(X)                                                                      \
  X(open, int, (const char* path, int flags, mode_t mode), (path, flags, mode))                  \
  X(close, int, (int fd), (fd))                                                                  \
  X(read, ssize_t, (int fd, void* buf, size_t n), (fd, buf, n))                                  \
  X(write, ssize_t, (int fd, const void* buf, size_t n), (fd, buf, n))                           \
  X(pread, ssize_t, (int fd, void* buf, size_t n, off_t off), (fd, buf, n, off))                 \
  X(pwrite, ssize_t, (int fd, const void* buf, size_t n, off_t off), (fd, buf, n, off))          \
  X(lseek, off_t, (int fd, off_t off, int whence), (fd, off, whence))                            \
  X(fsync, int, (int fd), (fd))                                                                  \
  X(ftruncate, int, (int fd, off_t len), (fd, len))                                              \
  X(fstat, int, (int fd, struct stat* st), (fd, st))                                             \
  X(stat, int, (const char* path, struct stat* st), (path, st))                                  \
  X(lstat, int, (const char* path, struct stat* st), (path, st))                                 \
  X(fcntl_lock, int, (int fd, int cmd, struct flock* lk), (fd, cmd, lk))                         \
  X(flock, int, (int fd, int op), (fd, op))                                                      \
  X(rename, int, (const char* from, const char* to), (from, to))                                 \
  X(renameat2, int, (int olddir, const char* from, int newdir, const char* to, unsigned flags),  \
    (olddir, from, newdir, to, flags))                                                           \
  X(link, int, (const char* from, const char* to), (from, to))                                   \
  X(unlink, int, (const char* path), (path))                                                     \
  X(mkdir, int, (const char* path, mode_t mode), (path, mode))                                   \
  X(rmdir, int, (const char* path), (path))                                                      \
  X(chmod, int, (const char* path, mode_t mode), (path, mode))                                   \
  X(fchmod, int, (int fd, mode_t mode), (fd, mode))                                              \
  X(futimens, int, (int fd, const struct timespec* times), (fd, times))                          \
  X(opendir, DIR*, (const char* path), (path))                                                   \
  X(readdir, struct dirent*, (DIR * dir), (dir))                                                 \
  X(closedir, int, (DIR * dir), (dir))                                                           \
  X(statvfs, int, (const char* path, struct statvfs* st), (path, st))                            \
  X(getcwd, char*, (char* buf, size_t size), (buf, size))                                        \
  X(copy_file_range, ssize_t,                                                                    \
    (int in, off_t* in_off, int out, off_t* out_off, size_t len, unsigned flags),                \
    (in, in_off, out, out_off, len, flags))                                                      \
  X(dlopen, void*, (const char* path, int flags), (path, flags))                                 \
  X(dlsym, void*, (void* handle, const char* name), (handle, name))                              \
  X(dlclose, int, (void* handle), (handle))                                                      \
  X(dlinfo, int, (void* handle, int request, void* info), (handle, request, info))               \
  /* dladdr1 with the table's convention: 0 when found, -1 when no object holds the address */ \
  X(dladdr_rc, int, (const void* addr, Dl_info* info, void** extra, int flags),                  \
    (addr, info, extra, flags))                                                                  \
  X(readlink, ssize_t, (const char* path, char* buf, size_t size), (path, buf, size))            \
  X(symlink, int, (const char* target, const char* path), (target, path))                        \
  X(statx, int, (int dirfd, const char* path, int flags, unsigned mask, struct statx* buf),      \
    (dirfd, path, flags, mask, buf))                                                             \
  X(statfs, int, (const char* path, struct statfs* st), (path, st))                              \
  X(realpath, char*, (const char* path, char* resolved), (path, resolved))                       \
  X(posix_fadvise, int, (int fd, off_t off, off_t len, int advice), (fd, off, len, advice))    \
  X(openat, int, (int dirfd, const char* path, int flags, mode_t mode), (dirfd, path, flags, mode)) \
  X(unlinkat, int, (int dirfd, const char* path, int flags), (dirfd, path, flags))               \
  X(mkdirat, int, (int dirfd, const char* path, mode_t mode), (dirfd, path, mode))               \
  X(fchmodat, int, (int dirfd, const char* path, mode_t mode, int flags),                        \
    (dirfd, path, mode, flags))                                                                  \
  X(symlinkat, int, (const char* target, int dirfd, const char* path), (target, dirfd, path))    \
  X(readlinkat, ssize_t, (int dirfd, const char* path, char* buf, size_t size),                  \
    (dirfd, path, buf, size))                                                                    \
  X(linkat, int, (int olddir, const char* from, int newdir, const char* to, int flags),          \
    (olddir, from, newdir, to, flags))                                                           \
  X(fstatat, int, (int dirfd, const char* path, struct stat* st, int flags),                    \
    (dirfd, path, st, flags))                                                                    \
  X(fdopendir, DIR*, (int fd), (fd))                                                             \
  X(faccessat, int, (int dirfd, const char* path, int mode, int flags), (dirfd, path, mode, flags)) \
  X(dup, int, (int fd), (fd))                                                                    \
  X(fgetxattr, ssize_t, (int fd, const char* name, void* value, size_t size),                    \
    (fd, name, value, size))                                                                     \
  X(fsetxattr, int, (int fd, const char* name, const void* value, size_t size, int flags),       \
    (fd, name, value, size, flags))                                                              \
  X(fremovexattr, int, (int fd, const char* name), (fd, name))                                   \
  X(lgetxattr, ssize_t, (const char* path, const char* name, void* value, size_t size),          \
    (path, name, value, size))                                                                   \
  /* ioctl with its one pointer argument, the only form the layer uses */                        \
  X(ioctl_ptr, int, (int fd, unsigned long request, void* arg), (fd, request, arg))

namespace tessary::sys {

enum class Call {
#define TESSARY_SYSCALL_ENUM(name, ret, params, args) name,
  TESSARY_SYSCALLS(TESSARY_SYSCALL_ENUM)
#undef TESSARY_SYSCALL_ENUM
      kCount
};

// Wrappers with the system's own signatures; each may fail by injection.
#define TESSARY_SYSCALL_DECL(name, ret, params, args) ret name params;
TESSARY_SYSCALLS(TESSARY_SYSCALL_DECL)
#undef TESSARY_SYSCALL_DECL

// A descriptor the layer owns, closed through the table when it goes.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  void reset(int fd) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

// Fault injection for tests: the `nth` call of `call` from now on (1 = the
// next one) fails with `err`; when `persistent`, every later call fails too.
// A failing call returns what the system returns on failure (-1, or null for
// pointer results) and sets errno. Exported so the tests can drive it.
__attribute__((visibility("default"))) void InjectFault(Call call, int nth, int err,
                                                        bool persistent = false);
__attribute__((visibility("default"))) void ClearFaults();
// How many faults were injected since the last ClearFaults().
__attribute__((visibility("default"))) int FaultsFired();

// Call counting for fault sweeps: after StartCounting(), CallsCounted(call)
// says how often `call` was made, so a sweep can fail each of them in turn.
__attribute__((visibility("default"))) void StartCounting();
__attribute__((visibility("default"))) int CallsCounted(Call call);

}  // namespace tessary::sys
