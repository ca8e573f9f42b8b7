#include "frame/values.h"

#include <cstring>

#include "frame/errors.h"
#include "platform/system.h"

namespace tessary {
namespace {

// Every ANSI code page keeps ASCII as it is, and most texts that cross here
// (paths, names) are ASCII: those take one unit a byte without the
// conversion's two passes.
size_t AsciiPrefix(const char* text, size_t size) {
  size_t i = 0;
  while (i < size && static_cast<unsigned char>(text[i]) < 0x80) ++i;
  return i;
}

BSTR AsciiToBstr(const char* text, size_t size) {
  BSTR s = SysAllocStringLen(nullptr, static_cast<UINT>(size));
  if (!s) return nullptr;
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<OLECHAR>(text[i]);
  return s;
}

}  // namespace

HRESULT Bstr::FromAnsi(const char* text) {
  Reset();
  if (!text || !*text) return S_OK;  // the empty string is a null BSTR
  size_t size = std::strlen(text);
  if (size < 0x10000000 && AsciiPrefix(text, size) == size) {
    s_ = AsciiToBstr(text, size);
    return s_ ? S_OK : E_OUTOFMEMORY;
  }
  int wide = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
  if (wide <= 0) return HRESULT_FROM_WIN32(GetLastError());
  BSTR s = SysAllocStringLen(nullptr, static_cast<UINT>(wide - 1));
  if (!s) return E_OUTOFMEMORY;
  MultiByteToWideChar(CP_ACP, 0, text, -1, s, wide);
  s_ = s;
  return S_OK;
}

HRESULT Bstr::FromAnsi(const std::string& text) {
  Reset();
  if (text.empty()) return S_OK;
  if (text.size() < 0x10000000 && AsciiPrefix(text.data(), text.size()) == text.size()) {
    s_ = AsciiToBstr(text.data(), text.size());
    return s_ ? S_OK : E_OUTOFMEMORY;
  }
  int wide = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (wide <= 0) return HRESULT_FROM_WIN32(GetLastError());
  BSTR s = SysAllocStringLen(nullptr, static_cast<UINT>(wide));
  if (!s) return E_OUTOFMEMORY;
  MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), s, wide);
  s_ = s;
  return S_OK;
}

HRESULT ToAnsi(BSTR text, std::string* out) {
  out->clear();
  UINT length = SysStringLen(text);
  if (length == 0) return S_OK;
  UINT ascii = 0;
  while (ascii < length && text[ascii] < 0x80) ++ascii;
  if (ascii == length) {
    out->resize(length);
    for (UINT i = 0; i < length; ++i) (*out)[i] = static_cast<char>(text[i]);
    return S_OK;
  }
  int bytes =
      WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return HRESULT_FROM_WIN32(GetLastError());
  out->resize(static_cast<size_t>(bytes));
  WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(length), &(*out)[0], bytes, nullptr,
                      nullptr);
  return S_OK;
}

HRESULT ToAnsiPath(BSTR text, std::string* out) {
  HRESULT hr = ToAnsi(text, out);
  if (FAILED(hr)) return hr;
  // A path with a NUL inside would reach the system cut at the NUL and name
  // another file than the caller gave.
  if (out->find('\0') != std::string::npos) {
    out->clear();
    return HResultFromWin32(ERROR_INVALID_NAME);
  }
  if (out->size() >= kMaxPath) {
    out->clear();
    return kPathTooLong;
  }
  return S_OK;
}

HRESULT ReturnAnsi(const std::string& text, BSTR* out) {
  if (!out) return E_POINTER;
  Bstr s;
  HRESULT hr = s.FromAnsi(text);
  if (FAILED(hr)) return hr;
  *out = s.Detach();
  return S_OK;
}

}  // namespace tessary
