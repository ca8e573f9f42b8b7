#include "platform/posix/errno_map.h"

#include <errno.h>
#include <sys/stat.h>

#include <string>

#include "platform/posix/syscalls.h"

namespace tessary::sys {

namespace {

bool IsOpen(ErrnoOp op) {
  return op == ErrnoOp::kOpenExisting || op == ErrnoOp::kOpenAlways || op == ErrnoOp::kCreateNew ||
         op == ErrnoOp::kCreateAlways || op == ErrnoOp::kCopy;
}

bool ChangesNames(ErrnoOp op) {
  return op == ErrnoOp::kRmdir || op == ErrnoOp::kUnlink || op == ErrnoOp::kRename;
}

}  // namespace

DWORD Win32ErrorFromErrno(int err, ErrnoOp op, bool parent_missing) {
  switch (err) {
    case 0:
      return ERROR_SUCCESS;

    case ENOENT:
      if (op == ErrnoOp::kLoadModule) return ERROR_MOD_NOT_FOUND;
      // Creating fails with ENOENT only when a folder on the way is missing.
      if (op == ErrnoOp::kMkdir || op == ErrnoOp::kCreateNew || op == ErrnoOp::kCreateAlways ||
          op == ErrnoOp::kOpenAlways) {
        return ERROR_PATH_NOT_FOUND;
      }
      return parent_missing ? ERROR_PATH_NOT_FOUND : ERROR_FILE_NOT_FOUND;

    case ENOTDIR:
      // RemoveDirectory of a file names the item, not the path, as invalid.
      if (op == ErrnoOp::kRmdir && !parent_missing) return ERROR_DIRECTORY;
      return ERROR_PATH_NOT_FOUND;

    case EEXIST:
      // POSIX may report a non-empty folder on rmdir as EEXIST.
      if (op == ErrnoOp::kRmdir) return ERROR_DIR_NOT_EMPTY;
      if (op == ErrnoOp::kMkdir || op == ErrnoOp::kRename) return ERROR_ALREADY_EXISTS;
      return ERROR_FILE_EXISTS;

    case ENOTEMPTY:
      // Moving onto an existing folder is "already exists" on Windows.
      if (op == ErrnoOp::kRename) return ERROR_ALREADY_EXISTS;
      return ERROR_DIR_NOT_EMPTY;

    case EACCES:
    case EPERM:
      // fcntl reports a conflicting lock as EACCES.
      if (op == ErrnoOp::kLock) return ERROR_LOCK_VIOLATION;
      return ERROR_ACCESS_DENIED;

    case EISDIR:
      // Windows refuses to open, delete or overwrite a folder as a file with
      // "access denied"; reading a folder handle is an invalid function.
      if (op == ErrnoOp::kRead || op == ErrnoOp::kWrite) return ERROR_INVALID_FUNCTION;
      return ERROR_ACCESS_DENIED;

    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    case ELOOP:
      return ERROR_CANT_RESOLVE_FILENAME;
    case EXDEV:
      return ERROR_NOT_SAME_DEVICE;
    case ENOSPC:
    case EDQUOT:
      return ERROR_DISK_FULL;
    case EROFS:
      return ERROR_WRITE_PROTECT;
    case EMFILE:
    case ENFILE:
      return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EIO:
      return ERROR_IO_DEVICE;
    case EFBIG:
      return ERROR_FILE_TOO_LARGE;
    case EMLINK:
      return ERROR_TOO_MANY_LINKS;

    case ETXTBSY:
      return ERROR_SHARING_VIOLATION;
    case EBUSY:
      // An item in use cannot be opened, removed or renamed on Windows
      // because someone holds it open: a sharing violation.
      if (IsOpen(op) || ChangesNames(op)) return ERROR_SHARING_VIOLATION;
      return ERROR_BUSY;

#if EAGAIN != EWOULDBLOCK
    case EWOULDBLOCK:
#endif
    case EAGAIN:
      if (op == ErrnoOp::kLock) return ERROR_LOCK_VIOLATION;
      if (IsOpen(op)) return ERROR_SHARING_VIOLATION;
      return ERROR_BUSY;
    case EDEADLK:
      return ERROR_POSSIBLE_DEADLOCK;
    case ENOLCK:
      return ERROR_LOCK_FAILED;

    case EINVAL:
      // lseek to a negative position.
      if (op == ErrnoOp::kSeek) return ERROR_NEGATIVE_SEEK;
      // Moving a folder into itself: Windows answers with a sharing violation.
      if (op == ErrnoOp::kRename) return ERROR_SHARING_VIOLATION;
      // A name the file system cannot store.
      if (op == ErrnoOp::kMkdir || IsOpen(op)) return ERROR_INVALID_NAME;
      return ERROR_INVALID_PARAMETER;
    case ESPIPE:
      return ERROR_SEEK_ON_DEVICE;
    case EOVERFLOW:
      return ERROR_ARITHMETIC_OVERFLOW;
    case ERANGE:
      return ERROR_INSUFFICIENT_BUFFER;
    case EBADF:
      return ERROR_INVALID_HANDLE;
    case EFAULT:
      return ERROR_NOACCESS;
    case EPIPE:
      return ERROR_BROKEN_PIPE;
    case ENOSYS:
      return ERROR_CALL_NOT_IMPLEMENTED;
    case ENOTSUP:
#if EOPNOTSUPP != ENOTSUP
    case EOPNOTSUPP:
#endif
      return ERROR_NOT_SUPPORTED;
    case ENOTTY:
      return ERROR_INVALID_FUNCTION;
    case EILSEQ:
      return ERROR_NO_UNICODE_TRANSLATION;
    case ENOEXEC:
      return ERROR_BAD_EXE_FORMAT;
    case ENODEV:
    case ENXIO:
      return ERROR_DEV_NOT_EXIST;
#ifdef ENOMEDIUM
    case ENOMEDIUM:
      return ERROR_NOT_READY;
#endif
    case ESTALE:
      // The file was changed behind an open handle (NFS), which Windows
      // words as the volume having been altered.
      return ERROR_FILE_INVALID;
    case EINTR:
    case ECANCELED:
      return ERROR_OPERATION_ABORTED;
    case ETIMEDOUT:
      return ERROR_SEM_TIMEOUT;
    case ENETDOWN:
      return ERROR_NO_NETWORK;
    case ENETUNREACH:
    case EHOSTUNREACH:
    case EHOSTDOWN:
      return ERROR_BAD_NETPATH;
    case ENOTCONN:
    case ECONNRESET:
    case ENOLINK:
      return ERROR_NETNAME_DELETED;
#ifdef EUCLEAN
    case EUCLEAN:
#endif
    case EBADMSG:
      return ERROR_FILE_CORRUPT;

    default:
      return ERROR_GEN_FAILURE;
  }
}

bool ParentDirectoryMissing(const char* host_path) {
  if (host_path == nullptr) return false;
  const int saved = errno;
  std::string parent(host_path);
  while (parent.size() > 1 && parent.back() == '/') parent.pop_back();
  const size_t slash = parent.rfind('/');
  if (slash == std::string::npos) {
    parent = ".";
  } else {
    parent.resize(slash == 0 ? 1 : slash);
  }
  struct stat st;
  const bool missing = tessary::sys::stat(parent.c_str(), &st) != 0 || !S_ISDIR(st.st_mode);
  errno = saved;
  return missing;
}

}  // namespace tessary::sys
