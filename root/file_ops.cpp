// The root object's entries that act on single files by path, the existence
// tests and folder creation. The root keeps no file state: each entry works
// on the strings it is given.
//
// The system's file services are called with "::" because on Windows the
// root's own members CreateFile, CopyFile, MoveFile and DeleteFile share the
// system's macro names.
#include <cstring>
#include <string>
#include <vector>

#include "frame/errors.h"
#include "frame/switches.h"
#include "frame/values.h"
#include "fsobjects/file.h"
#include "fsobjects/folder.h"
#include "fsobjects/fs_common.h"
#include "platform/files.h"
#include "platform/winpath.h"
#include "root/tessary.h"

namespace winpath = tessary::winpath;

namespace {

// Creates a folder and its missing parents. A level is tried again only
// after its parent was made; once the parent step fails the level gives up,
// so an existing or unreachable path costs a few calls, not 50 per level.
bool CreateFolderPath(const std::string& path) {
  for (int attempt = 0; attempt < 50; ++attempt) {
    if (::CreateDirectoryA(path.c_str(), nullptr)) return true;
    DWORD error = GetLastError();
    if (error == ERROR_ACCESS_DENIED || error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS)
      return false;
    size_t cut = winpath::LastSeparator(path);
    if (cut == std::string::npos || cut == 0) return false;
    const std::string parent = path.substr(0, cut);
    if (!CreateFolderPath(parent)) {
      DWORD parent_error = GetLastError();
      DWORD attributes = ::GetFileAttributesA(parent.c_str());
      bool parent_is_folder =
          attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
      if (!parent_is_folder) {
        SetLastError(parent_error);
        return false;
      }
    }
  }
  return false;
}

class Handle {
 public:
  Handle() = default;
  explicit Handle(HANDLE h) : h_(h) {}
  ~Handle() { Close(); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  Handle(Handle&& other) noexcept : h_(other.h_) { other.h_ = INVALID_HANDLE_VALUE; }
  Handle& operator=(Handle&& other) noexcept {
    if (this != &other) {
      Close();
      h_ = other.h_;
      other.h_ = INVALID_HANDLE_VALUE;
    }
    return *this;
  }

  bool valid() const { return h_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return h_; }
  BOOL Close() {
    BOOL ok = TRUE;
    if (valid()) ok = ::CloseHandle(h_);
    h_ = INVALID_HANDLE_VALUE;
    return ok;
  }

 private:
  HANDLE h_ = INVALID_HANDLE_VALUE;
};

// A temporary file beside a destination, closed and removed unless its
// name was handed over (emptied) after the rename.
struct TempSibling {
  char name[MAX_PATH] = {0};
  Handle file;
  ~TempSibling() {
    file.Close();
    if (name[0] != '\0') ::DeleteFileA(name);
  }
};

}  // namespace

HRESULT Tessary::PathArgument(BSTR path, std::string* out) {
  HRESULT hr = tessary::ToAnsiPath(path, out);
  if (FAILED(hr)) return ReportWin32Error(static_cast<DWORD>(HRESULT_CODE(hr)));
  return S_OK;
}

HRESULT Tessary::MoveFile(BSTR source, BSTR destination, VARIANT_BOOL overwrite) {
  std::string from, to;
  HRESULT hr = PathArgument(source, &from);
  if (SUCCEEDED(hr)) hr = PathArgument(destination, &to);
  if (FAILED(hr)) return hr;
  return tessary::MoveItem(kErrorClass, from, to, tessary::FromVariantBool(overwrite));
}

HRESULT Tessary::CopyFile(BSTR source, BSTR destination, VARIANT_BOOL overwrite) {
  std::string from, to;
  HRESULT hr = PathArgument(source, &from);
  if (SUCCEEDED(hr)) hr = PathArgument(destination, &to);
  if (FAILED(hr)) return hr;
  if (!::CopyFileA(from.c_str(), to.c_str(), !tessary::FromVariantBool(overwrite)))
    return ReportLastWin32Error();
  return S_OK;
}

HRESULT Tessary::FolderExists(BSTR folder_spec, VARIANT_BOOL* exists) {
  if (!exists) return E_POINTER;
  std::string path;
  DWORD attributes = FAILED(tessary::ToAnsiPath(folder_spec, &path))
                         ? INVALID_FILE_ATTRIBUTES
                         : ::GetFileAttributesA(path.c_str());
  *exists = tessary::ToVariantBool(attributes != INVALID_FILE_ATTRIBUTES &&
                                   (attributes & FILE_ATTRIBUTE_DIRECTORY));
  return S_OK;
}

HRESULT Tessary::FileExists(BSTR file_spec, VARIANT_BOOL* exists) {
  if (!exists) return E_POINTER;
  // Converted in one pass into a path-sized buffer: a path that does not
  // fit (or holds a NUL, and would name another file) is no file.
  char path[MAX_PATH];
  const UINT length = SysStringLen(file_spec);
  // Every ANSI code page spells ASCII as ASCII: such a path (the usual one)
  // is copied as it is, and only other text goes through the conversion.
  UINT ascii = 0;
  if (length < MAX_PATH) {
    while (ascii < length && file_spec[ascii] != 0 && file_spec[ascii] < 0x80) {
      path[ascii] = static_cast<char>(file_spec[ascii]);
      ++ascii;
    }
  }
  int bytes = static_cast<int>(ascii);
  if (ascii != length) {
    bytes = WideCharToMultiByte(CP_ACP, 0, file_spec, static_cast<int>(length), path, MAX_PATH - 1,
                                nullptr, nullptr);
    if (bytes > 0 && std::memchr(path, '\0', static_cast<size_t>(bytes))) bytes = 0;
  }
  DWORD attributes = INVALID_FILE_ATTRIBUTES;
  if (bytes > 0) {
    path[bytes] = '\0';
    attributes = ::GetFileAttributesA(path);
  }
  // A failed read counts as a folder, so a missing path is no file.
  *exists = tessary::ToVariantBool(!(attributes & FILE_ATTRIBUTE_DIRECTORY));
  return S_OK;
}

HRESULT Tessary::CreateFile(BSTR file_name, VARIANT_BOOL overwrite) {
  std::string path;
  HRESULT hr = PathArgument(file_name, &path);
  if (FAILED(hr)) return hr;
  const bool replace = tessary::FromVariantBool(overwrite);
  Handle file(::CreateFileA(path.c_str(), replace ? FILE_WRITE_DATA : FILE_READ_DATA,
                            FILE_SHARE_READ, nullptr, replace ? CREATE_ALWAYS : CREATE_NEW,
                            FILE_FLAG_WRITE_THROUGH | FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return ReportLastWin32Error();
  if (!file.Close()) return ReportLastWin32Error();
  return S_OK;
}

HRESULT Tessary::CreateUniqueFile(BSTR folder, BSTR prefix, BSTR* created) {
  if (!created) return E_POINTER;
  *created = nullptr;
  std::string path, start;
  HRESULT hr = PathArgument(folder, &path);
  if (SUCCEEDED(hr)) hr = tessary::ToAnsi(prefix, &start);
  if (FAILED(hr)) return hr;
  char name[MAX_PATH] = {0};
  if (::GetTempFileNameA(path.c_str(), start.c_str(), 0, name) == 0) return ReportLastWin32Error();
  return tessary::ReturnAnsi(name, created);
}

HRESULT Tessary::DeleteFile(BSTR file_spec, VARIANT_BOOL force) {
  if (tessary::Switches().disable_delete) return tessary::RefuseDisabled(kErrorClass);
  std::string spec;
  HRESULT hr = PathArgument(file_spec, &spec);
  if (FAILED(hr)) return hr;
  WIN32_FIND_DATAA found;
  HANDLE search = ::FindFirstFileA(spec.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND)
      return ReportError((spec + " could not be found").c_str(), 0);
    return ReportError(tessary::SystemMessage(error).c_str(), 0);
  }
  // Matches are named relative to the folder part of the file pattern.
  const size_t cut = winpath::LastSeparator(spec);
  std::string folder = cut == std::string::npos ? std::string() : spec.substr(0, cut + 1);
  if (folder.empty() && spec.size() >= 2 && spec[1] == ':') folder = spec.substr(0, 2);
  // A match that cannot be looked at, or a search that cannot go on, is a
  // failure: skipping it would report a success with the file still there.
  auto fail = [&](const std::string& full, DWORD error) {
    const std::string message = "File: " + full + "\nError: " + tessary::SystemMessage(error);
    if (!::FindClose(search)) return ReportLastWin32Error();
    return ReportError(message.c_str(), 0);
  };
  do {
    const std::string full = folder + found.cFileName;
    DWORD attributes = ::GetFileAttributesA(full.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      const DWORD error = GetLastError();
      if (error == ERROR_FILE_NOT_FOUND) continue;  // gone since the search saw it
      return fail(full, error);
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    // A link is removed as the link it is; forcing its attributes would
    // change the file it points at, which the delete leaves alone.
    const bool link = (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    if (tessary::FromVariantBool(force) && !link &&
        !::SetFileAttributesA(full.c_str(), FILE_ATTRIBUTE_NORMAL)) {
      DWORD error = GetLastError();
      ::FindClose(search);
      return ReportWin32Error(error);
    }
    if (!::DeleteFileA(full.c_str())) return fail(full, GetLastError());
  } while (::FindNextFileA(search, &found));
  if (GetLastError() != ERROR_NO_MORE_FILES) return fail(spec, GetLastError());
  if (!::FindClose(search)) return ReportLastWin32Error();
  return S_OK;
}

HRESULT Tessary::ConcatFiles(BSTR dest_name, BSTR file1, BSTR file2, BSTR file3, BSTR file4,
                             BSTR file5) {
  std::string destination;
  HRESULT hr = PathArgument(dest_name, &destination);
  if (FAILED(hr)) return hr;
  // file1 and file2 are always opened, also when empty; the others only
  // when given.
  std::vector<std::string> names;
  BSTR inputs[] = {file1, file2, file3, file4, file5};
  for (int i = 0; i < 5; ++i) {
    if (i >= 2 && SysStringLen(inputs[i]) == 0) continue;
    std::string name;
    hr = PathArgument(inputs[i], &name);
    if (FAILED(hr)) return hr;
    names.push_back(name);
  }
  // Every source is open for shared reading before the destination is
  // touched, so a destination that is also a source (by any name) fails the
  // probe below with a sharing violation before anything is written.
  std::vector<Handle> sources;
  for (const std::string& name : names) {
    Handle source(::CreateFileA(name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                0, nullptr));
    if (!source.valid()) return ReportWin32Error(GetLastError(), (name + ": ").c_str());
    sources.push_back(std::move(source));
  }
  const std::string prefix = destination + ": ";
  // The probe asks what truncating the destination would ask: a source, a
  // read-only file, a folder or a file someone holds open without sharing
  // writes is refused here. A missing destination is no obstacle.
  Handle probe(::CreateFileA(destination.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                             OPEN_EXISTING, 0, nullptr));
  if (!probe.valid()) {
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_NOT_FOUND) return ReportWin32Error(error, prefix.c_str());
  }
  // The result is written beside the destination and takes its name only
  // once complete: a source that cannot be read or a full disk leaves the
  // old destination as it was.
  char full[MAX_PATH] = {0};
  char* final_component = nullptr;
  const DWORD length = ::GetFullPathNameA(destination.c_str(), MAX_PATH, full, &final_component);
  if (length == 0) return ReportWin32Error(GetLastError(), prefix.c_str());
  if (length >= MAX_PATH) return ReportWin32Error(ERROR_FILENAME_EXCED_RANGE, prefix.c_str());
  if (!final_component) return ReportWin32Error(ERROR_INVALID_NAME, prefix.c_str());
  const std::string folder(full, final_component);
  TempSibling temp;
  if (!::GetTempFileNameA(folder.c_str(), "tsy", 0, temp.name))
    return ReportWin32Error(GetLastError(), prefix.c_str());
  temp.file =
      Handle(::CreateFileA(temp.name, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!temp.file.valid()) return ReportWin32Error(GetLastError(), prefix.c_str());
  std::vector<char> buffer(64 * 1024);
  for (size_t i = 0; i < sources.size(); ++i) {
    for (;;) {
      DWORD read = 0;
      if (!::ReadFile(sources[i].get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read,
                      nullptr)) {
        // A source that cannot be read to its end would leave a shortened
        // result behind a success.
        return ReportWin32Error(GetLastError(), (names[i] + ": ").c_str());
      }
      if (read == 0) break;
      DWORD written = 0;
      if (!::WriteFile(temp.file.get(), buffer.data(), read, &written, nullptr))
        return ReportWin32Error(GetLastError(), prefix.c_str());
      if (written != read) return ReportWin32Error(ERROR_DISK_FULL, prefix.c_str());
    }
    sources[i].Close();
  }
  // One flush before the rename makes the whole result durable; flushing a
  // temporary file after each source would add nothing.
  if (!::FlushFileBuffers(temp.file.get()) || !temp.file.Close())
    return ReportWin32Error(GetLastError(), prefix.c_str());
  // The rename needs the destination free of our own write handle.
  probe.Close();
  if (!::MoveFileExA(temp.name, destination.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return ReportWin32Error(GetLastError(), prefix.c_str());
  temp.name[0] = '\0';
  return S_OK;
}

HRESULT Tessary::DriveExists(BSTR drive_spec, VARIANT_BOOL* exists) {
  if (!exists) return E_POINTER;
  *exists = VARIANT_FALSE;
  std::string spec;
  if (FAILED(tessary::ToAnsiPath(drive_spec, &spec))) return S_OK;
  if (winpath::IsUnc(spec, winpath::Separators::kBackslash)) {
    *exists = tessary::ToVariantBool(::GetFileAttributesA(spec.c_str()) != INVALID_FILE_ATTRIBUTES);
    return S_OK;
  }
  if (spec.size() >= 4) return S_OK;
  if (spec.size() == 1) spec += ":\\";
  if (spec.size() == 2) spec += "\\";
  *exists = tessary::ToVariantBool(::GetDriveTypeA(spec.c_str()) != DRIVE_NO_ROOT_DIR);
  return S_OK;
}

HRESULT Tessary::CreateFolder(BSTR path, IFolder** folder) {
  if (!folder) return E_POINTER;
  *folder = nullptr;
  std::string target;
  HRESULT hr = PathArgument(path, &target);
  if (FAILED(hr)) return hr;
  if (!target.empty() && winpath::IsSeparator(target.back())) target.pop_back();
  if (!CreateFolderPath(target)) return ReportLastWin32Error();
  return tessary::NewFolder(path, folder);
}

HRESULT Tessary::GetFolder(BSTR path, IFolder** folder) { return tessary::NewFolder(path, folder); }

HRESULT Tessary::GetFile(BSTR path, IFile** file) { return tessary::NewFile(path, file); }

// The tree entries hand the work to a Folder on the source path, so the
// source must be an existing folder; no wildcards are expanded.
HRESULT Tessary::DeleteFolder(BSTR folder_spec, VARIANT_BOOL force) {
  if (tessary::Switches().disable_delete) return tessary::RefuseDisabled(kErrorClass);
  IFolder* folder = nullptr;
  HRESULT hr = tessary::NewFolder(folder_spec, &folder);
  if (FAILED(hr)) return hr;
  hr = folder->Delete(force);
  folder->Release();
  return hr;
}

HRESULT Tessary::CopyFolder(BSTR source, BSTR destination, VARIANT_BOOL overwrite) {
  IFolder* folder = nullptr;
  HRESULT hr = tessary::NewFolder(source, &folder);
  if (FAILED(hr)) return hr;
  hr = folder->Copy(destination, overwrite);
  folder->Release();
  return hr;
}

HRESULT Tessary::MoveFolder(BSTR source, BSTR destination) {
  IFolder* folder = nullptr;
  HRESULT hr = tessary::NewFolder(source, &folder);
  if (FAILED(hr)) return hr;
  hr = folder->Move(destination);
  folder->Release();
  return hr;
}
