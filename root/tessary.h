// The root object: what a script creates first. Its entries are split over
// root/*.cpp by subject; this file holds the class and the frame's part of
// it (object safety and the web page hooks).
#pragma once

#include <string>

#include "frame/com_object.h"

class Tessary : public tessary::Object<Tessary, ITessary, IObjectSafety> {
 public:
  static constexpr const CLSID* kErrorClass = &CLSID_Tessary;
  ~Tessary();

  // Single files and existence tests (file_ops.cpp).
  HRESULT STDMETHODCALLTYPE MoveFile(BSTR source, BSTR destination,
                                     VARIANT_BOOL overwrite) override;
  HRESULT STDMETHODCALLTYPE CopyFile(BSTR source, BSTR destination,
                                     VARIANT_BOOL overwrite) override;
  // Whole-file encryption through a File for InFile (crypto_files.cpp).
  HRESULT STDMETHODCALLTYPE EncryptFile(BSTR in_file, BSTR out_file, BSTR password,
                                        QNENCTYPE type) override;
  HRESULT STDMETHODCALLTYPE DecryptFile(BSTR in_file, BSTR out_file, BSTR password,
                                        QNENCTYPE type) override;
  HRESULT STDMETHODCALLTYPE FolderExists(BSTR folder_spec, VARIANT_BOOL* exists) override;
  HRESULT STDMETHODCALLTYPE FileExists(BSTR file_spec, VARIANT_BOOL* exists) override;
  HRESULT STDMETHODCALLTYPE CreateFile(BSTR file_name, VARIANT_BOOL overwrite) override;
  HRESULT STDMETHODCALLTYPE CreateUniqueFile(BSTR folder, BSTR prefix, BSTR* created) override;
  HRESULT STDMETHODCALLTYPE DeleteFile(BSTR file_spec, VARIANT_BOOL force) override;
  HRESULT STDMETHODCALLTYPE ConcatFiles(BSTR dest_name, BSTR file1, BSTR file2, BSTR file3,
                                        BSTR file4, BSTR file5) override;
  HRESULT STDMETHODCALLTYPE DriveExists(BSTR drive_spec, VARIANT_BOOL* exists) override;
  HRESULT STDMETHODCALLTYPE CreateFolder(BSTR path, IFolder** folder) override;
  HRESULT STDMETHODCALLTYPE GetFolder(BSTR path, IFolder** folder) override;
  HRESULT STDMETHODCALLTYPE GetFile(BSTR path, IFile** file) override;
  HRESULT STDMETHODCALLTYPE DeleteFolder(BSTR folder_spec, VARIANT_BOOL force) override;
  HRESULT STDMETHODCALLTYPE CopyFolder(BSTR source, BSTR destination,
                                       VARIANT_BOOL overwrite) override;
  HRESULT STDMETHODCALLTYPE MoveFolder(BSTR source, BSTR destination) override;

  // Path strings and special folders (paths.cpp).
  HRESULT STDMETHODCALLTYPE BuildPath(BSTR path, BSTR name, BSTR* result) override;
  HRESULT STDMETHODCALLTYPE GetAbsolutePathName(BSTR path, BSTR* result) override;
  HRESULT STDMETHODCALLTYPE GetTempName(BSTR* result) override;
  HRESULT STDMETHODCALLTYPE GetDriveName(BSTR path, BSTR* result) override;
  HRESULT STDMETHODCALLTYPE GetParentFolderName(BSTR path, BSTR* result) override;
  HRESULT STDMETHODCALLTYPE GetFileName(BSTR path, BSTR* result) override;
  HRESULT STDMETHODCALLTYPE GetBaseName(BSTR path, BSTR* result) override;
  HRESULT STDMETHODCALLTYPE GetExtensionName(BSTR path, BSTR* result) override;
  HRESULT STDMETHODCALLTYPE GetSpecialFolder(SpecialFolderConst which, IFolder** folder) override;

