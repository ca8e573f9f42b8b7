// File handles and whole-file operations with Windows semantics.
//
// Choices where POSIX and Windows part ways:
// - A handle is our own object around one descriptor with its own file
//   pointer (pread/pwrite at it), its access mask and share mode. Handles
//   with no data access use O_PATH, so an attribute probe opens any file, as
//   with Windows' access 0.
// - FILE_ATTRIBUTE_READONLY is a file's owner write bit (a folder's lives in
//   an extended attribute, see tree.cpp); it is honoured even for a
//   privileged caller, for whom POSIX would ignore it: opening for writing,
//   truncating, deleting, replacing or removing a read-only item is refused
//   with ERROR_ACCESS_DENIED as on Windows.
// - Only regular files are opened for data: a pipe, socket or device is
//   refused with ERROR_CANT_ACCESS_FILE instead of blocking or being read.
// - One file under two names is told by device and inode: a move onto
//   another spelling of the same entry never removes its only name.
// - Creating, truncating and sharing happen in Windows order: the sharing is
//   checked on the open descriptor before anything is truncated, so an open
//   refused with ERROR_SHARING_VIOLATION never changes the file.
// - CopyFileA writes a new destination in place (created exclusively) and
//   an existing one through a temporary sibling (".~tsy<pid>-<n>.tmp")
//   renamed over it: a failure leaves the destination as it was.
//   Handles still open on a replaced destination keep the old contents.
//   Permissions and modification time are copied as far as the destination
//   file system allows.
// - FILE_ATTRIBUTE_HIDDEN cannot be stored: CREATE_ALWAYS over a dot file
//   does not fail as it would over a hidden Windows file.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "platform/guard.h"
#include "platform/posix/files_internal.h"
#include "platform/posix/syscalls.h"
#include "platform/winpath.h"

namespace tessary::files {

using sys::ErrnoOp;

// ---------------------------------------------------------------------------
// Metadata

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
  const bool parent_missing = err == ENOENT && sys::ParentDirectoryMissing(host.c_str());
  return sys::Win32ErrorFromErrno(err, op, parent_missing);
}

// ---------------------------------------------------------------------------
// Handles

namespace {

constexpr DWORD kReadData = FILE_READ_DATA;
constexpr DWORD kWriteData = FILE_WRITE_DATA | FILE_APPEND_DATA;
constexpr size_t kCopyChunk = 64 * 1024;

struct FileObject {
  int fd = -1;
  DWORD access = 0;  // generic rights already expanded
  DWORD share = 0;
  bool is_dir = false;
  bool seekable = true;
  bool registered = false;
  FileId id;
  std::string full;  // the Windows full path the handle was opened by

  std::mutex mutex;  // the file pointer
  int64_t position = 0;

  ~FileObject() {
    if (registered) ShareClose(this, id);
    if (fd >= 0) sys::close(fd);
  }
};

struct HandleTable {
  std::mutex mutex;
  std::unordered_map<const void*, std::shared_ptr<FileObject>> handles;
};

HandleTable& Handles() {
  static HandleTable* table = new HandleTable;  // outlives static destructors that close handles
  return *table;
}

HANDLE Publish(std::shared_ptr<FileObject> object) {
  HandleTable& table = Handles();
  std::lock_guard<std::mutex> lock(table.mutex);
  const void* key = object.get();
  table.handles.emplace(key, std::move(object));
  return const_cast<void*>(key);
}

std::shared_ptr<FileObject> Lookup(HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return nullptr;
  HandleTable& table = Handles();
  std::lock_guard<std::mutex> lock(table.mutex);
  const auto it = table.handles.find(handle);
  return it == table.handles.end() ? nullptr : it->second;
}

std::shared_ptr<FileObject> Unpublish(HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return nullptr;
  HandleTable& table = Handles();
  std::lock_guard<std::mutex> lock(table.mutex);
  const auto it = table.handles.find(handle);
  if (it == table.handles.end()) return nullptr;
  std::shared_ptr<FileObject> object = std::move(it->second);
  table.handles.erase(it);
  return object;
}

DWORD ExpandAccess(DWORD access) {
  if ((access & GENERIC_READ) != 0) access |= FILE_GENERIC_READ;
  if ((access & GENERIC_WRITE) != 0) access |= FILE_GENERIC_WRITE;
  if ((access & GENERIC_EXECUTE) != 0) access |= FILE_GENERIC_EXECUTE;
  if ((access & GENERIC_ALL) != 0) access |= FILE_ALL_ACCESS;
  // What the caller may have is not known before trying; reading is the safe promise.
  if ((access & MAXIMUM_ALLOWED) != 0) access |= FILE_GENERIC_READ;
  return access & ~static_cast<DWORD>(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL |
                                      MAXIMUM_ALLOWED);
}

ErrnoOp OpFor(DWORD disposition) {
  switch (disposition) {
    case CREATE_NEW:
      return ErrnoOp::kCreateNew;
    case CREATE_ALWAYS:
      return ErrnoOp::kCreateAlways;
    case OPEN_ALWAYS:
      return ErrnoOp::kOpenAlways;
    default:
      return ErrnoOp::kOpenExisting;
  }
}

std::string_view LastComponent(std::string_view full) {
  while (!full.empty() && winpath::IsSeparator(full.back())) full.remove_suffix(1);
  const size_t root = winpath::ParseRoot(full).length;
  if (full.size() <= root) return std::string_view();
  size_t i = full.size();
  while (i > root && !winpath::IsSeparator(full[i - 1])) --i;
  return full.substr(i);
}

struct OpenResult {
  std::shared_ptr<FileObject> object;
  bool existed = false;
};

// CreateFileA after the path is resolved.
DWORD OpenFile(const HostPath& path, DWORD desired_access, DWORD share, DWORD disposition,
               DWORD flags, OpenResult* result) {
  if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING) return ERROR_INVALID_PARAMETER;
  const DWORD access = ExpandAccess(desired_access);
  const bool want_read = (access & kReadData) != 0;
  const bool want_write = (access & kWriteData) != 0;
  if (disposition == TRUNCATE_EXISTING && (access & FILE_WRITE_DATA) == 0) {
    return ERROR_INVALID_PARAMETER;
  }
  const bool backup = (flags & FILE_FLAG_BACKUP_SEMANTICS) != 0;
  const ErrnoOp op = OpFor(disposition);
  const char* host = path.host.c_str();

  int base = O_PATH;
  if (want_write) {
    base = O_RDWR;  // readable too, so the handle can take part in cross-process sharing
  } else if (want_read) {
    base = O_RDONLY;
  }
  // O_NONBLOCK: a pipe without a writer (or reader) would hold the open for
  // ever; it fails or returns at once, and the type check below refuses it.
  // On a file it changes nothing.
  int extra = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  if (want_write && (flags & FILE_FLAG_WRITE_THROUGH) != 0) extra |= O_DSYNC;
  const mode_t create_mode = (flags & FILE_ATTRIBUTE_READONLY) != 0 ? 0444 : 0666;

