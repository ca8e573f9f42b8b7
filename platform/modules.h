// Seam group: loadable modules (kernel32 on Windows, dlopen on POSIX).
#pragma once

#include "platform/system.h"

#ifndef _WIN32
#define LOAD_WITH_ALTERED_SEARCH_PATH 0x00000008
#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3

typedef INT_PTR (*FARPROC)(void);

EXTERN_C {
TESSARY_EXPORT HMODULE LoadLibraryExA(LPCSTR lpLibFileName, HANDLE hFile, DWORD dwFlags);
TESSARY_EXPORT HMODULE LoadLibraryA(LPCSTR lpLibFileName);
TESSARY_EXPORT FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
TESSARY_EXPORT BOOL FreeLibrary(HMODULE hLibModule);
// The full path of the module that holds the given address (POSIX: dladdr).
TESSARY_EXPORT DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize);
// The module that holds `address` (a module finds its own handle and path
// from one of its functions). Like GetModuleHandle, no reference is taken:
// the handle stays good while the module stays loaded. Null and
// ERROR_MOD_NOT_FOUND when no loaded module holds the address.
TESSARY_EXPORT HMODULE TessaryModuleFromAddress(const void* address);
}
#endif
