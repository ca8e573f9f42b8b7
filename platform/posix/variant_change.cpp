// VariantChangeType: conversion between the automation value types with the
// rules of the system's automation library in an English (United States)
// locale.
//
// What a caller can observe and we reproduce:
// - Reals become integers by rounding half to even (2.5 -> 2, 3.5 -> 4);
//   anything outside the target's range is DISP_E_OVERFLOW, text that is not
//   a number DISP_E_TYPEMISMATCH.
// - Text numbers may have surrounding blanks, a sign, thousands separators,
//   a fraction and an exponent, or be hexadecimal (&H1F) or octal (&O17).
//   Integers are rounded from the exact decimal text, not from a double.
// - Reals print with up to 15 significant digits (7 for VT_R4) in the
//   shortest of fixed or exponent form: 1.5, 0.1, 1E+20, 1.5E-07.
// - Booleans print as -1 and 0 unless the caller asks for words
//   (VARIANT_ALPHABOOL, VARIANT_LOCALBOOL): True and False.
// - Dates print as M/D/YYYY h:mm:ss AM/PM, without the time at midnight and
//   without the date on day 0 (1899-12-30).
// - An object converts through its default member (DISPID_VALUE) unless
//   VARIANT_NOVALUEPROP is given.
// The source may be by reference and may be the destination; on failure the
// destination is left as it was.
#include <float.h>
#include <math.h>
#include <string.h>
#include <time.h>

#include <charconv>
#include <new>
#include <string>

#include "platform/automation.h"
#include "platform/guard.h"