  int fd = -1;
  bool existed = false;
  bool readable = base != O_PATH;
  // Open what exists first, so we know whether the call created the file;
  // create exclusively only when nothing is there.
  for (int attempt = 0; attempt < 8 && fd < 0; ++attempt) {
    if (disposition != CREATE_NEW) {
      fd = sys::open(host, base | extra, 0);
      if (fd < 0 && errno == EACCES && base == O_RDWR) {
        // Writable but not readable: write-only, without cross-process locks.
        fd = sys::open(host, O_WRONLY | extra, 0);
        readable = false;
      }
      if (fd < 0 && errno == EISDIR) {
        if (!backup) return ERROR_ACCESS_DENIED;
        fd = sys::open(host, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
        if (fd < 0 && errno == EACCES) fd = sys::open(host, O_PATH | O_DIRECTORY | O_CLOEXEC, 0);
        readable = false;
      }
      if (fd >= 0) {
        existed = true;
        break;
      }
      // A pipe open for writing with no reader, or a socket.
      if (errno == ENXIO) return ERROR_CANT_ACCESS_FILE;
      if (errno != ENOENT || disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING) {
        return ErrorForPath(errno, op, path.host);
      }
    }
    const int create_base = base == O_PATH ? O_RDONLY : base;
    readable = create_base != O_WRONLY;
    fd = sys::open(host, create_base | extra | O_CREAT | O_EXCL, create_mode);
    if (fd >= 0) break;
    if (errno != EEXIST || disposition == CREATE_NEW) return ErrorForPath(errno, op, path.host);
    // Someone created it between our two opens: open what is there now.
  }
  if (fd < 0) return ERROR_SHARING_VIOLATION;

  auto object = std::make_shared<FileObject>();
  object->fd = fd;  // closed by the object from here on
  object->access = access;
  object->share = share;
  object->full = path.full;

  FileInfo info;
  const int err = StatFd(fd, &info);
  if (err != 0) return sys::Win32ErrorFromErrno(err, ErrnoOp::kStat);
  object->id = {info.dev, info.ino};
  object->is_dir = S_ISDIR(info.mode);
  object->seekable = S_ISREG(info.mode) || S_ISDIR(info.mode) || S_ISBLK(info.mode);
  if (object->is_dir && !backup) return ERROR_ACCESS_DENIED;
  const bool truncate =
      (disposition == CREATE_ALWAYS && existed) || disposition == TRUNCATE_EXISTING;
  // Pipes, sockets and devices are no files: reading one may never end and
  // writing one acts on something else. Only an attribute probe may name them.
  if (!S_ISREG(info.mode) && !object->is_dir && (want_read || want_write || truncate)) {
    return ERROR_CANT_ACCESS_FILE;
  }
  if (existed && S_ISREG(info.mode) && (info.mode & S_IWUSR) == 0 && (want_write || truncate)) {
    return ERROR_ACCESS_DENIED;
  }

  const bool lockable = readable && S_ISREG(info.mode);
  const DWORD sharing = ShareOpen(object.get(), object->id, fd, lockable, access, share);
  if (sharing != ERROR_SUCCESS) return sharing;
  object->registered = true;

  if (truncate) {
    int target = fd;
    int writer = -1;
    if (!want_write) {
      // CREATE_ALWAYS for reading still empties the file, as Windows does.
      writer = sys::open(host, O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0);
      if (writer < 0) return ErrorForPath(errno, op, path.host);
      target = writer;
    }
    const int rc = sys::ftruncate(target, 0);
    const int saved = errno;
    if (writer >= 0) sys::close(writer);
    if (rc != 0) return sys::Win32ErrorFromErrno(saved, ErrnoOp::kWrite);
  }
  if ((flags & FILE_FLAG_SEQUENTIAL_SCAN) != 0 && S_ISREG(info.mode)) {
    sys::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);  // advice only
  }
  result->object = std::move(object);
  result->existed = existed;
  return ERROR_SUCCESS;
}

// The position a move would reach, or the error SetFilePointer reports.
DWORD Seek(FileObject* object, int64_t distance, DWORD method, int64_t* position) {
  int64_t base = 0;
  switch (method) {
    case FILE_BEGIN:
      break;
    case FILE_CURRENT:
      base = object->position;
      break;
    case FILE_END: {
      FileInfo info;
      const int err = StatFd(object->fd, &info);
      if (err != 0) return sys::Win32ErrorFromErrno(err, ErrnoOp::kSeek);
      base = static_cast<int64_t>(info.size);
      break;
    }
    default:
      return ERROR_INVALID_PARAMETER;
  }
  int64_t target = 0;
  if (__builtin_add_overflow(base, distance, &target)) return ERROR_INVALID_PARAMETER;
  if (target < 0) return ERROR_NEGATIVE_SEEK;
  *position = target;
  return ERROR_SUCCESS;
}

// Reads or writes all of `size` bytes at the handle's pointer unless the
// file ends (reads) or an error stops it; `done` counts what moved.
int Transfer(FileObject* object, bool write, void* data, size_t size, size_t* done) {
  *done = 0;
  while (*done < size) {
    char* at = static_cast<char*>(data) + *done;
    const size_t want = size - *done;
    const off_t offset = static_cast<off_t>(object->position + static_cast<int64_t>(*done));
    ssize_t n;
    if (object->seekable) {
      n = write ? sys::pwrite(object->fd, at, want, offset)
                : sys::pread(object->fd, at, want, offset);
    } else {
      n = write ? sys::write(object->fd, at, want) : sys::read(object->fd, at, want);
    }
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) {
      if (write) return ENOSPC;
      break;
    }
    *done += static_cast<size_t>(n);
  }
  return 0;
}

int FsyncFolderOf(const std::string& host) {
  std::string folder = host;
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  const size_t slash = folder.rfind('/');
  folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : folder.substr(0, slash));
  const int fd = sys::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  if (fd < 0) return errno;
  int err = 0;
  if (sys::fsync(fd) != 0 && errno != EINVAL) err = errno;  // some file systems cannot sync folders
  sys::close(fd);
  return err;
}

std::string FolderOf(const std::string& host) {
  const size_t slash = host.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : host.substr(0, slash);
}

DWORD CheckDeleteSharing(const std::string& host, const FileInfo& info) {
  return CheckSharingAt(AT_FDCWD, host.c_str(), info, DELETE);
}

std::atomic<unsigned> g_temp_counter{0};

// A temporary item beside a destination, removed unless released.
struct TempFile {
  int dirfd = AT_FDCWD;
  std::string path;  // relative to dirfd
  int fd = -1;
  ~TempFile() {
    if (fd >= 0) sys::close(fd);
    if (!path.empty()) sys::unlinkat(dirfd, path.c_str(), 0);
  }
  // Hands the name over to its new owner (after the rename).
  void Release() { path.clear(); }
};

// The error of a call on `name` relative to `dirfd`: with a host path, a
// missing folder on the way is told from a missing item, as Windows does.
DWORD ErrorAt(int dirfd, int err, ErrnoOp op, const std::string& name) {
  return dirfd == AT_FDCWD ? ErrorForPath(err, op, name) : sys::Win32ErrorFromErrno(err, op);
}

DWORD CreateTempSibling(int dirfd, const std::string& dest, TempFile* temp) {
  temp->dirfd = dirfd;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string path = TempSiblingName(dest);
    const int fd = sys::openat(
        dirfd, path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600);
    if (fd >= 0) {
      temp->fd = fd;
      temp->path = std::move(path);
      return ERROR_SUCCESS;
    }
    if (errno != EEXIST) return ErrorAt(dirfd, errno, ErrnoOp::kCreateNew, path);
  }
  return ERROR_FILE_EXISTS;
}

