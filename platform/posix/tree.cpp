// Folder trees walked by descriptor: the folder a walk is in stays open, and
// every entry is named relative to it (fstatat, openat with O_NOFOLLOW,
// unlinkat, mkdirat, renameat), so a full path is never resolved again below
// the folder the walk was given. A subfolder swapped for a link between the
// listing and the open is refused by O_NOFOLLOW; one swapped for another
// folder is caught by comparing device and inode with the listing.
//
// Here too lives what a folder's read-only attribute means on POSIX. Windows
// keeps it without stopping anyone from adding files, and refuses only to
// remove the folder; a folder's write bits would stop both, so the attribute
// is kept in an extended attribute and the permissions stay as they are. A
// folder whose owner has no write permission counts as read-only as well.
#include "platform/tree.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/guard.h"
#include "platform/posix/files_internal.h"
#include "platform/posix/handle_table.h"
#include "platform/posix/syscalls.h"
#include "platform/winpath.h"

namespace tessary::files {

namespace {

using sys::ErrnoOp;

constexpr char kReadOnlyName[] = "user.tessary.readonly";

struct TreeFolder {
  std::mutex mutex;
  int fd = -1;
  std::vector<std::string> names;  // read when the folder was opened, in the find service's order
  size_t next = 0;
  // The entry handed out last, so opening it as a subfolder can check that it
  // is still the same folder.
  std::string last_name;
  FileId last_id;

  ~TreeFolder() {
    if (fd >= 0) sys::close(fd);
  }
};

using Folders = HandleTable<TreeFolder>;

BOOL Fail(DWORD error) { return FailWith(error); }

// A name that stands for one entry of the folder: never empty, "." or "..",
// and never a path.
bool IsEntryName(const char* name) {
  if (name == nullptr || *name == '\0') return false;
  if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return false;
  return std::strchr(name, '/') == nullptr;
}

DWORD OpenError(int err) {
  if (err == ELOOP || err == ENOTDIR) return ERROR_DIRECTORY;
  if (err == ENOENT) return ERROR_PATH_NOT_FOUND;
  return sys::Win32ErrorFromErrno(err, ErrnoOp::kFind);
}

// Reads the names of an open folder; their metadata is read when each is
// handed out, so an entry removed before its turn is skipped.
DWORD ReadFolder(TreeFolder* folder) {
  const int copy = sys::dup(folder->fd);
  if (copy < 0) return sys::Win32ErrorFromErrno(errno, ErrnoOp::kFind);
  DIR* dir = sys::fdopendir(copy);
  if (dir == nullptr) {
    const int err = errno;
    sys::close(copy);
    return sys::Win32ErrorFromErrno(err, ErrnoOp::kFind);
  }
  const int err = ReadNames(dir, [folder](const char* name) {
    if (IsEntryName(name)) folder->names.emplace_back(name);
  });
  if (err != 0) return sys::Win32ErrorFromErrno(err, ErrnoOp::kFind);
  std::sort(folder->names.begin(), folder->names.end(), NtfsOrder);
  return ERROR_SUCCESS;
}

HANDLE Publish(int fd) {
  auto folder = std::make_shared<TreeFolder>();
  folder->fd = fd;
  const DWORD error = ReadFolder(folder.get());
  if (error != ERROR_SUCCESS) {
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
  }
  SetLastError(ERROR_SUCCESS);
  return Folders::Get().Publish(std::move(folder));
}

DWORD CopyFileAt(int from_dir, const char* name, int to_dir, const char* new_name,
                 bool fail_if_exists) {
  // O_NONBLOCK: should the entry have become a pipe, the open must not wait
  // for a writer; it is refused below like any other special file.
  const int in =
      sys::openat(from_dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0);
  if (in < 0) {
    if (errno == ELOOP) return ERROR_CANT_ACCESS_FILE;
    return sys::Win32ErrorFromErrno(errno, ErrnoOp::kOpenExisting);
  }
  struct Closer {
    int fd;
    ~Closer() { sys::close(fd); }
  } in_closer{in};
  FileInfo source;
  int err = StatFd(in, &source);
  if (err != 0) return sys::Win32ErrorFromErrno(err, ErrnoOp::kStat);
  if (!S_ISREG(source.mode)) return ERROR_CANT_ACCESS_FILE;
  // Reading honours the share modes of the handles open on the source.
  const int owner = 0;
  DWORD error = ShareOpen(&owner, {source.dev, source.ino}, in, true, FILE_READ_DATA,
                          FILE_SHARE_READ | FILE_SHARE_DELETE);
  if (error != ERROR_SUCCESS) return error;
  struct Unshare {
    const void* owner;
    FileId id;
    ~Unshare() { ShareClose(owner, id); }
  } unshare{&owner, {source.dev, source.ino}};

  FileInfo dest;
  err = StatAt(to_dir, new_name, false, &dest);
  const bool exists = err == 0;
  if (err != 0 && err != ENOENT) return sys::Win32ErrorFromErrno(err, ErrnoOp::kCopy);
  if (exists) {
    if (fail_if_exists) return ERROR_FILE_EXISTS;
    if (S_ISDIR(dest.mode)) return ERROR_ACCESS_DENIED;
    if (dest.dev == source.dev && dest.ino == source.ino) return ERROR_SHARING_VIOLATION;
    if (S_ISREG(dest.mode)) {
      if ((dest.mode & S_IWUSR) == 0) return ERROR_ACCESS_DENIED;
      error = CheckSharingAt(to_dir, new_name, dest, FILE_WRITE_DATA);
      if (error != ERROR_SUCCESS) return error;
    }
  }
  return WriteCopyAt(in, source, to_dir, new_name, exists, fail_if_exists, false);
}

}  // namespace

bool NtfsOrder(const std::string& a, const std::string& b) {
  // Asked of every pair a sort compares: the lengths settle it, with no
  // string comparison.
  auto rank = [](const std::string& s) {
    if (s.size() > 2 || s.empty() || s[0] != '.') return 2;
    return s.size() == 1 ? 0 : (s[1] == '.' ? 1 : 2);
  };
  if (rank(a) != rank(b)) return rank(a) < rank(b);
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const unsigned char x = static_cast<unsigned char>(winpath::UpperAscii(a[i]));
    const unsigned char y = static_cast<unsigned char>(winpath::UpperAscii(b[i]));
    if (x != y) return x < y;
  }
  if (a.size() != b.size()) return a.size() < b.size();
  return a < b;
}

