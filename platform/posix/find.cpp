// FindFirstFileA, FindNextFileA and FindClose over readdir.
//
// What a search returns, as on Windows:
// - A pattern's last component may hold * and ?, matched with the DOS rules
//   of the Windows find services and without regard to ASCII case (names on
//   disk stay case-sensitive: a pattern without wildcards names one entry
//   exactly). Wildcards elsewhere are ERROR_INVALID_NAME.
// - "." and ".." are listed when the pattern matches them, except at the
//   root of a drive or share, where Windows has neither.
// - No match is ERROR_FILE_NOT_FOUND, a missing folder ERROR_PATH_NOT_FOUND,
//   the end of the list ERROR_NO_MORE_FILES. A pattern ending in a separator
//   names no entry (ERROR_FILE_NOT_FOUND).
// - Entries come in NTFS order: "." and "..", then by name compared in upper
//   case. The folder is read when the search starts; an entry removed before
//   its turn is skipped, one added later is not seen.
// - A symbolic link carries FILE_ATTRIBUTE_REPARSE_POINT, as a Windows
//   symbolic link does. A link to a folder is a folder (with
//   FILE_ATTRIBUTE_DIRECTORY, size 0), so it is among a folder's
//   subfolders; a walk of a tree tells it by the reparse point and must not
//   follow it out of the tree. A link to a file has its target's attributes
//   and size; a link whose target is gone is a file.
// Differences:
// - Only names that come back to the same entry are listed. A host name
//   that a Windows path cannot spell, or spells as another name, would hand
//   a caller the name of a different file (a delete through a listing could
//   remove the wrong one): names that are not UTF-8, that hold "\" or a
//   character Windows refuses in names, or that end in a dot or a space
//   (Windows drops those, so "x." would name "x") are left out.
// - There are no short names (cAlternateFileName is empty).
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>

#include "platform/find_probe.h"
#include "platform/guard.h"
#include "platform/posix/files_internal.h"
#include "platform/posix/handle_table.h"
#include "platform/posix/syscalls.h"
#include "platform/system.h"
#include "platform/winpath.h"

namespace tessary::files {
namespace {

// A name the search will hand out, with its kind as the folder's listing
// gave it (a d_type; DT_UNKNOWN when the file system did not say, or the
// search was for one name).
struct FindEntry {
  std::string name;
  unsigned char type;
};

struct FindObject {
  std::mutex mutex;
  std::string folder;  // host folder of the entries
  // The folder itself, held while a wildcard search lasts: each entry is
  // described relative to it, so no entry costs a walk of the whole path.
  sys::Fd folder_fd;
  // Names and kinds only (FindFirstFileNamesA): no entry is described.
  bool names_only = false;
  std::vector<FindEntry> entries;
  size_t next = 0;
  // Whether the folder may be searched with the effective ids: -1 not asked
  // yet, else 0 or the errno of the refusal. Asked once, by the first probe.
  int folder_search = -1;
};

using Searches = HandleTable<FindObject>;

std::string Join(const std::string& folder, std::string_view name) {
  std::string path = folder;
  if (path.empty() || path.back() != '/') path += '/';
  path.append(name);
  return path;
}

// Whether a host name, handed to the file services as the last component
// of a Windows path, names the same entry again.
bool RoundTrips(std::string_view name) {
  if (name == "." || name == "..") return true;
  if (name.empty() || name.back() == '.' || name.back() == ' ') return false;
  if (!winpath::IsValidComponent(name, false)) return false;
  // The ANSI code page is UTF-8: other bytes would not survive conversion.
  return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name.data(),
                             static_cast<int>(name.size()), nullptr, 0) > 0;
}

// Whether an entry whose kind the listing did not settle is a folder: a
// link is followed (a link to a folder is a folder; one whose target cannot
// be reached is a file, as DescribeEntry has it). 0, or the errno of the look.
int SettleKind(FindObject* search, FindEntry* entry, bool* folder) {
  const bool relative = search->folder_fd.valid();
  const int dirfd = relative ? search->folder_fd.get() : AT_FDCWD;
  const std::string joined = relative ? std::string() : Join(search->folder, entry->name);
  const char* at = relative ? entry->name.c_str() : joined.c_str();
  FileInfo info;
  if (entry->type == DT_UNKNOWN) {
    const int err = StatAt(dirfd, at, false, &info);
    if (err != 0) return err;
    if (!S_ISLNK(info.mode)) {
      entry->type = IFTODT(info.mode);
      *folder = S_ISDIR(info.mode);
      return 0;
    }
    entry->type = DT_LNK;
  }
  if (StatAt(dirfd, at, true, &info) == 0) {
    *folder = S_ISDIR(info.mode);
    return 0;
  }
  // The target is out of reach: a file, unless the link itself is gone.
  *folder = false;
  return StatAt(dirfd, at, false, &info);
}

// The next entry that is still there, by name and kind alone.
DWORD NextName(FindObject* search, WIN32_FIND_DATAA* data) {
  while (search->next < search->entries.size()) {
    FindEntry& entry = search->entries[search->next++];
    bool folder = entry.type == DT_DIR;
    if (entry.type == DT_LNK || entry.type == DT_UNKNOWN) {
      const int err = SettleKind(search, &entry, &folder);
      if (err == ENOENT) continue;
      if (err != 0) return sys::Win32ErrorFromErrno(err, sys::ErrnoOp::kFind);
    }
    DWORD attributes = folder ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
    if (entry.type == DT_LNK) {
      attributes =
          (attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL)) | FILE_ATTRIBUTE_REPARSE_POINT;
    }
    std::memset(data, 0, sizeof(*data));
    data->dwFileAttributes = attributes;
    std::memcpy(data->cFileName, entry.name.data(),
                std::min(entry.name.size(), sizeof(data->cFileName) - 1));
    return ERROR_SUCCESS;
  }
  return ERROR_NO_MORE_FILES;
}

