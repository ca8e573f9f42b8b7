// Seam group: files, folders and volumes (kernel32 and mpr on Windows, ours on
// POSIX).
//
// On POSIX the services take Windows paths: "C:\dir\name", "\\server\share\x",
// relative names against the process's current directory, "\" and "/" both
// separators. Drive letters and shares map to host folders through the
// configuration store (HKEY_LOCAL_MACHINE\SOFTWARE\Quennel\QN-Tessary\Drives
// and ...\Shares; with neither, C: is "/"). Where the platforms differ:
// - Names are case-sensitive on disk; wildcards in FindFirstFileA match
//   without regard to ASCII case. There are no short names.
// - FILE_ATTRIBUTE_READONLY is a file's owner write bit; a folder keeps it in
//   an extended attribute, so a read-only folder still takes new files (and
//   one its owner may not write counts as read-only too). FILE_ATTRIBUTE_HIDDEN
//   is a name beginning with "."; setting or clearing HIDDEN is accepted and
//   has no effect. Regular files always carry FILE_ATTRIBUTE_ARCHIVE.
// - A symbolic link is a reparse point: GetFileAttributesA reports its
//   target's attributes with FILE_ATTRIBUTE_REPARSE_POINT, SetFileAttributesA
//   leaves it (and its target) as it is, RemoveDirectoryA removes a link to a
//   folder as the link.
// - Share modes are enforced between all handles of the process, and between
//   processes that use this layer as far as open-file-description locks allow.
#pragma once

#include "platform/automation.h"

#ifdef _WIN32
#include <windows.h>
#else
#include "platform/registry.h"  // SECURITY_ATTRIBUTES
#include "platform/system.h"

#define GENERIC_READ 0x80000000
#define GENERIC_WRITE 0x40000000
#define GENERIC_EXECUTE 0x20000000
#define GENERIC_ALL 0x10000000
#define MAXIMUM_ALLOWED 0x02000000
#define DELETE 0x00010000
#define READ_CONTROL 0x00020000
#define SYNCHRONIZE 0x00100000
#define FILE_READ_DATA 0x0001
#define FILE_LIST_DIRECTORY 0x0001
#define FILE_WRITE_DATA 0x0002
#define FILE_APPEND_DATA 0x0004
#define FILE_READ_EA 0x0008
#define FILE_WRITE_EA 0x0010
#define FILE_EXECUTE 0x0020
#define FILE_READ_ATTRIBUTES 0x0080
#define FILE_WRITE_ATTRIBUTES 0x0100
#define FILE_ALL_ACCESS 0x001F01FF
#define FILE_GENERIC_READ 0x00120089
#define FILE_GENERIC_WRITE 0x00120116
#define FILE_GENERIC_EXECUTE 0x001200A0

#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define FILE_SHARE_DELETE 0x00000004

#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5

#define FILE_ATTRIBUTE_READONLY 0x00000001
#define FILE_ATTRIBUTE_HIDDEN 0x00000002
#define FILE_ATTRIBUTE_SYSTEM 0x00000004
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020
#define FILE_ATTRIBUTE_DEVICE 0x00000040
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define FILE_ATTRIBUTE_TEMPORARY 0x00000100
#define FILE_ATTRIBUTE_SPARSE_FILE 0x00000200
#define FILE_ATTRIBUTE_REPARSE_POINT 0x00000400
#define FILE_ATTRIBUTE_COMPRESSED 0x00000800
#define FILE_ATTRIBUTE_OFFLINE 0x00001000
#define FILE_ATTRIBUTE_NOT_CONTENT_INDEXED 0x00002000
#define FILE_ATTRIBUTE_ENCRYPTED 0x00004000
#define INVALID_FILE_ATTRIBUTES ((DWORD)-1)
#define IO_REPARSE_TAG_SYMLINK 0xA000000C

#define FILE_FLAG_WRITE_THROUGH 0x80000000
#define FILE_FLAG_OVERLAPPED 0x40000000
#define FILE_FLAG_NO_BUFFERING 0x20000000
#define FILE_FLAG_RANDOM_ACCESS 0x10000000
#define FILE_FLAG_SEQUENTIAL_SCAN 0x08000000
#define FILE_FLAG_DELETE_ON_CLOSE 0x04000000
#define FILE_FLAG_BACKUP_SEMANTICS 0x02000000
#define FILE_FLAG_POSIX_SEMANTICS 0x01000000
#define FILE_FLAG_OPEN_REPARSE_POINT 0x00200000

#define FILE_BEGIN 0
#define FILE_CURRENT 1
#define FILE_END 2
#define INVALID_SET_FILE_POINTER ((DWORD)-1)
#define INVALID_FILE_SIZE ((DWORD)0xFFFFFFFF)

#define FILE_TYPE_UNKNOWN 0x0000
#define FILE_TYPE_DISK 0x0001
#define FILE_TYPE_CHAR 0x0002
#define FILE_TYPE_PIPE 0x0003

