// The whole-tree members of a Folder: Delete, Copy, Move and the size walk
// behind Size. Three depth-first walkers list each folder in the order the
// find service gives; the first failure stops the walk and is returned, and
// nothing already done is undone.
//
// A walk holds the folder it is in and acts on its entries relative to it
// (platform/tree.h), so a tree changed under the walk can make it fail but
// never turn it outside the tree. The Windows path of each entry is still
// composed, to keep the system's path limit and to name it in messages.
//
// A link (a reparse point) is an entry of its own: the walks never follow
// one into a folder. Deleting removes the link, copying copies the link, and
// the size counts the link itself; a forced delete never changes the
// attributes of what a link points at.
#include <string>

#include "frame/switches.h"
#include "frame/values.h"
#include "fsobjects/folder.h"
#include "fsobjects/fs_common.h"
#include "platform/files.h"
#include "platform/tree.h"
#include "platform/winpath.h"

namespace winpath = tessary::winpath;

namespace {

bool IsLink(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }
bool IsFolder(DWORD attributes) {
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) && !IsLink(attributes);
}

// A folder held open for a walk, closed on every way out.
class HeldFolder {
 public:
  explicit HeldFolder(HANDLE handle) : handle_(handle) {}
  ~HeldFolder() {
    if (valid()) ::TreeCloseFolder(handle_);
  }
  HeldFolder(const HeldFolder&) = delete;
  HeldFolder& operator=(const HeldFolder&) = delete;
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

HRESULT LastError(const CLSID* reporter) {
  return tessary::ReportLastWin32Error(reporter, nullptr);
}

HRESULT CheckedPath(const CLSID* reporter, const std::string& path) {
  if (path.size() >= MAX_PATH)
    return tessary::ReportWin32Error(reporter, ERROR_FILENAME_EXCED_RANGE, nullptr);
  return S_OK;
}

// Hands each entry of an open folder to `visit`; a failing visit ends the
// listing, and a listing that fails before its end is reported.
template <class Visit>
HRESULT ForEachEntry(const CLSID* reporter, HANDLE folder, Visit&& visit) {
  WIN32_FIND_DATAA found;
  while (::TreeNextEntry(folder, &found)) {
    HRESULT hr = visit(std::string(found.cFileName), found.dwFileAttributes,
                       (static_cast<ULONGLONG>(found.nFileSizeHigh) << 32) | found.nFileSizeLow);
    if (FAILED(hr)) return hr;
  }
  if (GetLastError() != ERROR_NO_MORE_FILES) return LastError(reporter);
  return S_OK;
}

// Removes one entry; a read-only one, with Force, loses the attribute and is
// tried again. A link's attributes are its target's, so it is never forced.
HRESULT DeleteEntry(const CLSID* reporter, HANDLE folder, const std::string& name, bool force,
                    bool link) {
  if (::TreeDeleteEntry(folder, name.c_str())) return S_OK;
  if (GetLastError() != ERROR_ACCESS_DENIED || !force || link) return LastError(reporter);
  if (!::TreeSetEntryAttributes(folder, name.c_str(), FILE_ATTRIBUTE_NORMAL) ||
      !::TreeDeleteEntry(folder, name.c_str()))
    return LastError(reporter);
  return S_OK;
}

// Empties an open folder; the caller removes the folder itself.
HRESULT DeleteWalk(const CLSID* reporter, HANDLE folder, const std::string& directory, bool force) {
  return ForEachEntry(
      reporter, folder, [&](const std::string& name, DWORD attributes, ULONGLONG) -> HRESULT {
        const bool subfolder = IsFolder(attributes);
        const std::string path =
            subfolder ? winpath::JoinSubfolder(directory, name) : winpath::Join(directory, name);
        HRESULT hr = CheckedPath(reporter, path);
        if (FAILED(hr)) return hr;
        if (subfolder) {
          HeldFolder inner(::TreeOpenSubfolder(folder, name.c_str()));
          if (!inner.valid()) return LastError(reporter);
          hr = DeleteWalk(reporter, inner.get(), path, force);
          if (FAILED(hr)) return hr;
        }
        return DeleteEntry(reporter, folder, name, force, IsLink(attributes));
      });
}

// The folder a walk starts from, removed by its path once it is empty.
HRESULT RemoveFolder(const CLSID* reporter, const std::string& path, bool force) {
  if (::RemoveDirectoryA(path.c_str())) return S_OK;
  if (GetLastError() != ERROR_ACCESS_DENIED || !force) return LastError(reporter);
  if (!::SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL) ||
      !::RemoveDirectoryA(path.c_str()))
    return LastError(reporter);
  return S_OK;
}

