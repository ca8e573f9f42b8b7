// The root object's stream producers. The root adds no check of its own:
// the stream opens the file and reports any failure under its own class.
#include "streams/streams.h"

#include "root/tessary.h"

HRESULT Tessary::CreateTextFile(BSTR file_name, VARIANT_BOOL overwrite, VARIANT_BOOL unicode,
                                ITextStream** stream) {
  return tessary::NewTextStreamCreate(file_name, overwrite, unicode, stream);
}

HRESULT Tessary::OpenTextFile(BSTR file_name, IOMode mode, VARIANT_BOOL create, Tristate format,
                              ITextStream** stream) {
  return tessary::NewTextStreamOpen(file_name, static_cast<LONG>(mode), create,
                                    static_cast<LONG>(format), stream);
}

HRESULT Tessary::CreateBinaryFile(BSTR file_name, VARIANT_BOOL overwrite, IBinaryStream** stream) {
  return tessary::NewBinaryStreamCreate(file_name, overwrite, stream);
}

HRESULT Tessary::OpenBinaryFile(BSTR file_name, IOMode mode, VARIANT_BOOL create,
                                IBinaryStream** stream) {
  return tessary::NewBinaryStreamOpen(file_name, static_cast<LONG>(mode), create, stream);
}
