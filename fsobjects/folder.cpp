#include "fsobjects/folder.h"

#include "frame/values.h"
#include "fsobjects/fs_common.h"
#include "permissions/cp_enum.h"
#include "platform/files.h"
#include "platform/modules.h"
#include "platform/shell.h"
#include "platform/winpath.h"
#include "streams/streams.h"

HRESULT Folder::InitFromPath(BSTR path) {
  std::string ansi;
  HRESULT hr = tessary::ToAnsiPath(path, &ansi);
  if (FAILED(hr)) return ReportWin32Error(static_cast<DWORD>(HRESULT_CODE(hr)));
  char full[MAX_PATH] = {0};
  char* final_component = nullptr;
  DWORD length =
      GetFullPathNameA(ansi.c_str(), tessary::winpath::kFolderBuffer, full, &final_component);
  if (length == 0) return ReportLastWin32Error();
  // A longer name does not fit the buffer: the system answers with the size
  // it needs, and the path is refused rather than cut.
  if (length >= tessary::winpath::kFolderBuffer)
    return ReportWin32Error(ERROR_FILENAME_EXCED_RANGE);
  DWORD attributes = GetFileAttributesA(full);
  if (attributes == INVALID_FILE_ATTRIBUTES) return ReportLastWin32Error();
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
    return ReportError("Argument must be a directory.", 0);
  full_path_ = full;
  name_ = final_component ? final_component : "";
  // "C:\data\" names the folder data: without this its name would be ""
  // and every member that composes a path from it would go wrong. A root
  // ("C:\", "\\server\share\") keeps its separator.
  if (!final_component && full_path_.size() > 3 && full_path_.back() == '\\') {
    std::string trimmed = full_path_.substr(0, full_path_.size() - 1);
    const tessary::winpath::Root root =
        tessary::winpath::ParseRoot(trimmed, tessary::winpath::Separators::kBackslash);
    const bool unc_root = root.kind == tessary::winpath::RootKind::kUnc && !root.share.empty() &&
                          root.length == trimmed.size();
    const size_t cut =
        tessary::winpath::LastSeparator(trimmed, tessary::winpath::Separators::kBackslash);
    if (!unc_root && cut != std::string::npos) {
      full_path_ = trimmed;
      name_ = trimmed.substr(cut + 1);
    }
  }
  return S_OK;
}

HRESULT Folder::get_Path(BSTR* path) { return tessary::ReturnAnsi(full_path_, path); }

HRESULT Folder::get_Name(BSTR* name) { return tessary::ReturnAnsi(name_, name); }

HRESULT Folder::put_Name(BSTR name) {
  std::string leaf;
  HRESULT hr = tessary::ToAnsi(name, &leaf);
  if (FAILED(hr)) return hr;
  size_t cut =
      tessary::winpath::LastSeparator(full_path_, tessary::winpath::Separators::kBackslash);
  std::string target;
  hr = tessary::RenameItem(kErrorClass, full_path_,
                           cut == std::string::npos ? full_path_ : full_path_.substr(0, cut + 1),
                           leaf, &target);
  if (FAILED(hr)) return hr;
  // Unlike a File, the Folder follows its rename.
  name_ = leaf;
  full_path_ = target;
  return S_OK;
}

HRESULT Folder::get_SearchWildCard(BSTR* pattern) {
  return tessary::ReturnAnsi(search_wildcard_, pattern);
}

HRESULT Folder::put_SearchWildCard(BSTR pattern) {
  return tessary::ToAnsi(pattern, &search_wildcard_);
}

HRESULT Folder::get_ShortPath(BSTR* path) {
  return tessary::ReturnAnsi(tessary::ShortPathOf(full_path_), path);
}

HRESULT Folder::get_ShortName(BSTR* name) {
  return tessary::ReturnAnsi(tessary::ShortNameOf(full_path_), name);
}

HRESULT Folder::get_DateCreated(DATE* date) {
  return tessary::ItemDate(kErrorClass, full_path_, tessary::FileTime::kCreated, date);
}

HRESULT Folder::get_DateLastModified(DATE* date) {
  return tessary::ItemDate(kErrorClass, full_path_, tessary::FileTime::kLastModified, date);
}

HRESULT Folder::get_DateLastAccessed(DATE* date) {
  return tessary::ItemDate(kErrorClass, full_path_, tessary::FileTime::kLastAccessed, date);
}