// Copies `length` bytes at `offset` of `in` to the same offset of `out`, or
// everything from `offset` to the end when `length` is negative.
int CopyRange(int in, int out, off_t offset, off_t length, bool* offload,
              std::unique_ptr<char[]>* buffer) {
  off_t in_offset = offset;
  off_t out_offset = offset;
  const bool bounded = length >= 0;
  const off_t end = offset + length;
  for (;;) {
    const size_t want = bounded
                            ? static_cast<size_t>(std::min<off_t>(end - in_offset, off_t{1} << 30))
                            : size_t{1} << 30;
    if (bounded && want == 0) return 0;
    if (*offload) {
      // The kernel copies (or clones) without the data passing through us.
      const ssize_t n = sys::copy_file_range(in, &in_offset, out, &out_offset, want, 0);
      if (n > 0) continue;
      if (n == 0) return 0;
      if (errno == EINTR) continue;
      if (errno != EXDEV && errno != ENOSYS && errno != EOPNOTSUPP && errno != EINVAL &&
          errno != EBADF) {
        return errno;
      }
      *offload = false;
      buffer->reset(new char[kCopyChunk]);
      continue;
    }
    const ssize_t n = sys::pread(in, buffer->get(), std::min(want, kCopyChunk), in_offset);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return 0;
    size_t written = 0;
    while (written < static_cast<size_t>(n)) {
      const ssize_t w =
          sys::pwrite(out, buffer->get() + written, static_cast<size_t>(n) - written, out_offset);
      if (w < 0) {
        if (errno == EINTR) continue;
        return errno;
      }
      if (w == 0) return ENOSPC;
      written += static_cast<size_t>(w);
      out_offset += w;
    }
    in_offset += n;
  }
}

// Copies the data of `in` to `out` (a new, empty file) extent by extent, as
// cp does: the holes of a sparse file stay holes, and their zeros are never
// read or written. Whatever lies past the size seen at the start (a file
// still growing, or one whose size its file system does not report) is
// copied to its end as it reads.
int CopyData(int in, int out) {
  FileInfo info;
  int err = StatFd(in, &info);
  if (err != 0) return err;
  const off_t size = static_cast<off_t>(info.size);
  bool offload = true;
  std::unique_ptr<char[]> buffer;
  off_t position = 0;
  while (position < size) {
    off_t data = sys::lseek(in, position, SEEK_DATA);
    off_t hole = size;
    if (data < 0) {
      if (errno == ENXIO) break;  // only a hole is left
      // A file system that cannot tell holes: all of it is data.
      if (errno != EINVAL && errno != ENOTSUP && errno != EOPNOTSUPP) return errno;
      data = position;
    } else {
      hole = sys::lseek(in, data, SEEK_HOLE);
      if (hole < 0) return errno;
    }
    if (data >= size) break;
    hole = std::min(hole, size);
    err = CopyRange(in, out, data, hole - data, &offload, &buffer);
    if (err != 0) return err;
    position = hole;
  }
  // The size, holes at the end included.
  if (size > 0 && sys::ftruncate(out, size) != 0) return errno;
  return CopyRange(in, out, size, -1, &offload, &buffer);
}

// The folder of a host path and the name in it, trailing slashes aside.
void SplitHost(const std::string& host, std::string* folder, std::string* name) {
  std::string path = host;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  const size_t slash = path.rfind('/');
  *folder = FolderOf(path);
  *name = slash == std::string::npos ? path : path.substr(slash + 1);
}

// Whether `folder` lists both names as entries of their own; 0 or errno.
int FolderListsBoth(const std::string& folder, const std::string& a, const std::string& b,
                    bool* both) {
  *both = false;
  DIR* dir = sys::opendir(folder.c_str());
  if (dir == nullptr) return errno;
  bool seen_a = false;
  bool seen_b = false;
  const int err = ReadNames(dir, [&](const char* name) {
    if (a == name) seen_a = true;
    if (b == name) seen_b = true;
  });
  *both = seen_a && seen_b;
  return err;
}

// Gives one entry a new spelling of its name in its own folder. A file
// system that ignores case takes the new spelling only from a rename of
// the entry under another name, so the entry goes by a temporary name on
// the way; a failure on the way brings the old name back.
int RenameEntry(const std::string& from, const std::string& to) {
  std::string temp;
  for (int attempt = 0;; ++attempt) {
    temp = TempSiblingName(from);
    int rc = sys::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, temp.c_str(), RENAME_NOREPLACE);
    if (rc != 0 && (errno == EINVAL || errno == ENOSYS || errno == ENOTSUP)) {
      FileInfo existing;
      if (StatPath(temp, false, &existing) == 0) {
        errno = EEXIST;
      } else {
        rc = sys::rename(from.c_str(), temp.c_str());
      }
    }
    if (rc == 0) break;
    if (errno != EEXIST || attempt == 99) return errno;
  }
  if (sys::rename(temp.c_str(), to.c_str()) != 0) {
    const int saved = errno;
    sys::rename(temp.c_str(), from.c_str());
    return saved;
  }
  return 0;
}

}  // namespace

SameFileMove DecideSameFileMove(bool same_parent, std::string_view from_name,
                                std::string_view to_name, bool folder_lists_both, uint64_t nlink) {
  if (same_parent && from_name == to_name) return SameFileMove::kNothing;
  // Two spellings of one entry (a file system that ignores case): the
  // folder lists the entry once, under at most one of them.
  if (same_parent && !folder_lists_both) return SameFileMove::kRenameEntry;
  // Two hard links. Removing the source's name leaves the file under the
  // destination's; when the count says there is only one name, the two
  // cannot be told apart and nothing is removed.
  return nlink > 1 ? SameFileMove::kRemoveSourceName : SameFileMove::kNothing;
}

std::string TempSiblingName(const std::string& name) {
  char temp[64];
  std::snprintf(temp, sizeof(temp), ".~tsy%x-%x.tmp", static_cast<unsigned>(getpid()),
                g_temp_counter.fetch_add(1));
  const size_t slash = name.rfind('/');
  if (slash == std::string::npos) return temp;
  return name.substr(0, slash + 1) + temp;
}

DWORD CopyLinkAt(int from_dir, const std::string& name, int to_dir, const std::string& new_name,
                 bool fail_if_exists) {
  FileInfo link_info;
  int err = StatAt(from_dir, name.c_str(), false, &link_info);
  if (err != 0) return ErrorAt(from_dir, err, ErrnoOp::kOpenExisting, name);
  char target[PATH_MAX];
  const ssize_t length = sys::readlinkat(from_dir, name.c_str(), target, sizeof target - 1);
  if (length < 0) return ErrorAt(from_dir, errno, ErrnoOp::kOpenExisting, name);
  target[length] = '\0';
  FileInfo dest_info;
  err = StatAt(to_dir, new_name.c_str(), false, &dest_info);
  if (err == 0) {
    if (fail_if_exists) return ERROR_FILE_EXISTS;
    // The link onto another name of itself: a copy onto itself.
    if (dest_info.dev == link_info.dev && dest_info.ino == link_info.ino) {
      return ERROR_SHARING_VIOLATION;
    }
    // Over the item it points at, the copy would put a link to itself in
    // place of that item's contents.
    FileInfo target_info;
    if (StatAt(from_dir, name.c_str(), true, &target_info) == 0 &&
        target_info.dev == dest_info.dev && target_info.ino == dest_info.ino) {
      return ERROR_CANT_RESOLVE_FILENAME;
    }
    if (S_ISDIR(dest_info.mode)) return ERROR_ACCESS_DENIED;
  } else if (err != ENOENT) {
    return ErrorAt(to_dir, err, ErrnoOp::kCopy, new_name);
  }
  // Made under a temporary name and renamed, so an existing destination is
  // never missing.
  TempFile temp;
  temp.dirfd = to_dir;
  for (int attempt = 0;; ++attempt) {
    std::string path = TempSiblingName(new_name);
    if (sys::symlinkat(target, to_dir, path.c_str()) == 0) {
      temp.path = std::move(path);
      break;
    }
    if (errno != EEXIST || attempt == 99) {
      return ErrorAt(to_dir, errno, ErrnoOp::kCreateNew, new_name);
    }
  }
  if (sys::renameat2(to_dir, temp.path.c_str(), to_dir, new_name.c_str(),
                     fail_if_exists ? RENAME_NOREPLACE : 0) != 0) {
    return errno == EEXIST ? ERROR_FILE_EXISTS : ErrorAt(to_dir, errno, ErrnoOp::kCopy, new_name);
  }
  temp.Release();
  return ERROR_SUCCESS;
}

