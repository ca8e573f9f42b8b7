// Seam group: a byte array that its caller fills whole at once (ours on
// POSIX; on Windows the system's SafeArrayCreateVector).
//
// SafeArrayCreateVector hands out zeroed elements. A caller that overwrites
// every element before anyone else sees the array (a read straight into it,
// a copy of bytes already read) pays for that zeroing for nothing, and for a
// large read it costs as much as a fifth of the copy from the file.
// - On POSIX the elements are left as allocated: the caller must write
//   every one of them, or destroy the array unseen.
// - On Windows it is SafeArrayCreateVector(VT_UI1, 0, cElements).
#pragma once

#include "platform/automation.h"

#ifdef _WIN32
inline SAFEARRAY* SafeArrayCreateBytesToFill(ULONG cElements) {
  return SafeArrayCreateVector(VT_UI1, 0, cElements);
}
#else
EXTERN_C {
  // A one-dimensional VT_UI1 array of cElements from index 0, its elements
  // not yet written; null when memory is short.
  TESSARY_EXPORT SAFEARRAY* SafeArrayCreateBytesToFill(ULONG cElements);
}
#endif
