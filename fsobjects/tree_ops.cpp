// The whole-tree members of a Folder: Delete, Copy, Move and the size walk
// behind Size. Three depth-first walkers share one way of listing a
// directory; the first failure stops the walk and is returned, and nothing
// already done is undone.
//
// A link (a reparse point) is an entry of its own: the walks never follow
// one into a directory, so deleting a tree never reaches outside it and a
// copy cannot loop.
#include <string>

#include "frame/switches.h"
#include "frame/values.h"
#include "fsobjects/folder.h"
#include "fsobjects/fs_common.h"
#include "platform/files.h"

namespace {

struct Entry {
  std::string name;
  DWORD attributes;
  ULONGLONG size;
};

bool IsLink(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }
bool IsFolder(DWORD attributes) {
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) && !IsLink(attributes);
}

std::string FilePath(const std::string& directory, const std::string& name) {
  return directory + (!directory.empty() && directory.back() == '\\' ? "" : "\\") + name;
}

// Lists a directory and hands each entry but "." and ".." to `visit` in the
// order the find service returns them; a failing visit ends the listing.
// The search handle is closed on every way out.
template <class Visit>
HRESULT ForEachEntry(const CLSID* reporter, const std::string& directory, Visit&& visit) {
  const std::string pattern =
      directory + (!directory.empty() && directory.back() == '\\' ? "*" : "\\*");
  if (pattern.size() >= MAX_PATH)
    return tessary::ReportWin32Error(reporter, ERROR_FILENAME_EXCED_RANGE, nullptr);
  WIN32_FIND_DATAA found;
  HANDLE search = ::FindFirstFileA(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return tessary::ReportLastWin32Error(reporter, nullptr);
  HRESULT hr = S_OK;
  do {
    const std::string name = found.cFileName;
    if (name == "." || name == "..") continue;
    Entry entry{name, found.dwFileAttributes,
                (static_cast<ULONGLONG>(found.nFileSizeHigh) << 32) | found.nFileSizeLow};
    hr = visit(entry);
  } while (SUCCEEDED(hr) && ::FindNextFileA(search, &found));
  ::FindClose(search);
  return hr;
}

HRESULT LastError(const CLSID* reporter) {
  return tessary::ReportLastWin32Error(reporter, nullptr);
}

HRESULT CheckedPath(const CLSID* reporter, const std::string& path) {
  if (path.size() >= MAX_PATH)
    return tessary::ReportWin32Error(reporter, ERROR_FILENAME_EXCED_RANGE, nullptr);
  return S_OK;
}

HRESULT DeleteOne(const CLSID* reporter, const std::string& path, bool force, bool folder) {
  auto remove = [&] {
    return folder ? ::RemoveDirectoryA(path.c_str()) : ::DeleteFileA(path.c_str());
  };
  if (remove()) return S_OK;
  if (GetLastError() != ERROR_ACCESS_DENIED || !force) return LastError(reporter);
  if (!::SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL) || !remove())
    return LastError(reporter);
  return S_OK;
}