  // Drives (drives.cpp); DriveExists is with the existence tests.
  HRESULT STDMETHODCALLTYPE get_Drives(IDriveCollection** drives) override;
  HRESULT STDMETHODCALLTYPE GetDrive(BSTR drive_spec, IDrive** drive) override;

  // Streams (streams.cpp).
  HRESULT STDMETHODCALLTYPE CreateTextFile(BSTR file_name, VARIANT_BOOL overwrite,
                                           VARIANT_BOOL unicode, ITextStream** stream) override;
  HRESULT STDMETHODCALLTYPE OpenTextFile(BSTR file_name, IOMode mode, VARIANT_BOOL create,
                                         Tristate format, ITextStream** stream) override;
  HRESULT STDMETHODCALLTYPE CreateBinaryFile(BSTR file_name, VARIANT_BOOL overwrite,
                                             IBinaryStream** stream) override;
  HRESULT STDMETHODCALLTYPE OpenBinaryFile(BSTR file_name, IOMode mode, VARIANT_BOOL create,
                                           IBinaryStream** stream) override;

  // INI files (ini.cpp).
  HRESULT STDMETHODCALLTYPE INIReadString(BSTR file_name, BSTR section, BSTR key,
                                          BSTR default_value, BSTR* value) override;
  HRESULT STDMETHODCALLTYPE INIWriteString(BSTR file_name, BSTR section, BSTR key,
                                           BSTR value) override;
  HRESULT STDMETHODCALLTYPE INIReadInteger(BSTR file_name, BSTR section, BSTR key,
                                           LONG default_value, LONG* value) override;
  HRESULT STDMETHODCALLTYPE INIWriteInteger(BSTR file_name, BSTR section, BSTR key,
                                            LONG value) override;
  HRESULT STDMETHODCALLTYPE INIReadBoolean(BSTR file_name, BSTR section, BSTR key,
                                           LONG default_value, LONG* value) override;
  HRESULT STDMETHODCALLTYPE INIWriteBoolean(BSTR file_name, BSTR section, BSTR key,
                                            LONG value) override;
  HRESULT STDMETHODCALLTYPE INIDeleteSection(BSTR file_name, BSTR section) override;
  HRESULT STDMETHODCALLTYPE INIDeleteKey(BSTR file_name, BSTR section, BSTR key) override;

  // A file into or out of a database field (blob_transfer.cpp).
  HRESULT STDMETHODCALLTYPE ExportToBlob(BSTR src_file_name, VARIANT record_set) override;
  HRESULT STDMETHODCALLTYPE ImportFromBlob(VARIANT src_record_set, BSTR target_file_name) override;

  // Another module's self-registration (module_registration.cpp).
  HRESULT STDMETHODCALLTYPE RegisterDLL(BSTR dll_file_name, VARIANT_BOOL do_register) override;

  // Web page hooks.
  HRESULT STDMETHODCALLTYPE OnStartPage(IUnknown* context) override;
  HRESULT STDMETHODCALLTYPE OnEndPage() override;

  // IObjectSafety: the root is safe for untrusted callers and nothing else.
  HRESULT STDMETHODCALLTYPE GetInterfaceSafetyOptions(REFIID riid, DWORD* supported,
                                                      DWORD* enabled) override;
  HRESULT STDMETHODCALLTYPE SetInterfaceSafetyOptions(REFIID riid, DWORD mask,
                                                      DWORD enabled) override;

  // The three page objects kept between OnStartPage and OnEndPage; nothing
  // reads them, they are kept for the page's lifetime only.
  IDispatch* page_object(int i) const { return page_objects_[i]; }

 private:
  void ReleasePageObjects();
  // A path argument in the system code page; a path the system cannot take
  // is reported under the root's identity.
  HRESULT PathArgument(BSTR path, std::string* out);
  // One profile write (a null key or value deletes); failures carry the
  // system's text.
  HRESULT ProfileWrite(BSTR file_name, BSTR section, const BSTR* key, const std::string* value);

  DWORD safety_options_ = 0;
  IDispatch* page_objects_[3] = {nullptr, nullptr, nullptr};
};
