// The Folder object: one directory, named by the absolute path fixed when it
// is initialised.
#pragma once

#include <string>

#include "frame/com_object.h"
#include "permissions/permission_engine.h"

class Folder : public tessary::Object<Folder, IFolder, IFolderInit> {
 public:
  static constexpr const CLSID* kErrorClass = &CLSID_Folder;

  // IFolderInit
  HRESULT STDMETHODCALLTYPE InitFromPath(BSTR path) override;

  // IFolder
  HRESULT STDMETHODCALLTYPE get_Path(BSTR* path) override;
  HRESULT STDMETHODCALLTYPE get_Name(BSTR* name) override;
  HRESULT STDMETHODCALLTYPE put_Name(BSTR name) override;
  HRESULT STDMETHODCALLTYPE get_SearchWildCard(BSTR* pattern) override;
  HRESULT STDMETHODCALLTYPE put_SearchWildCard(BSTR pattern) override;
  HRESULT STDMETHODCALLTYPE get_ShortPath(BSTR* path) override;
  HRESULT STDMETHODCALLTYPE get_ShortName(BSTR* name) override;
  HRESULT STDMETHODCALLTYPE get_DateCreated(DATE* date) override;
  HRESULT STDMETHODCALLTYPE get_DateLastModified(DATE* date) override;
  HRESULT STDMETHODCALLTYPE get_DateLastAccessed(DATE* date) override;
  HRESULT STDMETHODCALLTYPE get_Attributes(QNFileAttribute* attributes) override;
  HRESULT STDMETHODCALLTYPE put_Attributes(QNFileAttribute attributes) override;
  HRESULT STDMETHODCALLTYPE get_ParentFolder(IFolder** folder) override;
  HRESULT STDMETHODCALLTYPE get_IsRootFolder(VARIANT_BOOL* root) override;
  HRESULT STDMETHODCALLTYPE get_FileSystem(QNFileSystemType* file_system) override;
  // The item's permission entries; no item has an access list here.
  HRESULT STDMETHODCALLTYPE get__NewEnum(IUnknown** entries) override;
  HRESULT STDMETHODCALLTYPE get_AccountServer(BSTR* server) override;
  HRESULT STDMETHODCALLTYPE put_AccountServer(BSTR server) override;
  HRESULT STDMETHODCALLTYPE get_Type(BSTR* type) override;
  // Streams in this folder.
  HRESULT STDMETHODCALLTYPE CreateTextFile(BSTR file_name, VARIANT_BOOL overwrite,
                                           VARIANT_BOOL unicode, ITextStream** stream) override;
  HRESULT STDMETHODCALLTYPE CreateBinaryFile(BSTR file_name, VARIANT_BOOL overwrite,
                                             IBinaryStream** stream) override;
  // Listings (collections.cpp).
  HRESULT STDMETHODCALLTYPE get_Files(IFileCollection** files) override;
  HRESULT STDMETHODCALLTYPE get_SubFolders(IFolderCollection** folders) override;
  // Whole trees (tree_ops.cpp).
  HRESULT STDMETHODCALLTYPE Delete(VARIANT_BOOL force) override;
  HRESULT STDMETHODCALLTYPE Copy(BSTR destination, VARIANT_BOOL overwrite) override;
  HRESULT STDMETHODCALLTYPE Move(BSTR destination) override;
  HRESULT STDMETHODCALLTYPE get_Size(VARIANT* size) override;
  // The drive that holds the folder (drive_members.cpp).
  HRESULT STDMETHODCALLTYPE get_Drive(IDrive** drive) override;

  const std::string& full_path() const { return full_path_; }
  const std::string& search_wildcard() const { return search_wildcard_; }

 private:
  // The parent as the system normalises full path + "\.."; equal to the
  // full path for a root.
  std::string ParentText() const;
  // A bare name is a file in this folder; a path is used as it is.
  HRESULT StreamFileName(BSTR file_name, std::string* out);

  std::string name_;
  std::string full_path_;
  std::string search_wildcard_ = "*";
  std::string account_server_;
  tessary::PermissionEngine permissions_;
};

namespace tessary {

// Creates a Folder for `path` (as IFolderInit::InitFromPath takes it) and
// hands out its IFolder; every failure is returned as the Folder reported it.
HRESULT NewFolder(BSTR path, IFolder** out);
HRESULT NewFolder(const std::string& ansi_path, IFolder** out);

}  // namespace tessary