namespace {

// Dates the automation library accepts: 100-01-01 to 9999-12-31.
constexpr double kMinDate = -657434.0;
constexpr double kMaxDate = 2958465.0;

// ---------------------------------------------------------------------------
// Types

bool IsIntegerType(VARTYPE vt) {
  switch (vt) {
    case VT_I1:
    case VT_I2:
    case VT_I4:
    case VT_I8:
    case VT_INT:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_UI8:
    case VT_UINT:
      return true;
    default:
      return false;
  }
}

bool IsRealType(VARTYPE vt) { return vt == VT_R4 || vt == VT_R8 || vt == VT_DATE; }

bool IsObjectType(VARTYPE vt) { return vt == VT_DISPATCH || vt == VT_UNKNOWN; }

// The types this conversion handles, alone or (for arrays) under VT_ARRAY.
bool IsConvertible(VARTYPE vt) {
  if (vt & VT_ARRAY) {
    const VARTYPE base = vt & ~VT_ARRAY;
    return base == VT_UI1 || base == VT_VARIANT || IsIntegerType(base) || IsRealType(base) ||
           base == VT_BSTR || base == VT_BOOL || IsObjectType(base) || base == VT_ERROR;
  }
  return vt == VT_EMPTY || vt == VT_NULL || vt == VT_BSTR || vt == VT_BOOL || vt == VT_ERROR ||
         IsIntegerType(vt) || IsRealType(vt) || IsObjectType(vt);
}

unsigned BitsOf(VARTYPE vt) {
  switch (vt) {
    case VT_I1:
    case VT_UI1:
      return 8;
    case VT_I2:
    case VT_UI2:
      return 16;
    case VT_I8:
    case VT_UI8:
      return 64;
    default:
      return 32;
  }
}

bool IsSignedType(VARTYPE vt) {
  return vt == VT_I1 || vt == VT_I2 || vt == VT_I4 || vt == VT_I8 || vt == VT_INT;
}

// ---------------------------------------------------------------------------
// Integers: sign and magnitude, so the whole of both VT_I8 and VT_UI8 fits.

struct Integer {
  bool negative = false;
  uint64_t magnitude = 0;
};

Integer FromSigned(int64_t v) {
  Integer i;
  i.negative = v < 0;
  i.magnitude = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
  return i;
}

Integer FromUnsigned(uint64_t v) {
  Integer i;
  i.magnitude = v;
  return i;
}

double ToDouble(const Integer& i) {
  const double d = static_cast<double>(i.magnitude);
  return i.negative ? -d : d;
}

// Stores the low bits of the two's complement value `bits` into `out`.
void StoreInteger(VARTYPE vt, uint64_t bits, VARIANT* out) {
  out->vt = vt;
  switch (vt) {
    case VT_I1:
      out->cVal = static_cast<CHAR>(static_cast<int8_t>(bits));
      break;
    case VT_UI1:
      out->bVal = static_cast<BYTE>(bits);
      break;
    case VT_I2:
      out->iVal = static_cast<SHORT>(bits);
      break;
    case VT_UI2:
      out->uiVal = static_cast<USHORT>(bits);
      break;
    case VT_I4:
      out->lVal = static_cast<LONG>(bits);
      break;
    case VT_INT:
      out->intVal = static_cast<INT>(bits);
      break;
    case VT_UI4:
      out->ulVal = static_cast<ULONG>(bits);
      break;
    case VT_UINT:
      out->uintVal = static_cast<UINT>(bits);
      break;
    case VT_I8:
      out->llVal = static_cast<LONGLONG>(bits);
      break;
    default:
      out->ullVal = bits;
      break;
  }
}

uint64_t TwosComplement(const Integer& i) { return i.negative ? 0 - i.magnitude : i.magnitude; }

HRESULT FitInteger(const Integer& value, VARTYPE vt, VARIANT* out) {
  const unsigned bits = BitsOf(vt);
  if (IsSignedType(vt)) {
    const uint64_t limit = uint64_t{1} << (bits - 1);  // |min|; max is one less
    if (value.negative ? value.magnitude > limit : value.magnitude >= limit) return DISP_E_OVERFLOW;
  } else {
    const uint64_t max = bits == 64 ? ~uint64_t{0} : (uint64_t{1} << bits) - 1;
    if ((value.negative && value.magnitude != 0) || value.magnitude > max) return DISP_E_OVERFLOW;
  }
  StoreInteger(vt, TwosComplement(value), out);
  return S_OK;
}

// Round half to even, the rule of the automation library (and of banks).
bool RoundReal(double d, Integer* out) {
  if (!isfinite(d)) return false;
  const double down = floor(d);
  const double rest = d - down;
  double r = down;
  if (rest > 0.5 || (rest == 0.5 && fmod(down, 2.0) != 0.0)) r = down + 1.0;
  if (fabs(r) >= 18446744073709551616.0) return false;
  out->negative = r < 0;
  out->magnitude = static_cast<uint64_t>(fabs(r));
  return true;
}

// ---------------------------------------------------------------------------
// Text

// The BSTR as ASCII; false when it holds any other character (an embedded
// NUL included), which no number or date may contain.
bool ToAscii(BSTR text, std::string* out) {
  const UINT len = SysStringLen(text);
  out->reserve(len);
  for (UINT i = 0; i < len; ++i) {
    if (text[i] == 0 || text[i] > 0x7F) return false;
    out->push_back(static_cast<char>(text[i]));
  }
  return true;
}

HRESULT MakeBstr(const std::string& ascii, VARIANT* out) {
  BSTR bstr = SysAllocStringLen(nullptr, static_cast<UINT>(ascii.size()));
  if (bstr == nullptr) return E_OUTOFMEMORY;
  for (size_t i = 0; i < ascii.size(); ++i) bstr[i] = static_cast<unsigned char>(ascii[i]);
  out->vt = VT_BSTR;
  out->bstrVal = bstr;
  return S_OK;
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsIgnoringCase(const std::string& a, const char* b) {
  if (a.size() != strlen(b)) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

std::string Trimmed(const std::string& s) {
  size_t begin = 0;
  size_t end = s.size();
  while (begin < end && IsBlank(s[begin])) ++begin;
  while (end > begin && IsBlank(s[end - 1])) --end;
  return s.substr(begin, end - begin);
}

// A number read from text: hexadecimal or octal as its bits, otherwise the
// exact decimal value digits x 10^exponent (digits without leading or
// trailing zeros; empty for zero).
struct NumberText {
  bool radix = false;           // &H or &O form
  bool radix_overflow = false;  // more digits than 64 bits hold
  uint64_t bits = 0;
  bool negative = false;
  std::string digits;
  int64_t exponent = 0;
};

// Exponents are clamped far beyond any representable value, so huge ones
// cannot overflow the arithmetic below.
constexpr int64_t kExponentClamp = 100000000;

bool ParseNumber(const std::string& raw, NumberText* out) {
  const std::string s = Trimmed(raw);
  size_t i = 0;
  if (s.size() >= 2 && s[0] == '&') {
    const char kind = Lower(s[1]);
    const unsigned shift = kind == 'h' ? 4 : kind == 'o' ? 3 : 0;
    if (shift == 0) return false;
    i = 2;
    if (i == s.size()) return false;
    uint64_t v = 0;
    for (; i < s.size(); ++i) {
      const char c = Lower(s[i]);
      unsigned digit;
      if (IsDigit(c)) {
        digit = static_cast<unsigned>(c - '0');
      } else if (shift == 4 && c >= 'a' && c <= 'f') {
        digit = static_cast<unsigned>(c - 'a' + 10);
      } else {
        return false;
      }
      if (digit >= (1u << shift)) return false;
      // Too many digits for 64 bits: a value no type can hold.
      if (v >> (64 - shift)) out->radix_overflow = true;
      v = (v << shift) | digit;
    }
    out->radix = true;
    out->bits = v;
    return true;
  }

  if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
    out->negative = s[i] == '-';
    ++i;
  }
  std::string digits;
  int64_t point_shift = 0;
  bool any_digit = false;
  // Integer part, with thousands separators between digits.
  for (; i < s.size(); ++i) {
    if (IsDigit(s[i])) {
      any_digit = true;
      if (!digits.empty() || s[i] != '0') digits.push_back(s[i]);
    } else if (s[i] == ',' && any_digit && i + 1 < s.size() && IsDigit(s[i + 1])) {
      continue;
    } else {
      break;
    }
  }
  if (i < s.size() && s[i] == '.') {
    ++i;
    for (; i < s.size() && IsDigit(s[i]); ++i) {
      any_digit = true;
      if (!digits.empty() || s[i] != '0') digits.push_back(s[i]);
      --point_shift;
    }
  }
  if (!any_digit) return false;
  int64_t exponent = 0;
  if (i < s.size() && (Lower(s[i]) == 'e' || Lower(s[i]) == 'd')) {
    ++i;
    bool exp_negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
      exp_negative = s[i] == '-';
      ++i;
    }
    if (i == s.size() || !IsDigit(s[i])) return false;
    for (; i < s.size() && IsDigit(s[i]); ++i) {
      if (exponent < kExponentClamp) exponent = exponent * 10 + (s[i] - '0');
    }
    if (exp_negative) exponent = -exponent;
  }
  if (i != s.size()) return false;
  // Every fraction digit read, leading zeros included, moved the point one
  // place: the value is digits x 10^(exponent + point_shift).
  int64_t scale = exponent + point_shift;
  while (!digits.empty() && digits.back() == '0') {
    digits.pop_back();
    ++scale;
  }
  out->digits = std::move(digits);
  out->exponent = out->digits.empty() ? 0 : scale;
  return true;
}

// The decimal value rounded half to even to an integer; false when it has
// more than 20 integer digits (beyond any 64-bit value).
bool DecimalToInteger(const NumberText& n, Integer* out) {
  out->negative = n.negative;
  out->magnitude = 0;
  if (n.digits.empty()) return true;
  const int64_t count = static_cast<int64_t>(n.digits.size());
  const int64_t int_len = count + n.exponent;
  if (int_len > 20) return false;
  uint64_t mag = 0;
  const int64_t take = int_len < count ? int_len : count;
  for (int64_t k = 0; k < take; ++k) {
    if (__builtin_mul_overflow(mag, 10, &mag) ||
        __builtin_add_overflow(mag, static_cast<uint64_t>(n.digits[k] - '0'), &mag)) {
      return false;
    }
  }
  for (int64_t k = count; k < int_len; ++k) {
    if (__builtin_mul_overflow(mag, 10, &mag)) return false;
  }
  if (int_len < count) {
    // Digit after the point and whether anything non-zero follows it; the
    // digits carry no trailing zeros, so anything after it is non-zero.
    const int round_digit = int_len >= 0 ? n.digits[int_len] - '0' : 0;
    const bool sticky = int_len >= 0 ? count > int_len + 1 : true;
    if (round_digit > 5 || (round_digit == 5 && (sticky || (mag & 1)))) {
      if (__builtin_add_overflow(mag, 1, &mag)) return false;
    }
  }
  out->magnitude = mag;
  if (mag == 0) out->negative = false;
  return true;
}

HRESULT NumberToDouble(const NumberText& n, double* out) {
  if (n.radix) {
    if (n.radix_overflow) return DISP_E_OVERFLOW;
    *out = static_cast<double>(n.bits);
    return S_OK;
  }
  if (n.digits.empty()) {
    *out = n.negative ? -0.0 : 0.0;
    return S_OK;
  }
  const std::string text = n.digits + "e" + std::to_string(n.exponent);
  double value = 0;
  const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
  if (result.ec == std::errc::result_out_of_range) {
    // Too large is an overflow; too small to represent is zero.
    if (static_cast<int64_t>(n.digits.size()) + n.exponent > 0) return DISP_E_OVERFLOW;
    value = 0;
  } else if (result.ec != std::errc()) {
    return DISP_E_TYPEMISMATCH;
  }
  *out = n.negative ? -value : value;
  return S_OK;
}

HRESULT TextToInteger(BSTR text, VARTYPE vt, VARIANT* out) {
  std::string ascii;
  NumberText n;
  if (!ToAscii(text, &ascii) || !ParseNumber(ascii, &n)) return DISP_E_TYPEMISMATCH;
  if (n.radix) {
    // Hexadecimal and octal text gives the bits of the target type, so
    // "&HFFFF" is -1 as a VT_I2 and 65535 as a VT_I4.
    const unsigned bits = BitsOf(vt);
    if (n.radix_overflow || (bits < 64 && (n.bits >> bits) != 0)) return DISP_E_OVERFLOW;
    StoreInteger(vt, n.bits, out);
    return S_OK;
  }
  Integer value;
  if (!DecimalToInteger(n, &value)) return DISP_E_OVERFLOW;
  return FitInteger(value, vt, out);
}

HRESULT TextToDouble(BSTR text, double* out) {
  std::string ascii;
  NumberText n;
  if (!ToAscii(text, &ascii) || !ParseNumber(ascii, &n)) return DISP_E_TYPEMISMATCH;
  return NumberToDouble(n, out);
}

// 15 significant digits for VT_R8, 7 for VT_R4, in printf's %G style with
// the exponent as Windows prints it (E+20, E-07); never "-0".
std::string FormatReal(double d, int precision) {
  if (d == 0) return "0";
  if (isnan(d)) return "NaN";
  if (isinf(d)) return d < 0 ? "-Infinity" : "Infinity";
  char buffer[64];
  const auto result =
      std::to_chars(buffer, buffer + sizeof(buffer), d, std::chars_format::general, precision);
  std::string text(buffer, result.ptr);
  for (char& c : text) {
    if (c == 'e') c = 'E';
  }
  return text;
}

std::string FormatInteger(const Integer& i) {
  char buffer[32];
  const auto result = std::to_chars(buffer, buffer + sizeof(buffer), i.magnitude);
  return (i.negative && i.magnitude != 0 ? "-" : "") + std::string(buffer, result.ptr);
}

// ---------------------------------------------------------------------------
// Dates as text

std::string TwoDigits(unsigned v) {
  std::string s;
  s.push_back(static_cast<char>('0' + v / 10 % 10));
  s.push_back(static_cast<char>('0' + v % 10));
  return s;
}

HRESULT FormatDate(DATE date, std::string* out) {
  SYSTEMTIME st;
  if (!VariantTimeToSystemTime(date, &st)) return E_INVALIDARG;
  const bool day_zero = st.wYear == 1899 && st.wMonth == 12 && st.wDay == 30;
  const bool midnight = st.wHour == 0 && st.wMinute == 0 && st.wSecond == 0;
  std::string text;
  if (!day_zero) {
    text =
        std::to_string(st.wMonth) + "/" + std::to_string(st.wDay) + "/" + std::to_string(st.wYear);
  }
  if (day_zero || !midnight) {
    if (!text.empty()) text.push_back(' ');
    const unsigned hour12 = st.wHour % 12 == 0 ? 12 : st.wHour % 12;
    text += std::to_string(hour12) + ":" + TwoDigits(st.wMinute) + ":" + TwoDigits(st.wSecond) +
            (st.wHour < 12 ? " AM" : " PM");
  }
  *out = std::move(text);
  return S_OK;
}

class DateScanner {
 public:
  explicit DateScanner(const std::string& s) : s_(s) {}

