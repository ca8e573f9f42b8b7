// The TextStream class. Its members arrive with the work that builds them; until
// then they answer E_NOTIMPL.
#include "frame/com_object.h"

class TextStream : public tessary::Object<TextStream, ITextStream> {
 public:
  static constexpr const CLSID* kErrorClass = nullptr;
};

TESSARY_CREATABLE(TextStream)
