// Seam group: the private-profile (INI file) services (kernel32 on Windows).
// On POSIX our own reader and writer of the same format: sections and keys
// ignore case, blanks around names and values are trimmed, a value in
// matching quotes is read without them; comments, unknown lines, line
// endings and UTF-16 files (with a byte-order mark) are kept. A bare file
// name lives in the Windows folder. Each write replaces the file atomically
// under an exclusive lock and keeps every line it does not change.
#pragma once

#include "platform/system.h"

#ifndef _WIN32
EXTERN_C {
  TESSARY_EXPORT DWORD GetPrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName,
                                                LPCSTR lpDefault, LPSTR lpReturnedString,
                                                DWORD nSize, LPCSTR lpFileName);
  TESSARY_EXPORT BOOL WritePrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName,
                                                 LPCSTR lpString, LPCSTR lpFileName);
}
#endif
