// What the parts of VariantChangeType share: integers as sign and
// magnitude, numbers read from and printed as text (variant_change_numbers.cpp)
// and dates read from and printed as text (variant_change_dates.cpp).
// Internal to the platform library.
#pragma once

#include <cstdint>
#include <string>

#include "platform/automation.h"

namespace tessary::variant_change {

// ---------------------------------------------------------------------------
// Integers: sign and magnitude, so the whole of both VT_I8 and VT_UI8 fits.

struct Integer {
  bool negative = false;
  uint64_t magnitude = 0;
};

Integer FromSigned(int64_t v);
Integer FromUnsigned(uint64_t v);
double ToDouble(const Integer& i);
// Stores the low bits of the two's complement value `bits` into `out`.
void StoreInteger(VARTYPE vt, uint64_t bits, VARIANT* out);
uint64_t TwosComplement(const Integer& i);
// `value` as `vt` into `out`, or DISP_E_OVERFLOW when it does not fit.
HRESULT FitInteger(const Integer& value, VARTYPE vt, VARIANT* out);
// Round half to even, the rule of the automation library (and of banks).
bool RoundReal(double d, Integer* out);

// ---------------------------------------------------------------------------
// Text

// The BSTR as ASCII; false when it holds any other character (an embedded
// NUL included), which no number or date may contain.
bool ToAscii(BSTR text, std::string* out);
HRESULT MakeBstr(const std::string& ascii, VARIANT* out);

inline bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}
inline bool IsDigit(char c) { return c >= '0' && c <= '9'; }
inline char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
bool EqualsIgnoringCase(const std::string& a, const char* b);
std::string Trimmed(const std::string& s);

HRESULT TextToInteger(BSTR text, VARTYPE vt, VARIANT* out);
HRESULT TextToDouble(BSTR text, double* out);
// 15 significant digits for VT_R8, 7 for VT_R4, in printf's %G style with
// the exponent as Windows prints it (E+20, E-07); never "-0".
std::string FormatReal(double d, int precision);
std::string FormatInteger(const Integer& i);

// ---------------------------------------------------------------------------
// Dates as text: M/D/YYYY h:mm:ss AM/PM, the time left out at midnight and
// the date on day 0 (1899-12-30).

HRESULT FormatDate(DATE date, std::string* out);
HRESULT TextToDate(BSTR text, DATE* out);

}  // namespace tessary::variant_change
