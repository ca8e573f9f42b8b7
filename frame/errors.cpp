#include "frame/errors.h"

#include <string>

#include "frame/values.h"
#include "platform/system.h"

namespace tessary {

HRESULT HResultFromWin32(DWORD code) {
  LONG signed_code = static_cast<LONG>(code);
  if (signed_code > 0) return static_cast<HRESULT>(0x80070000u | (code & 0xFFFFu));
  return signed_code;
}

HRESULT ReportErrorW(const CLSID* source_class, const OLECHAR* text, HRESULT code) {
  const HRESULT result = code == 0 ? DISP_E_EXCEPTION : code;
  ICreateErrorInfo* create = nullptr;
  // Without a record the previous one stays; the caller still gets its code.
  if (FAILED(CreateErrorInfo(&create)) || !create) return result;
  create->SetGUID(GUID_NULL);
  if (source_class) {
    LPOLESTR progid = nullptr;
    if (SUCCEEDED(ProgIDFromCLSID(*source_class, &progid)) && progid) {
      create->SetSource(progid);
      CoTaskMemFree(progid);
    }
  }
  static OLECHAR empty[] = {0};
  create->SetDescription(text ? const_cast<OLECHAR*>(text) : empty);
  IErrorInfo* info = nullptr;
  if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info))) && info) {
    SetErrorInfo(0, info);
    info->Release();
  }
  create->Release();
  return result;
}

HRESULT ReportError(const CLSID* source_class, const char* text, HRESULT code) {
  Bstr wide;
  if (FAILED(wide.FromAnsi(text ? text : ""))) return E_OUTOFMEMORY;
  return ReportErrorW(source_class, wide.get(), code);
}

std::string SystemMessage(DWORD code, bool ignore_inserts) {
  char* text = nullptr;
  DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER |
                                    (ignore_inserts ? FORMAT_MESSAGE_IGNORE_INSERTS : 0) |
                                    FORMAT_MESSAGE_FROM_SYSTEM,
                                nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                reinterpret_cast<LPSTR>(&text), 0, nullptr);
  std::string result = length && text ? std::string(text, length) : std::string();
  if (text) LocalFree(text);
  return result;
}

HRESULT ReportWin32Error(const CLSID* source_class, DWORD code, const char* prefix) {
  std::string text = SystemMessage(code, false);
  std::string message;
  if (!text.empty()) {
    // The system's texts end in a line break, which a message does not keep.
    if (text.size() > 1 && text.back() == '\n') {
      text.pop_back();
      if (!text.empty() && text.back() == '\r') text.pop_back();
    }
    if (prefix) message = prefix;
    message += text;
  }
  return ReportError(source_class, message.c_str(), HResultFromWin32(code));
}

HRESULT ReportLastWin32Error(const CLSID* source_class, const char* prefix) {
  return ReportWin32Error(source_class, GetLastError(), prefix);
}

}  // namespace tessary
