// Seam group: folder trees walked by handle (ours on both targets).
//
// The delete, copy and size walks hold the folder they are in and name each
// entry relative to it, so a tree that changes under a walk (a subfolder
// swapped for a link between two steps) can only make the walk fail; it
// never makes it act outside the tree it was given.
// - On POSIX a folder is held by descriptor (openat with O_NOFOLLOW, fstatat,
//   unlinkat, mkdirat); a subfolder's device and inode are checked against
//   the listing after it is opened.
// - On Windows the handle keeps the folder's path and the calls are the
//   system's own, which open a reparse point without following it.
// A link is an entry of its own: it is listed with
// FILE_ATTRIBUTE_REPARSE_POINT (and FILE_ATTRIBUTE_DIRECTORY when it points
// at a folder), never opened as a subfolder, deleted as the link and copied
// as the link. Entries are listed as the find service lists them ("." and
// ".." left out); names are exact, including names a Windows path could not
// spell, so a walk never acts on a sibling of the entry it means.
#pragma once

#include "platform/files.h"

EXTERN_C {
  // Opens the folder at a Windows path for a walk. Without bFollowLink a path
  // whose final component is a link fails with ERROR_DIRECTORY; a path that
  // is no folder fails with ERROR_DIRECTORY too.
  TESSARY_EXPORT HANDLE TreeOpenFolder(LPCSTR lpPathName, BOOL bFollowLink);
  // Opens the subfolder `lpName` of an open folder; a link or anything but a
  // folder fails with ERROR_DIRECTORY, an entry that is no longer the one the
  // listing showed with ERROR_FILE_NOT_FOUND.
  TESSARY_EXPORT HANDLE TreeOpenSubfolder(HANDLE hFolder, LPCSTR lpName);
  TESSARY_EXPORT BOOL TreeCloseFolder(HANDLE hFolder);

  // The next entry of the folder, read when the folder was opened; FALSE with
  // ERROR_NO_MORE_FILES at the end. Sizes are those of the entry itself (a
  // link counts as the link).
  TESSARY_EXPORT BOOL TreeNextEntry(HANDLE hFolder, LPWIN32_FIND_DATAA lpFindFileData);

  // The entry's attributes, never following a link; INVALID_FILE_ATTRIBUTES
  // with ERROR_FILE_NOT_FOUND when there is none.
  TESSARY_EXPORT DWORD TreeGetEntryAttributes(HANDLE hFolder, LPCSTR lpName);
  // As SetFileAttributesA for the entry; a link has no attributes of its own
  // to change and is left as it is (its target is never touched).
  TESSARY_EXPORT BOOL TreeSetEntryAttributes(HANDLE hFolder, LPCSTR lpName, DWORD dwFileAttributes);
  // Removes a file, a link or an empty folder, as DeleteFileA and
  // RemoveDirectoryA would (read-only entries and open handles refuse).
  TESSARY_EXPORT BOOL TreeDeleteEntry(HANDLE hFolder, LPCSTR lpName);
  TESSARY_EXPORT BOOL TreeCreateSubfolder(HANDLE hFolder, LPCSTR lpName);
  // Copies the entry `lpName` of one folder to `lpNewName` in another, as
  // CopyFileExA does: COPY_FILE_FAIL_IF_EXISTS, and a link always copied as a
  // link. Only regular files and links are copied: a pipe, socket or device
  // fails with ERROR_CANT_ACCESS_FILE rather than being read.
  TESSARY_EXPORT BOOL TreeCopyEntry(HANDLE hFromFolder, LPCSTR lpName, HANDLE hToFolder,
                                    LPCSTR lpNewName, DWORD dwCopyFlags);
}
