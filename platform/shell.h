// Seam group: the shell's file information (shell32 on Windows, loaded at
// run time by name). On POSIX the platform library answers for
// "SHELL32.DLL" itself, so the same run-time look-up finds it.
#pragma once

#include "platform/system.h"

#ifdef _WIN32
#include <shellapi.h>
#else
#define SHGFI_TYPENAME 0x000000400

typedef struct _SHFILEINFOA {
  HANDLE hIcon;
  int iIcon;
  DWORD dwAttributes;
  CHAR szDisplayName[MAX_PATH];
  CHAR szTypeName[80];
} SHFILEINFOA;

EXTERN_C {
// A folder's type name is "File folder"; a file's is the description its
// extension's class registers, else "<EXT> File", else "File".
TESSARY_EXPORT DWORD_PTR SHGetFileInfoA(LPCSTR pszPath, DWORD dwFileAttributes, SHFILEINFOA* psfi,
                                        UINT cbFileInfo, UINT uFlags);
}
#endif

typedef DWORD_PTR(WINAPI* SHGetFileInfoAFunction)(LPCSTR, DWORD, SHFILEINFOA*, UINT, UINT);
