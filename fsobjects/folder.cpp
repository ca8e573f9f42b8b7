#include "fsobjects/folder.h"

#include "frame/values.h"
#include "platform/files.h"

HRESULT Folder::InitFromPath(BSTR path) {
  std::string ansi;
  HRESULT hr = tessary::ToAnsiPath(path, &ansi);
  if (FAILED(hr)) return ReportWin32Error(static_cast<DWORD>(HRESULT_CODE(hr)));
  char full[MAX_PATH] = {0};
  char* final_component = nullptr;
  DWORD length = GetFullPathNameA(ansi.c_str(), 256, full, &final_component);
  if (length == 0) return ReportLastWin32Error();
  // A longer name does not fit the buffer: the system answers with the size
  // it needs, and the path is refused rather than cut.
  if (length >= 256) return ReportWin32Error(ERROR_FILENAME_EXCED_RANGE);
  DWORD attributes = GetFileAttributesA(full);
  if (attributes == INVALID_FILE_ATTRIBUTES) return ReportLastWin32Error();
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return ReportError("Argument must be a directory.", 0);
  full_path_ = full;
  name_ = final_component ? final_component : "";
  // "C:\data\" names the folder data: without this its name would be ""
  // and every member that composes a path from it would go wrong. A root
  // ("C:\", "\\server\share\") keeps its separator.
  if (!final_component && full_path_.size() > 3 && full_path_.back() == '\\') {
    std::string trimmed = full_path_.substr(0, full_path_.size() - 1);
    const bool unc = trimmed.size() > 2 && trimmed[0] == '\\' && trimmed[1] == '\\';
    const size_t cut = trimmed.rfind('\\');
    const bool unc_root = unc && trimmed.find('\\', 2) == cut;
    if (!unc_root && cut != std::string::npos) {
      full_path_ = trimmed;
      name_ = trimmed.substr(cut + 1);
    }
  }
  return S_OK;
}

HRESULT Folder::get_Path(BSTR* path) { return tessary::ReturnAnsi(full_path_, path); }

HRESULT Folder::get_Name(BSTR* name) { return tessary::ReturnAnsi(name_, name); }

TESSARY_CREATABLE(Folder)

namespace tessary {

HRESULT NewFolder(BSTR path, IFolder** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  Folder* folder = nullptr;
  HRESULT hr = CreateObject(&folder);
  if (FAILED(hr)) return hr;
  hr = folder->InitFromPath(path);
  if (FAILED(hr)) {
    folder->Release();
    return hr;
  }
  return HandOut(folder, out);
}

HRESULT NewFolder(const std::string& ansi_path, IFolder** out) {
  Bstr path;
  HRESULT hr = path.FromAnsi(ansi_path);
  if (FAILED(hr)) return hr;
  return NewFolder(path.get(), out);
}

}  // namespace tessary
