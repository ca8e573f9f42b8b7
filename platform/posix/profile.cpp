// GetPrivateProfileStringA and WritePrivateProfileStringA over our own
// reader and writer of the profile format (profile_format.h).
//
// Policy:
// - A file name without a folder (no "\" or "/") lives in the Windows folder.
// - Readers take no lock: writers replace the file by rename, so a reader
//   sees the old file or the new one, whole.
// - A write is a transaction under an exclusive flock on the file itself:
//   lock, make sure the name still holds the locked file (another writer may
//   have renamed a new one over it meanwhile; then lock that one), read,
//   edit, write a temporary sibling, sync it and rename it over the file. Two
//   writers never lose each other's keys, and a crash or a failed write
//   leaves the old file whole. A write that changes nothing writes nothing.
// - A name that goes through a symbolic link has the link's target rewritten;
//   the link stays.
// - A section, key or value that could not be read back as written (a
//   section holding "]", a key holding "=" or starting with ";" or "[", any
//   of them holding a line break) is refused with ERROR_INVALID_PARAMETER
//   rather than written into lines that would mean something else.
#include "platform/profile.h"

#include <errno.h>
#include <limits.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>

#include "platform/files.h"
#include "platform/guard.h"
#include "platform/posix/files_internal.h"
#include "platform/posix/profile_format.h"
#include "platform/posix/syscalls.h"

namespace tessary::profile {
namespace {

using sys::ErrnoOp;
using sys::Fd;

// The host path of a profile file name; a writer passes PathUse::kChange.
DWORD HostFile(const char* file_name, files::PathUse use, std::string* host) {
  if (file_name == nullptr || *file_name == '\0') return ERROR_INVALID_PARAMETER;
  std::string name = file_name;
  if (name.find_first_of("\\/") == std::string::npos) {
    char folder[MAX_PATH];
    const UINT length = GetWindowsDirectoryA(folder, MAX_PATH);
    if (length == 0) return GetLastError();
    if (length >= MAX_PATH) return ERROR_FILENAME_EXCED_RANGE;
    std::string full = folder;
    if (full.back() != '\\') full += '\\';
    name = full + name;
  }
  files::HostPath path;
  const DWORD error = files::ResolvePath(name.c_str(), use, &path);
  if (error != ERROR_SUCCESS) return error;
  if (path.is_root || path.trailing_separator) return ERROR_ACCESS_DENIED;
  *host = path.host;
  return ERROR_SUCCESS;
}

DWORD ReadAll(int fd, std::string* bytes) {
  bytes->clear();
  char chunk[65536];
  for (;;) {
    const ssize_t n = sys::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return sys::Win32ErrorFromErrno(errno, ErrnoOp::kRead);
    if (n == 0) return ERROR_SUCCESS;
    bytes->append(chunk, static_cast<size_t>(n));
  }
}

DWORD WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = sys::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return sys::Win32ErrorFromErrno(errno, ErrnoOp::kWrite);
    if (n == 0) return ERROR_DISK_FULL;
    done += static_cast<size_t>(n);
  }
  return ERROR_SUCCESS;
}

// The file as a document; a missing file (or a folder) is an empty one,
// with the error Windows leaves for it.
DWORD Load(const char* file_name, Document* document) {
  std::string host;
  DWORD error = HostFile(file_name, files::PathUse::kName, &host);
  if (error != ERROR_SUCCESS) return error;
  Fd fd(sys::open(host.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK, 0));
  if (fd.get() < 0) return files::ErrorForPath(errno, ErrnoOp::kOpenExisting, host);
  struct stat st;
  if (sys::fstat(fd.get(), &st) != 0) return sys::Win32ErrorFromErrno(errno, ErrnoOp::kStat);
  if (!S_ISREG(st.st_mode)) return ERROR_ACCESS_DENIED;
  std::string bytes;
  error = ReadAll(fd.get(), &bytes);
  if (error != ERROR_SUCCESS) return error;
  *document = Parse(bytes);
  return ERROR_SUCCESS;
}

