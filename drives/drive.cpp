// The Drive class. Its members arrive with the work that builds them; until
// then they answer E_NOTIMPL.
#include "frame/com_object.h"

class Drive : public tessary::Object<Drive, IDrive> {
 public:
  static constexpr const CLSID* kErrorClass = &CLSID_Drive;
};

TESSARY_CREATABLE(Drive)
