// Whole-file encryption: the file's bytes transformed into another file of
// the same length, with no header. Each operation opens the input, then
// creates the output, streams with fixed memory and reports its first
// failure through the error path of `reporter`.
#pragma once

#include <cstdint>
#include <string>

#include "frame/errors.h"

namespace tessary {

// The key source used when a script gives no password.
extern const OLECHAR kTwofishDefaultKey[];

// The Twofish cipher key from a key source: its first 32 units, each mapped
// to a hexadecimal digit ('0'-'9' and 'a'-'f' unchanged, any other unit to
// the digit of its low four bits), repeated to 32 digits; byte i is the value
// of digit i. Returns false when the source yields no digit (empty, or a
// zero first unit), leaving `key` untouched.
bool TwofishKeyFromSource(const OLECHAR* source, uint8_t key[16]);

// Opens a transform's input for reading and creates its output. Share mode 0
// over an input held for reading fails with a sharing violation before
// anything is emptied, under whatever name the output reaches the input.
// Failures are reported with the transforms' texts; the caller closes what
// was opened.
HRESULT OpenTransformFiles(const CLSID* reporter, bool encrypt, const std::string& in_path,
                           const std::string& out_path, HANDLE* in, HANDLE* out);

// Twofish in ECB with the stealing step for a trailing partial block; a file
// shorter than one block is copied unchanged.
HRESULT TwofishFile(const CLSID* reporter, const std::string& in_path, const std::string& out_path,
                    const uint8_t key[16], bool encrypt);

}  // namespace tessary

namespace tessary {

// RC4 through the system's cryptographic providers: the provider chosen by
// `type` (QNRSA, QNRSAHIGH or QNRSALOW) derives the key from the MD5 of the
// password's ANSI bytes. The same call decrypts.
HRESULT ProviderFile(const CLSID* reporter, const std::string& in_path, const std::string& out_path,
                     const std::string& password, long type, bool encrypt);

}  // namespace tessary