  // Reads the whole text as a date, a time, or both in either order.
  bool Parse(SYSTEMTIME* st) {
    bool have_date = false;
    bool have_time = false;
    SkipBlanks();
    while (pos_ < s_.size()) {
      const size_t start = pos_;
      if (!have_time && ReadTime(st)) {
        have_time = true;
      } else {
        pos_ = start;
        if (have_date || !ReadDate(st)) return false;
        have_date = true;
      }
      SkipBlanks();
      if (pos_ < s_.size() && s_[pos_] == ',') {
        ++pos_;
        SkipBlanks();
      }
    }
    if (!have_date && !have_time) return false;
    if (!have_date) {
      st->wYear = 1899;
      st->wMonth = 12;
      st->wDay = 30;
    }
    if (!have_time) st->wHour = st->wMinute = st->wSecond = 0;
    return true;
  }

 private:
  void SkipBlanks() {
    while (pos_ < s_.size() && IsBlank(s_[pos_])) ++pos_;
  }

  // Up to 9 digits; `*count` receives how many there were.
  bool ReadNumber(unsigned* value, int* count) {
    unsigned v = 0;
    int n = 0;
    while (pos_ < s_.size() && IsDigit(s_[pos_])) {
      if (n == 9) return false;
      v = v * 10 + static_cast<unsigned>(s_[pos_] - '0');
      ++n;
      ++pos_;
    }
    *value = v;
    *count = n;
    return n > 0;
  }

