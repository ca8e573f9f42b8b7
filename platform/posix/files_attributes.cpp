// The Windows view of a host file's metadata: statx into FileInfo, the
// attributes Windows would report (read-only from the owner's write bit,
// hidden for dot names), FILETIMEs and the creation time POSIX lacks, and
// the path-aware wording of errno; GetFileAttributesA, which reads them by
// name.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>

#include "platform/guard.h"
#include "platform/posix/files_internal.h"
#include "platform/posix/syscalls.h"
#include "platform/winpath.h"

namespace tessary::files {

using sys::ErrnoOp;

namespace {

constexpr unsigned kStatxMask = STATX_BASIC_STATS | STATX_BTIME;

void FromStatx(const struct statx& sx, FileInfo* info) {
  *info = FileInfo();
  info->mode = sx.stx_mode;
  info->size = sx.stx_size;
  info->nlink = sx.stx_nlink;
  info->dev = makedev(sx.stx_dev_major, sx.stx_dev_minor);
  info->ino = sx.stx_ino;
  info->atime = {static_cast<time_t>(sx.stx_atime.tv_sec), static_cast<long>(sx.stx_atime.tv_nsec)};
  info->mtime = {static_cast<time_t>(sx.stx_mtime.tv_sec), static_cast<long>(sx.stx_mtime.tv_nsec)};
  info->ctime = {static_cast<time_t>(sx.stx_ctime.tv_sec), static_cast<long>(sx.stx_ctime.tv_nsec)};
  if ((sx.stx_mask & STATX_BTIME) != 0) {
    info->has_btime = true;
    info->btime = {static_cast<time_t>(sx.stx_btime.tv_sec),
                   static_cast<long>(sx.stx_btime.tv_nsec)};
  }
  info->is_link = S_ISLNK(sx.stx_mode);
}

void FromStat(const struct stat& st, FileInfo* info) {
  *info = FileInfo();
  info->mode = st.st_mode;
  info->size = static_cast<uint64_t>(st.st_size);
  info->nlink = st.st_nlink;
  info->dev = st.st_dev;
  info->ino = st.st_ino;
  info->atime = st.st_atim;
  info->mtime = st.st_mtim;
  info->ctime = st.st_ctim;
  info->is_link = S_ISLNK(st.st_mode);
}

bool IsBefore(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

}  // namespace

int StatPath(const std::string& host, bool follow, FileInfo* info) {
  return StatAt(AT_FDCWD, host.c_str(), follow, info);
}

int StatAt(int dirfd, const char* name, bool follow, FileInfo* info) {
  struct statx sx;
  const int flags = AT_STATX_SYNC_AS_STAT | (follow ? 0 : AT_SYMLINK_NOFOLLOW);
  if (sys::statx(dirfd, name, flags, kStatxMask, &sx) == 0) {
    FromStatx(sx, info);
    return 0;
  }
  if (errno != ENOSYS) return errno;
  // Kernels (or sandboxes) without statx.
  struct stat st;
  if (sys::fstatat(dirfd, name, &st, follow ? 0 : AT_SYMLINK_NOFOLLOW) != 0) return errno;
  FromStat(st, info);
  return 0;
}

int StatFd(int fd, FileInfo* info) {
  struct statx sx;
  if (sys::statx(fd, "", AT_EMPTY_PATH | AT_STATX_SYNC_AS_STAT, kStatxMask, &sx) == 0) {
    FromStatx(sx, info);
    return 0;
  }
  if (errno != ENOSYS) return errno;
  struct stat st;
  if (sys::fstat(fd, &st) != 0) return errno;
  FromStat(st, info);
  return 0;
}

DWORD AttributesOf(const FileInfo& info, std::string_view name) {
  DWORD attributes = 0;
  if (S_ISDIR(info.mode)) {
    attributes |= FILE_ATTRIBUTE_DIRECTORY;
  } else if (S_ISREG(info.mode)) {
    attributes |= FILE_ATTRIBUTE_ARCHIVE;
  } else if (S_ISLNK(info.mode)) {
    // A link whose target is missing.
    attributes |= FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_REPARSE_POINT;
  } else {
    // Devices, pipes and sockets have no Windows counterpart in a folder.
    attributes |= FILE_ATTRIBUTE_SYSTEM;
  }
  if (!S_ISLNK(info.mode) && (info.mode & S_IWUSR) == 0) attributes |= FILE_ATTRIBUTE_READONLY;
  if (!name.empty() && name[0] == '.' && name != "." && name != "..") {
    attributes |= FILE_ATTRIBUTE_HIDDEN;
  }
  return attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
}

FILETIME ToFileTime(const struct timespec& ts) {
  // 100 ns ticks from 1601-01-01 to 1970-01-01.
  constexpr int64_t kEpochTicks = 116444736000000000LL;
  const int64_t ticks = static_cast<int64_t>(ts.tv_sec) * 10000000 + ts.tv_nsec / 100 + kEpochTicks;
  const uint64_t value = ticks < 0 ? 0 : static_cast<uint64_t>(ticks);
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(value);
  ft.dwHighDateTime = static_cast<DWORD>(value >> 32);
  return ft;
}

FILETIME CreationTimeOf(const FileInfo& info) {
  if (info.has_btime) return ToFileTime(info.btime);
  return ToFileTime(IsBefore(info.ctime, info.mtime) ? info.ctime : info.mtime);
}

DWORD ErrorForPath(int err, ErrnoOp op, const std::string& host) {
  return ErrorForPath(err, op, host.c_str());
}

DWORD ErrorForPath(int err, ErrnoOp op, const char* host) {
  const bool parent_missing = err == ENOENT && sys::ParentDirectoryMissing(host);
  return sys::Win32ErrorFromErrno(err, op, parent_missing);
}

}  // namespace tessary::files

namespace files = tessary::files;

EXTERN_C {
  DWORD GetFileAttributesA(LPCSTR lpFileName) {
    return tessary::GuardWin32<DWORD>(INVALID_FILE_ATTRIBUTES, [&]() -> DWORD {
      // The item itself, as Windows reports a reparse point: a link carries
      // FILE_ATTRIBUTE_REPARSE_POINT beside what its target is, and one whose
      // target is gone is still an item in its folder.
      files::FileInfo info;
      int err = 0;
      // A plain drive path is looked at straight away, with nothing built on
      // the heap; only a miss or another form of path goes further.
      files::PlainHostPath plain;
      const bool is_plain = files::MapPlainPath(lpFileName, &plain);
      if (is_plain) {
        err = files::StatAt(AT_FDCWD, plain.host, false, &info);
        if (err == 0) return files::EntryAttributes(AT_FDCWD, plain.host, plain.name, info);
        if (!((err == ENOENT || err == ENOTDIR) && plain.unmatched)) {
          SetLastError(files::ErrorForPath(err, tessary::sys::ErrnoOp::kStat, plain.host));
          return INVALID_FILE_ATTRIBUTES;
        }
      }
      // The path as spelt first (unless the plain look just missed it):
      // only a miss looks for the name in another case.
      files::HostPath path;
      DWORD error = is_plain ? ERROR_SUCCESS
                             : files::ResolvePathAsSpelt(lpFileName, files::PathUse::kName, &path);
      if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return INVALID_FILE_ATTRIBUTES;
      }
      if (!is_plain) err = files::StatAt(AT_FDCWD, path.host.c_str(), false, &info);
      if (is_plain || ((err == ENOENT || err == ENOTDIR) && path.unmatched)) {
        error = files::ResolvePath(lpFileName, files::PathUse::kName, &path);
        if (error != ERROR_SUCCESS) {
          SetLastError(error);
          return INVALID_FILE_ATTRIBUTES;
        }
        err = files::StatAt(AT_FDCWD, path.host.c_str(), false, &info);
      }
      if (err != 0) {
        SetLastError(files::ErrorForPath(err, tessary::sys::ErrnoOp::kStat, path.host));
        return INVALID_FILE_ATTRIBUTES;
      }
      return files::EntryAttributes(AT_FDCWD, path.host.c_str(), files::LastComponent(path.full),
                                    info);
    });
  }
}  // EXTERN_C
