#include "fsobjects/fs_common.h"

#include <cstring>

#include "frame/values.h"
#include "platform/files.h"
#include "platform/winpath.h"

namespace tessary {

HRESULT ItemDate(const CLSID* reporter, const std::string& path, FileTime which, DATE* out) {
  if (!out) return E_POINTER;
  WIN32_FIND_DATAA found;
  HANDLE search = ::FindFirstFileA(path.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return ReportLastWin32Error(reporter, nullptr);
  ::FindClose(search);
  FILETIME utc;
  switch (which) {
    case FileTime::kCreated:
      utc = found.ftCreationTime;
      break;
    case FileTime::kLastAccessed:
      utc = found.ftLastAccessTime;
      break;
    case FileTime::kLastModified:
      utc = found.ftLastWriteTime;
      break;
    default:
      return E_INVALIDARG;
  }
  FILETIME local;
  SYSTEMTIME fields;
  if (!FileTimeToLocalFileTime(&utc, &local) || !FileTimeToSystemTime(&local, &fields))
    return ReportLastWin32Error(reporter, nullptr);
  DATE date = 0;
  if (!SystemTimeToVariantTime(&fields, &date))
    return ReportError(reporter, "Invalid date", E_FAIL);
  *out = date;
  return S_OK;
}

HRESULT ItemAttributes(const CLSID* reporter, const std::string& path, QNFileAttribute* out) {
  if (!out) return E_POINTER;
  DWORD system = ::GetFileAttributesA(path.c_str());
  if (system == INVALID_FILE_ATTRIBUTES) return ReportLastWin32Error(reporter, nullptr);
  LONG bits = 0;
  if (system & FILE_ATTRIBUTE_READONLY) bits |= QNReadOnly;
  if (system & FILE_ATTRIBUTE_HIDDEN) bits |= QNHidden;
  if (system & FILE_ATTRIBUTE_SYSTEM) bits |= QNSystem;
  if (system & FILE_ATTRIBUTE_DIRECTORY) bits |= QNDirectory;
  if (system & FILE_ATTRIBUTE_ARCHIVE) bits |= QNArchive;
  if (system & FILE_ATTRIBUTE_ENCRYPTED) bits |= QNAlias;
  if (system & FILE_ATTRIBUTE_COMPRESSED) bits |= QNCompressed;
  *out = static_cast<QNFileAttribute>(bits);
  return S_OK;
}

HRESULT SetItemAttributes(const CLSID* reporter, const std::string& path, LONG value) {
  if (value & (QNDirectory | QNCompressed | 0x4000)) return E_INVALIDARG;
  if (!::SetFileAttributesA(path.c_str(), static_cast<DWORD>(value)))
    return ReportLastWin32Error(reporter, nullptr);
  return S_OK;
}

HRESULT VolumeFileSystem(const std::string& folder_path, QNFileSystemType* out) {
  if (!out) return E_POINTER;
  if (folder_path.empty()) return S_FALSE;
  // The drive part of the folder, as the standard path splitting finds it;
  // a UNC path has none and so no root the volume service takes.
  if (folder_path.size() < 2 || folder_path[1] != ':') return S_FALSE;
  std::string root = folder_path.substr(0, 2) + "\\";
  char name[winpath::kFolderBuffer] = {0};
  if (!::GetVolumeInformationA(root.c_str(), nullptr, 0, nullptr, nullptr, nullptr, name,
                               sizeof name))
    return S_FALSE;
  if (std::strcmp(name, "NTFS") == 0) {
    *out = QNFILESYSTEM_NTFS;
  } else if (std::strcmp(name, "FAT32") == 0) {
    *out = QNFILESYSTEM_FAT32;
  } else if (std::strstr(name, "FAT")) {
    *out = QNFILESYSTEM_FAT;
  } else {
    return S_FALSE;
  }
  return S_OK;
}

std::string ShortPathOf(const std::string& path) {
  char buffer[winpath::kFolderBuffer] = {0};
  DWORD length = ::GetShortPathNameA(path.c_str(), buffer, sizeof buffer);
  // The result is not checked: a failed call leaves the empty buffer, and a
  // name longer than the buffer is not written at all.
  if (length >= sizeof buffer) buffer[0] = '\0';
  return buffer;
}

std::string ShortNameOf(const std::string& path) {
  return std::string(
      winpath::AfterLastSeparator(ShortPathOf(path), winpath::Separators::kBackslash));
}

HRESULT MoveItem(const CLSID* reporter, const std::string& from, const std::string& to,
                 bool overwrite) {
  DWORD flags = MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH;
  if (overwrite) flags |= MOVEFILE_REPLACE_EXISTING;
  if (!::MoveFileExA(from.c_str(), to.c_str(), flags))
    return ReportLastWin32Error(reporter, nullptr);
  return S_OK;
}

HRESULT RenameItem(const CLSID* reporter, const std::string& path, const std::string& folder_part,
                   const std::string& leaf, std::string* target) {
  *target = folder_part + leaf;
  if (target->size() >= MAX_PATH || leaf.find('\0') != std::string::npos)
    return ReportWin32Error(
        reporter, target->size() >= MAX_PATH ? ERROR_FILENAME_EXCED_RANGE : ERROR_INVALID_NAME,
        nullptr);
  return MoveItem(reporter, path, *target, false);
}

HRESULT PathArgument(const CLSID* reporter, BSTR path, std::string* out) {
  HRESULT hr = ToAnsiPath(path, out);
  if (FAILED(hr)) return ReportWin32Error(reporter, static_cast<DWORD>(HRESULT_CODE(hr)), nullptr);
  return S_OK;
}

}  // namespace tessary