  std::string ReadWord() {
    std::string word;
    while (pos_ < s_.size() &&
           ((s_[pos_] >= 'a' && s_[pos_] <= 'z') || (s_[pos_] >= 'A' && s_[pos_] <= 'Z'))) {
      word.push_back(Lower(s_[pos_++]));
    }
    return word;
  }

  static unsigned MonthFromName(const std::string& word) {
    static const char* const kMonths[12] = {"january",   "february", "march",    "april",
                                            "may",       "june",     "july",     "august",
                                            "september", "october",  "november", "december"};
    if (word.size() < 3) return 0;
    for (unsigned m = 0; m < 12; ++m) {
      if (word == kMonths[m] || (word.size() == 3 && word.compare(0, 3, kMonths[m], 3) == 0) ||
          (m == 8 && word == "sept")) {
        return m + 1;
      }
    }
    return 0;
  }

  // Two-digit years fall in 1930..2029, the system's default window.
  static unsigned FullYear(unsigned year, int digits) {
    if (digits > 2) return year;
    return year < 30 ? 2000 + year : 1900 + year;
  }

  static unsigned CurrentYear() {
    const time_t now = time(nullptr);
    struct tm local;
    if (localtime_r(&now, &local) == nullptr) return 1970;
    return static_cast<unsigned>(local.tm_year + 1900);
  }

