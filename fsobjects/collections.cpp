// Listing a folder into a Files or Folders collection. The directory is
// listed once; every entry becomes a fully initialised child, and entries
// whose child cannot be initialised are left out without a report.
#include "fsobjects/collections.h"

#include <string>

#include "frame/values.h"
#include "fsobjects/file.h"
#include "fsobjects/folder.h"
#include "platform/files.h"
#include "platform/find_probe.h"
#include "platform/winpath.h"

TESSARY_CREATABLE(Files)
TESSARY_CREATABLE(Folders)

namespace {

// Walks the entries that match the folder's wildcard, handing `visit` the
// search and each entry; a failing `visit` ends the listing. A search that
// finds nothing lists nothing. With `names_only` the entries carry their
// names and the directory attribute, and nothing else is read of them.
template <class Visit>
HRESULT ForEachMatch(const Folder& folder, bool names_only, Visit&& visit) {
  const std::string& base = folder.full_path();
  const std::string pattern = tessary::winpath::Join(base, folder.search_wildcard());
  if (pattern.size() >= MAX_PATH) return S_OK;
  WIN32_FIND_DATAA found;
  HANDLE search = names_only ? ::FindFirstFileNamesA(pattern.c_str(), &found)
                             : ::FindFirstFileA(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return S_OK;
  HRESULT hr = S_OK;
  do {
    hr = visit(search, found);
  } while (SUCCEEDED(hr) &&
           (names_only ? ::FindNextFileNamesA(search, &found) : ::FindNextFileA(search, &found)));
  if (names_only) {
    ::FindCloseNames(search);
  } else {
    ::FindClose(search);
  }
  return hr;
}

}  // namespace

HRESULT Folder::get_Files(IFileCollection** files) {
  if (!files) return E_POINTER;
  *files = nullptr;
  Files* collection = nullptr;
  HRESULT hr = tessary::CreateObject(&collection);
  if (FAILED(hr)) return hr;
  if (full_path_.empty()) {
    collection->Release();
    return ReportError("Invalid Folder Name", 0);
  }
  const std::string folder = tessary::winpath::WithFinalBackslash(full_path_);
  // A file needs only its name from the search: the probe settles the rest.
  hr = ForEachMatch(*this, true, [&](HANDLE search, const WIN32_FIND_DATAA& entry) -> HRESULT {
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return S_OK;
    File* file = nullptr;
    HRESULT made = tessary::CreateObject(&file);
    if (FAILED(made)) return made;
    // A file that cannot be opened is left out.
    if (FAILED(file->InitFromListing(search, folder, entry.cFileName))) {
      file->Release();
      return S_OK;
    }
    IDispatch* child = nullptr;
    made = file->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&child));
    file->Release();
    if (FAILED(made)) return made;
    return collection->Adopt(entry.cFileName, child);
  });
  if (FAILED(hr)) {
    collection->Release();
    return hr;
  }
  return tessary::HandOut(collection, files);
}

HRESULT Folder::get_SubFolders(IFolderCollection** folders) {
  if (!folders) return E_POINTER;
  *folders = nullptr;
  Folders* collection = nullptr;
  HRESULT hr = tessary::CreateObject(&collection);
  if (FAILED(hr)) return hr;
  if (full_path_.empty()) {
    collection->Release();
    return ReportError("Invalid Folder Name", 0);
  }
  const std::string base = tessary::winpath::WithFinalBackslash(full_path_);
  hr = ForEachMatch(*this, false, [&](HANDLE, const WIN32_FIND_DATAA& entry) -> HRESULT {
    // "." and "..", and every other name that starts with a dot, are left out.
    if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || entry.cFileName[0] == '.')
      return S_OK;
    const std::string child_path = base + entry.cFileName;
    if (child_path.size() >= MAX_PATH) return S_OK;
    Folder* folder = nullptr;
    HRESULT made = tessary::CreateObject(&folder);
    if (FAILED(made)) return made;
    tessary::Bstr path;
    made = path.FromAnsi(child_path);
    if (FAILED(made)) {
      folder->Release();
      return made;
    }
    if (FAILED(folder->InitFromPath(path.get()))) {
      folder->Release();
      return S_OK;
    }
    IDispatch* child = nullptr;
    made = folder->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&child));
    folder->Release();
    if (FAILED(made)) return made;
    return collection->Adopt(entry.cFileName, child);
  });
  if (FAILED(hr)) {
    collection->Release();
    return hr;
  }
  return tessary::HandOut(collection, folders);
}
