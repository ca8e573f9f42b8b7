// The common error path. Every failure that carries a message goes to the
// calling thread's error record (source: the ProgID registered for the
// reporting class, description: the text) and returns its HRESULT.
#pragma once

#include <string>

#include "platform/automation.h"

namespace tessary {

// A positive Win32 code becomes 0x8007xxxx; zero and negative values pass
// through unchanged.
HRESULT HResultFromWin32(DWORD code);

// Installs an error record and returns `code`, or DISP_E_EXCEPTION when
// `code` is 0. `source_class` null leaves the record's source unset. The
// text is ANSI (the system code page).
HRESULT ReportError(const CLSID* source_class, const char* text, HRESULT code);
HRESULT ReportErrorW(const CLSID* source_class, const OLECHAR* text, HRESULT code);

// The system's text for a Win32 code as the system gives it, its trailing
// line break included (some messages carry it on); empty for an unknown code.
// Without `ignore_inserts` a text that has inserts ("%1 is not ...") cannot
// be formatted and is empty, which is what reported errors have always shown.
std::string SystemMessage(DWORD code, bool ignore_inserts = true);

// The system's text for a Win32 code (without its trailing line break),
// after `prefix`; an unknown code gives an empty message.
HRESULT ReportWin32Error(const CLSID* source_class, DWORD code, const char* prefix);
HRESULT ReportLastWin32Error(const CLSID* source_class, const char* prefix);

}  // namespace tessary