  static bool SetDate(unsigned year, unsigned month, unsigned day, SYSTEMTIME* st) {
    // Month and day in the wrong order are read the other way round, as the
    // system does when only that reading makes a date.
    if (month > 12 && day <= 12) {
      const unsigned t = month;
      month = day;
      day = t;
    }
    if (year < 100 || year > 9999 || month < 1 || month > 12 || day < 1) return false;
    static const unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    const unsigned last = month == 2 && leap ? 29 : kDays[month - 1];
    if (day > last) return false;
    st->wYear = static_cast<WORD>(year);
    st->wMonth = static_cast<WORD>(month);
    st->wDay = static_cast<WORD>(day);
    return true;
  }

  bool ReadDate(SYSTEMTIME* st) {
    unsigned a, b, c;
    int da, db, dc;
    if (pos_ < s_.size() && !IsDigit(s_[pos_])) {
      // "January 2, 2003", "Jan 2 2003"
      const unsigned month = MonthFromName(ReadWord());
      if (month == 0) return false;
      if (pos_ < s_.size() && s_[pos_] == '.') ++pos_;
      SkipBlanks();
      if (!ReadNumber(&b, &db)) return false;
      SkipBlanks();
      if (pos_ < s_.size() && s_[pos_] == ',') ++pos_;
      SkipBlanks();
      if (!ReadNumber(&c, &dc)) return SetDate(CurrentYear(), month, b, st);
      return SetDate(FullYear(c, dc), month, b, st);
    }
    if (!ReadNumber(&a, &da)) return false;
    if (pos_ < s_.size() && (s_[pos_] == '/' || s_[pos_] == '-' || s_[pos_] == '.')) {
      const char sep = s_[pos_++];
      if (!ReadNumber(&b, &db)) return false;
      if (pos_ < s_.size() && s_[pos_] == sep) {
        ++pos_;
        if (!ReadNumber(&c, &dc)) return false;
        // A leading four-digit number is the year: 2003-01-02, 2003/1/2.
        if (da > 2) return SetDate(a, b, c, st);
        return SetDate(FullYear(c, dc), a, b, st);
      }
      // "1.5" is a number, never a date.
      if (sep == '.') return false;
      // Two numbers: month and day of this year, or month and a long year.
      if (db > 2) return SetDate(b, a, 1, st);
      return SetDate(CurrentYear(), a, b, st);
    }
    // "2 January 2003"
    SkipBlanks();
    const unsigned month = MonthFromName(ReadWord());
    if (month == 0) return false;
    SkipBlanks();
    if (pos_ < s_.size() && s_[pos_] == ',') ++pos_;
    SkipBlanks();
    if (!ReadNumber(&c, &dc)) return SetDate(CurrentYear(), month, a, st);
    return SetDate(FullYear(c, dc), month, a, st);
  }

  // h[:mm[:ss]] with an optional AM/PM; a bare number is not a time.
  bool ReadTime(SYSTEMTIME* st) {
    unsigned h, m = 0, sec = 0;
    int dh, dm, ds;
    if (!ReadNumber(&h, &dh)) return false;
    bool colon = false;
    if (pos_ < s_.size() && s_[pos_] == ':') {
      ++pos_;
      colon = true;
      if (!ReadNumber(&m, &dm)) return false;
      if (pos_ < s_.size() && s_[pos_] == ':') {
        ++pos_;
        if (!ReadNumber(&sec, &ds)) return false;
      }
    }
    const size_t before_marker = pos_;
    SkipBlanks();
    const std::string word = ReadWord();
    int half = 0;  // 1 = AM, 2 = PM
    if (word == "am" || word == "a") {
      half = 1;
    } else if (word == "pm" || word == "p") {
      half = 2;
    } else {
      pos_ = before_marker;
    }
    if (!colon && half == 0) return false;
    if (m > 59 || sec > 59) return false;
    if (half != 0) {
      if (h > 12) return false;
      if (h == 12) h = 0;
      if (half == 2) h += 12;
    } else if (h > 23) {
      return false;
    }
    st->wHour = static_cast<WORD>(h);
    st->wMinute = static_cast<WORD>(m);
    st->wSecond = static_cast<WORD>(sec);
    return true;
  }

