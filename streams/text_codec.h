// The text a stream reads and writes, as bytes and as characters.
#pragma once

#include <cstddef>
#include <string>

#include "platform/automation.h"

namespace tessary::text_codec {

// The bytes missing from a UTF-8 character that starts within the last
// three bytes and runs past the end; 0 when the text ends on a boundary.
// Malformed sequences count by their lead byte: the decoder replaces them
// either way, and a byte read too many still belongs to this text.
size_t MissingUtf8Bytes(const char* bytes, size_t n);

// ANSI bytes to characters, into room for n of them (a code page never
// makes more characters than bytes). The text ends at the first NUL.
size_t DecodeAnsi(const char* bytes, size_t n, OLECHAR* out);

// UTF-16LE bytes to characters, possibly in the same memory (each unit is
// read before it is written); an odd last byte (only at the end of a
// file) makes no character.
size_t DecodeUtf16(const char* bytes, size_t n, OLECHAR* out);

// Text to ANSI bytes: characters the code page lacks become its default
// character.
void AppendAnsiBytes(const OLECHAR* text, size_t n, std::string* out);

// Text to UTF-16LE bytes.
void AppendUtf16Bytes(const OLECHAR* text, size_t n, std::string* out);

}  // namespace tessary::text_codec
