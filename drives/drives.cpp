// The Drives class. Its members arrive with the work that builds them; until
// then they answer E_NOTIMPL.
#include "frame/com_object.h"

class Drives : public tessary::Object<Drives, IDriveCollection> {
 public:
  static constexpr const CLSID* kErrorClass = nullptr;
};

TESSARY_CREATABLE(Drives)