  const std::string& s_;
  size_t pos_ = 0;
};

HRESULT TextToDate(BSTR text, DATE* out) {
  std::string ascii;
  if (!ToAscii(text, &ascii)) return DISP_E_TYPEMISMATCH;
  SYSTEMTIME st = {};
  DateScanner scanner(ascii);
  if (!scanner.Parse(&st)) return DISP_E_TYPEMISMATCH;
  if (!SystemTimeToVariantTime(&st, out)) return DISP_E_TYPEMISMATCH;
  return S_OK;
}

// ---------------------------------------------------------------------------
// The conversion proper

HRESULT RealToTarget(double d, VARTYPE vt, USHORT flags, VARTYPE from, VARIANT* out);

HRESULT IntegerToTarget(const Integer& value, VARTYPE vt, USHORT flags, bool from_bool,
                        VARIANT* out) {
  if (IsIntegerType(vt)) {
    // A boolean keeps its bits: True (-1) is 255 as a VT_UI1.
    if (from_bool) {
      StoreInteger(vt, TwosComplement(value), out);
      return S_OK;
    }
    return FitInteger(value, vt, out);
  }
  switch (vt) {
    case VT_BOOL:
      out->vt = VT_BOOL;
      out->boolVal = value.magnitude != 0 ? VARIANT_TRUE : VARIANT_FALSE;
      return S_OK;
    case VT_BSTR:
      if (from_bool && (flags & (VARIANT_ALPHABOOL | VARIANT_LOCALBOOL))) {
        return MakeBstr(value.magnitude != 0 ? "True" : "False", out);
      }
      return MakeBstr(FormatInteger(value), out);
    default:
      return RealToTarget(ToDouble(value), vt, flags, VT_I8, out);
  }
}

HRESULT RealToTarget(double d, VARTYPE vt, USHORT flags, VARTYPE from, VARIANT* out) {
  if (IsIntegerType(vt)) {
    Integer value;
    if (!RoundReal(d, &value)) return DISP_E_OVERFLOW;
    return FitInteger(value, vt, out);
  }
  switch (vt) {
    case VT_R4:
      if (isnan(d) || d > FLT_MAX || d < -FLT_MAX) return DISP_E_OVERFLOW;
      out->vt = VT_R4;
      out->fltVal = static_cast<float>(d);
      return S_OK;
    case VT_R8:
      out->vt = VT_R8;
      out->dblVal = d;
      return S_OK;
    case VT_DATE:
      if (!(d > kMinDate - 1.0 && d < kMaxDate + 1.0)) return DISP_E_OVERFLOW;
      out->vt = VT_DATE;
      out->date = d;
      return S_OK;
    case VT_BOOL:
      out->vt = VT_BOOL;
      out->boolVal = d != 0 ? VARIANT_TRUE : VARIANT_FALSE;
      return S_OK;
    case VT_BSTR: {
      std::string text;
      if (from == VT_DATE) {
        const HRESULT hr = FormatDate(d, &text);
        if (FAILED(hr)) return hr;
      } else {
        text = FormatReal(d, from == VT_R4 ? 7 : 15);
      }
      return MakeBstr(text, out);
    }
    default:
      return DISP_E_TYPEMISMATCH;
  }
}

HRESULT TextToTarget(BSTR text, VARTYPE vt, USHORT flags, VARIANT* out) {
  if (IsIntegerType(vt)) return TextToInteger(text, vt, out);
  switch (vt) {
    case VT_R4:
    case VT_R8: {
      double d;
      const HRESULT hr = TextToDouble(text, &d);
      if (FAILED(hr)) return hr;
      return RealToTarget(d, vt, flags, VT_R8, out);
    }
    case VT_DATE: {
      DATE date;
      const HRESULT hr = TextToDate(text, &date);
      if (FAILED(hr)) return hr;
      out->vt = VT_DATE;
      out->date = date;
      return S_OK;
    }
    case VT_BOOL: {
      std::string ascii;
      if (!ToAscii(text, &ascii)) return DISP_E_TYPEMISMATCH;
      const std::string word = Trimmed(ascii);
      out->vt = VT_BOOL;
      if (EqualsIgnoringCase(word, "true")) {
        out->boolVal = VARIANT_TRUE;
        return S_OK;
      }
      if (EqualsIgnoringCase(word, "false")) {
        out->boolVal = VARIANT_FALSE;
        return S_OK;
      }
      out->vt = VT_EMPTY;
      double d;
      const HRESULT hr = TextToDouble(text, &d);
      if (FAILED(hr)) return hr;
      return RealToTarget(d, VT_BOOL, flags, VT_R8, out);
    }
    case VT_ARRAY | VT_UI1: {
      // The string's UTF-16LE bytes, as the automation library hands a
      // string to code that wants bytes.
      const UINT bytes = SysStringByteLen(text);
      SAFEARRAY* psa = SafeArrayCreateVector(VT_UI1, 0, bytes);
      if (psa == nullptr) return E_OUTOFMEMORY;
      if (bytes > 0) memcpy(psa->pvData, text, bytes);
      out->vt = VT_ARRAY | VT_UI1;
      out->parray = psa;
      return S_OK;
    }
    default:
      return DISP_E_TYPEMISMATCH;
  }
}

HRESULT Convert(const VARIANT& src, VARTYPE vt, USHORT flags, LCID lcid, int depth, VARIANT* out);

// The value of an object: its default member, read as a property.
HRESULT ObjectToTarget(const VARIANT& src, VARTYPE vt, USHORT flags, LCID lcid, int depth,
                       VARIANT* out) {
  if ((flags & VARIANT_NOVALUEPROP) || depth > 0 || src.punkVal == nullptr) {
    return DISP_E_TYPEMISMATCH;
  }
  IDispatch* dispatch = nullptr;
  if (src.vt == VT_DISPATCH) {
    dispatch = src.pdispVal;
    dispatch->AddRef();
  } else if (FAILED(
                 src.punkVal->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch))) ||
             dispatch == nullptr) {
    return DISP_E_TYPEMISMATCH;
  }
  DISPPARAMS no_arguments = {nullptr, nullptr, 0, 0};
  VARIANT value;
  VariantInit(&value);
  HRESULT hr = dispatch->Invoke(DISPID_VALUE, IID_NULL, lcid, DISPATCH_PROPERTYGET, &no_arguments,
                                &value, nullptr, nullptr);
  dispatch->Release();
  if (FAILED(hr)) {
    VariantClear(&value);
    return hr;
  }
  if (value.vt & VT_BYREF) {
    VARIANT direct;
    VariantInit(&direct);
    hr = VariantCopyInd(&direct, &value);
    VariantClear(&value);
    if (FAILED(hr)) return hr;
    value = direct;
  }
  hr = Convert(value, vt, flags, lcid, depth + 1, out);
  VariantClear(&value);
  return hr;
}