HRESULT DeleteWalk(const CLSID* reporter, const std::string& directory, bool force) {
  HRESULT hr = ForEachEntry(reporter, directory, [&](const Entry& entry) -> HRESULT {
    const std::string path = IsFolder(entry.attributes) ? directory + "\\" + entry.name
                                                        : FilePath(directory, entry.name);
    HRESULT checked = CheckedPath(reporter, path);
    if (FAILED(checked)) return checked;
    if (IsFolder(entry.attributes)) return DeleteWalk(reporter, path, force);
    // A link to a folder goes the way the system removes such a link.
    return DeleteOne(reporter, path, force, (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
  });
  if (FAILED(hr)) return hr;
  return DeleteOne(reporter, directory, force, true);
}

HRESULT CopyWalk(const CLSID* reporter, const std::string& source, const std::string& destination,
                 bool overwrite) {
  if (::GetFileAttributesA(destination.c_str()) == INVALID_FILE_ATTRIBUTES) {
    if (GetLastError() != ERROR_FILE_NOT_FOUND) return LastError(reporter);
    if (!::CreateDirectoryA(destination.c_str(), nullptr)) return LastError(reporter);
  } else if (!overwrite) {
    return tessary::ReportError(reporter, "Destination directory already exists.", 0);
  }
  return ForEachEntry(reporter, source, [&](const Entry& entry) -> HRESULT {
    if (IsFolder(entry.attributes)) {
      const std::string from = source + "\\" + entry.name, to = destination + "\\" + entry.name;
      HRESULT checked = CheckedPath(reporter, from.size() > to.size() ? from : to);
      if (FAILED(checked)) return checked;
      return CopyWalk(reporter, from, to, overwrite);
    }
    const std::string from = FilePath(source, entry.name), to = FilePath(destination, entry.name);
    HRESULT checked = CheckedPath(reporter, from.size() > to.size() ? from : to);
    if (FAILED(checked)) return checked;
    // A link is copied as the link it is, never followed.
    const DWORD flags = (overwrite ? 0 : COPY_FILE_FAIL_IF_EXISTS) |
                        (IsLink(entry.attributes) ? COPY_FILE_COPY_SYMLINK : 0);
    if (!::CopyFileExA(from.c_str(), to.c_str(), nullptr, nullptr, nullptr, flags))
      return LastError(reporter);
    return S_OK;
  });
}

HRESULT SizeWalk(const CLSID* reporter, const std::string& directory, ULONGLONG* total) {
  return ForEachEntry(reporter, directory, [&](const Entry& entry) -> HRESULT {
    if (!IsFolder(entry.attributes)) {
      *total += entry.size;
      return S_OK;
    }
    const std::string path = directory + "\\" + entry.name;
    HRESULT checked = CheckedPath(reporter, path);
    if (FAILED(checked)) return checked;
    return SizeWalk(reporter, path, total);
  });
}

// Full path as the system normalises it, or a last-error failure.
HRESULT FullPath(const CLSID* reporter, const std::string& path, std::string* out) {
  char buffer[MAX_PATH] = {0};
  DWORD length =
      path.size() < MAX_PATH ? ::GetFullPathNameA(path.c_str(), MAX_PATH, buffer, nullptr) : 0;
  if (length == 0)
    return path.size() < MAX_PATH
               ? LastError(reporter)
               : tessary::ReportWin32Error(reporter, ERROR_FILENAME_EXCED_RANGE, nullptr);
  if (length >= MAX_PATH)
    return tessary::ReportWin32Error(reporter, ERROR_FILENAME_EXCED_RANGE, nullptr);
  *out = buffer;
  return S_OK;
}

// Whether `inner` is `outer` or lies below it. Names compare without regard
// to case, as the file system of the system does.
bool IsWithin(const std::string& inner, const std::string& outer) {
  std::string a = inner, b = outer;
  for (char& c : a) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
  for (char& c : b) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
  if (!b.empty() && b.back() == '\\') b.pop_back();
  return a == b || (a.size() > b.size() && a.compare(0, b.size(), b) == 0 && a[b.size()] == '\\');
}

}  // namespace

HRESULT Folder::Delete(VARIANT_BOOL force) {
  if (tessary::Switches().disable_delete) return tessary::RefuseDisabled(kErrorClass);
  HRESULT hr = DeleteWalk(kErrorClass, full_path_, tessary::FromVariantBool(force));
  return FAILED(hr) ? hr : S_OK;
}

HRESULT Folder::Copy(BSTR destination, VARIANT_BOOL overwrite) {
  std::string target;
  HRESULT hr = tessary::PathArgument(kErrorClass, destination, &target);
  if (FAILED(hr)) return hr;
  DWORD attributes = ::GetFileAttributesA(target.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY))
    return ReportError("Destination must be a directory", 0);
  std::string full_source, full_destination;
  hr = FullPath(kErrorClass, full_path_, &full_source);
  if (SUCCEEDED(hr)) hr = FullPath(kErrorClass, target, &full_destination);
  if (FAILED(hr)) return hr;
  // A copy into the tree being copied would copy its own copy for ever.
  if (IsWithin(full_destination, full_source))
    return ReportError("Cannot copy a folder into itself.", 0);
  hr = CopyWalk(kErrorClass, full_source, full_destination, tessary::FromVariantBool(overwrite));
  return FAILED(hr) ? hr : S_OK;
}

HRESULT Folder::Move(BSTR destination) {
  std::string target;
  HRESULT hr = tessary::PathArgument(kErrorClass, destination, &target);
  if (FAILED(hr)) return hr;
  if (target == full_path_) return S_OK;
  if (::GetFileAttributesA(target.c_str()) != INVALID_FILE_ATTRIBUTES)
    return ReportError("Destination file already exists.", 0);
  if (GetLastError() != ERROR_FILE_NOT_FOUND) return ReportLastWin32Error();
  std::string full_source, full_destination;
  hr = FullPath(kErrorClass, full_path_, &full_source);
  if (SUCCEEDED(hr)) hr = FullPath(kErrorClass, target, &full_destination);
  if (FAILED(hr)) return hr;
  if (!::MoveFileA(full_source.c_str(), full_destination.c_str())) return ReportLastWin32Error();
  return S_OK;
}

HRESULT Folder::get_Size(VARIANT* size) {
  if (!size) return E_POINTER;
  ULONGLONG total = 0;
  HRESULT hr = SizeWalk(kErrorClass, full_path_, &total);
  if (FAILED(hr)) return hr;
  VariantInit(size);
  size->vt = VT_R8;
  size->dblVal = static_cast<double>(total);
  return S_OK;
}
