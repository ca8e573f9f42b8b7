// Seam group: the thread's last error, system message texts, code pages,
// time conversion, interlocked counts, critical sections and the debugger
// output channel (kernel32 on Windows, ours on POSIX).
#pragma once

#include "platform/automation.h"

#ifndef _WIN32
#include "platform/posix/winerror.h"

#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200
#define FORMAT_MESSAGE_FROM_STRING 0x00000400
#define FORMAT_MESSAGE_FROM_HMODULE 0x00000800
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000
#define FORMAT_MESSAGE_ARGUMENT_ARRAY 0x00002000
#define FORMAT_MESSAGE_MAX_WIDTH_MASK 0x000000FF

#define MB_PRECOMPOSED 0x1
#define MB_ERR_INVALID_CHARS 0x8
#define WC_NO_BEST_FIT_CHARS 0x400
#define WC_ERR_INVALID_CHARS 0x80
#define CP_THREAD_ACP 3

#define LMEM_FIXED 0x0000
#define LMEM_ZEROINIT 0x0040
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)

typedef struct _CRITICAL_SECTION {
  // Large enough for a recursive pthread mutex on every POSIX target we build.
  alignas(8) unsigned char opaque[64];
} CRITICAL_SECTION, *LPCRITICAL_SECTION;

EXTERN_C {
TESSARY_EXPORT DWORD GetLastError(void);
TESSARY_EXPORT void SetLastError(DWORD dwErrCode);
TESSARY_EXPORT DWORD FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId,
                                    DWORD dwLanguageId, LPSTR lpBuffer, DWORD nSize, void* Arguments);
TESSARY_EXPORT HLOCAL LocalAlloc(UINT uFlags, SIZE_T uBytes);
TESSARY_EXPORT HLOCAL LocalFree(HLOCAL hMem);

// CP_ACP is UTF-8 on POSIX.
TESSARY_EXPORT INT MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr,
                                       INT cbMultiByte, LPWSTR lpWideCharStr, INT cchWideChar);
TESSARY_EXPORT INT WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr,
                                       INT cchWideChar, LPSTR lpMultiByteStr, INT cbMultiByte,
                                       LPCSTR lpDefaultChar, LPBOOL lpUsedDefaultChar);
TESSARY_EXPORT UINT GetACP(void);

// File times are 100 ns units since 1601-01-01 UTC; local time follows TZ.
TESSARY_EXPORT BOOL FileTimeToLocalFileTime(const FILETIME* lpFileTime, LPFILETIME lpLocalFileTime);
TESSARY_EXPORT BOOL LocalFileTimeToFileTime(const FILETIME* lpLocalFileTime, LPFILETIME lpFileTime);
TESSARY_EXPORT BOOL FileTimeToSystemTime(const FILETIME* lpFileTime, LPSYSTEMTIME lpSystemTime);
TESSARY_EXPORT BOOL SystemTimeToFileTime(const SYSTEMTIME* lpSystemTime, LPFILETIME lpFileTime);
TESSARY_EXPORT void GetSystemTimeAsFileTime(LPFILETIME lpSystemTimeAsFileTime);
TESSARY_EXPORT LCID GetUserDefaultLCID(void);

TESSARY_EXPORT LONG InterlockedIncrement(LONG volatile* Addend);
TESSARY_EXPORT LONG InterlockedDecrement(LONG volatile* Addend);
TESSARY_EXPORT void InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
TESSARY_EXPORT void EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
TESSARY_EXPORT void LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
TESSARY_EXPORT void DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection);

TESSARY_EXPORT void OutputDebugStringA(LPCSTR lpOutputString);
}
#endif
