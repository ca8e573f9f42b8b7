// The Folder object: one directory, named by the absolute path fixed when it
// is initialised.
#pragma once

#include <string>

#include "frame/com_object.h"

class Folder : public tessary::Object<Folder, IFolder, IFolderInit> {
 public:
  static constexpr const CLSID* kErrorClass = &CLSID_Folder;

  // IFolderInit
  HRESULT STDMETHODCALLTYPE InitFromPath(BSTR path) override;

  // IFolder
  HRESULT STDMETHODCALLTYPE get_Path(BSTR* path) override;
  HRESULT STDMETHODCALLTYPE get_Name(BSTR* name) override;

 private:
  std::string name_;
  std::string full_path_;
  std::string search_wildcard_ = "*";
};

namespace tessary {

// Creates a Folder for `path` (as IFolderInit::InitFromPath takes it) and
// hands out its IFolder; every failure is returned as the Folder reported it.
HRESULT NewFolder(BSTR path, IFolder** out);
HRESULT NewFolder(const std::string& ansi_path, IFolder** out);

}  // namespace tessary