HRESULT Convert(const VARIANT& src, VARTYPE vt, USHORT flags, LCID lcid, int depth, VARIANT* out) {
  const VARTYPE from = src.vt;
  if (from == vt)
    return VariantCopy(out, const_cast<VARIANT*>(&src));  // a copy leaves its source as it was
  if (!IsConvertible(from)) return DISP_E_BADVARTYPE;

  // To VT_EMPTY or VT_NULL: any plain value is dropped; a null stays
  // distinct from an empty, as on Windows.
  if (vt == VT_EMPTY || vt == VT_NULL) {
    if ((from & VT_ARRAY) || from == VT_ERROR) return DISP_E_TYPEMISMATCH;
    if (vt == VT_EMPTY && from == VT_NULL) return DISP_E_TYPEMISMATCH;
    out->vt = vt;
    return S_OK;
  }
  if (from == VT_NULL || from == VT_ERROR || vt == VT_ERROR) return DISP_E_TYPEMISMATCH;

  if (IsObjectType(vt)) {
    if (from == VT_EMPTY) {
      out->vt = vt;
      out->punkVal = nullptr;
      return S_OK;
    }
    if (!IsObjectType(from)) return DISP_E_TYPEMISMATCH;
    out->vt = vt;
    out->punkVal = nullptr;
    if (src.punkVal == nullptr) return S_OK;
    void* converted = nullptr;
    const HRESULT hr =
        src.punkVal->QueryInterface(vt == VT_DISPATCH ? IID_IDispatch : IID_IUnknown, &converted);
    if (FAILED(hr)) {
      out->vt = VT_EMPTY;
      return hr;
    }
    out->punkVal = static_cast<IUnknown*>(converted);
    return S_OK;
  }
  // An object's default value is read for a plain value only: an object
  // does not become a byte array.
  if (IsObjectType(from) && (vt & VT_ARRAY)) return DISP_E_TYPEMISMATCH;
  if (IsObjectType(from)) return ObjectToTarget(src, vt, flags, lcid, depth, out);

  if (from & VT_ARRAY) {
    // A byte array reads as a string made of its bytes.
    if (from != (VT_ARRAY | VT_UI1) || vt != VT_BSTR || src.parray == nullptr ||
        src.parray->cDims != 1) {
      return DISP_E_TYPEMISMATCH;
    }
    const ULONG count = src.parray->rgsabound[0].cElements;
    BSTR text = SysAllocStringByteLen(static_cast<LPCSTR>(src.parray->pvData), count);
    if (text == nullptr) return E_OUTOFMEMORY;
    out->vt = VT_BSTR;
    out->bstrVal = text;
    return S_OK;
  }
  if ((vt & VT_ARRAY) && !(vt == (VT_ARRAY | VT_UI1) && from == VT_BSTR)) {
    return DISP_E_TYPEMISMATCH;
  }

  switch (from) {
    case VT_EMPTY:
      // Empty is 0, False, the empty string and day 0.
      if (vt == VT_BSTR) return MakeBstr("", out);
      return IntegerToTarget(Integer{}, vt, flags, false, out);
    case VT_BOOL:
      return IntegerToTarget(FromSigned(src.boolVal), vt, flags, true, out);
    case VT_I1:
      return IntegerToTarget(FromSigned(src.cVal), vt, flags, false, out);
    case VT_I2:
      return IntegerToTarget(FromSigned(src.iVal), vt, flags, false, out);
    case VT_I4:
      return IntegerToTarget(FromSigned(src.lVal), vt, flags, false, out);
    case VT_INT:
      return IntegerToTarget(FromSigned(src.intVal), vt, flags, false, out);
    case VT_I8:
      return IntegerToTarget(FromSigned(src.llVal), vt, flags, false, out);
    case VT_UI1:
      return IntegerToTarget(FromUnsigned(src.bVal), vt, flags, false, out);
    case VT_UI2:
      return IntegerToTarget(FromUnsigned(src.uiVal), vt, flags, false, out);
    case VT_UI4:
      return IntegerToTarget(FromUnsigned(src.ulVal), vt, flags, false, out);
    case VT_UINT:
      return IntegerToTarget(FromUnsigned(src.uintVal), vt, flags, false, out);
    case VT_UI8:
      return IntegerToTarget(FromUnsigned(src.ullVal), vt, flags, false, out);
    case VT_R4:
      return RealToTarget(src.fltVal, vt, flags, VT_R4, out);
    case VT_R8:
      return RealToTarget(src.dblVal, vt, flags, VT_R8, out);
    case VT_DATE:
      return RealToTarget(src.date, vt, flags, VT_DATE, out);
    case VT_BSTR:
      return TextToTarget(src.bstrVal, vt, flags, out);
    default:
      return DISP_E_BADVARTYPE;
  }
}

}  // namespace

