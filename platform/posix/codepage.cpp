// Code page conversion. The ANSI code page of this platform is UTF-8, so
// CP_ACP, CP_OEMCP, CP_THREAD_ACP and CP_UTF8 all convert UTF-8, with the
// contract of the Windows calls: a length of -1 means "up to and including
// the terminator", an output size of 0 asks for the size needed, a buffer too
// small fails with ERROR_INSUFFICIENT_BUFFER. Malformed input is replaced by
// U+FFFD, one per maximal ill-formed subsequence as Windows does, unless the
// caller asks for failure instead (ERROR_NO_UNICODE_TRANSLATION).
#include "platform/system.h"

namespace {

constexpr char16_t kReplacement = 0xFFFD;

bool IsUtf8CodePage(UINT code_page) {
  return code_page == CP_ACP || code_page == CP_OEMCP || code_page == CP_THREAD_ACP ||
         code_page == CP_UTF8;
}

int Fail(DWORD error) {
  SetLastError(error);
  return 0;
}

// Decodes one scalar value at `s` (n > 0 bytes available). Returns the bytes
// consumed; `*cp` is the value, or -1 for an ill-formed subsequence of that
// length (the longest prefix that could have started a valid sequence).
size_t DecodeUtf8(const unsigned char* s, size_t n, int32_t* cp) {
  const unsigned char b0 = s[0];
  if (b0 < 0x80) {
    *cp = b0;
    return 1;
  }
  size_t need;
  int32_t value;
  unsigned char lo = 0x80, hi = 0xBF;  // valid range of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
    value = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    value = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;  // overlong
    if (b0 == 0xED) hi = 0x9F;  // surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    value = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;  // overlong
    if (b0 == 0xF4) hi = 0x8F;  // above U+10FFFF
  } else {
    *cp = -1;
    return 1;
  }
  size_t i = 1;
  for (; i <= need; ++i) {
    if (i >= n) break;
    const unsigned char b = s[i];
    const unsigned char min = i == 1 ? lo : 0x80;
    const unsigned char max = i == 1 ? hi : 0xBF;
    if (b < min || b > max) break;
    value = (value << 6) | (b & 0x3F);
  }
  if (i <= need) {
    *cp = -1;
    return i;
  }
  *cp = value;
  return need + 1;
}

}  // namespace

extern "C" {
UINT GetACP(void) { return CP_UTF8; }

INT MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, INT cbMultiByte,
                        LPWSTR lpWideCharStr, INT cchWideChar) {
  if (!IsUtf8CodePage(CodePage)) return Fail(ERROR_INVALID_PARAMETER);
  if (lpMultiByteStr == nullptr || cbMultiByte == 0 || cbMultiByte < -1 || cchWideChar < 0 ||
      (cchWideChar > 0 && lpWideCharStr == nullptr) ||
      static_cast<const void*>(lpMultiByteStr) == static_cast<const void*>(lpWideCharStr)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  // UTF-8 knows no composition: Windows accepts only the error flag for it.
  // For the ANSI code pages it also takes (and here ignores) MB_PRECOMPOSED.
  const DWORD allowed =
      CodePage == CP_UTF8 ? MB_ERR_INVALID_CHARS : MB_ERR_INVALID_CHARS | MB_PRECOMPOSED;
  if (dwFlags & ~allowed) return Fail(ERROR_INVALID_FLAGS);
  const bool strict = (dwFlags & MB_ERR_INVALID_CHARS) != 0;

  const unsigned char* in = reinterpret_cast<const unsigned char*>(lpMultiByteStr);
  size_t in_len;
  if (cbMultiByte == -1) {
    in_len = 0;
    while (in[in_len] != 0) ++in_len;
    ++in_len;  // the terminator is converted and counted
  } else {
    in_len = static_cast<size_t>(cbMultiByte);
  }

  size_t out = 0;
  const size_t capacity = static_cast<size_t>(cchWideChar);
  auto put = [&](char16_t unit) -> bool {
    if (capacity != 0) {
      if (out >= capacity) return false;
      lpWideCharStr[out] = unit;
    }
    ++out;
    return true;
  };
  for (size_t pos = 0; pos < in_len;) {
    int32_t cp;
    pos += DecodeUtf8(in + pos, in_len - pos, &cp);
    if (cp < 0) {
      if (strict) return Fail(ERROR_NO_UNICODE_TRANSLATION);
      if (!put(kReplacement)) return Fail(ERROR_INSUFFICIENT_BUFFER);
    } else if (cp >= 0x10000) {
      cp -= 0x10000;
      if (!put(static_cast<char16_t>(0xD800 + (cp >> 10))) ||
          !put(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)))) {
        return Fail(ERROR_INSUFFICIENT_BUFFER);
      }
    } else if (!put(static_cast<char16_t>(cp))) {
      return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    if (out > 0x7FFFFFFF) return Fail(ERROR_INVALID_PARAMETER);
  }
  return static_cast<INT>(out);
}

