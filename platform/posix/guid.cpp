// GUID text, task memory, and the one definition of every interface id.
//
// INITGUID turns each DEFINE_GUID of com_types.h into an exported
// definition; every other translation unit sees only declarations.
#define INITGUID
#include <stdlib.h>

#include "platform/automation.h"
#include "platform/posix/com_types.h"

namespace {

constexpr int kGuidChars = 38;  // {8-4-4-4-12}, without the terminator

int HexValue(OLECHAR c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

// Reads `digits` hex digits at `s`; false on anything else.
bool ReadHex(LPCOLESTR s, int digits, uint32_t* value) {
  uint32_t v = 0;
  for (int i = 0; i < digits; ++i) {
    const int d = HexValue(s[i]);
    if (d < 0) return false;
    v = (v << 4) | static_cast<uint32_t>(d);
  }
  *value = v;
  return true;
}

}  // namespace

extern "C" {
INT StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, INT cchMax) {
  if (lpsz == nullptr || cchMax < kGuidChars + 1) return 0;
  static const char kDigits[] = "0123456789ABCDEF";
  int pos = 0;
  auto put_hex = [&](uint32_t value, int digits) {
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) {
      lpsz[pos++] = static_cast<OLECHAR>(kDigits[(value >> shift) & 0xF]);
    }
  };
  lpsz[pos++] = u'{';
  put_hex(rguid.Data1, 8);
  lpsz[pos++] = u'-';
  put_hex(rguid.Data2, 4);
  lpsz[pos++] = u'-';
  put_hex(rguid.Data3, 4);
  lpsz[pos++] = u'-';
  put_hex(rguid.Data4[0], 2);
  put_hex(rguid.Data4[1], 2);
  lpsz[pos++] = u'-';
  for (int i = 2; i < 8; ++i) put_hex(rguid.Data4[i], 2);
  lpsz[pos++] = u'}';
  lpsz[pos++] = 0;
  return pos;
}

// Only the braced form is read. Windows would also look a ProgID up in the
// class catalogue; callers here use CLSIDFromProgID for that.
HRESULT CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid) {
  if (pclsid == nullptr) return E_INVALIDARG;
  *pclsid = GUID_NULL;
  // A null string is the null class id, as on Windows.
  if (lpsz == nullptr) return S_OK;
  for (int i = 0; i < kGuidChars; ++i) {
    if (lpsz[i] == 0) return CO_E_CLASSSTRING;
  }
  if (lpsz[0] != u'{' || lpsz[9] != u'-' || lpsz[14] != u'-' || lpsz[19] != u'-' ||
      lpsz[24] != u'-' || lpsz[37] != u'}' || lpsz[kGuidChars] != 0) {
    return CO_E_CLASSSTRING;
  }
  GUID guid;
  uint32_t v;
  if (!ReadHex(lpsz + 1, 8, &v)) return CO_E_CLASSSTRING;
  guid.Data1 = v;
  if (!ReadHex(lpsz + 10, 4, &v)) return CO_E_CLASSSTRING;
  guid.Data2 = static_cast<uint16_t>(v);
  if (!ReadHex(lpsz + 15, 4, &v)) return CO_E_CLASSSTRING;
  guid.Data3 = static_cast<uint16_t>(v);
  static const int kByteOffsets[8] = {20, 22, 25, 27, 29, 31, 33, 35};
  for (int i = 0; i < 8; ++i) {
    if (!ReadHex(lpsz + kByteOffsets[i], 2, &v)) return CO_E_CLASSSTRING;
    guid.Data4[i] = static_cast<uint8_t>(v);
  }
  *pclsid = guid;
  return S_OK;
}

LPVOID CoTaskMemAlloc(SIZE_T cb) { return malloc(cb); }

void CoTaskMemFree(LPVOID pv) { free(pv); }

}  // extern "C"
