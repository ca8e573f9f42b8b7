// Seam group: the registry (advapi32 on Windows). On POSIX the configuration
// store: one REGEDIT4 text file, $TESSARY_REGISTRY or the machine default.
#pragma once

#include "platform/system.h"

#ifndef _WIN32
#define HKEY_CLASSES_ROOT ((HKEY)(ULONG_PTR)((LONG)0x80000000))
#define HKEY_CURRENT_USER ((HKEY)(ULONG_PTR)((LONG)0x80000001))
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)((LONG)0x80000002))
#define HKEY_USERS ((HKEY)(ULONG_PTR)((LONG)0x80000003))

#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7
#define REG_QWORD 11

#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_READ 0x20019
#define KEY_WRITE 0x20006
#define KEY_ALL_ACCESS 0xF003F
#define REG_OPTION_NON_VOLATILE 0
#define REG_CREATED_NEW_KEY 1
#define REG_OPENED_EXISTING_KEY 2

typedef struct _SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

EXTERN_C {
TESSARY_EXPORT LSTATUS RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                                     PHKEY phkResult);
TESSARY_EXPORT LSTATUS RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass,
                                       DWORD dwOptions, REGSAM samDesired,
                                       LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                                       LPDWORD lpdwDisposition);
TESSARY_EXPORT LSTATUS RegCloseKey(HKEY hKey);
// Writes reach the disk lazily; this makes them durable.
TESSARY_EXPORT LSTATUS RegFlushKey(HKEY hKey);
TESSARY_EXPORT LSTATUS RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved,
                                        LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
TESSARY_EXPORT LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved,
                                        LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
TESSARY_EXPORT LSTATUS RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                                      const BYTE* lpData, DWORD cbData);
TESSARY_EXPORT LSTATUS RegDeleteValueA(HKEY hKey, LPCSTR lpValueName);
TESSARY_EXPORT LSTATUS RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey);
TESSARY_EXPORT LSTATUS RegDeleteTreeA(HKEY hKey, LPCSTR lpSubKey);
TESSARY_EXPORT LSTATUS RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName,
                                     LPDWORD lpReserved, LPSTR lpClass, LPDWORD lpcchClass,
                                     PFILETIME lpftLastWriteTime);
TESSARY_EXPORT LSTATUS RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName,
                                     LPDWORD lpcchValueName, LPDWORD lpReserved, LPDWORD lpType,
                                     LPBYTE lpData, LPDWORD lpcbData);

// The store file: $TESSARY_REGISTRY when set and non-empty, else the machine-wide
// /etc/tessary/registry.reg.
TESSARY_EXPORT const char* TessaryRegistryPath(void);
// Forgets the parsed copy of the store, so the next read parses the file again
// even if its size and times did not change (for tests and tools).
TESSARY_EXPORT void TessaryRegistryDropCache(void);
}
#endif