// The next entry that is still there; ERROR_NO_MORE_FILES at the end. An
// entry whose status cannot be read ends the search with that error: skipping
// it would hand a caller a listing with a file missing, as if it were whole.
DWORD NextEntry(FindObject* search, WIN32_FIND_DATAA* data) {
  if (search->names_only) return NextName(search, data);
  while (search->next < search->entries.size()) {
    const std::string& name = search->entries[search->next++].name;
    const int err =
        search->folder_fd.valid()
            ? DescribeEntry(search->folder_fd.get(), name.c_str(), name, false, data)
            : DescribeEntry(AT_FDCWD, Join(search->folder, name).c_str(), name, false, data);
    if (err == 0) return ERROR_SUCCESS;
    if (err != ENOENT) return sys::Win32ErrorFromErrno(err, sys::ErrnoOp::kFind);
  }
  return ERROR_NO_MORE_FILES;
}

// Sorts entries as NtfsOrder does. Most pairs differ within their first
// eight bytes, so each name's first eight bytes in upper case (zeros past
// its end, which no name holds, so a shorter name that the other begins
// with comes first) decide most comparisons as one integer, and NtfsOrder
// decides the rest; the entries themselves move once.
void SortInNtfsOrder(std::vector<FindEntry>* entries) {
  struct Key {
    uint64_t prefix;
    size_t index;
    uint8_t rank;  // "." and ".." first, as NtfsOrder puts them
  };
  std::vector<Key> keys(entries->size());
  for (size_t i = 0; i < entries->size(); ++i) {
    const std::string& name = (*entries)[i].name;
    uint64_t prefix = 0;
    for (size_t j = 0; j < 8; ++j) {
      const unsigned char c =
          j < name.size() ? static_cast<unsigned char>(winpath::UpperAscii(name[j])) : 0;
      prefix = (prefix << 8) | c;
    }
    uint8_t rank = 2;
    if (name.size() <= 2 && name[0] == '.') rank = name.size() == 1 ? 0 : (name[1] == '.' ? 1 : 2);
    keys[i] = {prefix, i, rank};
  }
  std::sort(keys.begin(), keys.end(), [entries](const Key& a, const Key& b) {
    if (a.rank != b.rank) return a.rank < b.rank;
    if (a.prefix != b.prefix) return a.prefix < b.prefix;
    return NtfsOrder((*entries)[a.index].name, (*entries)[b.index].name);
  });
  std::vector<FindEntry> sorted;
  sorted.reserve(entries->size());
  for (const Key& key : keys) sorted.push_back(std::move((*entries)[key.index]));
  entries->swap(sorted);
}

