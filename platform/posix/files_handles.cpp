// File handles: our own object around one descriptor with its file pointer,
// access mask and share mode; the table that publishes them as HANDLEs;
// CreateFileA's open in Windows order (sharing checked on the open
// descriptor before anything is truncated); seeking and whole transfers at
// the pointer; the sharing check before a delete.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "platform/posix/files_internal.h"
#include "platform/posix/syscalls.h"
#include "platform/winpath.h"

namespace tessary::files {

using sys::ErrnoOp;

namespace {

struct HandleTable {
  std::mutex mutex;
  std::unordered_map<const void*, std::shared_ptr<FileObject>> handles;
};

HandleTable& Handles() {
  static HandleTable* table = new HandleTable;  // outlives static destructors that close handles
  return *table;
}

}  // namespace

HANDLE PublishFile(std::shared_ptr<FileObject> object) {
  HandleTable& table = Handles();
  std::lock_guard<std::mutex> lock(table.mutex);
  const void* key = object.get();
  table.handles.emplace(key, std::move(object));
  return const_cast<void*>(key);
}

std::shared_ptr<FileObject> LookupFile(HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return nullptr;
  HandleTable& table = Handles();
  std::lock_guard<std::mutex> lock(table.mutex);
  const auto it = table.handles.find(handle);
  return it == table.handles.end() ? nullptr : it->second;
}

std::shared_ptr<FileObject> UnpublishFile(HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return nullptr;
  HandleTable& table = Handles();
  std::lock_guard<std::mutex> lock(table.mutex);
  const auto it = table.handles.find(handle);
  if (it == table.handles.end()) return nullptr;
  std::shared_ptr<FileObject> object = std::move(it->second);
  table.handles.erase(it);
  return object;
}

namespace {

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

}  // namespace

std::string_view LastComponent(std::string_view full) {
  while (!full.empty() && winpath::IsSeparator(full.back())) full.remove_suffix(1);
  const size_t root = winpath::ParseRoot(full).length;
  if (full.size() <= root) return std::string_view();
  size_t i = full.size();
  while (i > root && !winpath::IsSeparator(full[i - 1])) --i;
  return full.substr(i);
}

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

DWORD CheckDeleteSharing(const std::string& host, const FileInfo& info) {
  return CheckSharingAt(AT_FDCWD, host.c_str(), info, DELETE);
}

}  // namespace tessary::files
