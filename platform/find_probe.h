// Seam group: the open probe of an entry a search found (ours on POSIX; on
// Windows the system's own open of the entry's path).
//
// A listing that keeps only the files that can be opened asks, for each file
// entry a search returned, what CreateFileA(lpFullName, 0, FILE_SHARE_READ |
// FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr) would answer, without
// a handle to publish and close. An open for no access takes no part in share
// modes on either platform, so the answer is whether the entry can be opened
// at all.
// - On POSIX the entry is opened without access (O_PATH) relative to the
//   folder the search holds, so the folder's path is not walked again; a
//   search for one name holds no folder and opens lpFullName as CreateFileA
//   does.
// - On Windows the system's attribute query of lpFullName's NT path, which
//   makes the same internal open without a handle (platform/win32/).
// lpName is the entry's name as the search returned it, and the entry must
// not be a folder by the search's own data (the caller skips those): the
// listing already answers that, so the probe does not ask again.
#pragma once

#include "platform/files.h"

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
