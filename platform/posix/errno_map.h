// The one translation from errno to the Win32 error Windows reports for the
// same failure. Windows distinguishes cases POSIX folds into one errno (a
// missing file from a missing folder, an existing file on create from one on
// rename), so the translation takes the failing operation as context.
#pragma once

#include "platform/system.h"

namespace tessary::sys {

// The Win32-level operation that failed; it decides between the error codes
// Windows would give.
enum class ErrnoOp {
  kOpenExisting,   // open an existing file (OPEN_EXISTING, TRUNCATE_EXISTING)
  kOpenAlways,     // open or create (OPEN_ALWAYS)
  kCreateNew,      // create, fail if it exists (CREATE_NEW, CopyFile without overwrite)
  kCreateAlways,   // create or truncate (CREATE_ALWAYS)
  kMkdir,          // CreateDirectory
  kRmdir,          // RemoveDirectory
  kUnlink,         // DeleteFile
  kRename,         // MoveFile
  kCopy,           // CopyFile onto a target that may exist
  kRead,           // ReadFile
  kWrite,          // WriteFile, SetEndOfFile
  kSeek,           // SetFilePointer
  kLock,           // LockFile, UnlockFile
  kFind,           // FindFirstFile, FindNextFile (opendir, readdir)
  kStat,           // GetFileAttributes, GetFileSize, GetFileTime
  kSetAttributes,  // SetFileAttributes, SetFileTime
  kLoadModule,     // LoadLibrary
  kVolume,         // GetDiskFreeSpace, GetVolumeInformation
  kOther,
};

// `parent_missing` says that a folder on the way to the item does not exist:
// Windows then reports ERROR_PATH_NOT_FOUND where POSIX says ENOENT either
// way. Callers that cannot tell may ask ParentDirectoryMissing().
__attribute__((visibility("default"))) DWORD Win32ErrorFromErrno(int err, ErrnoOp op,
                                                                 bool parent_missing = false);

// True when the folder that would hold `host_path` does not exist or is not a
// folder. The path is a host (POSIX) path; errno is preserved.
__attribute__((visibility("default"))) bool ParentDirectoryMissing(const char* host_path);

}  // namespace tessary::sys