HRESULT CopyWalk(const CLSID* reporter, HANDLE source, const std::string& source_path,
                 HANDLE destination, const std::string& destination_path, bool overwrite) {
  return ForEachEntry(
      reporter, source, [&](const std::string& name, DWORD attributes, ULONGLONG) -> HRESULT {
        if (!IsFolder(attributes)) {
          const std::string from = winpath::Join(source_path, name),
                            to = winpath::Join(destination_path, name);
          HRESULT hr = CheckedPath(reporter, from.size() > to.size() ? from : to);
          if (FAILED(hr)) return hr;
          // A link is copied as the link it is, never followed.
          if (!::TreeCopyEntry(source, name.c_str(), destination, name.c_str(),
                               overwrite ? 0 : COPY_FILE_FAIL_IF_EXISTS))
            return LastError(reporter);
          return S_OK;
        }
        const std::string from = winpath::JoinSubfolder(source_path, name),
                          to = winpath::JoinSubfolder(destination_path, name);
        HRESULT hr = CheckedPath(reporter, from.size() > to.size() ? from : to);
        if (FAILED(hr)) return hr;
        if (::TreeGetEntryAttributes(destination, name.c_str()) == INVALID_FILE_ATTRIBUTES) {
          if (GetLastError() != ERROR_FILE_NOT_FOUND) return LastError(reporter);
          if (!::TreeCreateSubfolder(destination, name.c_str())) return LastError(reporter);
        } else if (!overwrite) {
          return tessary::ReportError(reporter, "Destination directory already exists.", 0);
        }
        HeldFolder inner_source(::TreeOpenSubfolder(source, name.c_str()));
        if (!inner_source.valid()) return LastError(reporter);
        // A link where the copy's folder should be is not followed either.
        HeldFolder inner_destination(::TreeOpenSubfolder(destination, name.c_str()));
        if (!inner_destination.valid()) return LastError(reporter);
        return CopyWalk(reporter, inner_source.get(), from, inner_destination.get(), to, overwrite);
      });
}

HRESULT SizeWalk(const CLSID* reporter, HANDLE folder, const std::string& directory,
                 ULONGLONG* total) {
  return ForEachEntry(reporter, folder,
                      [&](const std::string& name, DWORD attributes, ULONGLONG size) -> HRESULT {
                        if (!IsFolder(attributes)) {
                          *total += size;
                          return S_OK;
                        }
                        const std::string path = winpath::JoinSubfolder(directory, name);
                        HRESULT hr = CheckedPath(reporter, path);
                        if (FAILED(hr)) return hr;
                        HeldFolder inner(::TreeOpenSubfolder(folder, name.c_str()));
                        if (!inner.valid()) return LastError(reporter);
                        return SizeWalk(reporter, inner.get(), path, total);
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

// What the file system says an item is: its volume and its index there, the
// same for every name the item has.
struct Identity {
  DWORD volume = 0, high = 0, low = 0;
  bool operator==(const Identity& other) const {
    return volume == other.volume && high == other.high && low == other.low;
  }
};

bool IdentityOf(const std::string& path, Identity* out) {
  HANDLE item =
      ::CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (item == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  const bool known = ::GetFileInformationByHandle(item, &info) != 0;
  ::CloseHandle(item);
  if (known) *out = {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
  return known;
}

// Whether `destination` is the folder `source` or lies below it, under any
// of its names: each existing folder on the destination's way up is compared
// with the source by identity, so a link, a second drive letter or a bind
// mount is caught, and two folders whose names differ only in case are told
// apart where the disk tells them apart.
bool WithinByIdentity(const std::string& destination, const std::string& source) {
  Identity wanted;
  if (!IdentityOf(source, &wanted)) return false;
  std::string path = destination;
  for (;;) {
    Identity found;
    if (IdentityOf(path, &found) && found == wanted) return true;
    while (!path.empty() && winpath::IsSeparator(path.back())) path.pop_back();
    const size_t cut = winpath::LastSeparator(path);
    if (cut == std::string::npos || cut == 0) return false;
    // "C:\dir" goes up to the root "C:\", which keeps its separator.
    path = path.substr(0, cut);
    if (path.size() == 2 && path[1] == ':') path += '\\';
  }
}

}  // namespace

HRESULT Folder::Delete(VARIANT_BOOL force) {
  if (tessary::Switches().disable_delete) return tessary::RefuseDisabled(kErrorClass);
  const bool forced = tessary::FromVariantBool(force);
  const DWORD attributes = ::GetFileAttributesA(full_path_.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return ReportLastWin32Error();
  // A folder that is a link is removed as the link; what it points at stays.
  if (IsLink(attributes)) {
    if (!::RemoveDirectoryA(full_path_.c_str())) return ReportLastWin32Error();
    return S_OK;
  }
  HRESULT hr;
  {
    HeldFolder folder(::TreeOpenFolder(full_path_.c_str(), FALSE));
    if (!folder.valid()) return ReportLastWin32Error();
    hr = DeleteWalk(kErrorClass, folder.get(), full_path_, forced);
  }
  if (SUCCEEDED(hr)) hr = RemoveFolder(kErrorClass, full_path_, forced);
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
  if (WithinByIdentity(full_destination, full_source))
    return ReportError("Cannot copy a folder into itself.", 0);
  const bool replace = tessary::FromVariantBool(overwrite);
  if (::GetFileAttributesA(full_destination.c_str()) == INVALID_FILE_ATTRIBUTES) {
    if (GetLastError() != ERROR_FILE_NOT_FOUND) return ReportLastWin32Error();
    if (!::CreateDirectoryA(full_destination.c_str(), nullptr)) return ReportLastWin32Error();
  } else if (!replace) {
    return ReportError("Destination directory already exists.", 0);
  }
  HeldFolder from(::TreeOpenFolder(full_source.c_str(), TRUE));
  if (!from.valid()) return ReportLastWin32Error();
  HeldFolder to(::TreeOpenFolder(full_destination.c_str(), TRUE));
  if (!to.valid()) return ReportLastWin32Error();
  hr = CopyWalk(kErrorClass, from.get(), full_source, to.get(), full_destination, replace);
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
  HeldFolder folder(::TreeOpenFolder(full_path_.c_str(), TRUE));
  if (!folder.valid()) return ReportLastWin32Error();
  HRESULT hr = SizeWalk(kErrorClass, folder.get(), full_path_, &total);
  if (FAILED(hr)) return hr;
  VariantInit(size);
  size->vt = VT_R8;
  size->dblVal = static_cast<double>(total);
  return S_OK;
}
