// The BinaryStream class. Its members arrive with the work that builds them; until
// then they answer E_NOTIMPL.
#include "frame/com_object.h"

class BinaryStream : public tessary::Object<BinaryStream, IBinaryStream> {
 public:
  static constexpr const CLSID* kErrorClass = &CLSID_BinaryStream;
};

TESSARY_CREATABLE(BinaryStream)
