// What the File and Folder objects share: dates from the find service,
// attribute mapping, the volume's file system and short names. Each reports
// its failures under the identity of the object that asked.
#pragma once

#include <string>

#include "frame/com_object.h"

namespace tessary {

enum class FileTime { kCreated = 1, kLastAccessed = 2, kLastModified = 4 };

// One of the three times of `path` as an automation date in local time,
// whole seconds.
HRESULT ItemDate(const CLSID* reporter, const std::string& path, FileTime which, DATE* out);

// The attribute bits a script sees, built bit by bit from the system's.
HRESULT ItemAttributes(const CLSID* reporter, const std::string& path, QNFileAttribute* out);
// Refuses the directory, compressed and encrypted bits with a bare
// E_INVALIDARG; other values go to the system unchanged.
HRESULT SetItemAttributes(const CLSID* reporter, const std::string& path, LONG value);

// The recognised file system of the volume holding `folder_path`; S_FALSE
// with no value for any other.
HRESULT VolumeFileSystem(const std::string& folder_path, QNFileSystemType* out);

// The short form of a path and its final component, unchecked: the system
// has no short names on POSIX and returns the long form.
std::string ShortPathOf(const std::string& path);
std::string ShortNameOf(const std::string& path);

// MoveFileExA from `from` to `to`, across volumes and through to the disk,
// replacing an existing `to` when `overwrite` is set.
HRESULT MoveItem(const CLSID* reporter, const std::string& from, const std::string& to,
                 bool overwrite);

// Renames `path` to `leaf` in the folder `folder_part` (which ends in its
// separator, or is the whole path when it has none). A name that makes the
// path too long, or holds a NUL, is refused before the system sees it.
HRESULT RenameItem(const CLSID* reporter, const std::string& path, const std::string& folder_part,
                   const std::string& leaf, std::string* target);

// A path in the system code page, refused under the reporter's identity
// when the system cannot take it.
HRESULT PathArgument(const CLSID* reporter, BSTR path, std::string* out);

}  // namespace tessary
