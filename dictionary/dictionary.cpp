// The Dictionary class. Its members arrive with the work that builds them; until
// then they answer E_NOTIMPL.
#include "frame/com_object.h"

class Dictionary : public tessary::Object<Dictionary, IDictionary> {
 public:
  static constexpr const CLSID* kErrorClass = &CLSID_Dictionary;
};

TESSARY_CREATABLE(Dictionary)
