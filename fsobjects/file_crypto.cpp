// File members that encrypt or decrypt the whole file into another file.
#include <cstdint>

#include "crypto/file_cipher.h"
#include "frame/values.h"
#include "fsobjects/file.h"
#include "fsobjects/fs_common.h"
#include "platform/registry.h"

namespace {

#ifndef _WIN32
// Windows code page 1252 from UTF-16: Latin-1 plus the 0x80-0x9F block.
// A unit the page cannot hold becomes '?', as the system's default
// character does.
char To1252(char16_t unit) {
  static const char16_t kHigh[32] = {
      0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
      0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
      0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
  if (unit < 0x80 || (unit >= 0xA0 && unit <= 0xFF)) return static_cast<char>(unit);
  for (int i = 0; i < 32; ++i)
    if (kHigh[i] == unit) return static_cast<char>(0x80 + i);
  return '?';
}

// The code page the store names for password bytes, 0 for the system's
// (UTF-8 here). Files encrypted on Windows hash the password in the
// machine's ANSI page, so matching it lets them decrypt here.
DWORD PasswordCodePage() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quennel\\QN-Tessary\\Encryption", 0, KEY_READ,
                    &key) != ERROR_SUCCESS)
    return 0;
  DWORD value = 0, type = 0, size = sizeof value;
  LONG rc = RegQueryValueExA(key, "PasswordCodePage", nullptr, &type,
                             reinterpret_cast<BYTE*>(&value), &size);
  RegCloseKey(key);
  return rc == ERROR_SUCCESS && type == REG_DWORD ? value : 0;
}
#endif

// The password's ANSI bytes up to its first NUL (a null password is empty).
HRESULT PasswordBytes(BSTR password, std::string* out) {
#ifndef _WIN32
  if (PasswordCodePage() == 1252) {
    out->clear();
    for (const OLECHAR* p = password; p != nullptr && *p != 0; ++p) out->push_back(To1252(*p));
    return S_OK;
  }
#endif
  HRESULT hr = tessary::ToAnsi(password, out);
  if (FAILED(hr)) return hr;
  out->resize(out->find('\0') == std::string::npos ? out->size() : out->find('\0'));
  return S_OK;
}

}  // namespace

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
  // An output path is never cut to fit: a path that does not fit is refused
  // before the input is opened.
  std::string out_path;
  HRESULT hr = tessary::PathArgument(kErrorClass, out_file, &out_path);
  if (FAILED(hr)) return hr;
  if (kind != QNTWOFISH) {
    std::string bytes;
    hr = PasswordBytes(password, &bytes);
    if (FAILED(hr)) return hr;
    return tessary::ProviderFile(kErrorClass, full_path_, out_path, bytes, kind, encrypt);
  }
  uint8_t key[16];
  // No password, an empty one, or one whose first unit is zero yields no key
  // digits: the default key applies.
  if (!tessary::TwofishKeyFromSource(password, key)) {
    tessary::TwofishKeyFromSource(tessary::kTwofishDefaultKey, key);
  }
  return tessary::TwofishFile(kErrorClass, full_path_, out_path, key, encrypt);
}