INT WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, INT cchWideChar,
                        LPSTR lpMultiByteStr, INT cbMultiByte, LPCSTR lpDefaultChar,
                        LPBOOL lpUsedDefaultChar) {
  if (!IsUtf8CodePage(CodePage)) return Fail(ERROR_INVALID_PARAMETER);
  if (lpWideCharStr == nullptr || cchWideChar == 0 || cchWideChar < -1 || cbMultiByte < 0 ||
      (cbMultiByte > 0 && lpMultiByteStr == nullptr) ||
      static_cast<const void*>(lpMultiByteStr) == static_cast<const void*>(lpWideCharStr)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if (CodePage == CP_UTF8) {
    // Every character has a UTF-8 form, so Windows refuses a default
    // character for this code page.
    if (lpDefaultChar != nullptr || lpUsedDefaultChar != nullptr) {
      return Fail(ERROR_INVALID_PARAMETER);
    }
    if (dwFlags & ~static_cast<DWORD>(WC_ERR_INVALID_CHARS)) return Fail(ERROR_INVALID_FLAGS);
  }
  // Code written for a single-byte ANSI code page passes best-fit flags and
  // asks whether the default character was used; with UTF-8 behind CP_ACP the
  // only loss is an unpaired surrogate, which is what that answer reports.
  const bool strict = (dwFlags & WC_ERR_INVALID_CHARS) != 0;
  bool used_default = false;

  size_t in_len;
  if (cchWideChar == -1) {
    in_len = 0;
    while (lpWideCharStr[in_len] != 0) ++in_len;
    ++in_len;
  } else {
    in_len = static_cast<size_t>(cchWideChar);
  }

  size_t out = 0;
  const size_t capacity = static_cast<size_t>(cbMultiByte);
  unsigned char bytes[4];
  for (size_t pos = 0; pos < in_len;) {
    uint32_t cp = lpWideCharStr[pos++];
    if (cp >= 0xD800 && cp <= 0xDBFF && pos < in_len && lpWideCharStr[pos] >= 0xDC00 &&
        lpWideCharStr[pos] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (lpWideCharStr[pos++] - 0xDC00);
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      if (strict) return Fail(ERROR_NO_UNICODE_TRANSLATION);
      used_default = true;
      cp = kReplacement;
    }
    size_t n;
    if (cp < 0x80) {
      bytes[0] = static_cast<unsigned char>(cp);
      n = 1;
    } else if (cp < 0x800) {
      bytes[0] = static_cast<unsigned char>(0xC0 | (cp >> 6));
      bytes[1] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
      n = 2;
    } else if (cp < 0x10000) {
      bytes[0] = static_cast<unsigned char>(0xE0 | (cp >> 12));
      bytes[1] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
      bytes[2] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
      n = 3;
    } else {
      bytes[0] = static_cast<unsigned char>(0xF0 | (cp >> 18));
      bytes[1] = static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F));
      bytes[2] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
      bytes[3] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
      n = 4;
    }
    if (capacity != 0) {
      if (capacity - out < n) return Fail(ERROR_INSUFFICIENT_BUFFER);
      for (size_t i = 0; i < n; ++i) lpMultiByteStr[out + i] = static_cast<char>(bytes[i]);
    }
    out += n;
    if (out > 0x7FFFFFFF) return Fail(ERROR_INVALID_PARAMETER);
  }
  if (lpUsedDefaultChar != nullptr) *lpUsedDefaultChar = used_default ? TRUE : FALSE;
  return static_cast<INT>(out);
}

}  // extern "C"