#define COPY_FILE_FAIL_IF_EXISTS 0x00000001
#define COPY_FILE_COPY_SYMLINK 0x00000800
#define MOVEFILE_REPLACE_EXISTING 0x00000001
#define MOVEFILE_COPY_ALLOWED 0x00000002
#define MOVEFILE_DELAY_UNTIL_REBOOT 0x00000004
#define MOVEFILE_WRITE_THROUGH 0x00000008
#define MOVEFILE_CREATE_HARDLINK 0x00000010
#define MOVEFILE_FAIL_IF_NOT_TRACKABLE 0x00000020

#define DRIVE_UNKNOWN 0
#define DRIVE_NO_ROOT_DIR 1
#define DRIVE_REMOVABLE 2
#define DRIVE_FIXED 3
#define DRIVE_REMOTE 4
#define DRIVE_CDROM 5
#define DRIVE_RAMDISK 6

#define FILE_CASE_SENSITIVE_SEARCH 0x00000001
#define FILE_CASE_PRESERVED_NAMES 0x00000002
#define FILE_UNICODE_ON_DISK 0x00000004
#define FILE_PERSISTENT_ACLS 0x00000008
#define FILE_SUPPORTS_HARD_LINKS 0x00400000
#define FILE_READ_ONLY_VOLUME 0x00080000

#define VER_PLATFORM_WIN32s 0
#define VER_PLATFORM_WIN32_WINDOWS 1
#define VER_PLATFORM_WIN32_NT 2

