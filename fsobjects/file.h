// The File object: one file on disk, named by the path fixed when it is
// initialised. It keeps no open handle between calls; every member works on
// the stored path at the moment of the call.
#pragma once

#include <string>

#include "frame/com_object.h"
#include "fsobjects/image_reader.h"
#include "permissions/permission_engine.h"

class File : public tessary::Object<File, IFile, IFileInit> {
 public:
  static constexpr const CLSID* kErrorClass = &CLSID_File;

  // IFileInit
  HRESULT STDMETHODCALLTYPE InitFromFolderAndName(BSTR folder_path, BSTR name) override;
  HRESULT STDMETHODCALLTYPE InitFromPath(BSTR full_path) override;
  // What a folder's listing calls for each file entry its search found:
  // `folder` is in the system code page already and ends in a separator,
  // `name` is the search's, so nothing is converted again per file, and the
  // probe opens the entry through the search (relative to its folder).
  HRESULT InitFromListing(HANDLE search, const std::string& folder, const char* name);

  // IFile
  HRESULT STDMETHODCALLTYPE get_Path(BSTR* path) override;
  HRESULT STDMETHODCALLTYPE get_Name(BSTR* name) override;
  HRESULT STDMETHODCALLTYPE put_Name(BSTR name) override;
  HRESULT STDMETHODCALLTYPE get_Type(BSTR* type) override;
  HRESULT STDMETHODCALLTYPE get_DateCreated(DATE* date) override;
  HRESULT STDMETHODCALLTYPE get_DateLastModified(DATE* date) override;
  HRESULT STDMETHODCALLTYPE get_DateLastAccessed(DATE* date) override;
  HRESULT STDMETHODCALLTYPE get_Attributes(QNFileAttribute* attributes) override;
  HRESULT STDMETHODCALLTYPE put_Attributes(QNFileAttribute attributes) override;
  HRESULT STDMETHODCALLTYPE Copy(BSTR destination, VARIANT_BOOL overwrite) override;
  HRESULT STDMETHODCALLTYPE Move(BSTR destination, VARIANT_BOOL overwrite) override;
  HRESULT STDMETHODCALLTYPE get_Size(VARIANT* size) override;
  HRESULT STDMETHODCALLTYPE get_ParentFolder(IFolder** folder) override;
  HRESULT STDMETHODCALLTYPE get_MimeType(BSTR* mime_type) override;
  HRESULT STDMETHODCALLTYPE Delete(VARIANT_BOOL force) override;
  HRESULT STDMETHODCALLTYPE get_ShortPath(BSTR* path) override;
  HRESULT STDMETHODCALLTYPE get_ShortName(BSTR* name) override;
  HRESULT STDMETHODCALLTYPE get_ImageWidth(LONG* width) override;
  HRESULT STDMETHODCALLTYPE get_ImageHeight(LONG* height) override;
  HRESULT STDMETHODCALLTYPE get_ImageColor(LONG* color) override;
  HRESULT STDMETHODCALLTYPE get_Accessible(VARIANT_BOOL* accessible) override;
  HRESULT STDMETHODCALLTYPE get_FileSystem(QNFileSystemType* file_system) override;
  HRESULT STDMETHODCALLTYPE get_Checksum(BSTR* checksum) override;
  // The item's permission entries; no item has an access list here.
  HRESULT STDMETHODCALLTYPE get__NewEnum(IUnknown** entries) override;
  HRESULT STDMETHODCALLTYPE get_AccountServer(BSTR* server) override;
  HRESULT STDMETHODCALLTYPE put_AccountServer(BSTR server) override;
  HRESULT STDMETHODCALLTYPE OpenAsTextStream(IOMode mode, Tristate format,
                                             ITextStream** stream) override;
  HRESULT STDMETHODCALLTYPE OpenAsBinaryStream(IOMode mode, IBinaryStream** stream) override;
  // The drive that holds the file (drive_members.cpp).
  HRESULT STDMETHODCALLTYPE get_Drive(IDrive** drive) override;
  // Whole-file encryption into OutFile (file_crypto.cpp).
  HRESULT STDMETHODCALLTYPE Encrypt(BSTR out_file, BSTR password, QNENCTYPE type) override;
  HRESULT STDMETHODCALLTYPE Decrypt(BSTR out_file, BSTR password, QNENCTYPE type) override;

 private:
  HRESULT Probe();
  // Records what a probe that failed with `error` says and reports it.
  HRESULT ProbeRefused(DWORD error);
  // A destination without a separator names a file in this file's folder.
  std::string Destination(const std::string& text) const;
  // The image record, read from the file while it is not loaded.
  tessary::ImageInfo Image();
  HRESULT Transform(BSTR out_file, BSTR password, QNENCTYPE type, bool encrypt);

  bool accessible_ = false;
  // The folder path (ending in its separator, or the whole path when it has
  // none) is the start of the full path, and the name the rest of it: the
  // folder is kept as a length, which spares a listing a copy per file.
  std::string FolderPath() const { return full_path_.substr(0, folder_length_); }

  std::string name_;
  size_t folder_length_ = 0;
  std::string full_path_;
  std::string account_server_;
  tessary::PermissionEngine permissions_;
  tessary::ImageInfo image_;  // under the object lock: getters may race on one object
};

namespace tessary {

// Creates a File for a path (IFileInit::InitFromPath) or for a folder and a
// name (InitFromFolderAndName) and hands out its IFile; failures are
// returned as the File reported them.
HRESULT NewFile(BSTR path, IFile** out);
HRESULT NewFile(BSTR folder_path, BSTR name, IFile** out);

}  // namespace tessary
