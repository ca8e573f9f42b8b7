// File members that encrypt or decrypt the whole file into another file.
#include "crypto/file_cipher.h"
#include "frame/values.h"
#include "fsobjects/file.h"
#include "fsobjects/fs_common.h"

HRESULT File::Encrypt(BSTR out_file, BSTR password, QNENCTYPE type) {
  return Transform(out_file, password, type, true);
}

HRESULT File::Decrypt(BSTR out_file, BSTR password, QNENCTYPE type) {
  return Transform(out_file, password, type, false);
}

HRESULT File::Transform(BSTR out_file, BSTR password, QNENCTYPE type, bool encrypt) {
  const long kind = static_cast<long>(type);
  if (kind != QNTWOFISH && kind != QNRSA && kind != QNRSAHIGH && kind != QNRSALOW) {
    return ReportError("Encryption type is not Supported.", 0);
  }
  if (kind != QNTWOFISH) return E_NOTIMPL;
  // An output path is never cut to fit: a path that does not fit is refused
  // before the input is opened.
  std::string out_path;
  HRESULT hr = tessary::PathArgument(kErrorClass, out_file, &out_path);
  if (FAILED(hr)) return hr;
  uint8_t key[16];
  // No password, an empty one, or one whose first unit is zero yields no key
  // digits: the default key applies.
  if (!tessary::TwofishKeyFromSource(password, key)) {
    tessary::TwofishKeyFromSource(tessary::kTwofishDefaultKey, key);
  }
  return tessary::TwofishFile(kErrorClass, full_path_, out_path, key, encrypt);
}