DWORD Start(const char* pattern, bool names_only, std::shared_ptr<FindObject>* out) {
  HostPath path;
  DWORD error = ResolvePath(pattern, PathUse::kPattern, &path);
  if (error != ERROR_SUCCESS) return error;
  if (path.name_offset == std::string::npos) return ERROR_FILE_NOT_FOUND;
  const std::string name = path.full.substr(path.name_offset);
  auto search = std::make_shared<FindObject>();
  search->names_only = names_only;
  search->folder = path.host.substr(0, path.host.size() - name.size());
  if (search->folder.size() > 1 && search->folder.back() == '/') search->folder.pop_back();

  if (!winpath::HasWildcards(name)) {
    FileInfo info;
    const int err = StatPath(path.host, false, &info);
    if (err != 0) return ErrorForPath(err, sys::ErrnoOp::kFind, path.host);
    // The entry as the disk spells it, which a name in another case found.
    const size_t slash = path.host.rfind('/');
    search->folder = path.host.substr(0, slash == 0 ? 1 : slash);
    search->entries.push_back({path.host.substr(slash + 1), DT_UNKNOWN});
    *out = std::move(search);
    return ERROR_SUCCESS;
  }

  winpath::FullPathParts parts;
  const bool at_root = winpath::SplitFullPath(path.full, &parts) && parts.components.size() == 1;
  DIR* dir = sys::opendir(search->folder.c_str());
  if (dir == nullptr) {
    // The folder of the pattern is what is missing, never the entry.
    if (errno == ENOENT || errno == ENOTDIR) return ERROR_PATH_NOT_FOUND;
    return sys::Win32ErrorFromErrno(errno, sys::ErrnoOp::kFind);
  }
  // The folder the stream reads, held for the descriptions; without it
  // each entry is described by its whole path, as it stands then.
  search->folder_fd.reset(sys::openat(dirfd(dir), ".", O_PATH | O_DIRECTORY | O_CLOEXEC, 0));
  // The names with the kinds the folder gives with them. "*" and "*.*"
  // match every name.
  const bool every_name = name == "*" || name == "*.*";
  const int err = ReadEntries(dir, [&](const struct dirent& entry) {
    const std::string_view entry_name(entry.d_name);
    if (at_root && (entry_name == "." || entry_name == "..")) return;
    if (!RoundTrips(entry_name)) return;
    if (every_name || winpath::MatchPattern(name, entry_name)) {
      search->entries.push_back({std::string(entry_name), entry.d_type});
    }
  });
  if (err != 0) return sys::Win32ErrorFromErrno(err, sys::ErrnoOp::kFind);
  if (search->entries.empty()) return ERROR_FILE_NOT_FOUND;
  SortInNtfsOrder(&search->entries);
  *out = std::move(search);
  return ERROR_SUCCESS;
}

HANDLE First(const char* pattern, bool names_only, WIN32_FIND_DATAA* data) {
  return GuardWin32<HANDLE>(INVALID_HANDLE_VALUE, [&]() -> HANDLE {
    if (data == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return INVALID_HANDLE_VALUE;
    }
    std::shared_ptr<FindObject> search;
    DWORD error = Start(pattern, names_only, &search);
    if (error == ERROR_SUCCESS) error = NextEntry(search.get(), data);
    if (error != ERROR_SUCCESS) {
      // Everything that matched vanished while we looked: nothing found.
      SetLastError(error == ERROR_NO_MORE_FILES ? ERROR_FILE_NOT_FOUND : error);
      return INVALID_HANDLE_VALUE;
    }
    SetLastError(ERROR_SUCCESS);
    return Searches::Get().Publish(std::move(search));
  });
}

}  // namespace
}  // namespace tessary::files

