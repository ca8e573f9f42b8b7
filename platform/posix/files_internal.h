// What the POSIX file, search, volume and namespace services share: the
// translation of Windows paths to host paths, the share-mode table, the
// Windows view of a host file's metadata, and the error conventions.
// Not part of the seam; ReloadNamespace, ResolvePath and HostToWindows are
// exported for tests and hosts.
#pragma once

#include <dirent.h>
#include <errno.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files.h"
#include "platform/posix/errno_map.h"
#include "platform/posix/syscalls.h"

namespace tessary::files {

// ---------------------------------------------------------------------------
// The path namespace (namespace.cpp)

// Drive letters and shares as the configuration store maps them to host
// folders, with the store's special folders.
struct Mapping {
  struct Drive {
    bool mapped = false;
    std::string folder;        // absolute host folder, no trailing "/" except "/" itself
    std::string canonical;     // the folder with symbolic links resolved, when it differs
    std::string remote;        // "\\server\share" when the letter is mapped to a share
    bool exact_names = false;  // names only as spelt on disk (Drives\CaseSensitive)
  };
  struct Share {
    std::string name;  // "\\server\share" as the store spells it
    std::string folder;
    std::string canonical;
    bool exact_names = false;
  };
  Drive drives[26];
  std::vector<Share> shares;
  // Values under ...\Folders; empty when the store names none.
  std::string temp_folder;
  std::string windows_folder;
  std::string system_folder;
  // Why a store that is there could not be used (ERROR_BADDB, ERROR_CANTREAD):
  // then nothing is mapped, and every path fails with this.
  DWORD store_error = ERROR_SUCCESS;
};

std::shared_ptr<const Mapping> CurrentMapping();

// The store is read at first use and again when $TESSARY_REGISTRY names
// another file; a host or test that rewrote the store calls this.
__attribute__((visibility("default"))) void ReloadNamespace();

struct HostPath {
  std::string host;        // the POSIX path
  std::string full;        // the Windows full path
  size_t name_offset = 0;  // the final component in `full`; npos for a root or "dir\"
  bool is_root = false;    // a drive or share root
  bool trailing_separator = false;
  // Mapped as spelt on a drive that ignores case, without looking at the
  // disk (ResolvePathAsSpelt): a look that misses must resolve it again.
  bool unmatched = false;
};

enum class PathUse {
  kName,     // a name for a file service: no wildcards anywhere
  kPattern,  // a search pattern: wildcards allowed in the final component
  kChange,   // a name for a service that creates, changes or removes the entry:
             // a name that two entries match only by case is refused
};

// The one translation from a Windows path to a host path. Refuses what
// Windows refuses: ERROR_FILENAME_EXCED_RANGE above 259 bytes (before and
// after resolution, never truncating), ERROR_INVALID_NAME for forbidden
// characters, ERROR_PATH_NOT_FOUND for an empty path or an unmapped drive,
// ERROR_BAD_NETPATH for a share the store does not list, and the store's own
// failure (Mapping::store_error) when the store cannot be used.
__attribute__((visibility("default"))) DWORD ResolvePath(const char* path, PathUse use,
                                                         HostPath* out);

// The same translation without the look-up of names in another case: the
// path as spelt, with `unmatched` set where the drive ignores case. For a
// caller that looks at the entry anyway and calls ResolvePath only when that
// look misses, so an exact spelling costs no more than the caller's own look.
__attribute__((visibility("default"))) DWORD ResolvePathAsSpelt(const char* path, PathUse use,
                                                                HostPath* out);

// The commonest path a script names, "X:\folder\name" on a mapped drive,
// translated without the general machinery: one backslash between names, no
// "." or ".." component, no trailing separator, dot or space, every name
// valid and the whole within MAX_PATH. Such a text is its own full path and
// its host path is the drive's folder and the names, so nothing needs
// building but the host path, which goes into a fixed buffer.
struct PlainHostPath {
  char host[PATH_MAX];
  std::string_view name;   // the final component, inside the caller's text
  bool unmatched = false;  // as HostPath::unmatched
};
// True when `path` has that form and maps as ResolvePathAsSpelt(path,
// PathUse::kName) maps it; false for any other text, which the general
// resolution answers (with its error, where it has one).
__attribute__((visibility("default"))) bool MapPlainPath(const char* path, PlainHostPath* out);

// Both names of a move or rename (PathUse::kChange). A destination that
// reaches the source's own entry only by ignoring case keeps the given
// spelling, so the move renames the entry instead of doing nothing.
__attribute__((visibility("default"))) DWORD ResolveMove(const char* from_text, const char* to_text,
                                                         HostPath* from, HostPath* to);

// The Windows full path of a host path: the drive (or else the share) whose
// folder holds it, the longest match winning. False when none holds it.
__attribute__((visibility("default"))) bool HostToWindows(std::string_view host, std::string* out);

// The process's current folder as a Windows full path.
DWORD CurrentDirectory(std::string* out);

// ---------------------------------------------------------------------------
// Share modes (share_modes.cpp)

struct FileId {
  dev_t dev = 0;
  ino_t ino = 0;
};

// Registers an open handle's access and share mode on the file, or refuses
// with ERROR_SHARING_VIOLATION when it conflicts with a handle already open
// in this process or, as far as the locks reach, in another. `fd` is the
// handle's descriptor; `lockable` says it is open for reading, which the
// cross-process locks need. Handles without data access (read, write,
// append, execute or delete) are never checked, as on Windows.
DWORD ShareOpen(const void* owner, const FileId& id, int fd, bool lockable, DWORD access,
                DWORD share);
void ShareClose(const void* owner, const FileId& id);

// Whether an operation with `access` and `share` could open the file now,
// without registering anything. `fd` (or -1) reaches the other processes.
DWORD ShareCheck(const FileId& id, int fd, DWORD access, DWORD share);

// ---------------------------------------------------------------------------
// Metadata (files_attributes.cpp)

struct FileInfo {
  mode_t mode = 0;
  uint64_t size = 0;
  uint64_t nlink = 0;
  dev_t dev = 0;
  ino_t ino = 0;
  struct timespec atime = {};
  struct timespec mtime = {};
  struct timespec ctime = {};
  struct timespec btime = {};
  bool has_btime = false;
  bool is_link =
      false;  // the name is a symbolic link (the rest describes its target when followed)
};

// stat through statx; `follow` resolves a final symbolic link. 0 or errno.
int StatPath(const std::string& host, bool follow, FileInfo* info);
// The same for `name` relative to the folder open as `dirfd` (or AT_FDCWD).
int StatAt(int dirfd, const char* name, bool follow, FileInfo* info);
int StatFd(int fd, FileInfo* info);

// The Windows attributes of a file whose Windows name is `name` (the final
// component; empty for a root).
DWORD AttributesOf(const FileInfo& info, std::string_view name);
FILETIME ToFileTime(const struct timespec& ts);
// Windows has no creation time on POSIX; birth time where the file system
// keeps it, else the older of the change and modification times.
FILETIME CreationTimeOf(const FileInfo& info);
DWORD VolumeSerialOf(dev_t dev);

// errno of a failed call on `host`, as Windows words it for `op`: ENOENT is
// ERROR_PATH_NOT_FOUND when a folder on the way is missing.
DWORD ErrorForPath(int err, sys::ErrnoOp op, const std::string& host);
DWORD ErrorForPath(int err, sys::ErrnoOp op, const char* host);

// ---------------------------------------------------------------------------
// Handles (files_handles.cpp)

constexpr DWORD kReadData = FILE_READ_DATA;
constexpr DWORD kWriteData = FILE_WRITE_DATA | FILE_APPEND_DATA;

// What a HANDLE of the file services stands for.
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

// The table of open handles: an object is reachable by its HANDLE from
// PublishFile until UnpublishFile; LookupFile keeps it alive for the call that holds it.
HANDLE PublishFile(std::shared_ptr<FileObject> object);
std::shared_ptr<FileObject> LookupFile(HANDLE handle);
std::shared_ptr<FileObject> UnpublishFile(HANDLE handle);

// The final component of a Windows full path, trailing separators aside;
// empty for a root.
std::string_view LastComponent(std::string_view full);

struct OpenResult {
  std::shared_ptr<FileObject> object;
  bool existed = false;
};
DWORD OpenFile(const HostPath& path, DWORD desired_access, DWORD share, DWORD disposition,
               DWORD flags, OpenResult* result);
DWORD Seek(FileObject* object, int64_t distance, DWORD method, int64_t* position);
int Transfer(FileObject* object, bool write, void* data, size_t size, size_t* done);
// Whether the host file described by `info` may be deleted now.
DWORD CheckDeleteSharing(const std::string& host, const FileInfo& info);

// ---------------------------------------------------------------------------
// Copy and move (files_copy.cpp)

// Syncs the folder holding a host path; 0 or errno.
int FsyncFolderOf(const std::string& host);
std::string FolderOf(const std::string& host);
void SplitHost(const std::string& host, std::string* folder, std::string* name);
int FolderListsBoth(const std::string& folder, const std::string& a, const std::string& b,
                    bool* both);
int RenameEntry(const std::string& from, const std::string& to);

inline BOOL FailWith(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// Writes `text` and its terminator into a caller's buffer the way the
// Windows string services do: the length without terminator when it fits,
// else the size needed including the terminator (and the buffer untouched).
DWORD CopyOut(std::string_view text, char* buffer, DWORD size);

// The copy behind CopyFileA and the cross-volume MoveFileExA (files_copy.cpp):
// a new destination is written in place, an existing one replaced through a
// temporary sibling renamed over it (see WriteCopyAt), so a failure leaves no
// partial destination. `durable` flushes the copy and its folder before
// returning.
DWORD CopyFileInternal(const HostPath& from, const HostPath& to, bool fail_if_exists, bool durable);
// Hands every entry of an open directory stream ("." and ".." too) to
// `visit`, then closes the stream; 0 or the errno that ended the reading.
template <class Visit>
int ReadEntries(DIR* dir, Visit&& visit) {
  int err = 0;
  for (;;) {
    errno = 0;
    const struct dirent* entry = sys::readdir(dir);
    if (entry == nullptr) {
      err = errno;
      break;
    }
    visit(*entry);
  }
  sys::closedir(dir);
  return err;
}

// The same, by name alone.
template <class Visit>
int ReadNames(DIR* dir, Visit&& visit) {
  return ReadEntries(dir, [&](const struct dirent& entry) { visit(entry.d_name); });
}

// Whether an open for `access` could be had now, given the share modes of
// the handles open on the entry `at` (relative to `dirfd`) described by
// `info`. Only a regular file is opened to ask other processes.
DWORD CheckSharingAt(int dirfd, const char* at, const FileInfo& info, DWORD access);

// A fresh name for a temporary item beside `name` (a host path, or a name
// relative to a folder descriptor); whoever makes the item must still do so
// exclusively.
std::string TempSiblingName(const std::string& name);

// The second half of every copy: the regular file open as `in` (described
// by `source`) written to `name` relative to `dirfd` (AT_FDCWD for a host
// path), whose status the caller checked (`exists`). A new name is created
// exclusively and written in place, an existing one replaced by rename once
// the copy is whole, so a failure leaves no partial file. `durable` syncs
// the copy and its folder (host paths only).
DWORD WriteCopyAt(int in, const FileInfo& source, int dirfd, const std::string& name, bool exists,
                  bool fail_if_exists, bool durable);
// A link copied as the link, made under a temporary name and renamed; a copy
// onto itself or onto what it points at is refused.
DWORD CopyLinkAt(int from_dir, const std::string& name, int to_dir, const std::string& new_name,
                 bool fail_if_exists);

// ---------------------------------------------------------------------------
// Folders held by descriptor (tree.cpp)

// The order of the find service: "." and "..", then names compared in upper case.
bool NtfsOrder(const std::string& a, const std::string& b);
// Whether the folder `name` (relative to `dirfd`, or a host path with
// AT_FDCWD) carries the read-only attribute it was given.
bool FolderMarkedReadOnly(int dirfd, const char* name);
// The Windows attributes of the entry `at` (relative to `dirfd`) whose
// Windows name is `name`: a link is a reparse point with its target's
// attributes, a folder may carry the read-only attribute it was given.
DWORD EntryAttributes(int dirfd, const char* at, std::string_view name, const FileInfo& info);
// Fills find data for one entry; 0 or errno. Sizes are the target's for a
// link unless `link_as_itself`; `id` (may be null) receives the entry's own
// identity.
int DescribeEntry(int dirfd, const char* at, std::string_view name, bool link_as_itself,
                  WIN32_FIND_DATAA* data, FileId* id = nullptr);
// SetFileAttributesA for `name` relative to `dirfd`, never following a link.
DWORD SetAttributesAt(int dirfd, const char* name, DWORD attributes);

// A link copied as a link (CopyFileExA with COPY_FILE_COPY_SYMLINK).
DWORD CopyLinkInternal(const HostPath& from, const HostPath& to, bool fail_if_exists);

// What MoveFileExA does when its source and destination are one file (same
// device and inode): `same_parent` says their folders are one folder,
// `folder_lists_both` that the folder lists both names as entries.
enum class SameFileMove {
  kNothing,           // one entry, or names that cannot be told apart
  kRenameEntry,       // one entry under two spellings: give it the new one
  kRemoveSourceName,  // two hard links: the source's name goes
};
__attribute__((visibility("default"))) SameFileMove DecideSameFileMove(bool same_parent,
                                                                       std::string_view from_name,
                                                                       std::string_view to_name,
                                                                       bool folder_lists_both,
                                                                       uint64_t nlink);

}  // namespace tessary::files
