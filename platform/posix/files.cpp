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
//
// This file holds the exported services; the machinery behind them lives in
// files_handles.cpp (handles), files_copy.cpp (copy and move) and
// files_attributes.cpp (metadata).
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "platform/guard.h"
#include "platform/posix/files_internal.h"
#include "platform/posix/syscalls.h"
#include "platform/winpath.h"

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

HANDLE OpenByName(LPCSTR name, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
  HostPath path;
  const bool changes =
      disposition != OPEN_EXISTING ||
      (access & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE)) != 0;
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
  const HANDLE handle = files::PublishFile(std::move(result.object));
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
      const std::shared_ptr<files::FileObject> object = files::LookupFile(hFile);
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
      const std::shared_ptr<files::FileObject> object = files::LookupFile(hFile);
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
      const std::shared_ptr<files::FileObject> object = files::LookupFile(hFile);
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
      const std::shared_ptr<files::FileObject> object = files::LookupFile(hFile);
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
      const std::shared_ptr<files::FileObject> object = files::LookupFile(hFile);
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
      const std::shared_ptr<files::FileObject> object = files::LookupFile(hFile);
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
      const std::shared_ptr<files::FileObject> object = files::LookupFile(hFile);
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
      const std::shared_ptr<files::FileObject> object = files::LookupFile(hFile);
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
      const std::shared_ptr<files::FileObject> object = files::LookupFile(hFile);
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
      const std::shared_ptr<files::FileObject> object = files::LookupFile(hFile);
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
      std::shared_ptr<files::FileObject> object = files::UnpublishFile(hObject);
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
