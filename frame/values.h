// Value conversions at the dispatch boundary. The component works in the
// system ANSI code page inside; strings cross the boundary as BSTRs.
#pragma once

#include <string>

#include "platform/automation.h"
#include "platform/winpath.h"

namespace tessary {

// Paths handed to the system hold at most 259 bytes plus the terminator.
using winpath::kMaxPath;
// 0x800700CE: what a path longer than the system takes is refused with,
// rather than being cut.
constexpr HRESULT kPathTooLong = static_cast<HRESULT>(0x800700CE);

// An owned BSTR.
class Bstr {
 public:
  Bstr() = default;
  explicit Bstr(BSTR adopt) : s_(adopt) {}
  ~Bstr() { SysFreeString(s_); }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  Bstr(Bstr&& other) noexcept : s_(other.Detach()) {}
  Bstr& operator=(Bstr&& other) noexcept {
    if (this != &other) Reset(other.Detach());
    return *this;
  }

  // Converts ANSI text (CP_ACP); E_OUTOFMEMORY when it cannot.
  [[nodiscard]] HRESULT FromAnsi(const char* text);
  [[nodiscard]] HRESULT FromAnsi(const std::string& text);

  BSTR get() const { return s_; }
  UINT Length() const { return SysStringLen(s_); }
  BSTR Detach() {
    BSTR s = s_;
    s_ = nullptr;
    return s;
  }
  void Reset(BSTR adopt = nullptr) {
    SysFreeString(s_);
    s_ = adopt;
  }
  BSTR* Receive() {
    Reset();
    return &s_;
  }

 private:
  BSTR s_ = nullptr;
};

// BSTR (a null BSTR is the empty string) to ANSI text, whole.
[[nodiscard]] HRESULT ToAnsi(BSTR text, std::string* out);

// BSTR to an ANSI path for the system: at most kMaxPath - 1 bytes, else
// kPathTooLong; a NUL inside gives ERROR_INVALID_NAME. Never truncates.
[[nodiscard]] HRESULT ToAnsiPath(BSTR text, std::string* out);

// A new BSTR from ANSI text for an out-parameter; E_POINTER for a null out.
[[nodiscard]] HRESULT ReturnAnsi(const std::string& text, BSTR* out);

// Automation booleans: true is -1; an argument is true when its low 16 bits
// are non-zero.
inline VARIANT_BOOL ToVariantBool(bool value) { return value ? VARIANT_TRUE : VARIANT_FALSE; }
inline bool FromVariantBool(VARIANT_BOOL value) {
  return (static_cast<unsigned>(value) & 0xFFFFu) != 0;
}

}  // namespace tessary
