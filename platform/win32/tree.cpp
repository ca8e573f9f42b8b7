// Folder trees walked by handle on Windows. The system's own services already
// treat a reparse point as an entry of its own (RemoveDirectoryA removes a
// directory link, not what it points at; CopyFileExA copies a link as a link
// when asked), so a folder handle here keeps the folder's path and its search,
// and each call composes the entry's path below it.
#include "platform/tree.h"

#include <cstring>
#include <new>
#include <string>

#include "platform/winpath.h"

namespace {

struct TreeFolder {
  std::string path;
  HANDLE search = INVALID_HANDLE_VALUE;
  bool started = false;
};

TreeFolder* FolderOf(HANDLE handle) {
  return handle == nullptr || handle == INVALID_HANDLE_VALUE ? nullptr
                                                             : static_cast<TreeFolder*>(handle);
}

bool IsEntryName(LPCSTR name) {
  if (name == nullptr || *name == '\0') return false;
  if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return false;
  return std::strpbrk(name, "\\/") == nullptr;
}

// The entry's path, or false with the last error set when it cannot be had.
bool EntryPath(HANDLE handle, LPCSTR name, std::string* out) {
  TreeFolder* folder = FolderOf(handle);
  if (folder == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  if (!IsEntryName(name)) {
    SetLastError(ERROR_INVALID_NAME);
    return false;
  }
  *out = tessary::winpath::Join(folder->path, name);
  if (out->size() >= MAX_PATH) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  return true;
}

HANDLE Open(const std::string& path, bool follow) {
  if (path.size() >= MAX_PATH) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return INVALID_HANDLE_VALUE;
  }
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return INVALID_HANDLE_VALUE;
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) ||
      (!follow && (attributes & FILE_ATTRIBUTE_REPARSE_POINT))) {
    SetLastError(ERROR_DIRECTORY);
    return INVALID_HANDLE_VALUE;
  }
  TreeFolder* folder = new (std::nothrow) TreeFolder;
  if (folder == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  folder->path = path;
  return folder;
}

}  // namespace

EXTERN_C {
  HANDLE TreeOpenFolder(LPCSTR lpPathName, BOOL bFollowLink) {
    if (lpPathName == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return INVALID_HANDLE_VALUE;
    }
    return Open(lpPathName, bFollowLink != 0);
  }

  HANDLE TreeOpenSubfolder(HANDLE hFolder, LPCSTR lpName) {
    std::string path;
    if (!EntryPath(hFolder, lpName, &path)) return INVALID_HANDLE_VALUE;
    return Open(path, false);
  }

  BOOL TreeCloseFolder(HANDLE hFolder) {
    TreeFolder* folder = FolderOf(hFolder);
    if (folder == nullptr) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    if (folder->search != INVALID_HANDLE_VALUE) FindClose(folder->search);
    delete folder;
    return TRUE;
  }

  BOOL TreeNextEntry(HANDLE hFolder, LPWIN32_FIND_DATAA lpFindFileData) {
    TreeFolder* folder = FolderOf(hFolder);
    if (folder == nullptr || lpFindFileData == nullptr) {
      SetLastError(folder == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    for (;;) {
      if (!folder->started) {
        folder->started = true;
        const std::string pattern = tessary::winpath::Join(folder->path, "*");
        if (pattern.size() >= MAX_PATH) {
          SetLastError(ERROR_FILENAME_EXCED_RANGE);
          return FALSE;
        }
        folder->search = FindFirstFileA(pattern.c_str(), lpFindFileData);
        if (folder->search == INVALID_HANDLE_VALUE) {
          // A root with no entries lists nothing at all, not even "." and "..".
          if (GetLastError() == ERROR_FILE_NOT_FOUND) SetLastError(ERROR_NO_MORE_FILES);
          return FALSE;
        }
      } else if (folder->search == INVALID_HANDLE_VALUE ||
                 !FindNextFileA(folder->search, lpFindFileData)) {
        if (folder->search == INVALID_HANDLE_VALUE) SetLastError(ERROR_NO_MORE_FILES);
        return FALSE;
      }
      if (!IsEntryName(lpFindFileData->cFileName)) continue;
      // Windows lists a directory link with its own size, 0; the walks count
      // a link as the link.
      return TRUE;
    }
  }

  DWORD TreeGetEntryAttributes(HANDLE hFolder, LPCSTR lpName) {
    std::string path;
    if (!EntryPath(hFolder, lpName, &path)) return INVALID_FILE_ATTRIBUTES;
    return GetFileAttributesA(path.c_str());
  }

  BOOL TreeSetEntryAttributes(HANDLE hFolder, LPCSTR lpName, DWORD dwFileAttributes) {
    std::string path;
    if (!EntryPath(hFolder, lpName, &path)) return FALSE;
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return FALSE;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return TRUE;  // never the link's target
    return SetFileAttributesA(path.c_str(), dwFileAttributes);
  }

  BOOL TreeDeleteEntry(HANDLE hFolder, LPCSTR lpName) {
    std::string path;
    if (!EntryPath(hFolder, lpName, &path)) return FALSE;
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return FALSE;
    // A directory link is removed as a folder would be; only the link goes.
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? RemoveDirectoryA(path.c_str())
                                                   : DeleteFileA(path.c_str());
  }

  BOOL TreeCreateSubfolder(HANDLE hFolder, LPCSTR lpName) {
    std::string path;
    if (!EntryPath(hFolder, lpName, &path)) return FALSE;
    return CreateDirectoryA(path.c_str(), nullptr);
  }

  BOOL TreeCopyEntry(HANDLE hFromFolder, LPCSTR lpName, HANDLE hToFolder, LPCSTR lpNewName,
                     DWORD dwCopyFlags) {
    std::string from, to;
    if (!EntryPath(hFromFolder, lpName, &from) || !EntryPath(hToFolder, lpNewName, &to)) {
      return FALSE;
    }
    const DWORD attributes = GetFileAttributesA(from.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return FALSE;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
      dwCopyFlags |= COPY_FILE_COPY_SYMLINK;
    } else if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) {
      SetLastError(attributes & FILE_ATTRIBUTE_DIRECTORY ? ERROR_ACCESS_DENIED
                                                         : ERROR_CANT_ACCESS_FILE);
      return FALSE;
    }
    return CopyFileExA(from.c_str(), to.c_str(), nullptr, nullptr, nullptr, dwCopyFlags);
  }
}