DWORD CopyLinkInternal(const HostPath& from, const HostPath& to, bool fail_if_exists) {
  if (to.is_root) return ERROR_ACCESS_DENIED;
  return CopyLinkAt(AT_FDCWD, from.host, AT_FDCWD, to.host, fail_if_exists);
}

DWORD WriteCopyAt(int in, const FileInfo& source, int dirfd, const std::string& name, bool exists,
                  bool fail_if_exists, bool durable) {
  TempFile temp;
  temp.dirfd = dirfd;
  // A new destination is written in place: created exclusively, it is ours
  // alone, and a failure removes it, so no partial file is left. An
  // existing one is replaced by rename once the copy is complete, so it is
  // never seen half written.
  bool in_place = false;
  if (!exists) {
    const int fd = sys::openat(
        dirfd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600);
    if (fd >= 0) {
      temp.fd = fd;
      temp.path = name;
      in_place = true;
    } else if (errno != EEXIST) {
      return ErrorAt(dirfd, errno, ErrnoOp::kCreateNew, name);
    } else if (fail_if_exists) {
      return ERROR_FILE_EXISTS;
    }
  }
  if (!in_place) {
    const DWORD error = CreateTempSibling(dirfd, name, &temp);
    if (error != ERROR_SUCCESS) return error;
  }
  int err = CopyData(in, temp.fd);
  if (err != 0) return sys::Win32ErrorFromErrno(err, ErrnoOp::kWrite);
  // Metadata is copied where the file system can keep it (vfat cannot).
  sys::fchmod(temp.fd, source.mode & 0777);
  const struct timespec times[2] = {{0, UTIME_OMIT}, source.mtime};
  sys::futimens(temp.fd, times);
  if (durable && sys::fsync(temp.fd) != 0) {
    return sys::Win32ErrorFromErrno(errno, ErrnoOp::kWrite);
  }
  const int fd = temp.fd;
  temp.fd = -1;
  if (sys::close(fd) != 0) return sys::Win32ErrorFromErrno(errno, ErrnoOp::kWrite);

  if (in_place) {
    temp.Release();
  } else if (fail_if_exists) {
    if (sys::renameat2(dirfd, temp.path.c_str(), dirfd, name.c_str(), RENAME_NOREPLACE) != 0) {
      if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) {
        return errno == EEXIST ? ERROR_FILE_EXISTS
                               : ErrorAt(dirfd, errno, ErrnoOp::kCreateNew, name);
      }
      // No RENAME_NOREPLACE here: a hard link is just as exclusive. The
      // temporary name is then removed by ~TempFile.
      if (sys::linkat(dirfd, temp.path.c_str(), dirfd, name.c_str(), 0) != 0) {
        return errno == EEXIST ? ERROR_FILE_EXISTS
                               : ErrorAt(dirfd, errno, ErrnoOp::kCreateNew, name);
      }
    } else {
      temp.Release();
    }
  } else if (sys::renameat2(dirfd, temp.path.c_str(), dirfd, name.c_str(), 0) != 0) {
    return ErrorAt(dirfd, errno, ErrnoOp::kCopy, name);
  } else {
    temp.Release();
  }
  if (durable) {
    err = FsyncFolderOf(name);
    if (err != 0) return sys::Win32ErrorFromErrno(err, ErrnoOp::kWrite);
  }
  return ERROR_SUCCESS;
}

DWORD CopyFileInternal(const HostPath& from, const HostPath& to, bool fail_if_exists,
                       bool durable) {
  OpenResult source;
  DWORD error = OpenFile(from, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, OPEN_EXISTING,
                         FILE_FLAG_SEQUENTIAL_SCAN, &source);
  if (error != ERROR_SUCCESS) return error;
  FileInfo source_info;
  int err = StatFd(source.object->fd, &source_info);
  if (err != 0) return sys::Win32ErrorFromErrno(err, ErrnoOp::kStat);
  if (!S_ISREG(source_info.mode)) return ERROR_CANT_ACCESS_FILE;
  if (to.is_root) return ERROR_ACCESS_DENIED;
  if (to.trailing_separator) return ERROR_INVALID_NAME;

  FileInfo dest_info;
  err = StatPath(to.host, true, &dest_info);
  if (err == 0) {
    if (fail_if_exists) return ERROR_FILE_EXISTS;
    // The same file by another spelling, another drive or through a link:
    // the source is open for reading, so Windows refuses to write it.
    if (dest_info.dev == source_info.dev && dest_info.ino == source_info.ino) {
      return ERROR_SHARING_VIOLATION;
    }
    if (S_ISDIR(dest_info.mode)) return ERROR_ACCESS_DENIED;
    if ((dest_info.mode & S_IWUSR) == 0) return ERROR_ACCESS_DENIED;
    // Overwriting needs the right to write the destination itself, which
    // the rename below would not ask for.
    int probe = -1;
    if (S_ISREG(dest_info.mode)) {
      probe = sys::open(to.host.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0);
      if (probe < 0) return ErrorForPath(errno, ErrnoOp::kCopy, to.host);
    }
    error = ShareCheck({dest_info.dev, dest_info.ino}, probe, FILE_WRITE_DATA,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    if (probe >= 0) sys::close(probe);
    if (error != ERROR_SUCCESS) return error;
  } else if (err != ENOENT) {
    return ErrorForPath(err, ErrnoOp::kCopy, to.host);
  }

  return WriteCopyAt(source.object->fd, source_info, AT_FDCWD, to.host, err == 0, fail_if_exists,
                     durable);
}

}  // namespace tessary::files

// ---------------------------------------------------------------------------
// The services

namespace files = tessary::files;
namespace sys = tessary::sys;
using files::FailWith;
using files::FileInfo;
using files::HostPath;
using files::PathUse;
using sys::ErrnoOp;

namespace {

// GetFileAttributesA and the others that name an item: the Windows name of
// the item for its hidden attribute.
std::string_view NameOf(const HostPath& path) { return files::LastComponent(path.full); }

HANDLE OpenByName(LPCSTR name, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
  HostPath path;
  const bool changes = disposition != OPEN_EXISTING ||
                       (access & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA |
                                  FILE_APPEND_DATA | DELETE)) != 0;
  DWORD error = files::ResolvePath(name, changes ? PathUse::kChange : PathUse::kName, &path);
  if (error != ERROR_SUCCESS) {
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
  }
  files::OpenResult result;
  error = files::OpenFile(path, access, share, disposition, flags, &result);
  if (error != ERROR_SUCCESS) {
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
  }
  const HANDLE handle = files::Publish(std::move(result.object));
  const bool reports_existing = disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS;
  SetLastError(reports_existing && result.existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return handle;
}

}  // namespace