namespace files = tessary::files;

EXTERN_C {
  HANDLE FindFirstFileA(LPCSTR lpFileName, LPWIN32_FIND_DATAA lpFindFileData) {
    return files::First(lpFileName, false, lpFindFileData);
  }

  HANDLE FindFirstFileNamesA(LPCSTR lpFileName, LPWIN32_FIND_DATAA lpFindFileData) {
    return files::First(lpFileName, true, lpFindFileData);
  }

  BOOL FindNextFileA(HANDLE hFindFile, LPWIN32_FIND_DATAA lpFindFileData) {
    return tessary::GuardWin32<BOOL>(FALSE, [&]() -> BOOL {
      const std::shared_ptr<files::FindObject> search = files::Searches::Get().Lookup(hFindFile);
      if (!search) return files::FailWith(ERROR_INVALID_HANDLE);
      if (lpFindFileData == nullptr) return files::FailWith(ERROR_INVALID_PARAMETER);
      std::lock_guard<std::mutex> lock(search->mutex);
      const DWORD error = files::NextEntry(search.get(), lpFindFileData);
      if (error != ERROR_SUCCESS) return files::FailWith(error);
      return TRUE;
    });
  }

  BOOL FindProbeEntryA(HANDLE hFindFile, LPCSTR lpFullName, LPCSTR lpName) {
    return tessary::GuardWin32<BOOL>(FALSE, [&]() -> BOOL {
      const std::shared_ptr<files::FindObject> search = files::Searches::Get().Lookup(hFindFile);
      if (!search) return files::FailWith(ERROR_INVALID_HANDLE);
      if (lpFullName == nullptr || lpName == nullptr) {
        return files::FailWith(ERROR_INVALID_PARAMETER);
      }
      if (!search->folder_fd.valid()) {
        HANDLE probe = CreateFileA(lpFullName, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
        if (probe == INVALID_HANDLE_VALUE) return FALSE;
        return CloseHandle(probe);
      }
      // Only a name of the folder itself: anything else would reach past it.
      const std::string_view name(lpName);
      if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
        return files::FailWith(ERROR_INVALID_NAME);
      }
      // The open CreateFileA makes for no access (O_PATH, following a link)
      // needs nothing of the entry but that it is there, and search
      // permission on the folder. For the entry just handed out, when it is
      // no link, the listing has answered the first: the folder's
      // permission, asked once with the same (effective) identity, is the
      // whole answer. Anything else is asked relative to the folder, without
      // making a descriptor to close. No access takes no part in share
      // modes, so none are consulted.
      std::lock_guard<std::mutex> lock(search->mutex);
      if (search->next > 0) {
        const files::FindEntry& current = search->entries[search->next - 1];
        if (current.type != DT_UNKNOWN && current.type != DT_LNK && current.name == name) {
          if (search->folder_search < 0) {
            search->folder_search =
                tessary::sys::faccessat(search->folder_fd.get(), ".", X_OK, AT_EACCESS) == 0
                    ? 0
                    : errno;
          }
          if (search->folder_search == 0) return TRUE;
          return files::FailWith(tessary::sys::Win32ErrorFromErrno(
              search->folder_search, tessary::sys::ErrnoOp::kOpenExisting));
        }
      }
      if (tessary::sys::faccessat(search->folder_fd.get(), lpName, F_OK, AT_EACCESS) != 0) {
        return files::FailWith(
            tessary::sys::Win32ErrorFromErrno(errno, tessary::sys::ErrnoOp::kOpenExisting));
      }
      return TRUE;
    });
  }

  BOOL FindClose(HANDLE hFindFile) {
    return tessary::GuardWin32<BOOL>(FALSE, [&]() -> BOOL {
      if (!files::Searches::Get().Unpublish(hFindFile))
        return files::FailWith(ERROR_INVALID_HANDLE);
      return TRUE;
    });
  }

}  // EXTERN_C
