// Strings and error records for the tests of the core: BSTRs from and to
// the system code page, and the thread's error record taken apart.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "frame/values.h"

namespace tessary::testing {

inline Bstr B(const std::string& text) {
  Bstr s;
  EXPECT_EQ(S_OK, s.FromAnsi(text));
  return s;
}

inline std::string Text(BSTR s) {
  std::string out;
  EXPECT_EQ(S_OK, ToAnsi(s, &out));
  return out;
}

// Takes a BSTR result and frees it.
inline std::string Take(BSTR s) {
  std::string text = Text(s);
  SysFreeString(s);
  return text;
}

struct ErrorRecord {
  bool present = false;
  std::string description;
  std::string source;
};

// The calling thread's error record, which it consumes.
inline ErrorRecord TakeError() {
  ErrorRecord r;
  IErrorInfo* info = nullptr;
  if (GetErrorInfo(0, &info) != S_OK || !info) return r;
  r.present = true;
  BSTR d = nullptr, s = nullptr;
  info->GetDescription(&d);
  info->GetSource(&s);
  r.description = Take(d);
  r.source = Take(s);
  info->Release();
  return r;
}

}  // namespace tessary::testing
