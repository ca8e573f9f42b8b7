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

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "platform/posix/files_internal.h"
#include "platform/posix/syscalls.h"
#include "platform/system.h"
#include "platform/winpath.h"

namespace tessary::files {
namespace {

struct FindObject {
  std::mutex mutex;
  std::string folder;  // host folder of the entries
  std::vector<std::string> names;
  size_t next = 0;
};

struct FindTable {
  std::mutex mutex;
  std::unordered_map<const void*, std::shared_ptr<FindObject>> searches;
};

FindTable& Searches() {
  static FindTable* table = new FindTable;  // searches may end during static destruction
  return *table;
}

std::shared_ptr<FindObject> Lookup(HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return nullptr;
  FindTable& table = Searches();
  std::lock_guard<std::mutex> lock(table.mutex);
  const auto it = table.searches.find(handle);
  return it == table.searches.end() ? nullptr : it->second;
}

std::string Join(const std::string& folder, std::string_view name) {
  std::string path = folder;
  if (path.empty() || path.back() != '/') path += '/';
  path.append(name);
  return path;
}

// "." and ".." first, then the order NTFS keeps: names compared in upper case.
bool NtfsOrder(const std::string& a, const std::string& b) {
  auto rank = [](const std::string& s) { return s == "." ? 0 : (s == ".." ? 1 : 2); };
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

// Fills `data` for one entry; false when the entry is gone.
bool Describe(const std::string& folder, const std::string& name, WIN32_FIND_DATAA* data) {
  const std::string path = Join(folder, name);
  FileInfo info;
  if (StatPath(path, false, &info) != 0) return false;
  bool link = false;
  if (S_ISLNK(info.mode)) {
    FileInfo target;
    if (StatPath(path, true, &target) == 0) {
      info = target;
      link = true;
    }
  }
  DWORD attributes = AttributesOf(info, name);
  const uint64_t size = S_ISDIR(info.mode) ? 0 : info.size;
  if (link) {
    attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    attributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL);
  }
  std::memset(data, 0, sizeof(*data));
  data->dwFileAttributes = attributes;
  data->ftCreationTime = CreationTimeOf(info);
  data->ftLastAccessTime = ToFileTime(info.atime);
  data->ftLastWriteTime = ToFileTime(info.mtime);
  data->nFileSizeHigh = static_cast<DWORD>(size >> 32);
  data->nFileSizeLow = static_cast<DWORD>(size);
  data->dwReserved0 = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? IO_REPARSE_TAG_SYMLINK : 0;
  std::memcpy(data->cFileName, name.data(), std::min(name.size(), sizeof(data->cFileName) - 1));
  return true;
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

bool NextEntry(FindObject* search, WIN32_FIND_DATAA* data) {
  while (search->next < search->names.size()) {
    const std::string& name = search->names[search->next++];
    if (Describe(search->folder, name, data)) return true;
  }
  return false;
}

DWORD Start(const char* pattern, std::shared_ptr<FindObject>* out) {
  HostPath path;
  DWORD error = ResolvePath(pattern, PathUse::kPattern, &path);
  if (error != ERROR_SUCCESS) return error;
  if (path.name_offset == std::string::npos) return ERROR_FILE_NOT_FOUND;
  const std::string name = path.full.substr(path.name_offset);
  auto search = std::make_shared<FindObject>();
  search->folder = path.host.substr(0, path.host.size() - name.size());
  if (search->folder.size() > 1 && search->folder.back() == '/') search->folder.pop_back();

  if (!winpath::HasWildcards(name)) {
    FileInfo info;
    const int err = StatPath(path.host, false, &info);
    if (err != 0) return ErrorForPath(err, sys::ErrnoOp::kFind, path.host);
    search->names.push_back(name);
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
  int err = 0;
  for (;;) {
    errno = 0;
    const struct dirent* entry = sys::readdir(dir);
    if (entry == nullptr) {
      err = errno;
      break;
    }
    const std::string_view entry_name(entry->d_name);
    if (at_root && (entry_name == "." || entry_name == "..")) continue;
    if (!RoundTrips(entry_name)) continue;
    if (winpath::MatchPattern(name, entry_name)) search->names.emplace_back(entry_name);
  }
  sys::closedir(dir);
  if (err != 0) return sys::Win32ErrorFromErrno(err, sys::ErrnoOp::kFind);
  if (search->names.empty()) return ERROR_FILE_NOT_FOUND;
  std::sort(search->names.begin(), search->names.end(), NtfsOrder);
  *out = std::move(search);
  return ERROR_SUCCESS;
}

}  // namespace
}  // namespace tessary::files

namespace files = tessary::files;

EXTERN_C {
  HANDLE FindFirstFileA(LPCSTR lpFileName, LPWIN32_FIND_DATAA lpFindFileData) {
    if (lpFindFileData == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return INVALID_HANDLE_VALUE;
    }
    std::shared_ptr<files::FindObject> search;
    const DWORD error = files::Start(lpFileName, &search);
    if (error != ERROR_SUCCESS) {
      SetLastError(error);
      return INVALID_HANDLE_VALUE;
    }
    if (!files::NextEntry(search.get(), lpFindFileData)) {
      // Everything that matched vanished while we looked.
      SetLastError(ERROR_FILE_NOT_FOUND);
      return INVALID_HANDLE_VALUE;
    }
    files::FindTable& table = files::Searches();
    std::lock_guard<std::mutex> lock(table.mutex);
    const void* key = search.get();
    table.searches.emplace(key, std::move(search));
    SetLastError(ERROR_SUCCESS);
    return const_cast<void*>(key);
  }

  BOOL FindNextFileA(HANDLE hFindFile, LPWIN32_FIND_DATAA lpFindFileData) {
    const std::shared_ptr<files::FindObject> search = files::Lookup(hFindFile);
    if (!search) return files::FailWith(ERROR_INVALID_HANDLE);
    if (lpFindFileData == nullptr) return files::FailWith(ERROR_INVALID_PARAMETER);
    std::lock_guard<std::mutex> lock(search->mutex);
    if (!files::NextEntry(search.get(), lpFindFileData))
      return files::FailWith(ERROR_NO_MORE_FILES);
    return TRUE;
  }

  BOOL FindClose(HANDLE hFindFile) {
    if (hFindFile == nullptr || hFindFile == INVALID_HANDLE_VALUE) {
      return files::FailWith(ERROR_INVALID_HANDLE);
    }
    files::FindTable& table = files::Searches();
    std::lock_guard<std::mutex> lock(table.mutex);
    if (table.searches.erase(hFindFile) == 0) return files::FailWith(ERROR_INVALID_HANDLE);
    return TRUE;
  }

}  // EXTERN_C