DWORD EntryAttributes(int dirfd, const char* at, std::string_view name, const FileInfo& info) {
  if (!S_ISLNK(info.mode)) {
    DWORD attributes = AttributesOf(info, name);
    if (S_ISDIR(info.mode) && FolderMarkedReadOnly(dirfd, at)) {
      attributes =
          (attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL)) | FILE_ATTRIBUTE_READONLY;
    }
    return attributes;
  }
  FileInfo target;
  if (StatAt(dirfd, at, true, &target) != 0) return AttributesOf(info, name);
  return (AttributesOf(target, name) & ~static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL)) |
         FILE_ATTRIBUTE_REPARSE_POINT;
}

int DescribeEntry(int dirfd, const char* at, std::string_view name, bool link_as_itself,
                  WIN32_FIND_DATAA* data, FileId* id) {
  FileInfo info;
  int err = StatAt(dirfd, at, false, &info);
  if (err != 0) return err;
  const DWORD attributes = EntryAttributes(dirfd, at, name, info);
  if (id != nullptr) *id = {info.dev, info.ino};
  // A search describes a link by its target, as the find service does; a
  // walk counts the link as the link.
  if (info.is_link && !link_as_itself) {
    FileInfo target;
    if (StatAt(dirfd, at, true, &target) == 0) info = target;
  }
  const uint64_t size = S_ISDIR(info.mode) ? 0 : info.size;
  std::memset(data, 0, sizeof(*data));
  data->dwFileAttributes = attributes;
  data->ftCreationTime = CreationTimeOf(info);
  data->ftLastAccessTime = ToFileTime(info.atime);
  data->ftLastWriteTime = ToFileTime(info.mtime);
  data->nFileSizeHigh = static_cast<DWORD>(size >> 32);
  data->nFileSizeLow = static_cast<DWORD>(size);
  data->dwReserved0 = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) ? IO_REPARSE_TAG_SYMLINK : 0;
  std::memcpy(data->cFileName, name.data(), std::min(name.size(), sizeof(data->cFileName) - 1));
  return 0;
}

