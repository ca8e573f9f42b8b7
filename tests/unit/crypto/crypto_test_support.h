// Shared by the encryption tests: the error code of a text failure and the
// byte pattern their files are made of.
#pragma once

#include <cstddef>
#include <string>

#include "platform/automation.h"

namespace tessary::testing {

constexpr HRESULT kDispException = static_cast<HRESULT>(0x80020009);

// n bytes, byte i = (i*7+3) mod 256.
inline std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = char((i * 7 + 3) & 0xFF);
  return s;
}

}  // namespace tessary::testing
