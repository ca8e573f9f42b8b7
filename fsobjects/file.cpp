#include "fsobjects/file.h"

#include <cstring>

#include "frame/switches.h"
#include "frame/values.h"
#include "fsobjects/folder.h"
#include "fsobjects/fs_common.h"
#include "permissions/cp_enum.h"
#include "platform/files.h"
#include "platform/find_probe.h"
#include "platform/registry.h"
#include "platform/winpath.h"
#include "streams/streams.h"

namespace {

// The default value of a key under HKEY_CLASSES_ROOT, "" when unreadable.
std::string ClassesRootText(const std::string& key) {
  HKEY handle = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS)
    return "";
  char text[255] = {0};
  DWORD size = sizeof text - 1;
  DWORD type = 0;
  LONG rc = RegQueryValueExA(handle, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(text), &size);
  RegCloseKey(handle);
  if (rc != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return "";
  return std::string(text, strnlen(text, sizeof text - 1));
}

// Whether the entry at `path` is a link (a reparse point). Only the find
// service describes the entry itself; the attribute services follow links.
bool IsLink(const std::string& path) {
  WIN32_FIND_DATAA found;
  HANDLE search = ::FindFirstFileA(path.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  ::FindClose(search);
  return (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

}  // namespace

HRESULT File::Probe() {
  // A folder fails this open with access denied (no backup semantics), so a
  // File never stands for a folder.
  HANDLE probe = ::CreateFileA(full_path_.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
  if (probe == INVALID_HANDLE_VALUE) return ProbeRefused(GetLastError());
  accessible_ = true;
  if (!::CloseHandle(probe)) return ReportLastWin32Error();
  return S_OK;
}

HRESULT File::ProbeRefused(DWORD error) {
  if (error == ERROR_ACCESS_DENIED) accessible_ = false;
  return ReportWin32Error(error);
}

HRESULT File::InitFromFolderAndName(BSTR folder_path, BSTR name) {
  std::string folder, leaf;
  HRESULT hr = tessary::PathArgument(kErrorClass, folder_path, &folder);
  if (SUCCEEDED(hr)) hr = tessary::ToAnsi(name, &leaf);
  if (FAILED(hr)) return hr;
  folder = tessary::winpath::WithFinalBackslash(folder);
  if (folder.size() + leaf.size() >= MAX_PATH) return ReportWin32Error(ERROR_FILENAME_EXCED_RANGE);
  folder_length_ = folder.size();
  name_ = leaf;
  full_path_ = folder + leaf;
  return Probe();
}

HRESULT File::InitFromListing(HANDLE search, const std::string& folder, const char* name) {
  const size_t length = std::strlen(name);
  if (folder.size() + length >= MAX_PATH) return ReportWin32Error(ERROR_FILENAME_EXCED_RANGE);
  folder_length_ = folder.size();
  name_.assign(name, length);
  full_path_.reserve(folder.size() + length);
  full_path_ = folder;
  full_path_.append(name, length);
  if (!::FindProbeEntryA(search, full_path_.c_str(), name)) return ProbeRefused(GetLastError());
  accessible_ = true;
  return S_OK;
}

HRESULT File::InitFromPath(BSTR full_path) {
  std::string path;
  HRESULT hr = tessary::PathArgument(kErrorClass, full_path, &path);
  if (FAILED(hr)) return hr;
  size_t cut = tessary::winpath::LastSeparator(path);
  if (cut == std::string::npos) {
    folder_length_ = path.size();
    name_.clear();
  } else {
    folder_length_ = cut + 1;
    name_ = path.substr(cut + 1);
  }
  full_path_ = path;
  return Probe();
}

HRESULT File::get_Path(BSTR* path) { return tessary::ReturnAnsi(full_path_, path); }

HRESULT File::get_Name(BSTR* name) { return tessary::ReturnAnsi(name_, name); }

HRESULT File::put_Name(BSTR name) {
  std::string leaf;
  HRESULT hr = tessary::ToAnsi(name, &leaf);
  if (FAILED(hr)) return hr;
  // The object keeps naming the old path after a rename.
  std::string target;
  return tessary::RenameItem(kErrorClass, full_path_, FolderPath(), leaf, &target);
}

HRESULT File::get_Type(BSTR* type) {
  if (!type) return E_POINTER;
  *type = nullptr;
  size_t dot = name_.rfind('.');
  if (dot == std::string::npos) return S_OK;
  const std::string class_name = ClassesRootText(name_.substr(dot));
  if (class_name.empty()) return S_OK;
  return tessary::ReturnAnsi(ClassesRootText(class_name), type);
}

HRESULT File::get_DateCreated(DATE* date) {
  return tessary::ItemDate(kErrorClass, full_path_, tessary::FileTime::kCreated, date);
}

HRESULT File::get_DateLastModified(DATE* date) {
  return tessary::ItemDate(kErrorClass, full_path_, tessary::FileTime::kLastModified, date);
}

HRESULT File::get_DateLastAccessed(DATE* date) {
  return tessary::ItemDate(kErrorClass, full_path_, tessary::FileTime::kLastAccessed, date);
}

HRESULT File::get_Attributes(QNFileAttribute* attributes) {
  return tessary::ItemAttributes(kErrorClass, full_path_, attributes);
}

HRESULT File::put_Attributes(QNFileAttribute attributes) {
  return tessary::SetItemAttributes(kErrorClass, full_path_, attributes);
}

std::string File::Destination(const std::string& text) const {
  return tessary::winpath::LastSeparator(text) == std::string::npos ? FolderPath() + text : text;
}

HRESULT File::Copy(BSTR destination, VARIANT_BOOL overwrite) {
  std::string text;
  HRESULT hr = tessary::PathArgument(kErrorClass, destination, &text);
  if (FAILED(hr)) return hr;
  const std::string target = Destination(text);
  if (target.size() >= MAX_PATH) return ReportWin32Error(ERROR_FILENAME_EXCED_RANGE);
  if (!::CopyFileA(full_path_.c_str(), target.c_str(), !tessary::FromVariantBool(overwrite)))
    return ReportLastWin32Error();
  return S_OK;
}

HRESULT File::Move(BSTR destination, VARIANT_BOOL overwrite) {
  std::string text;
  HRESULT hr = tessary::PathArgument(kErrorClass, destination, &text);
  if (FAILED(hr)) return hr;
  const std::string target = Destination(text);
  if (target.size() >= MAX_PATH) return ReportWin32Error(ERROR_FILENAME_EXCED_RANGE);
  return tessary::MoveItem(kErrorClass, full_path_, target, tessary::FromVariantBool(overwrite));
}

HRESULT File::get_Size(VARIANT* size) {
  if (!size) return E_POINTER;
  HANDLE file =
      ::CreateFileA(full_path_.c_str(), 0, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return ReportLastWin32Error();
  DWORD high = 0;
  SetLastError(ERROR_SUCCESS);
  DWORD low = ::GetFileSize(file, &high);
  DWORD error = GetLastError();
  ::CloseHandle(file);
  if (low == INVALID_FILE_SIZE && error != ERROR_SUCCESS) return ReportWin32Error(error);
  const ULONGLONG bytes = (static_cast<ULONGLONG>(high) << 32) | low;
  VariantInit(size);
  // A size of 2 GiB or more does not fit the 32-bit variant and goes as a
  // double rather than wrapping to a negative number.
  if (bytes <= 0x7FFFFFFFull) {
    size->vt = VT_I4;
    size->lVal = static_cast<LONG>(bytes);
  } else {
    size->vt = VT_R8;
    size->dblVal = static_cast<double>(bytes);
  }
  return S_OK;
}

HRESULT File::get_ParentFolder(IFolder** folder) {
  if (!folder) return E_POINTER;
  *folder = nullptr;
  std::string parent = FolderPath();
  if (parent.size() > 2 && tessary::winpath::IsSeparator(parent.back()) &&
      parent[parent.size() - 2] != ':')
    parent.pop_back();
  return tessary::NewFolder(parent, folder);
}

HRESULT File::Delete(VARIANT_BOOL force) {
  if (tessary::Switches().disable_delete) return tessary::RefuseDisabled(kErrorClass);
  // A link is removed as the link it is; forcing its attributes would make
  // the file it points at writable.
  if (tessary::FromVariantBool(force) && !IsLink(full_path_) &&
      !::SetFileAttributesA(full_path_.c_str(), FILE_ATTRIBUTE_NORMAL))
    return ReportLastWin32Error();
  if (!::DeleteFileA(full_path_.c_str())) return ReportLastWin32Error();
  return S_OK;
}

HRESULT File::get_ShortPath(BSTR* path) {
  return tessary::ReturnAnsi(tessary::ShortPathOf(full_path_), path);
}

HRESULT File::get_ShortName(BSTR* name) {
  return tessary::ReturnAnsi(tessary::ShortNameOf(full_path_), name);
}

HRESULT File::get_Accessible(VARIANT_BOOL* accessible) {
  if (!accessible) return E_POINTER;
  *accessible = accessible_ ? 1 : 0;
  return S_OK;
}

HRESULT File::get_FileSystem(QNFileSystemType* file_system) {
  return tessary::VolumeFileSystem(FolderPath(), file_system);
}

HRESULT File::get__NewEnum(IUnknown** entries) {
  if (!entries) return E_POINTER;
  bool no_access_list = false;
  const HRESULT hr = tessary::EnumeratePermissions(&permissions_, full_path_, account_server_, 1,
                                                   entries, &no_access_list);
  if (no_access_list) return ReportError(tessary::kNoAccessListText, 0);
  return hr;
}

HRESULT File::get_AccountServer(BSTR* server) {
  return tessary::ReturnAnsi(account_server_, server);
}

HRESULT File::put_AccountServer(BSTR server) { return tessary::ToAnsi(server, &account_server_); }

HRESULT File::OpenAsTextStream(IOMode mode, Tristate format, ITextStream** stream) {
  return tessary::NewTextStreamOpen(full_path_, mode, VARIANT_FALSE, format, stream);
}

HRESULT File::OpenAsBinaryStream(IOMode mode, IBinaryStream** stream) {
  return tessary::NewBinaryStreamOpen(full_path_, mode, VARIANT_FALSE, stream);
}

TESSARY_CREATABLE(File)

namespace tessary {

HRESULT NewFile(BSTR path, IFile** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  File* file = nullptr;
  HRESULT hr = CreateObject(&file);
  if (FAILED(hr)) return hr;
  hr = file->InitFromPath(path);
  if (FAILED(hr)) {
    file->Release();
    return hr;
  }
  return HandOut(file, out);
}

HRESULT NewFile(BSTR folder_path, BSTR name, IFile** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  File* file = nullptr;
  HRESULT hr = CreateObject(&file);
  if (FAILED(hr)) return hr;
  hr = file->InitFromFolderAndName(folder_path, name);
  if (FAILED(hr)) {
    file->Release();
    return hr;
  }
  return HandOut(file, out);
}

}  // namespace tessary
