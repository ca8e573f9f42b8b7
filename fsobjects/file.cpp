// The File class. Its members arrive with the work that builds them; until
// then they answer E_NOTIMPL.
#include "frame/com_object.h"

class File : public tessary::Object<File, IFile> {
 public:
  static constexpr const CLSID* kErrorClass = &CLSID_File;
};

TESSARY_CREATABLE(File)