// A temporary file of our own beside `path`, created exclusively so that
// nothing already there is written through.
int CreateSibling(const std::string& path, std::string* temp) {
  static std::atomic<unsigned> counter{0};
  const size_t slash = path.rfind('/');
  const std::string folder = path.substr(0, slash + 1);
  const std::string name = path.substr(slash + 1);
  for (int attempt = 0; attempt < 100; ++attempt) {
    *temp = folder + "." + name + "." + std::to_string(getpid()) + "." +
            std::to_string(counter.fetch_add(1)) + ".tmp";
    const int fd =
        sys::open(temp->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

// Replaces `path` with `bytes`: on failure the old file stays and the
// temporary goes.
DWORD Replace(const std::string& path, const std::string& bytes, mode_t mode) {
  std::string temp;
  Fd fd(CreateSibling(path, &temp));
  if (fd.get() < 0) return files::ErrorForPath(errno, ErrnoOp::kCreateNew, path);
  DWORD error = ERROR_SUCCESS;
  if (sys::fchmod(fd.get(), mode & 07777) != 0)
    error = sys::Win32ErrorFromErrno(errno, ErrnoOp::kSetAttributes);
  if (error == ERROR_SUCCESS) error = WriteAll(fd.get(), bytes);
  if (error == ERROR_SUCCESS && sys::fsync(fd.get()) != 0)
    error = sys::Win32ErrorFromErrno(errno, ErrnoOp::kWrite);
  if (error == ERROR_SUCCESS && sys::rename(temp.c_str(), path.c_str()) != 0)
    error = sys::Win32ErrorFromErrno(errno, ErrnoOp::kRename);
  if (error != ERROR_SUCCESS) sys::unlink(temp.c_str());
  return error;
}

// One locked read-edit-replace of the file. `create` makes a missing file;
// without it a missing file is left missing and the edit is not made.
template <class Edit>
DWORD Transact(const char* file_name, bool create, Edit&& edit) {
  std::string host;
  DWORD error = HostFile(file_name, files::PathUse::kChange, &host);
  if (error != ERROR_SUCCESS) return error;
  char resolved[PATH_MAX];
  if (sys::realpath(host.c_str(), resolved) != nullptr) host = resolved;

  for (int attempt = 0; attempt < 1000; ++attempt) {
    bool created = false;
    Fd fd(sys::open(host.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK, 0));
    if (fd.get() < 0 && errno == ENOENT) {
      if (!create) return ERROR_SUCCESS;  // nothing there to delete
      fd.reset(sys::open(host.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666));
      if (fd.get() < 0 && errno == EEXIST) {
        // A link to nothing is not followed to make a file where it points.
        struct stat link;
        if (sys::lstat(host.c_str(), &link) == 0 && S_ISLNK(link.st_mode))
          return ERROR_ACCESS_DENIED;
        continue;  // another writer made it: lock theirs
      }
      created = fd.get() >= 0;
    }
    if (fd.get() < 0) {
      // A folder cannot be opened for writing: Windows refuses it as access.
      if (errno == EISDIR) return ERROR_ACCESS_DENIED;
      return files::ErrorForPath(errno, ErrnoOp::kOpenAlways, host);
    }
    while (sys::flock(fd.get(), LOCK_EX) != 0) {
      if (errno != EINTR) return sys::Win32ErrorFromErrno(errno, ErrnoOp::kLock);
    }
    struct stat locked;
    struct stat named;
    if (sys::fstat(fd.get(), &locked) != 0) return sys::Win32ErrorFromErrno(errno, ErrnoOp::kStat);
    if (sys::stat(host.c_str(), &named) != 0 || named.st_dev != locked.st_dev ||
        named.st_ino != locked.st_ino || locked.st_nlink == 0)
      continue;  // replaced or removed while we waited
    if (!S_ISREG(locked.st_mode)) return ERROR_ACCESS_DENIED;

    std::string bytes;
    error = ReadAll(fd.get(), &bytes);
    Document document;
    if (error == ERROR_SUCCESS) document = Parse(bytes);
    if (error == ERROR_SUCCESS && edit(&document)) {
      error = Replace(host, Serialize(document), locked.st_mode);
    }
    // A file we made for a write that failed goes again.
    if (error != ERROR_SUCCESS && created) sys::unlink(host.c_str());
    return error;
  }
  return ERROR_SHARING_VIOLATION;
}

// The list form: each name ended by a NUL, the list by one more. A list
// that does not fit is cut and ended by two NULs; the count then is size-2.
DWORD CopyList(const std::vector<std::string>& names, char* buffer, DWORD size) {
  std::string list;
  for (const std::string& name : names) {
    list += name;
    list += '\0';
  }
  if (size == 1) {
    buffer[0] = '\0';
    return 0;
  }
  if (list.size() + 1 <= size) {
    std::memcpy(buffer, list.data(), list.size());
    buffer[list.size()] = '\0';
    return static_cast<DWORD>(list.empty() ? 0 : list.size());
  }
  std::memcpy(buffer, list.data(), size - 2);
  buffer[size - 2] = '\0';
  buffer[size - 1] = '\0';
  return size - 2;
}

// A value cut to the buffer; the count is what was copied, so a value that
// did not fit reports size-1.
DWORD CopyValue(const std::string& value, char* buffer, DWORD size) {
  const size_t n = value.size() < size - 1 ? value.size() : size - 1;
  std::memcpy(buffer, value.data(), n);
  buffer[n] = '\0';
  return static_cast<DWORD>(n);
}

}  // namespace
}  // namespace tessary::profile

EXTERN_C {
  DWORD GetPrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpDefault,
                                 LPSTR lpReturnedString, DWORD nSize, LPCSTR lpFileName) {
    using namespace tessary::profile;
    return tessary::GuardWin32<DWORD>(0, [&]() -> DWORD {
      if (lpReturnedString == nullptr || nSize == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
      }
      Document document;
      const DWORD error = Load(lpFileName, &document);
      if (lpAppName == nullptr) {
        SetLastError(error);
        return CopyList(SectionNames(document), lpReturnedString, nSize);
      }
      if (lpKeyName == nullptr) {
        SetLastError(error);
        return CopyList(KeyNames(document, lpAppName), lpReturnedString, nSize);
      }
      std::string value;
      if (FindValue(document, lpAppName, lpKeyName, &value)) {
        SetLastError(ERROR_SUCCESS);
        return CopyValue(value, lpReturnedString, nSize);
      }
      // The default loses its trailing blanks, as the value would.
      std::string fallback = lpDefault ? lpDefault : "";
      while (!fallback.empty() && fallback.back() == ' ') fallback.pop_back();
      SetLastError(error == ERROR_SUCCESS ? ERROR_FILE_NOT_FOUND : error);
      return CopyValue(fallback, lpReturnedString, nSize);
    });
  }

  BOOL WritePrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpString,
                                  LPCSTR lpFileName) {
    using namespace tessary::profile;
    return tessary::GuardWin32<BOOL>(FALSE, [&]() -> BOOL {
      // With no section the call only flushes a cache, which we do not keep.
      if (lpAppName == nullptr) {
        if (lpKeyName == nullptr && lpString == nullptr) return TRUE;
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
      }
      const std::string section = lpAppName;
      DWORD error;
      if (lpKeyName == nullptr) {
        error = Transact(lpFileName, false,
                         [&](Document* document) { return DeleteSection(document, section); });
      } else if (lpString == nullptr) {
        const std::string key = lpKeyName;
        error = Transact(lpFileName, false,
                         [&](Document* document) { return DeleteKey(document, section, key); });
      } else {
        const std::string key = lpKeyName;
        const std::string value = lpString;
        if (!WritableSection(section) || !WritableKey(key) || !WritableValue(value)) {
          SetLastError(ERROR_INVALID_PARAMETER);
          return FALSE;
        }
        error = Transact(lpFileName, true, [&](Document* document) {
          return SetValue(document, section, key, value);
        });
      }
      SetLastError(error);
      return error == ERROR_SUCCESS;
    });
  }
}  // EXTERN_C
