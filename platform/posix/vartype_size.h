// The size of a plain automation value (no pointer, no string, no object)
// of each variant type, as by-reference variants and safe arrays lay it out;
// 0 for every other type.
#pragma once

#include "platform/automation.h"

namespace tessary::posix {

inline size_t PlainValueSize(VARTYPE vt) {
  switch (vt) {
    case VT_I1:
    case VT_UI1:
      return 1;
    case VT_I2:
    case VT_UI2:
    case VT_BOOL:
      return 2;
    case VT_I4:
    case VT_UI4:
    case VT_R4:
    case VT_INT:
    case VT_UINT:
    case VT_ERROR:
      return 4;
    case VT_R8:
    case VT_DATE:
    case VT_CY:
    case VT_I8:
    case VT_UI8:
      return 8;
    default:
      return 0;
  }
}

}  // namespace tessary::posix