extern "C" {
HRESULT VariantChangeTypeEx(VARIANTARG* pvargDest, VARIANTARG* pvarSrc, LCID lcid, USHORT wFlags,
                            VARTYPE vt) {
  if (pvargDest == nullptr || pvarSrc == nullptr) return E_INVALIDARG;
  if (vt & (VT_BYREF | VT_VECTOR | VT_RESERVED)) return DISP_E_BADVARTYPE;
  if (!IsConvertible(vt) && vt != (pvarSrc->vt & ~VT_BYREF)) return DISP_E_BADVARTYPE;

  // A by-reference source converts the value it points at.
  VARIANT direct;
  VariantInit(&direct);
  const VARIANT* from = pvarSrc;
  if (pvarSrc->vt & VT_BYREF) {
    const HRESULT hr = VariantCopyInd(&direct, pvarSrc);
    if (FAILED(hr)) return hr;
    from = &direct;
  }

  VARIANT result;
  VariantInit(&result);
  HRESULT hr = tessary::Guard([&] { return Convert(*from, vt, wFlags, lcid, 0, &result); },
                              [&result](HRESULT failure) {
                                VariantClear(&result);
                                return failure;
                              });
  VariantClear(&direct);
  if (FAILED(hr)) return hr;

  // The result is complete before the destination, which may be the source,
  // gives up its old value.
  hr = VariantClear(pvargDest);
  if (FAILED(hr)) {
    VariantClear(&result);
    return hr;
  }
  *pvargDest = result;
  return S_OK;
}

HRESULT VariantChangeType(VARIANTARG* pvargDest, VARIANTARG* pvarSrc, USHORT wFlags, VARTYPE vt) {
  return VariantChangeTypeEx(pvargDest, pvarSrc, LOCALE_USER_DEFAULT, wFlags, vt);
}

}  // extern "C"
