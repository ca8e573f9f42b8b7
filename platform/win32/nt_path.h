// The NT path of a full drive path that the path rules would leave as it is,
// made in the caller's buffer instead of by RtlDosPathNameToNtPathName_U and
// its heap allocation.
//
// For "X:\" followed by components, RtlDosPathNameToNtPathName_U only puts
// "\??\" in front when nothing in the path is for the rules to change: every
// separator a backslash, no empty component (doubled or final separator), no
// component that ends in a dot or a space (which the rules strip, and which
// covers "." and ".."). The drive letter must be upper case, so the text is
// the same whether or not the rules upper-case it. A reserved device name is
// the caller's to rule out (RtlIsDosDeviceName_U), as before either path.
#pragma once

#include <windows.h>

namespace tessary::win32 {

// Room for "\??\" and a full path of MAX_PATH characters with its terminator.
constexpr int kNtPathCapacity = MAX_PATH + 4;

// Writes "\??\" + dos_path into nt (kNtPathCapacity characters) and returns
// its length in characters, or returns 0 when the path is not such a plain
// drive path and the path rules must make the NT path. length is the number
// of characters of dos_path before its terminator.
inline int PlainDriveNtPath(const WCHAR* dos_path, int length, WCHAR* nt) {
  if (length < 4 || length + 4 >= kNtPathCapacity) return 0;
  if (dos_path[0] < L'A' || dos_path[0] > L'Z' || dos_path[1] != L':' || dos_path[2] != L'\\')
    return 0;
  for (int i = 3; i < length; ++i) {
    const WCHAR c = dos_path[i];
    if (c == L'/') return 0;
    if (c != L'\\') continue;
    const WCHAR before = dos_path[i - 1];
    if (before == L'\\' || before == L'.' || before == L' ') return 0;
  }
  const WCHAR last = dos_path[length - 1];
  if (last == L'\\' || last == L'.' || last == L' ') return 0;
  nt[0] = L'\\';
  nt[1] = L'?';
  nt[2] = L'?';
  nt[3] = L'\\';
  for (int i = 0; i <= length; ++i) nt[4 + i] = dos_path[i];
  return length + 4;
}

}  // namespace tessary::win32