EXTERN_C {
  HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                     LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                     DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    return tessary::GuardWin32<HANDLE>(INVALID_HANDLE_VALUE, [&]() -> HANDLE {
      return OpenByName(lpFileName, dwDesiredAccess, dwShareMode, dwCreationDisposition,
                        dwFlagsAndAttributes);
    });
  }

  HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                     LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                     DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    return tessary::GuardWin32<HANDLE>(INVALID_HANDLE_VALUE, [&]() -> HANDLE {
      if (lpFileName == nullptr) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
      }
      // The same limit as the ANSI form: the converted name must fit MAX_PATH.
      char name[tessary::winpath::kMaxPath * 4];
      const int n = WideCharToMultiByte(CP_ACP, WC_ERR_INVALID_CHARS, lpFileName, -1, name,
                                        static_cast<int>(sizeof(name)), nullptr, nullptr);
      if (n <= 0) {
        SetLastError(GetLastError() == ERROR_INSUFFICIENT_BUFFER ? ERROR_FILENAME_EXCED_RANGE
                                                                 : ERROR_INVALID_NAME);
        return INVALID_HANDLE_VALUE;
      }
      return OpenByName(name, dwDesiredAccess, dwShareMode, dwCreationDisposition,
                        dwFlagsAndAttributes);
    });
  }

  BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
    return tessary::GuardWin32<BOOL>(FALSE, [&]() -> BOOL {
      if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = 0;
      const std::shared_ptr<files::FileObject> object = files::Lookup(hFile);
      if (!object) return FailWith(ERROR_INVALID_HANDLE);
      if (lpOverlapped != nullptr) return FailWith(ERROR_INVALID_PARAMETER);
      if ((object->access & files::kReadData) == 0) return FailWith(ERROR_ACCESS_DENIED);
      if (object->is_dir) return FailWith(ERROR_INVALID_FUNCTION);
      if (lpBuffer == nullptr && nNumberOfBytesToRead > 0) return FailWith(ERROR_NOACCESS);
      std::lock_guard<std::mutex> lock(object->mutex);
      size_t done = 0;
      const int err = files::Transfer(object.get(), false, lpBuffer, nNumberOfBytesToRead, &done);
      object->position += static_cast<int64_t>(done);
      if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = static_cast<DWORD>(done);
      if (err != 0) return FailWith(sys::Win32ErrorFromErrno(err, ErrnoOp::kRead));
      return TRUE;
    });
  }

  BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                 LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
    return tessary::GuardWin32<BOOL>(FALSE, [&]() -> BOOL {
      if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = 0;
      const std::shared_ptr<files::FileObject> object = files::Lookup(hFile);
      if (!object) return FailWith(ERROR_INVALID_HANDLE);
      if (lpOverlapped != nullptr) return FailWith(ERROR_INVALID_PARAMETER);
      if ((object->access & files::kWriteData) == 0) return FailWith(ERROR_ACCESS_DENIED);
      if (object->is_dir) return FailWith(ERROR_INVALID_FUNCTION);
      if (lpBuffer == nullptr && nNumberOfBytesToWrite > 0) return FailWith(ERROR_NOACCESS);
      std::lock_guard<std::mutex> lock(object->mutex);
      size_t done = 0;
      const int err = files::Transfer(object.get(), true, const_cast<void*>(lpBuffer),
                                      nNumberOfBytesToWrite, &done);
      object->position += static_cast<int64_t>(done);
      if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = static_cast<DWORD>(done);
      if (err != 0) return FailWith(sys::Win32ErrorFromErrno(err, ErrnoOp::kWrite));
      return TRUE;
    });
  }

  BOOL FlushFileBuffers(HANDLE hFile) {
    return tessary::GuardWin32<BOOL>(FALSE, [&]() -> BOOL {
      const std::shared_ptr<files::FileObject> object = files::Lookup(hFile);
      if (!object) return FailWith(ERROR_INVALID_HANDLE);
      // Windows asks for write access to flush.
      if ((object->access & files::kWriteData) == 0) return FailWith(ERROR_ACCESS_DENIED);
      if (sys::fsync(object->fd) != 0)
        return FailWith(sys::Win32ErrorFromErrno(errno, ErrnoOp::kWrite));
      return TRUE;
    });
  }

  DWORD SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh,
                       DWORD dwMoveMethod) {
    return tessary::GuardWin32<DWORD>(INVALID_SET_FILE_POINTER, [&]() -> DWORD {
      const std::shared_ptr<files::FileObject> object = files::Lookup(hFile);
      if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return INVALID_SET_FILE_POINTER;
      }
      int64_t distance = lDistanceToMove;
      if (lpDistanceToMoveHigh != nullptr) {
        const uint64_t high = static_cast<uint32_t>(*lpDistanceToMoveHigh);
        distance = static_cast<int64_t>((high << 32) | static_cast<uint32_t>(lDistanceToMove));
      }
      std::lock_guard<std::mutex> lock(object->mutex);
      int64_t position = 0;
      DWORD error = files::Seek(object.get(), distance, dwMoveMethod, &position);
      // Without a high part the result must fit the 32-bit return value.
      if (error == ERROR_SUCCESS && lpDistanceToMoveHigh == nullptr && position >= 0xFFFFFFFFLL) {
        error = ERROR_INVALID_PARAMETER;
      }
      if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return INVALID_SET_FILE_POINTER;
      }
      object->position = position;
      if (lpDistanceToMoveHigh != nullptr) {
        *lpDistanceToMoveHigh = static_cast<LONG>(static_cast<uint64_t>(position) >> 32);
      }
      // A low part of 0xFFFFFFFF is a valid position: the caller tells it from a
      // failure by the last error.
      SetLastError(NO_ERROR);
      return static_cast<DWORD>(static_cast<uint64_t>(position));
    });
  }

  BOOL SetFilePointerEx(HANDLE hFile, LARGE_INTEGER liDistanceToMove,
                        PLARGE_INTEGER lpNewFilePointer, DWORD dwMoveMethod) {
    return tessary::GuardWin32<BOOL>(FALSE, [&]() -> BOOL {
      const std::shared_ptr<files::FileObject> object = files::Lookup(hFile);
      if (!object) return FailWith(ERROR_INVALID_HANDLE);
      std::lock_guard<std::mutex> lock(object->mutex);
      int64_t position = 0;
      const DWORD error =
          files::Seek(object.get(), liDistanceToMove.QuadPart, dwMoveMethod, &position);
      if (error != ERROR_SUCCESS) return FailWith(error);
      object->position = position;
      if (lpNewFilePointer != nullptr) lpNewFilePointer->QuadPart = position;
      return TRUE;
    });
  }

  BOOL SetEndOfFile(HANDLE hFile) {
    return tessary::GuardWin32<BOOL>(FALSE, [&]() -> BOOL {
      const std::shared_ptr<files::FileObject> object = files::Lookup(hFile);
      if (!object) return FailWith(ERROR_INVALID_HANDLE);
      if ((object->access & FILE_WRITE_DATA) == 0) return FailWith(ERROR_ACCESS_DENIED);
      std::lock_guard<std::mutex> lock(object->mutex);
      if (sys::ftruncate(object->fd, static_cast<off_t>(object->position)) != 0) {
        return FailWith(sys::Win32ErrorFromErrno(errno, ErrnoOp::kWrite));
      }
      return TRUE;
    });
  }

  BOOL GetFileSizeEx(HANDLE hFile, PLARGE_INTEGER lpFileSize) {
    return tessary::GuardWin32<BOOL>(FALSE, [&]() -> BOOL {
      const std::shared_ptr<files::FileObject> object = files::Lookup(hFile);
      if (!object) return FailWith(ERROR_INVALID_HANDLE);
      if (lpFileSize == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
      FileInfo info;
      const int err = files::StatFd(object->fd, &info);
      if (err != 0) return FailWith(sys::Win32ErrorFromErrno(err, ErrnoOp::kStat));
      lpFileSize->QuadPart = S_ISDIR(info.mode) ? 0 : static_cast<LONGLONG>(info.size);
      return TRUE;
    });
  }

  DWORD GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh) {
    return tessary::GuardWin32<DWORD>(INVALID_FILE_SIZE, [&]() -> DWORD {
      LARGE_INTEGER size;
      if (!GetFileSizeEx(hFile, &size)) return INVALID_FILE_SIZE;
      if (lpFileSizeHigh != nullptr) *lpFileSizeHigh = static_cast<DWORD>(size.HighPart);
      // A size whose low part is 0xFFFFFFFF is told from a failure by the last error.
      SetLastError(NO_ERROR);
      return size.LowPart;
    });
  }

  DWORD GetFileType(HANDLE hFile) {
    return tessary::GuardWin32<DWORD>(FILE_TYPE_UNKNOWN, [&]() -> DWORD {
      const std::shared_ptr<files::FileObject> object = files::Lookup(hFile);
      if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FILE_TYPE_UNKNOWN;
      }
      FileInfo info;
      const int err = files::StatFd(object->fd, &info);
      if (err != 0) {
        SetLastError(sys::Win32ErrorFromErrno(err, ErrnoOp::kStat));
        return FILE_TYPE_UNKNOWN;
      }
      if (S_ISCHR(info.mode)) return FILE_TYPE_CHAR;
      if (S_ISFIFO(info.mode) || S_ISSOCK(info.mode)) return FILE_TYPE_PIPE;
      return FILE_TYPE_DISK;
    });
  }

  BOOL GetFileInformationByHandle(HANDLE hFile, LPBY_HANDLE_FILE_INFORMATION lpFileInformation) {
    return tessary::GuardWin32<BOOL>(FALSE, [&]() -> BOOL {
      const std::shared_ptr<files::FileObject> object = files::Lookup(hFile);
      if (!object) return FailWith(ERROR_INVALID_HANDLE);
      if (lpFileInformation == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
      FileInfo info;
      const int err = files::StatFd(object->fd, &info);
      if (err != 0) return FailWith(sys::Win32ErrorFromErrno(err, ErrnoOp::kStat));
      const uint64_t size = S_ISDIR(info.mode) ? 0 : info.size;
      const uint64_t index = static_cast<uint64_t>(info.ino);
      BY_HANDLE_FILE_INFORMATION& out = *lpFileInformation;
      out.dwFileAttributes = files::AttributesOf(info, files::LastComponent(object->full));
      out.ftCreationTime = files::CreationTimeOf(info);
      out.ftLastAccessTime = files::ToFileTime(info.atime);
      out.ftLastWriteTime = files::ToFileTime(info.mtime);
      out.dwVolumeSerialNumber = files::VolumeSerialOf(info.dev);
      out.nFileSizeHigh = static_cast<DWORD>(size >> 32);
      out.nFileSizeLow = static_cast<DWORD>(size);
      out.nNumberOfLinks = static_cast<DWORD>(info.nlink);
      out.nFileIndexHigh = static_cast<DWORD>(index >> 32);
      out.nFileIndexLow = static_cast<DWORD>(index);
      return TRUE;
    });
  }

  BOOL GetFileTime(HANDLE hFile, LPFILETIME lpCreationTime, LPFILETIME lpLastAccessTime,
                   LPFILETIME lpLastWriteTime) {
    return tessary::GuardWin32<BOOL>(FALSE, [&]() -> BOOL {
      const std::shared_ptr<files::FileObject> object = files::Lookup(hFile);
      if (!object) return FailWith(ERROR_INVALID_HANDLE);
      FileInfo info;
      const int err = files::StatFd(object->fd, &info);
      if (err != 0) return FailWith(sys::Win32ErrorFromErrno(err, ErrnoOp::kStat));
      if (lpCreationTime != nullptr) *lpCreationTime = files::CreationTimeOf(info);
      if (lpLastAccessTime != nullptr) *lpLastAccessTime = files::ToFileTime(info.atime);
      if (lpLastWriteTime != nullptr) *lpLastWriteTime = files::ToFileTime(info.mtime);
      return TRUE;
    });
  }

  BOOL CloseHandle(HANDLE hObject) {
    return tessary::GuardWin32<BOOL>(FALSE, [&]() -> BOOL {
      std::shared_ptr<files::FileObject> object = files::Unpublish(hObject);
      if (!object) return FailWith(ERROR_INVALID_HANDLE);
      // A call still running on another thread keeps the object (and its
      // descriptor) alive until it returns; the last reference closes it.
      if (object.use_count() == 1) {
        if (object->registered) {
          files::ShareClose(object.get(), object->id);
          object->registered = false;
        }
        const int fd = object->fd;
        object->fd = -1;
        if (sys::close(fd) != 0 && errno != EINTR) {
          return FailWith(sys::Win32ErrorFromErrno(errno, ErrnoOp::kWrite));
        }
      }
      return TRUE;
    });
  }

  BOOL CopyFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, BOOL bFailIfExists) {
    return tessary::GuardWin32<BOOL>(FALSE, [&]() -> BOOL {
      HostPath from;
      HostPath to;
      DWORD error = files::ResolvePath(lpExistingFileName, PathUse::kName, &from);
      if (error == ERROR_SUCCESS) error = files::ResolvePath(lpNewFileName, PathUse::kChange, &to);
      if (error == ERROR_SUCCESS)
        error = files::CopyFileInternal(from, to, bFailIfExists != 0, false);
      if (error != ERROR_SUCCESS) return FailWith(error);
      return TRUE;
    });
  }

  BOOL CopyFileExA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, LPVOID lpProgressRoutine,
                   LPVOID lpData, LPBOOL pbCancel, DWORD dwCopyFlags) {
    return tessary::GuardWin32<BOOL>(FALSE, [&]() -> BOOL {
      if (lpProgressRoutine || pbCancel) return FailWith(ERROR_NOT_SUPPORTED);
      (void)lpData;
      const bool fail_if_exists = (dwCopyFlags & COPY_FILE_FAIL_IF_EXISTS) != 0;
      if (!(dwCopyFlags & COPY_FILE_COPY_SYMLINK))
        return CopyFileA(lpExistingFileName, lpNewFileName, fail_if_exists);
      HostPath from;
      HostPath to;
      DWORD error = files::ResolvePath(lpExistingFileName, PathUse::kName, &from);
      if (error == ERROR_SUCCESS) error = files::ResolvePath(lpNewFileName, PathUse::kChange, &to);
      if (error != ERROR_SUCCESS) return FailWith(error);
      FileInfo source;
      int err = files::StatPath(from.host, false, &source);
      if (err != 0) return FailWith(files::ErrorForPath(err, ErrnoOp::kOpenExisting, from.host));
      if (!S_ISLNK(source.mode))
        return CopyFileA(lpExistingFileName, lpNewFileName, fail_if_exists);
      error = files::CopyLinkInternal(from, to, fail_if_exists);
      if (error != ERROR_SUCCESS) return FailWith(error);
      return TRUE;
    });
  }

  BOOL MoveFileExA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, DWORD dwFlags) {
    return tessary::GuardWin32<BOOL>(FALSE, [&]() -> BOOL {
      if (lpExistingFileName == nullptr || lpNewFileName == nullptr) {
        return FailWith(ERROR_INVALID_PARAMETER);
      }
      // Moves at the next boot and hard links are not offered.
      if ((dwFlags & (MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_CREATE_HARDLINK)) != 0) {
        return FailWith(ERROR_NOT_SUPPORTED);
      }
      const bool replace = (dwFlags & MOVEFILE_REPLACE_EXISTING) != 0;
      const bool durable = (dwFlags & MOVEFILE_WRITE_THROUGH) != 0;
      HostPath from;
      HostPath to;
      DWORD error = files::ResolveMove(lpExistingFileName, lpNewFileName, &from, &to);
      if (error != ERROR_SUCCESS) return FailWith(error);
      if (from.is_root || to.is_root) return FailWith(ERROR_ACCESS_DENIED);

      FileInfo source;
      int err = files::StatPath(from.host, false, &source);
      if (err != 0) return FailWith(files::ErrorForPath(err, ErrnoOp::kRename, from.host));
      // Renaming asks for DELETE access to the source.
      error = files::CheckDeleteSharing(from.host, source);
      if (error != ERROR_SUCCESS) return FailWith(error);

      FileInfo dest;
      err = files::StatPath(to.host, false, &dest);
      const bool dest_exists = err == 0;
      if (err != 0 && err != ENOENT) {
        return FailWith(files::ErrorForPath(err, ErrnoOp::kRename, to.host));
      }
      // Spellings say nothing about identity: a linked folder, two drives on
      // overlapping folders, a bind mount or a file system that ignores case
      // give one entry several names. Only device and inode tell.
      const bool same = dest_exists && dest.dev == source.dev && dest.ino == source.ino;
      if (same) {
        std::string from_folder, from_name, to_folder, to_name;
        files::SplitHost(from.host, &from_folder, &from_name);
        files::SplitHost(to.host, &to_folder, &to_name);
        FileInfo from_parent, to_parent;
        err = files::StatPath(from_folder, true, &from_parent);
        if (err == 0) err = files::StatPath(to_folder, true, &to_parent);
        if (err != 0) return FailWith(files::ErrorForPath(err, ErrnoOp::kRename, from.host));
        const bool same_parent =
            from_parent.dev == to_parent.dev && from_parent.ino == to_parent.ino;
        bool lists_both = false;
        if (same_parent && from_name != to_name) {
          err = files::FolderListsBoth(from_folder, from_name, to_name, &lists_both);
          if (err != 0) return FailWith(sys::Win32ErrorFromErrno(err, ErrnoOp::kFind));
        }
        switch (
            files::DecideSameFileMove(same_parent, from_name, to_name, lists_both, source.nlink)) {
          case files::SameFileMove::kNothing:
            return TRUE;
          case files::SameFileMove::kRenameEntry:
            err = files::RenameEntry(from.host, to.host);
            if (err != 0) return FailWith(files::ErrorForPath(err, ErrnoOp::kRename, to.host));
            if (durable) {
              err = files::FsyncFolderOf(to.host);
              if (err != 0) return FailWith(sys::Win32ErrorFromErrno(err, ErrnoOp::kWrite));
            }
            return TRUE;
          case files::SameFileMove::kRemoveSourceName:
            break;
        }
      }
      if (dest_exists && S_ISLNK(source.mode)) {
        // A link moved over what it points at would replace that item with a
        // link to itself, and its contents would be gone.
        FileInfo target;
        if (files::StatPath(from.host, true, &target) == 0 && target.dev == dest.dev &&
            target.ino == dest.ino) {
          return FailWith(ERROR_CANT_RESOLVE_FILENAME);
        }
      }
      if (dest_exists) {
        if (!replace) return FailWith(ERROR_ALREADY_EXISTS);
        // Windows replaces files only, and never a read-only one.
        if (S_ISDIR(dest.mode) || S_ISDIR(source.mode)) return FailWith(ERROR_ACCESS_DENIED);
        if (!S_ISLNK(dest.mode) && (dest.mode & S_IWUSR) == 0) return FailWith(ERROR_ACCESS_DENIED);
        error = files::CheckDeleteSharing(to.host, dest);
        if (error != ERROR_SUCCESS) return FailWith(error);
        if (same) {
          // Two hard links of one file: POSIX rename would keep both names.
          if (sys::unlink(from.host.c_str()) != 0) {
            return FailWith(files::ErrorForPath(errno, ErrnoOp::kRename, from.host));
          }
          if (durable) {
            err = files::FsyncFolderOf(from.host);
            if (err != 0) return FailWith(sys::Win32ErrorFromErrno(err, ErrnoOp::kWrite));
          }
          return TRUE;
        }
      }

      int rc;
      if (replace) {
        rc = sys::rename(from.host.c_str(), to.host.c_str());
      } else {
        rc = sys::renameat2(AT_FDCWD, from.host.c_str(), AT_FDCWD, to.host.c_str(),
                            RENAME_NOREPLACE);
        if (rc != 0 && (errno == EINVAL || errno == ENOSYS || errno == ENOTSUP)) {
          if (S_ISDIR(source.mode)) {
            // Folders cannot be linked; the name was free when we looked.
            rc = sys::rename(from.host.c_str(), to.host.c_str());
          } else {
            // Without RENAME_NOREPLACE a hard link claims the name just as exclusively.
            rc = sys::link(from.host.c_str(), to.host.c_str());
            if (rc == 0 && sys::unlink(from.host.c_str()) != 0) {
              const int saved = errno;
              sys::unlink(to.host.c_str());
              errno = saved;
              rc = -1;
            }
          }
        }
      }
      if (rc != 0) {
        const int saved = errno;
        if (saved == EXDEV && (dwFlags & MOVEFILE_COPY_ALLOWED) != 0 && S_ISREG(source.mode)) {
          // Another volume: copy, and delete the source only once the copy is whole.
          error = files::CopyFileInternal(from, to, !replace, durable);
          if (error != ERROR_SUCCESS) return FailWith(error);
          // A source that cannot be deleted stays; the move still succeeds, as
          // Windows documents for MOVEFILE_COPY_ALLOWED.
          sys::unlink(from.host.c_str());
          return TRUE;
        }
        if (saved == EEXIST || (saved == ENOTEMPTY && !replace))
          return FailWith(ERROR_ALREADY_EXISTS);
        return FailWith(files::ErrorForPath(saved, ErrnoOp::kRename, to.host));
      }
      if (durable) {
        err = files::FsyncFolderOf(to.host);
        if (err == 0 && files::FolderOf(from.host) != files::FolderOf(to.host)) {
          err = files::FsyncFolderOf(from.host);
        }
        if (err != 0) return FailWith(sys::Win32ErrorFromErrno(err, ErrnoOp::kWrite));
      }
      return TRUE;
    });
  }

  BOOL MoveFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName) {
    return tessary::GuardWin32<BOOL>(FALSE, [&]() -> BOOL {
      return MoveFileExA(lpExistingFileName, lpNewFileName, MOVEFILE_COPY_ALLOWED);
    });
  }

  BOOL DeleteFileA(LPCSTR lpFileName) {
    return tessary::GuardWin32<BOOL>(FALSE, [&]() -> BOOL {
      HostPath path;
      DWORD error = files::ResolvePath(lpFileName, PathUse::kChange, &path);
      if (error != ERROR_SUCCESS) return FailWith(error);
      if (path.is_root) return FailWith(ERROR_ACCESS_DENIED);
      FileInfo info;
      const int err = files::StatPath(path.host, false, &info);
      if (err != 0) return FailWith(files::ErrorForPath(err, ErrnoOp::kUnlink, path.host));
      if (S_ISDIR(info.mode)) return FailWith(ERROR_ACCESS_DENIED);
      if (!S_ISLNK(info.mode) && (info.mode & S_IWUSR) == 0) return FailWith(ERROR_ACCESS_DENIED);
      error = files::CheckDeleteSharing(path.host, info);
      if (error != ERROR_SUCCESS) return FailWith(error);
      if (sys::unlink(path.host.c_str()) != 0) {
        return FailWith(files::ErrorForPath(errno, ErrnoOp::kUnlink, path.host));
      }
      return TRUE;
    });
  }

  DWORD GetFileAttributesA(LPCSTR lpFileName) {
    return tessary::GuardWin32<DWORD>(INVALID_FILE_ATTRIBUTES, [&]() -> DWORD {
      HostPath path;
      const DWORD error = files::ResolvePath(lpFileName, PathUse::kName, &path);
      if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return INVALID_FILE_ATTRIBUTES;
      }
      // The item itself, as Windows reports a reparse point: a link carries
      // FILE_ATTRIBUTE_REPARSE_POINT beside what its target is, and one whose
      // target is gone is still an item in its folder.
      FileInfo info;
      int err = files::StatPath(path.host, false, &info);
      if (err != 0) {
        SetLastError(files::ErrorForPath(err, ErrnoOp::kStat, path.host));
        return INVALID_FILE_ATTRIBUTES;
      }
      return files::EntryAttributes(AT_FDCWD, path.host.c_str(), NameOf(path), info);
    });
  }

  BOOL SetFileAttributesA(LPCSTR lpFileName, DWORD dwFileAttributes) {
    return tessary::GuardWin32<BOOL>(FALSE, [&]() -> BOOL {
      HostPath path;
      DWORD error = files::ResolvePath(lpFileName, PathUse::kChange, &path);
      if (error != ERROR_SUCCESS) return FailWith(error);
      std::string host = path.host;
      while (host.size() > 1 && host.back() == '/') host.pop_back();
      error = files::SetAttributesAt(AT_FDCWD, host.c_str(), dwFileAttributes);
      if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
        error = files::ErrorForPath(ENOENT, ErrnoOp::kSetAttributes, host);
      }
      if (error != ERROR_SUCCESS) return FailWith(error);
      return TRUE;
    });
  }

  BOOL CreateDirectoryA(LPCSTR lpPathName, LPSECURITY_ATTRIBUTES lpSecurityAttributes) {
    return tessary::GuardWin32<BOOL>(FALSE, [&]() -> BOOL {
      HostPath path;
      const DWORD error = files::ResolvePath(lpPathName, PathUse::kChange, &path);
      if (error != ERROR_SUCCESS) return FailWith(error);
      if (sys::mkdir(path.host.c_str(), 0777) != 0) {
        return FailWith(files::ErrorForPath(errno, ErrnoOp::kMkdir, path.host));
      }
      return TRUE;
    });
  }

  BOOL RemoveDirectoryA(LPCSTR lpPathName) {
    return tessary::GuardWin32<BOOL>(FALSE, [&]() -> BOOL {
      HostPath path;
      DWORD error = files::ResolvePath(lpPathName, PathUse::kChange, &path);
      if (error != ERROR_SUCCESS) return FailWith(error);
      if (path.is_root) return FailWith(ERROR_ACCESS_DENIED);
      std::string host = path.host;
      while (host.size() > 1 && host.back() == '/') host.pop_back();
      FileInfo info;
      int err = files::StatPath(host, false, &info);
      if (err != 0) return FailWith(files::ErrorForPath(err, ErrnoOp::kRmdir, host));
      if (info.is_link) {
        // A link to a folder is removed as Windows removes a directory link:
        // the link goes, what it points at stays.
        FileInfo target;
        if (files::StatPath(host, true, &target) != 0 || !S_ISDIR(target.mode)) {
          return FailWith(ERROR_DIRECTORY);
        }
        if (sys::unlink(host.c_str()) != 0) {
          return FailWith(files::ErrorForPath(errno, ErrnoOp::kRmdir, host));
        }
        return TRUE;
      }
      if (!S_ISDIR(info.mode)) return FailWith(ERROR_DIRECTORY);
      if ((info.mode & S_IWUSR) == 0 || files::FolderMarkedReadOnly(AT_FDCWD, host.c_str())) {
        return FailWith(ERROR_ACCESS_DENIED);
      }
      error = files::ShareCheck({info.dev, info.ino}, -1, DELETE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
      if (error != ERROR_SUCCESS) return FailWith(error);
      if (sys::rmdir(host.c_str()) != 0) {
        return FailWith(files::ErrorForPath(errno, ErrnoOp::kRmdir, host));
      }
      return TRUE;
    });
  }

  UINT GetTempFileNameA(LPCSTR lpPathName, LPCSTR lpPrefixString, UINT uUnique,
                        LPSTR lpTempFileName) {
    return tessary::GuardWin32<UINT>(0, [&]() -> UINT {
      if (lpPathName == nullptr || lpTempFileName == nullptr) {
        return FailWith(ERROR_INVALID_PARAMETER);
      }
      const std::string_view folder(lpPathName);
      // Room for the separator, three prefix characters, four digits and ".tmp".
      if (folder.size() > tessary::winpath::kMaxPath - 14) return FailWith(ERROR_BUFFER_OVERFLOW);
      std::string base(folder);
      if (base.empty() || !tessary::winpath::IsSeparator(base.back())) base += '\\';
      if (lpPrefixString != nullptr) base.append(lpPrefixString, strnlen(lpPrefixString, 3));

      auto name_for = [&base](unsigned number) {
        char digits[16];
        std::snprintf(digits, sizeof(digits), "%X.tmp", number);
        return base + digits;
      };
      if (uUnique != 0) {
        // The caller chose the number: only the name is made, as on Windows.
        const std::string name = name_for(uUnique & 0xFFFF);
        std::memcpy(lpTempFileName, name.c_str(), name.size() + 1);
        return uUnique & 0xFFFF;
      }
      // Start where another process is unlikely to be, then take the first
      // number whose file we create ourselves (O_EXCL): never one that exists.
      struct timespec now;
      clock_gettime(CLOCK_REALTIME, &now);
      const unsigned start = (static_cast<unsigned>(getpid()) * 2654435761u) ^
                             static_cast<unsigned>(now.tv_nsec / 1000);
      for (unsigned i = 0; i < 0x10000; ++i) {
        const unsigned number = (start + i) & 0xFFFF;
        if (number == 0) continue;
        const std::string name = name_for(number);
        HostPath path;
        const DWORD error = files::ResolvePath(name.c_str(), PathUse::kChange, &path);
        if (error != ERROR_SUCCESS) return FailWith(error);
        const int fd =
            sys::open(path.host.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
        if (fd >= 0) {
          sys::close(fd);
          std::memcpy(lpTempFileName, name.c_str(), name.size() + 1);
          return number;
        }
        if (errno == EEXIST) continue;
        // A folder that is missing or not a folder is "the directory name is invalid".
        if (errno == ENOENT || errno == ENOTDIR) return FailWith(ERROR_DIRECTORY);
        return FailWith(files::ErrorForPath(errno, ErrnoOp::kCreateNew, path.host));
      }
      return FailWith(ERROR_FILE_EXISTS);
    });
  }

}  // EXTERN_C
