// The producers' way to a stream: each creates the object, calls its
// private initialisation once and hands out the public interface. A failure
// of any step is returned as the stream reported it (message and code are
// already in the thread's error record), and the object is released, which
// closes any file it had opened. The ANSI forms take a path in the system
// code page, as File and Folder hold theirs.
#pragma once

#include <string>

#include "platform/automation.h"
#include "tessary_stubs.h"

namespace tessary {

// TextStream: Create(file, overwrite, unicode) / Open(file, mode, create,
// format). mode is an IOMode, format a Tristate.
HRESULT NewTextStreamCreate(BSTR file, VARIANT_BOOL overwrite, VARIANT_BOOL unicode,
                            ITextStream** out);
HRESULT NewTextStreamOpen(BSTR file, LONG mode, VARIANT_BOOL create, LONG format,
                          ITextStream** out);
HRESULT NewTextStreamCreate(const std::string& ansi_file, VARIANT_BOOL overwrite,
                            VARIANT_BOOL unicode, ITextStream** out);
HRESULT NewTextStreamOpen(const std::string& ansi_file, LONG mode, VARIANT_BOOL create, LONG format,
                          ITextStream** out);

// BinaryStream: Create(file, overwrite) / Open(file, mode, create).
HRESULT NewBinaryStreamCreate(BSTR file, VARIANT_BOOL overwrite, IBinaryStream** out);
HRESULT NewBinaryStreamOpen(BSTR file, LONG mode, VARIANT_BOOL create, IBinaryStream** out);
HRESULT NewBinaryStreamCreate(const std::string& ansi_file, VARIANT_BOOL overwrite,
                              IBinaryStream** out);
HRESULT NewBinaryStreamOpen(const std::string& ansi_file, LONG mode, VARIANT_BOOL create,
                            IBinaryStream** out);

}  // namespace tessary
