// Copy and move: the data copy (extent by extent, holes kept, offloaded to
// the kernel where it can), the write of a copy to a new name in place or
// over an existing one through a temporary sibling renamed into place,
// links copied as links, and the helpers MoveFileExA needs to rename one
// entry to another spelling of its name.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>

#include "platform/posix/files_internal.h"
#include "platform/posix/syscalls.h"
#include "platform/winpath.h"

namespace tessary::files {

using sys::ErrnoOp;

namespace {

constexpr size_t kCopyChunk = 64 * 1024;

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

}  // namespace

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
