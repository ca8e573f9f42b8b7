// Seam group: the open probe of an entry a search found (ours on POSIX; on
// Windows the system's own open of the entry's path).
//
// A listing that keeps only the files that can be opened asks, for each file
// entry a search returned, what CreateFileA(lpFullName, 0, FILE_SHARE_READ |
// FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr) would answer, without
// a handle to publish and close. An open for no access takes no part in share
// modes on either platform, so the answer is whether the entry can be opened
// at all.
// - On POSIX an open for no access (O_PATH) asks nothing of the entry
//   itself, only that the folder may be searched: for the entry the search
//   has just returned, when it is no link, that is answered once per search.
//   A link (which the open follows), or any other name, is asked about on
//   its own, relative to the folder the search holds; a search for one name
//   holds no folder and opens lpFullName as CreateFileA does.
// - On Windows the system's attribute query of lpFullName's NT path, which
//   makes the same internal open without a handle (platform/win32/).
// lpName is the entry's name as the search returned it, and the entry must
// not be a folder by the search's own data (the caller skips those): the
// listing already answers that, so the probe does not ask again.
#pragma once

#include "platform/files.h"

// A search that answers only what a listing needs of each entry: its name and
// whether it is a folder. dwFileAttributes carries FILE_ATTRIBUTE_DIRECTORY
// for a folder (a link to a folder is one) and FILE_ATTRIBUTE_REPARSE_POINT
// for a link, nothing else can be relied on, and the sizes and times are not
// filled in. Names and order are FindFirstFileA's; the search is continued
// with FindNextFileNamesA, probed with FindProbeEntryA and closed with
// FindCloseNames.
// - On POSIX the kind comes from the folder's own listing, so an entry costs
//   no look-up of its name unless it is a link (which is followed) or the
//   file system does not say what the entry is. Only those looks can skip
//   an entry removed since the folder was read, or end the search with an
//   error; the others are handed out as the folder listed them.
// - On Windows it is the system's search at its basic level, fetching the
//   folder in large pieces. Each entry's probe is an attribute query of its
//   own, as costly as reading the entry, so once a search has handed out a
//   few hundred entries it reads the rest of the folder on a thread of its
//   own while the caller probes what was read, instead of the two waiting on
//   each other (platform/win32/find_names.cpp).
#ifdef _WIN32
EXTERN_C {
  HANDLE FindFirstFileNamesA(LPCSTR lpFileName, LPWIN32_FIND_DATAA lpFindFileData);
  BOOL FindNextFileNamesA(HANDLE hFindFile, LPWIN32_FIND_DATAA lpFindFileData);
  BOOL FindCloseNames(HANDLE hFindFile);
}
#else
EXTERN_C {
  TESSARY_EXPORT HANDLE FindFirstFileNamesA(LPCSTR lpFileName, LPWIN32_FIND_DATAA lpFindFileData);
}
// The search FindFirstFileNamesA starts is one of FindFirstFileA's.
inline BOOL FindNextFileNamesA(HANDLE hFindFile, LPWIN32_FIND_DATAA lpFindFileData) {
  return FindNextFileA(hFindFile, lpFindFileData);
}
inline BOOL FindCloseNames(HANDLE hFindFile) { return FindClose(hFindFile); }
#endif

#ifdef _WIN32
EXTERN_C {
  // TRUE when the entry can be opened; FALSE with the error that open would
  // set otherwise. The search handle and the entry's own name are not needed:
  // the system resolves lpFullName as the open does.
  BOOL FindProbeEntryA(HANDLE hFindFile, LPCSTR lpFullName, LPCSTR lpName);
}
#else
EXTERN_C {
  // TRUE when the entry can be opened; FALSE with the open's error otherwise
  // (ERROR_INVALID_HANDLE for a handle that is no search, ERROR_INVALID_NAME
  // for a name that is not one entry of the folder).
  TESSARY_EXPORT BOOL FindProbeEntryA(HANDLE hFindFile, LPCSTR lpFullName, LPCSTR lpName);
}
#endif