typedef struct _OVERLAPPED {
  ULONG_PTR Internal;
  ULONG_PTR InternalHigh;
  union {
    struct {
      DWORD Offset;
      DWORD OffsetHigh;
    };
    PVOID Pointer;
  };
  HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

typedef struct _WIN32_FIND_DATAA {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwReserved0;
  DWORD dwReserved1;
  CHAR cFileName[MAX_PATH];
  CHAR cAlternateFileName[14];
} WIN32_FIND_DATAA, *PWIN32_FIND_DATAA, *LPWIN32_FIND_DATAA;

typedef struct _BY_HANDLE_FILE_INFORMATION {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD dwVolumeSerialNumber;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD nNumberOfLinks;
  DWORD nFileIndexHigh;
  DWORD nFileIndexLow;
} BY_HANDLE_FILE_INFORMATION, *PBY_HANDLE_FILE_INFORMATION, *LPBY_HANDLE_FILE_INFORMATION;

typedef struct _OSVERSIONINFOA {
  DWORD dwOSVersionInfoSize;
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformId;
  CHAR szCSDVersion[128];
} OSVERSIONINFOA, *POSVERSIONINFOA, *LPOSVERSIONINFOA;

static_assert(sizeof(WIN32_FIND_DATAA) == 320, "WIN32_FIND_DATAA layout");
static_assert(offsetof(WIN32_FIND_DATAA, cFileName) == 44, "WIN32_FIND_DATAA name offset");
static_assert(sizeof(BY_HANDLE_FILE_INFORMATION) == 52, "BY_HANDLE_FILE_INFORMATION layout");
static_assert(sizeof(OSVERSIONINFOA) == 148, "OSVERSIONINFOA layout");

EXTERN_C {
  // Handles: opening, reading, writing, the file pointer, size and times.
  // CREATE_ALWAYS and OPEN_ALWAYS on an existing file succeed with last error
  // ERROR_ALREADY_EXISTS; a folder opens only with FILE_FLAG_BACKUP_SEMANTICS.
  TESSARY_EXPORT HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                    LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                                    DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                                    HANDLE hTemplateFile);
  TESSARY_EXPORT HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                    LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                                    DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                                    HANDLE hTemplateFile);
  TESSARY_EXPORT BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                               LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped);
  TESSARY_EXPORT BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                                LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped);
  TESSARY_EXPORT BOOL FlushFileBuffers(HANDLE hFile);
  TESSARY_EXPORT DWORD SetFilePointer(HANDLE hFile, LONG lDistanceToMove,
                                      PLONG lpDistanceToMoveHigh, DWORD dwMoveMethod);
  TESSARY_EXPORT BOOL SetFilePointerEx(HANDLE hFile, LARGE_INTEGER liDistanceToMove,
                                       PLARGE_INTEGER lpNewFilePointer, DWORD dwMoveMethod);
  TESSARY_EXPORT BOOL SetEndOfFile(HANDLE hFile);
  TESSARY_EXPORT DWORD GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh);
  TESSARY_EXPORT BOOL GetFileSizeEx(HANDLE hFile, PLARGE_INTEGER lpFileSize);
  TESSARY_EXPORT DWORD GetFileType(HANDLE hFile);
  TESSARY_EXPORT BOOL GetFileInformationByHandle(HANDLE hFile,
                                                 LPBY_HANDLE_FILE_INFORMATION lpFileInformation);
  TESSARY_EXPORT BOOL GetFileTime(HANDLE hFile, LPFILETIME lpCreationTime,
                                  LPFILETIME lpLastAccessTime, LPFILETIME lpLastWriteTime);
  // Closes file handles; search handles are closed with FindClose.
  TESSARY_EXPORT BOOL CloseHandle(HANDLE hObject);

  // Whole files: copy, move, delete, attributes. Each respects the share modes
  // of open handles as Windows does.
  TESSARY_EXPORT BOOL CopyFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName,
                                BOOL bFailIfExists);
  // With COPY_FILE_COPY_SYMLINK a link is copied as a link, not followed;
  // progress routines and cancellation are not offered (they must be null).
  TESSARY_EXPORT BOOL CopyFileExA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName,
                                  LPVOID lpProgressRoutine, LPVOID lpData, LPBOOL pbCancel,
                                  DWORD dwCopyFlags);
  TESSARY_EXPORT BOOL MoveFileExA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, DWORD dwFlags);
  TESSARY_EXPORT BOOL MoveFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName);
  TESSARY_EXPORT BOOL DeleteFileA(LPCSTR lpFileName);
  TESSARY_EXPORT DWORD GetFileAttributesA(LPCSTR lpFileName);
  TESSARY_EXPORT BOOL SetFileAttributesA(LPCSTR lpFileName, DWORD dwFileAttributes);

  // Searches: a wildcard pattern in the last component, matched without regard
  // to case; "." and ".." are listed as Windows lists them (never at a root).
  TESSARY_EXPORT HANDLE FindFirstFileA(LPCSTR lpFileName, LPWIN32_FIND_DATAA lpFindFileData);
  TESSARY_EXPORT BOOL FindNextFileA(HANDLE hFindFile, LPWIN32_FIND_DATAA lpFindFileData);
  TESSARY_EXPORT BOOL FindClose(HANDLE hFindFile);

  // Folders and names.
  TESSARY_EXPORT BOOL CreateDirectoryA(LPCSTR lpPathName,
                                       LPSECURITY_ATTRIBUTES lpSecurityAttributes);
  TESSARY_EXPORT BOOL RemoveDirectoryA(LPCSTR lpPathName);
  TESSARY_EXPORT DWORD GetFullPathNameA(LPCSTR lpFileName, DWORD nBufferLength, LPSTR lpBuffer,
                                        LPSTR * lpFilePart);
  // There are no short names: the path comes back in its long form.
  TESSARY_EXPORT DWORD GetShortPathNameA(LPCSTR lpszLongPath, LPSTR lpszShortPath, DWORD cchBuffer);
  TESSARY_EXPORT DWORD GetCurrentDirectoryA(DWORD nBufferLength, LPSTR lpBuffer);
  TESSARY_EXPORT DWORD GetTempPathA(DWORD nBufferLength, LPSTR lpBuffer);
  TESSARY_EXPORT UINT GetTempFileNameA(LPCSTR lpPathName, LPCSTR lpPrefixString, UINT uUnique,
                                       LPSTR lpTempFileName);
  TESSARY_EXPORT UINT GetWindowsDirectoryA(LPSTR lpBuffer, UINT uSize);
  TESSARY_EXPORT UINT GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize);

  // Volumes, drives and the system version. On POSIX the drives are the
  // mapped letters; a letter's type, file system and serial come from the
  // mount that holds its folder, its label from the store (...\Labels) or the
  // file system, and SetVolumeLabelA writes the store, never the disk.
  TESSARY_EXPORT UINT GetDriveTypeA(LPCSTR lpRootPathName);
  TESSARY_EXPORT DWORD GetLogicalDriveStringsA(DWORD nBufferLength, LPSTR lpBuffer);
  TESSARY_EXPORT BOOL GetVolumeInformationA(
      LPCSTR lpRootPathName, LPSTR lpVolumeNameBuffer, DWORD nVolumeNameSize,
      LPDWORD lpVolumeSerialNumber, LPDWORD lpMaximumComponentLength, LPDWORD lpFileSystemFlags,
      LPSTR lpFileSystemNameBuffer, DWORD nFileSystemNameSize);
  TESSARY_EXPORT BOOL SetVolumeLabelA(LPCSTR lpRootPathName, LPCSTR lpVolumeName);
  TESSARY_EXPORT BOOL GetDiskFreeSpaceExA(
      LPCSTR lpDirectoryName, PULARGE_INTEGER lpFreeBytesAvailableToCaller,
      PULARGE_INTEGER lpTotalNumberOfBytes, PULARGE_INTEGER lpTotalNumberOfFreeBytes);
  TESSARY_EXPORT BOOL GetDiskFreeSpaceA(LPCSTR lpRootPathName, LPDWORD lpSectorsPerCluster,
                                        LPDWORD lpBytesPerSector, LPDWORD lpNumberOfFreeClusters,
                                        LPDWORD lpTotalNumberOfClusters);
  // The share a drive letter is mapped to (mpr); returns the error, not BOOL.
  TESSARY_EXPORT DWORD WNetGetConnectionA(LPCSTR lpLocalName, LPSTR lpRemoteName,
                                          LPDWORD lpnLength);
  TESSARY_EXPORT BOOL GetVersionExA(LPOSVERSIONINFOA lpVersionInformation);
}
#endif
