// The Folders class. Its members arrive with the work that builds them; until
// then they answer E_NOTIMPL.
#include "frame/com_object.h"

class Folders : public tessary::Object<Folders, IFolderCollection> {
 public:
  static constexpr const CLSID* kErrorClass = nullptr;
};

TESSARY_CREATABLE(Folders)
