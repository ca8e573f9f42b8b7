// Numbers for VariantChangeType: integers held as sign and magnitude and
// fitted to each integer type, reals rounded half to even, and numbers read
// from text (blanks, sign, thousands separators, fraction, exponent, &H and
// &O forms; integers from the exact decimal text) and printed as text.
#include <math.h>
#include <string.h>

#include <charconv>
#include <string>

#include "platform/posix/variant_change_internal.h"

namespace tessary::variant_change {

namespace {

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

}  // namespace

// ---------------------------------------------------------------------------
// Integers: sign and magnitude, so the whole of both VT_I8 and VT_UI8 fits.

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

namespace {

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

}  // namespace

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

}  // namespace tessary::variant_change