DWORD CheckSharingAt(int dirfd, const char* at, const FileInfo& info, DWORD access) {
  // Opening a device or a pipe could act on it, so only files.
  int probe = -1;
  if (S_ISREG(info.mode)) {
    probe = sys::openat(dirfd, at, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0);
  }
  const DWORD error = ShareCheck({info.dev, info.ino}, probe, access,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
  if (probe >= 0) sys::close(probe);
  return error;
}

bool FolderMarkedReadOnly(int dirfd, const char* name) {
  // A path needs one call; below an open folder there is no call that takes
  // both, so the folder is opened first.
  if (dirfd == AT_FDCWD) return sys::lgetxattr(name, kReadOnlyName, nullptr, 0) >= 0;
  const int fd =
      sys::openat(dirfd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool marked = sys::fgetxattr(fd, kReadOnlyName, nullptr, 0) >= 0;
  sys::close(fd);
  return marked;
}

DWORD SetAttributesAt(int dirfd, const char* name, DWORD attributes) {
  FileInfo info;
  int err = StatAt(dirfd, name, false, &info);
  if (err != 0) return sys::Win32ErrorFromErrno(err, ErrnoOp::kSetAttributes);
  // A link has no attributes of its own here, and its target is not the
  // item named: nothing changes.
  if (S_ISLNK(info.mode)) return ERROR_SUCCESS;
  const bool read_only = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
  mode_t mode = info.mode & 07777;
  if (S_ISDIR(info.mode)) {
    const int fd =
        sys::openat(dirfd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0);
    if (fd < 0) return sys::Win32ErrorFromErrno(errno, ErrnoOp::kSetAttributes);
    int rc = 0;
    if (read_only) {
      rc = sys::fsetxattr(fd, kReadOnlyName, "", 0, 0);
      // A file system without extended attributes cannot keep it; like the
      // hidden attribute, it is then accepted and not kept.
      if (rc != 0 && (errno == ENOTSUP || errno == EOPNOTSUPP)) rc = 0;
    } else {
      rc = sys::fremovexattr(fd, kReadOnlyName);
      if (rc != 0 && (errno == ENODATA || errno == ENOTSUP || errno == EOPNOTSUPP)) rc = 0;
      // A folder its owner may not write is read-only too; clearing the
      // attribute gives the owner write access back.
      if (rc == 0 && (mode & S_IWUSR) == 0) rc = sys::fchmod(fd, mode | S_IWUSR);
    }
    const int saved = errno;
    sys::close(fd);
    return rc == 0 ? ERROR_SUCCESS : sys::Win32ErrorFromErrno(saved, ErrnoOp::kSetAttributes);
  }
  // A file keeps READONLY in its write bits: setting it takes every write bit
  // away, clearing it gives the owner write access back. HIDDEN belongs to
  // the name, ARCHIVE, SYSTEM and the rest to nothing: they are accepted and
  // ignored.
  if (read_only) {
    mode &= ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH);
  } else {
    mode |= S_IWUSR;
  }
  if (mode == (info.mode & 07777)) return ERROR_SUCCESS;
  if (sys::fchmodat(dirfd, name, mode, AT_SYMLINK_NOFOLLOW) != 0) {
    // The entry became a link since it was looked at: leave it alone.
    if (errno == EOPNOTSUPP || errno == ENOTSUP) return ERROR_SUCCESS;
    return sys::Win32ErrorFromErrno(errno, ErrnoOp::kSetAttributes);
  }
  return ERROR_SUCCESS;
}

}  // namespace tessary::files

namespace files = tessary::files;
namespace sys = tessary::sys;
using files::FileInfo;
using files::Folders;
using sys::ErrnoOp;

