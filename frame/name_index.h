// Case-insensitive lookup of member names in constant time: an open-addressed
// hash table over the member table, built once per interface. Names compare
// with ASCII letters folded, as late binding compares them.
#pragma once

#include <cstdint>
#include <vector>

#include "frame/dispatch_table.h"

namespace tessary::dispatch {

// The tables spell names in UTF-16 literals; OLECHAR is the same 16-bit unit
// under another type on Windows (wchar_t).
static_assert(sizeof(OLECHAR) == sizeof(char16_t), "OLECHAR is one UTF-16 unit");
inline const char16_t* AsUtf16(const OLECHAR* text) {
  return reinterpret_cast<const char16_t*>(text);
}

class NameIndex {
 public:
  explicit NameIndex(const InterfaceInfo& info);

  // The index of the first member with this name, or -1.
  int Find(const OLECHAR* name) const;

  static bool EqualNoCase(const char16_t* a, const char16_t* b);

 private:
  static uint32_t Hash(const char16_t* name);

  struct Slot {
    uint32_t hash = 0;
    int member = -1;
  };
  const InterfaceInfo& info_;
  std::vector<Slot> slots_;
  uint32_t mask_ = 0;
};

}  // namespace tessary::dispatch
