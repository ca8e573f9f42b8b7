// The Files class. Its members arrive with the work that builds them; until
// then they answer E_NOTIMPL.
#include "frame/com_object.h"

class Files : public tessary::Object<Files, IFileCollection> {
 public:
  static constexpr const CLSID* kErrorClass = nullptr;
};

TESSARY_CREATABLE(Files)