EXTERN_C {
  HANDLE TreeOpenFolder(LPCSTR lpPathName, BOOL bFollowLink) {
    return tessary::GuardWin32<HANDLE>(INVALID_HANDLE_VALUE, [&]() -> HANDLE {
      files::HostPath path;
      const DWORD error = files::ResolvePath(lpPathName, files::PathUse::kName, &path);
      if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
      }
      std::string host = path.host;
      while (host.size() > 1 && host.back() == '/') host.pop_back();
      const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (bFollowLink ? 0 : O_NOFOLLOW);
      const int fd = sys::open(host.c_str(), flags, 0);
      if (fd < 0) {
        SetLastError(files::OpenError(errno));
        return INVALID_HANDLE_VALUE;
      }
      return files::Publish(fd);
    });
  }

  HANDLE TreeOpenSubfolder(HANDLE hFolder, LPCSTR lpName) {
    return tessary::GuardWin32<HANDLE>(INVALID_HANDLE_VALUE, [&]() -> HANDLE {
      const auto parent = Folders::Get().Lookup(hFolder);
      if (!parent) {
        SetLastError(ERROR_INVALID_HANDLE);
        return INVALID_HANDLE_VALUE;
      }
      if (!files::IsEntryName(lpName)) {
        SetLastError(ERROR_INVALID_NAME);
        return INVALID_HANDLE_VALUE;
      }
      std::lock_guard<std::mutex> lock(parent->mutex);
      const int fd =
          sys::openat(parent->fd, lpName, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0);
      if (fd < 0) {
        SetLastError(files::OpenError(errno));
        return INVALID_HANDLE_VALUE;
      }
      FileInfo info;
      const int err = files::StatFd(fd, &info);
      const bool replaced = err == 0 && parent->last_name == lpName &&
                            (info.dev != parent->last_id.dev || info.ino != parent->last_id.ino);
      if (err != 0 || replaced) {
        sys::close(fd);
        SetLastError(err != 0 ? sys::Win32ErrorFromErrno(err, ErrnoOp::kStat)
                              : ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
      }
      return files::Publish(fd);
    });
  }

  BOOL TreeCloseFolder(HANDLE hFolder) {
    return tessary::GuardWin32<BOOL>(FALSE, [&]() -> BOOL {
      if (!Folders::Get().Unpublish(hFolder)) return files::Fail(ERROR_INVALID_HANDLE);
      return TRUE;
    });
  }

  BOOL TreeNextEntry(HANDLE hFolder, LPWIN32_FIND_DATAA lpFindFileData) {
    return tessary::GuardWin32<BOOL>(FALSE, [&]() -> BOOL {
      const auto folder = Folders::Get().Lookup(hFolder);
      if (!folder) return files::Fail(ERROR_INVALID_HANDLE);
      if (lpFindFileData == nullptr) return files::Fail(ERROR_INVALID_PARAMETER);
      std::lock_guard<std::mutex> lock(folder->mutex);
      while (folder->next < folder->names.size()) {
        const std::string& name = folder->names[folder->next++];
        files::FileId id;
        const int err =
            files::DescribeEntry(folder->fd, name.c_str(), name, true, lpFindFileData, &id);
        if (err == ENOENT) continue;  // removed since the folder was read
        if (err != 0) return files::Fail(sys::Win32ErrorFromErrno(err, ErrnoOp::kFind));
        folder->last_name = name;
        folder->last_id = id;
        return TRUE;
      }
      return files::Fail(ERROR_NO_MORE_FILES);
    });
  }

  DWORD TreeGetEntryAttributes(HANDLE hFolder, LPCSTR lpName) {
    return tessary::GuardWin32<DWORD>(INVALID_FILE_ATTRIBUTES, [&]() -> DWORD {
      const auto folder = Folders::Get().Lookup(hFolder);
      DWORD error = !folder ? ERROR_INVALID_HANDLE
                            : (files::IsEntryName(lpName) ? ERROR_SUCCESS : ERROR_INVALID_NAME);
      FileInfo info;
      if (error == ERROR_SUCCESS) {
        const int err = files::StatAt(folder->fd, lpName, false, &info);
        if (err == 0) return files::EntryAttributes(folder->fd, lpName, lpName, info);
        error =
            err == ENOENT ? ERROR_FILE_NOT_FOUND : sys::Win32ErrorFromErrno(err, ErrnoOp::kStat);
      }
      SetLastError(error);
      return INVALID_FILE_ATTRIBUTES;
    });
  }

  BOOL TreeSetEntryAttributes(HANDLE hFolder, LPCSTR lpName, DWORD dwFileAttributes) {
    return tessary::GuardWin32<BOOL>(FALSE, [&]() -> BOOL {
      const auto folder = Folders::Get().Lookup(hFolder);
      if (!folder) return files::Fail(ERROR_INVALID_HANDLE);
      if (!files::IsEntryName(lpName)) return files::Fail(ERROR_INVALID_NAME);
      const DWORD error = files::SetAttributesAt(folder->fd, lpName, dwFileAttributes);
      if (error != ERROR_SUCCESS) return files::Fail(error);
      return TRUE;
    });
  }

  BOOL TreeDeleteEntry(HANDLE hFolder, LPCSTR lpName) {
    return tessary::GuardWin32<BOOL>(FALSE, [&]() -> BOOL {
      const auto folder = Folders::Get().Lookup(hFolder);
      if (!folder) return files::Fail(ERROR_INVALID_HANDLE);
      if (!files::IsEntryName(lpName)) return files::Fail(ERROR_INVALID_NAME);
      FileInfo info;
      int err = files::StatAt(folder->fd, lpName, false, &info);
      if (err != 0) return files::Fail(sys::Win32ErrorFromErrno(err, ErrnoOp::kUnlink));
      int flags = 0;
      if (S_ISDIR(info.mode)) {
        // Windows refuses to remove a read-only folder, and one with a handle
        // that does not share deletion.
        if ((info.mode & S_IWUSR) == 0 || files::FolderMarkedReadOnly(folder->fd, lpName)) {
          return files::Fail(ERROR_ACCESS_DENIED);
        }
        flags = AT_REMOVEDIR;
      } else if (!S_ISLNK(info.mode) && (info.mode & S_IWUSR) == 0) {
        return files::Fail(ERROR_ACCESS_DENIED);
      }
      if (!S_ISLNK(info.mode)) {
        const DWORD error = files::CheckSharingAt(folder->fd, lpName, info, DELETE);
        if (error != ERROR_SUCCESS) return files::Fail(error);
      }
      if (sys::unlinkat(folder->fd, lpName, flags) != 0) {
        return files::Fail(
            sys::Win32ErrorFromErrno(errno, flags != 0 ? ErrnoOp::kRmdir : ErrnoOp::kUnlink));
      }
      return TRUE;
    });
  }

  BOOL TreeCreateSubfolder(HANDLE hFolder, LPCSTR lpName) {
    return tessary::GuardWin32<BOOL>(FALSE, [&]() -> BOOL {
      const auto folder = Folders::Get().Lookup(hFolder);
      if (!folder) return files::Fail(ERROR_INVALID_HANDLE);
      if (!files::IsEntryName(lpName)) return files::Fail(ERROR_INVALID_NAME);
      if (sys::mkdirat(folder->fd, lpName, 0777) != 0) {
        return files::Fail(sys::Win32ErrorFromErrno(errno, ErrnoOp::kMkdir));
      }
      return TRUE;
    });
  }

  BOOL TreeCopyEntry(HANDLE hFromFolder, LPCSTR lpName, HANDLE hToFolder, LPCSTR lpNewName,
                     DWORD dwCopyFlags) {
    return tessary::GuardWin32<BOOL>(FALSE, [&]() -> BOOL {
      const auto from = Folders::Get().Lookup(hFromFolder);
      const auto to = Folders::Get().Lookup(hToFolder);
      if (!from || !to) return files::Fail(ERROR_INVALID_HANDLE);
      if (!files::IsEntryName(lpName) || !files::IsEntryName(lpNewName)) {
        return files::Fail(ERROR_INVALID_NAME);
      }
      const bool fail_if_exists = (dwCopyFlags & COPY_FILE_FAIL_IF_EXISTS) != 0;
      FileInfo info;
      const int err = files::StatAt(from->fd, lpName, false, &info);
      if (err != 0) return files::Fail(sys::Win32ErrorFromErrno(err, ErrnoOp::kOpenExisting));
      DWORD error = ERROR_SUCCESS;
      if (S_ISLNK(info.mode)) {
        error = files::CopyLinkAt(from->fd, lpName, to->fd, lpNewName, fail_if_exists);
      } else if (S_ISDIR(info.mode)) {
        error = ERROR_ACCESS_DENIED;
      } else if (!S_ISREG(info.mode)) {
        error = ERROR_CANT_ACCESS_FILE;  // a pipe, socket or device is never read as a file
      } else {
        error = files::CopyFileAt(from->fd, lpName, to->fd, lpNewName, fail_if_exists);
      }
      if (error != ERROR_SUCCESS) return files::Fail(error);
      return TRUE;
    });
  }
}  // EXTERN_C
