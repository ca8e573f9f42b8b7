// Between the names search of a listing and its probe on Windows: the reader
// of a large folder probes entries ahead of the caller (find_names.cpp) with
// the probe's own query (find_probe.cpp).
#pragma once

#include <windows.h>

namespace tessary::win32 {

// The probe of a full name, as FindProbeEntryA answers it.
BOOL ProbeFullNameA(LPCSTR lpFullName);

// True when the names search hFindFile already has the probe's answer for
// lpFullName, the entry it handed out last: *passed is set, and the error
// too when it did not pass. False when the caller must probe it itself, and
// from then on the reader leaves that entry to it.
bool ReadAheadProbeAnswer(HANDLE hFindFile, LPCSTR lpFullName, BOOL* passed);

}  // namespace tessary::win32
