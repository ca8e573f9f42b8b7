#include "frame/name_index.h"

namespace tessary::dispatch {
namespace {

inline char16_t Fold(char16_t c) {
  return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c;
}

}  // namespace

NameIndex::NameIndex(const InterfaceInfo& info) : info_(info) {
  size_t capacity = 8;
  while (capacity < info.member_count * 2u) capacity *= 2;
  slots_.resize(capacity);
  mask_ = static_cast<uint32_t>(capacity - 1);
  for (UINT m = 0; m < info.member_count; ++m) {
    // A get/put pair: the first one answers.
    if (Find(reinterpret_cast<const OLECHAR*>(info.members[m].name)) >= 0) continue;
    uint32_t h = Hash(info.members[m].name);
    for (uint32_t i = h & mask_;; i = (i + 1) & mask_) {
      if (slots_[i].member < 0) {
        slots_[i] = {h, static_cast<int>(m)};
        break;
      }
    }
  }
}

uint32_t NameIndex::Hash(const char16_t* name) {
  uint32_t h = 2166136261u;
  for (; *name; ++name) {
    h ^= Fold(*name);
    h *= 16777619u;
  }
  return h;
}

bool NameIndex::EqualNoCase(const char16_t* a, const char16_t* b) {
  if (!a || !b) return false;
  for (; *a && *b; ++a, ++b)
    if (Fold(*a) != Fold(*b)) return false;
  return *a == *b;
}

int NameIndex::Find(const OLECHAR* wide_name) const {
  if (!wide_name) return -1;
  const char16_t* name = AsUtf16(wide_name);
  uint32_t h = Hash(name);
  for (uint32_t i = h & mask_;; i = (i + 1) & mask_) {
    const Slot& s = slots_[i];
    if (s.member < 0) return -1;
    if (s.hash == h && EqualNoCase(info_.members[s.member].name, name)) return s.member;
  }
}

}  // namespace tessary::dispatch