HRESULT Folder::get_Attributes(QNFileAttribute* attributes) {
  return tessary::ItemAttributes(kErrorClass, full_path_, attributes);
}

HRESULT Folder::put_Attributes(QNFileAttribute attributes) {
  return tessary::SetItemAttributes(kErrorClass, full_path_, attributes);
}

std::string Folder::ParentText() const {
  const std::string candidate = full_path_ + "\\..";
  char buffer[MAX_PATH] = {0};
  DWORD length =
      candidate.size() < MAX_PATH
          ? ::GetFullPathNameA(candidate.c_str(), tessary::winpath::kFolderBuffer, buffer, nullptr)
          : 0;
  if (length == 0 || length >= tessary::winpath::kFolderBuffer) return full_path_;
  return buffer;
}

HRESULT Folder::get_ParentFolder(IFolder** folder) {
  if (!folder) return E_POINTER;
  *folder = nullptr;
  const std::string parent = ParentText();
  if (parent == full_path_) return S_OK;  // a root has no parent: the script sees Nothing
  return tessary::NewFolder(parent, folder);
}

HRESULT Folder::get_IsRootFolder(VARIANT_BOOL* root) {
  if (!root) return E_POINTER;
  *root = tessary::ToVariantBool(ParentText() == full_path_);
  return S_OK;
}

HRESULT Folder::get_FileSystem(QNFileSystemType* file_system) {
  return tessary::VolumeFileSystem(full_path_, file_system);
}

HRESULT Folder::get__NewEnum(IUnknown** entries) {
  if (!entries) return E_POINTER;
  bool no_access_list = false;
  const HRESULT hr = tessary::EnumeratePermissions(&permissions_, full_path_, account_server_, 0,
                                                   entries, &no_access_list);
  if (no_access_list) return ReportError(tessary::kNoAccessListText, 0);
  return hr;
}

HRESULT Folder::get_AccountServer(BSTR* server) {
  return tessary::ReturnAnsi(account_server_, server);
}

HRESULT Folder::put_AccountServer(BSTR server) { return tessary::ToAnsi(server, &account_server_); }

HRESULT Folder::get_Type(BSTR* type) {
  if (!type) return E_POINTER;
  *type = nullptr;
  // The shell is looked up at run time; without it the type is "".
  HMODULE shell = ::LoadLibraryA("SHELL32.DLL");
  if (!shell) return S_OK;
  auto get_info = reinterpret_cast<SHGetFileInfoAFunction>(
      reinterpret_cast<void*>(::GetProcAddress(shell, "SHGetFileInfoA")));
  std::string name;
  if (get_info) {
    SHFILEINFOA info = {};
    if (get_info(full_path_.c_str(), 0, &info, sizeof info, SHGFI_TYPENAME)) name = info.szTypeName;
  }
  ::FreeLibrary(shell);
  return tessary::ReturnAnsi(name, type);
}

HRESULT Folder::StreamFileName(BSTR file_name, std::string* out) {
  HRESULT hr = tessary::PathArgument(kErrorClass, file_name, out);
  if (FAILED(hr)) return hr;
  if (tessary::winpath::LastSeparator(*out) == std::string::npos) {
    *out = tessary::winpath::Join(full_path_, *out);
    if (out->size() >= MAX_PATH) return ReportWin32Error(ERROR_FILENAME_EXCED_RANGE);
  }
  return S_OK;
}

HRESULT Folder::CreateTextFile(BSTR file_name, VARIANT_BOOL overwrite, VARIANT_BOOL unicode,
                               ITextStream** stream) {
  if (!stream) return E_POINTER;
  *stream = nullptr;
  std::string path;
  HRESULT hr = StreamFileName(file_name, &path);
  if (FAILED(hr)) return hr;
  return tessary::NewTextStreamCreate(path, overwrite, unicode, stream);
}

HRESULT Folder::CreateBinaryFile(BSTR file_name, VARIANT_BOOL overwrite, IBinaryStream** stream) {
  if (!stream) return E_POINTER;
  *stream = nullptr;
  std::string path;
  HRESULT hr = StreamFileName(file_name, &path);
  if (FAILED(hr)) return hr;
  return tessary::NewBinaryStreamCreate(path, overwrite, stream);
}

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
