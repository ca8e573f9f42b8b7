#include "platform/posix/syscalls.h"

#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <sys/file.h>

#include <atomic>
#include <mutex>

namespace tessary::sys {
namespace {

struct Fault {
  int countdown = 0;  // 0: none armed
  int err = 0;
  bool persistent = false;
  bool firing = false;
};

// Fast path: no lock and one relaxed load while no fault is armed.
std::atomic<int> g_armed{0};
std::atomic<int> g_fired{0};
std::mutex g_mutex;
Fault g_faults[static_cast<int>(Call::kCount)];

std::atomic<bool> g_counting{false};
std::atomic<int> g_counts[static_cast<int>(Call::kCount)];

bool ShouldFail(Call call) {
  if (g_counting.load(std::memory_order_relaxed))
    g_counts[static_cast<int>(call)].fetch_add(1, std::memory_order_relaxed);
  if (g_armed.load(std::memory_order_relaxed) == 0) return false;
  std::lock_guard<std::mutex> lock(g_mutex);
  Fault& f = g_faults[static_cast<int>(call)];
  if (f.firing) {
    errno = f.err;
    g_fired.fetch_add(1);
    return true;
  }
  if (f.countdown == 0) return false;
  if (--f.countdown > 0) return false;
  errno = f.err;
  g_fired.fetch_add(1);
  if (f.persistent) {
    f.firing = true;
  } else {
    g_armed.fetch_sub(1);
  }
  return true;
}

template <class T>
T FailValue() {
  if constexpr (std::is_pointer_v<T>) {
    return nullptr;
  } else {
    return static_cast<T>(-1);
  }
}

int sys_fcntl_lock(int fd, int cmd, struct flock* lk) { return ::fcntl(fd, cmd, lk); }
int sys_open(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }
int sys_openat(int dirfd, const char* path, int flags, mode_t mode) {
  return ::openat(dirfd, path, flags, mode);
}
int sys_ioctl_ptr(int fd, unsigned long request, void* arg) { return ::ioctl(fd, request, arg); }
// Descriptors the layer makes for itself never leak into a child process.
int sys_dup(int fd) { return ::fcntl(fd, F_DUPFD_CLOEXEC, 0); }
int sys_dladdr_rc(const void* addr, Dl_info* info, void** extra, int flags) {
  return ::dladdr1(addr, info, extra, flags) != 0 ? 0 : -1;
}
int sys_renameat2(int olddir, const char* from, int newdir, const char* to, unsigned flags) {
  return ::renameat2(olddir, from, newdir, to, flags);
}

}  // namespace

// Linux releases a descriptor even when its close reports an error, so an
// injected close or closedir failure releases it too; otherwise every such
// fault would leak what the caller rightly considers gone.
template <Call C, class... Args>
void AfterInjectedFailure(Args...) {}
template <>
void AfterInjectedFailure<Call::close, int>(int fd) {
  int err = errno;
  ::close(fd);
  errno = err;
}
template <>
void AfterInjectedFailure<Call::closedir, DIR*>(DIR* dir) {
  int err = errno;
  ::closedir(dir);
  errno = err;
}

#define TESSARY_SYSCALL_REAL(name) ::name
#define TESSARY_SYSCALL_DEF(name, ret, params, args) \
  ret name params {                                  \
    if (ShouldFail(Call::name)) {                    \
      AfterInjectedFailure<Call::name> args;         \
      return FailValue<ret>();                       \
    }                                                \
    return Real_##name args;                         \
  }

// The real functions; a few need an adapter for their C signatures.
#define Real_open sys_open
#define Real_close ::close
#define Real_read ::read
#define Real_write ::write
#define Real_pread ::pread
#define Real_pwrite ::pwrite
#define Real_lseek ::lseek
#define Real_fsync ::fsync
#define Real_ftruncate ::ftruncate
#define Real_fstat ::fstat
#define Real_stat ::stat
#define Real_lstat ::lstat
#define Real_fcntl_lock sys_fcntl_lock
#define Real_flock ::flock
#define Real_rename ::rename
#define Real_renameat2 sys_renameat2
#define Real_link ::link
#define Real_unlink ::unlink
#define Real_mkdir ::mkdir
#define Real_rmdir ::rmdir
#define Real_chmod ::chmod
#define Real_fchmod ::fchmod
#define Real_futimens ::futimens
#define Real_opendir ::opendir
#define Real_readdir ::readdir
#define Real_closedir ::closedir
#define Real_statvfs ::statvfs
#define Real_getcwd ::getcwd
#define Real_copy_file_range ::copy_file_range
#define Real_dlopen ::dlopen
#define Real_dlsym ::dlsym
#define Real_dlclose ::dlclose
#define Real_dlinfo ::dlinfo
#define Real_dladdr_rc sys_dladdr_rc
#define Real_readlink ::readlink
#define Real_symlink ::symlink
#define Real_statx ::statx
#define Real_statfs ::statfs
#define Real_realpath ::realpath
#define Real_posix_fadvise ::posix_fadvise
#define Real_openat sys_openat
#define Real_unlinkat ::unlinkat
#define Real_mkdirat ::mkdirat
#define Real_fchmodat ::fchmodat
#define Real_symlinkat ::symlinkat
#define Real_readlinkat ::readlinkat
#define Real_linkat ::linkat
#define Real_fstatat ::fstatat
#define Real_fdopendir ::fdopendir
#define Real_faccessat ::faccessat
#define Real_dup sys_dup
#define Real_fgetxattr ::fgetxattr
#define Real_fsetxattr ::fsetxattr
#define Real_fremovexattr ::fremovexattr
#define Real_lgetxattr ::lgetxattr
#define Real_ioctl_ptr sys_ioctl_ptr

TESSARY_SYSCALLS(TESSARY_SYSCALL_DEF)

void InjectFault(Call call, int nth, int err, bool persistent) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Fault& f = g_faults[static_cast<int>(call)];
  if (f.countdown == 0 && !f.firing) g_armed.fetch_add(1);
  f.countdown = nth < 1 ? 1 : nth;
  f.err = err;
  f.persistent = persistent;
  f.firing = false;
}

void ClearFaults() {
  std::lock_guard<std::mutex> lock(g_mutex);
  for (Fault& f : g_faults) f = Fault{};
  g_armed.store(0);
  g_fired.store(0);
  g_counting.store(false);
}

int FaultsFired() { return g_fired.load(); }

void StartCounting() {
  for (auto& count : g_counts) count.store(0);
  g_counting.store(true);
}

int CallsCounted(Call call) { return g_counts[static_cast<int>(call)].load(); }

}  // namespace tessary::sys
