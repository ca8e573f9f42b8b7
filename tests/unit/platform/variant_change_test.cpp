// VariantChangeType: the conversion rules callers depend on (rounding,
// range limits, text forms of numbers, booleans and dates), by-reference and
// in-place conversion, objects through their default member.
#include <gtest/gtest.h>
#include <math.h>
#include <string.h>

#include <limits>
#include <string>

#include "platform/automation.h"
#include "unit/platform/automation_test_objects.h"

namespace {

using tessary::testing::CountingDispatch;
using tessary::testing::Var;

struct Converted {
  HRESULT hr;
  Var value;
};

void SetText(VARIANT* v, const std::u16string& text) {
  v->vt = VT_BSTR;
  v->bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}

HRESULT FromText(const std::u16string& text, VARTYPE vt, VARIANT* out, USHORT flags = 0) {
  Var src;
  SetText(src.get(), text);
  return VariantChangeType(out, src.get(), flags, vt);
}

HRESULT FromReal(double d, VARTYPE vt, VARIANT* out) {
  VARIANT src;
  src.vt = VT_R8;
  src.dblVal = d;
  return VariantChangeType(out, &src, 0, vt);
}

// The text a variant converts to, or the failure as text.
std::u16string AsText(const VARIANT& v, USHORT flags = 0) {
  Var out;
  const HRESULT hr = VariantChangeType(out.get(), const_cast<VARIANT*>(&v), flags, VT_BSTR);
  if (FAILED(hr)) return u"failed";
  return std::u16string(out.v.bstrVal, SysStringLen(out.v.bstrVal));
}

std::u16string RealText(double d) {
  VARIANT v;
  v.vt = VT_R8;
  v.dblVal = d;
  return AsText(v);
}

std::u16string DateText(DATE d) {
  VARIANT v;
  v.vt = VT_DATE;
  v.date = d;
  return AsText(v);
}

TEST(ChangeTypeRounding, RealToIntegerRoundsHalfToEven) {
  const struct {
    double in;
    LONG out;
  } cases[] = {{0.5, 0},   {1.5, 2},   {2.5, 2},    {3.5, 4},    {-0.5, 0},
               {-1.5, -2}, {-2.5, -2}, {2.4999, 2}, {2.5001, 3}, {-2.5001, -3}};
  for (const auto& c : cases) {
    Var out;
    ASSERT_EQ(S_OK, FromReal(c.in, VT_I4, out.get())) << c.in;
    EXPECT_EQ(VT_I4, out.v.vt);
    EXPECT_EQ(c.out, out.v.lVal) << c.in;
  }
}

TEST(ChangeTypeRounding, TextRoundsFromTheExactDecimal) {
  Var out;
  ASSERT_EQ(S_OK, FromText(u"2.5", VT_I4, out.get()));
  EXPECT_EQ(2, out.v.lVal);
  ASSERT_EQ(S_OK, FromText(u"3.5", VT_I4, out.get()));
  EXPECT_EQ(4, out.v.lVal);
  // As a double this is exactly 2.5; as text it is above the half.
  ASSERT_EQ(S_OK, FromText(u"2.50000000000000000001", VT_I4, out.get()));
  EXPECT_EQ(3, out.v.lVal);
  ASSERT_EQ(S_OK, FromText(u"-0.5", VT_I4, out.get()));
  EXPECT_EQ(0, out.v.lVal);
  ASSERT_EQ(S_OK, FromText(u"1.5e3", VT_I4, out.get()));
  EXPECT_EQ(1500, out.v.lVal);
  ASSERT_EQ(S_OK, FromText(u"25e-1", VT_I2, out.get()));
  EXPECT_EQ(2, out.v.iVal);
}

TEST(ChangeTypeRange, Int32Edges) {
  Var out;
  EXPECT_EQ(S_OK, FromReal(2147483647.4, VT_I4, out.get()));
  EXPECT_EQ(INT32_MAX, out.v.lVal);
  EXPECT_EQ(DISP_E_OVERFLOW, FromReal(2147483647.5, VT_I4, out.get()));
  EXPECT_EQ(S_OK, FromReal(-2147483648.5, VT_I4, out.get()));  // rounds to even
  EXPECT_EQ(INT32_MIN, out.v.lVal);
  EXPECT_EQ(DISP_E_OVERFLOW, FromReal(-2147483648.6, VT_I4, out.get()));

  EXPECT_EQ(S_OK, FromText(u"2147483647", VT_I4, out.get()));
  EXPECT_EQ(INT32_MAX, out.v.lVal);
  EXPECT_EQ(DISP_E_OVERFLOW, FromText(u"2147483648", VT_I4, out.get()));
  EXPECT_EQ(S_OK, FromText(u"-2147483648", VT_I4, out.get()));
  EXPECT_EQ(INT32_MIN, out.v.lVal);
  EXPECT_EQ(DISP_E_OVERFLOW, FromText(u"-2147483649", VT_I4, out.get()));

  VARIANT big;
  big.vt = VT_I8;
  big.llVal = int64_t{INT32_MAX} + 1;
  EXPECT_EQ(DISP_E_OVERFLOW, VariantChangeType(out.get(), &big, 0, VT_I4));
  big.llVal = INT32_MIN;
  EXPECT_EQ(S_OK, VariantChangeType(out.get(), &big, 0, VT_I4));
  EXPECT_EQ(INT32_MIN, out.v.lVal);
}

TEST(ChangeTypeRange, NarrowAndUnsignedTargets) {
  Var out;
  EXPECT_EQ(S_OK, FromText(u"32767", VT_I2, out.get()));
  EXPECT_EQ(DISP_E_OVERFLOW, FromText(u"32768", VT_I2, out.get()));
  EXPECT_EQ(S_OK, FromText(u"255", VT_UI1, out.get()));
  EXPECT_EQ(255, out.v.bVal);
  EXPECT_EQ(DISP_E_OVERFLOW, FromText(u"256", VT_UI1, out.get()));
  EXPECT_EQ(DISP_E_OVERFLOW, FromText(u"-1", VT_UI1, out.get()));
  EXPECT_EQ(DISP_E_OVERFLOW, FromText(u"-1", VT_UI4, out.get()));
  EXPECT_EQ(S_OK, FromText(u"-128", VT_I1, out.get()));
  EXPECT_EQ(-128, out.v.cVal);
  EXPECT_EQ(S_OK, FromText(u"-9223372036854775808", VT_I8, out.get()));
  EXPECT_EQ(std::numeric_limits<int64_t>::min(), out.v.llVal);
  EXPECT_EQ(DISP_E_OVERFLOW, FromText(u"9223372036854775808", VT_I8, out.get()));
  EXPECT_EQ(S_OK, FromText(u"18446744073709551615", VT_UI8, out.get()));
  EXPECT_EQ(std::numeric_limits<uint64_t>::max(), out.v.ullVal);
  EXPECT_EQ(DISP_E_OVERFLOW, FromText(u"18446744073709551616", VT_UI8, out.get()));
  EXPECT_EQ(DISP_E_OVERFLOW, FromText(u"1e30", VT_I8, out.get()));
  EXPECT_EQ(DISP_E_OVERFLOW, FromReal(std::nan(""), VT_I4, out.get()));
  EXPECT_EQ(DISP_E_OVERFLOW, FromReal(1e300, VT_R4, out.get()));
  EXPECT_EQ(DISP_E_OVERFLOW, FromReal(3e6, VT_DATE, out.get()));
}

TEST(ChangeTypeText, NumbersWithBlanksSignsAndSeparators) {
  Var out;
  ASSERT_EQ(S_OK, FromText(u" -12 ", VT_I4, out.get()));
  EXPECT_EQ(-12, out.v.lVal);
  ASSERT_EQ(S_OK, FromText(u"\t+7\t", VT_I4, out.get()));
  EXPECT_EQ(7, out.v.lVal);
  ASSERT_EQ(S_OK, FromText(u"1,000", VT_I4, out.get()));
  EXPECT_EQ(1000, out.v.lVal);
  ASSERT_EQ(S_OK, FromText(u"&H1F", VT_I4, out.get()));
  EXPECT_EQ(31, out.v.lVal);
  ASSERT_EQ(S_OK, FromText(u"&o17", VT_I4, out.get()));
  EXPECT_EQ(15, out.v.lVal);
  // Hexadecimal fills the bits of the target type.
  ASSERT_EQ(S_OK, FromText(u"&HFFFF", VT_I2, out.get()));
  EXPECT_EQ(-1, out.v.iVal);
  ASSERT_EQ(S_OK, FromText(u"&HFFFF", VT_I4, out.get()));
  EXPECT_EQ(65535, out.v.lVal);
  EXPECT_EQ(DISP_E_OVERFLOW, FromText(u"&H10000", VT_I2, out.get()));
  ASSERT_EQ(S_OK, FromText(u".5e1", VT_R8, out.get()));
  EXPECT_EQ(5.0, out.v.dblVal);
  ASSERT_EQ(S_OK, FromText(u"-1.25E-2", VT_R8, out.get()));
  EXPECT_EQ(-0.0125, out.v.dblVal);
}

TEST(ChangeTypeText, WhatIsNotANumber) {
  Var out;
  for (const char16_t* text : {u"", u"   ", u"abc", u"12abc", u"1 2", u"--1", u"1e", u"&H", u"&HG",
                               u"1,", u",1", u"+", u"."}) {
    EXPECT_EQ(DISP_E_TYPEMISMATCH, FromText(text, VT_I4, out.get())) << "text";
    EXPECT_EQ(DISP_E_TYPEMISMATCH, FromText(text, VT_R8, out.get()));
  }
  const char16_t with_nul[] = {u'1', 0, u'2'};
  EXPECT_EQ(DISP_E_TYPEMISMATCH, FromText(std::u16string(with_nul, 3), VT_I4, out.get()));
  Var null_string;
  null_string.v.vt = VT_BSTR;
  null_string.v.bstrVal = nullptr;
  EXPECT_EQ(DISP_E_TYPEMISMATCH, VariantChangeType(out.get(), null_string.get(), 0, VT_I4));
}

TEST(ChangeTypeText, RealOverflowAndUnderflow) {
  Var out;
  EXPECT_EQ(DISP_E_OVERFLOW, FromText(u"1e400", VT_R8, out.get()));
  EXPECT_EQ(DISP_E_OVERFLOW, FromText(u"-1e400", VT_R8, out.get()));
  EXPECT_EQ(DISP_E_OVERFLOW, FromText(u"1e99999999999999999999", VT_R8, out.get()));
  EXPECT_EQ(DISP_E_OVERFLOW, FromText(u"1e39", VT_R4, out.get()));
  ASSERT_EQ(S_OK, FromText(u"1e-400", VT_R8, out.get()));
  EXPECT_EQ(0.0, out.v.dblVal);
  ASSERT_EQ(S_OK, FromText(u"1e308", VT_R8, out.get()));
  EXPECT_EQ(1e308, out.v.dblVal);
}

TEST(ChangeTypeText, RealsPrintLikeWindows) {
  EXPECT_EQ(u"1.5", RealText(1.5));
  EXPECT_EQ(u"0.1", RealText(0.1));
  EXPECT_EQ(u"1E+20", RealText(1e20));
  EXPECT_EQ(u"1E+15", RealText(1e15));
  EXPECT_EQ(u"123456789012345", RealText(123456789012345.0));
  EXPECT_EQ(u"1.5E-07", RealText(1.5e-7));
  EXPECT_EQ(u"0.0001", RealText(0.0001));
  EXPECT_EQ(u"0.333333333333333", RealText(1.0 / 3.0));
  EXPECT_EQ(u"-2.75", RealText(-2.75));
  EXPECT_EQ(u"0", RealText(-0.0));
  VARIANT f;
  f.vt = VT_R4;
  f.fltVal = 0.1f;
  EXPECT_EQ(u"0.1", AsText(f));
  f.fltVal = 1.0f / 3.0f;
  EXPECT_EQ(u"0.3333333", AsText(f));
}

TEST(ChangeTypeText, IntegersPrintPlainDecimal) {
  VARIANT v;
  v.vt = VT_I4;
  v.lVal = -42;
  EXPECT_EQ(u"-42", AsText(v));
  v.lVal = INT32_MIN;
  EXPECT_EQ(u"-2147483648", AsText(v));
  v.vt = VT_UI8;
  v.ullVal = std::numeric_limits<uint64_t>::max();
  EXPECT_EQ(u"18446744073709551615", AsText(v));
  v.vt = VT_I1;
  v.cVal = -5;
  EXPECT_EQ(u"-5", AsText(v));
}

TEST(ChangeTypeBool, TextForms) {
  VARIANT b;
  b.vt = VT_BOOL;
  b.boolVal = VARIANT_TRUE;
  EXPECT_EQ(u"-1", AsText(b));
  EXPECT_EQ(u"True", AsText(b, VARIANT_ALPHABOOL));
  b.boolVal = VARIANT_FALSE;
  EXPECT_EQ(u"0", AsText(b));
  EXPECT_EQ(u"False", AsText(b, VARIANT_ALPHABOOL));

  Var out;
  ASSERT_EQ(S_OK, FromText(u" true ", VT_BOOL, out.get()));
  EXPECT_EQ(VARIANT_TRUE, out.v.boolVal);
  ASSERT_EQ(S_OK, FromText(u"FALSE", VT_BOOL, out.get()));
  EXPECT_EQ(VARIANT_FALSE, out.v.boolVal);
  ASSERT_EQ(S_OK, FromText(u"0.5", VT_BOOL, out.get()));
  EXPECT_EQ(VARIANT_TRUE, out.v.boolVal);
  ASSERT_EQ(S_OK, FromText(u"0", VT_BOOL, out.get()));
  EXPECT_EQ(VARIANT_FALSE, out.v.boolVal);
  EXPECT_EQ(DISP_E_TYPEMISMATCH, FromText(u"yes", VT_BOOL, out.get()));
}

TEST(ChangeTypeBool, TrueKeepsItsBitsInUnsignedTypes) {
  VARIANT b;
  b.vt = VT_BOOL;
  b.boolVal = VARIANT_TRUE;
  Var out;
  ASSERT_EQ(S_OK, VariantChangeType(out.get(), &b, 0, VT_UI1));
  EXPECT_EQ(255, out.v.bVal);
  ASSERT_EQ(S_OK, VariantChangeType(out.get(), &b, 0, VT_I4));
  EXPECT_EQ(-1, out.v.lVal);
  ASSERT_EQ(S_OK, VariantChangeType(out.get(), &b, 0, VT_R8));
  EXPECT_EQ(-1.0, out.v.dblVal);
  VARIANT n;
  n.vt = VT_I2;
  n.iVal = 7;
  ASSERT_EQ(S_OK, VariantChangeType(out.get(), &n, 0, VT_BOOL));
  EXPECT_EQ(VARIANT_TRUE, out.v.boolVal);
}

TEST(ChangeTypeEmptyNull, EmptyIsZeroEmptyTextAndFalse) {
  VARIANT empty;
  VariantInit(&empty);
  Var out;
  ASSERT_EQ(S_OK, VariantChangeType(out.get(), &empty, 0, VT_I4));
  EXPECT_EQ(0, out.v.lVal);
  ASSERT_EQ(S_OK, VariantChangeType(out.get(), &empty, 0, VT_BSTR));
  ASSERT_NE(nullptr, out.v.bstrVal);
  EXPECT_EQ(0u, SysStringLen(out.v.bstrVal));
  ASSERT_EQ(S_OK, VariantChangeType(out.get(), &empty, 0, VT_BOOL));
  EXPECT_EQ(VARIANT_FALSE, out.v.boolVal);
  ASSERT_EQ(S_OK, VariantChangeType(out.get(), &empty, 0, VT_DATE));
  EXPECT_EQ(0.0, out.v.date);
  ASSERT_EQ(S_OK, VariantChangeType(out.get(), &empty, 0, VT_DISPATCH));
  EXPECT_EQ(nullptr, out.v.pdispVal);
  ASSERT_EQ(S_OK, VariantChangeType(out.get(), &empty, 0, VT_NULL));
  EXPECT_EQ(VT_NULL, out.v.vt);
}

TEST(ChangeTypeEmptyNull, NullConvertsOnlyToItself) {
  VARIANT null;
  null.vt = VT_NULL;
  Var out;
  for (VARTYPE vt : {VT_I4, VT_BSTR, VT_BOOL, VT_DATE, VT_R8, VT_EMPTY}) {
    EXPECT_EQ(DISP_E_TYPEMISMATCH, VariantChangeType(out.get(), &null, 0, vt)) << vt;
  }
  EXPECT_EQ(S_OK, VariantChangeType(out.get(), &null, 0, VT_NULL));
  EXPECT_EQ(VT_NULL, out.v.vt);
}

TEST(ChangeTypeEmptyNull, ErrorConvertsOnlyToItself) {
  VARIANT error;
  error.vt = VT_ERROR;
  error.scode = DISP_E_PARAMNOTFOUND;
  Var out;
  EXPECT_EQ(DISP_E_TYPEMISMATCH, VariantChangeType(out.get(), &error, 0, VT_I4));
  EXPECT_EQ(DISP_E_TYPEMISMATCH, VariantChangeType(out.get(), &error, 0, VT_BSTR));
  ASSERT_EQ(S_OK, VariantChangeType(out.get(), &error, 0, VT_ERROR));
  EXPECT_EQ(DISP_E_PARAMNOTFOUND, out.v.scode);
  VARIANT four;
  four.vt = VT_I4;
  four.lVal = 4;
  EXPECT_EQ(DISP_E_TYPEMISMATCH, VariantChangeType(out.get(), &four, 0, VT_ERROR));
}

TEST(ChangeTypeDate, PrintsUsEnglishForms) {
  SYSTEMTIME st = {};
  st.wYear = 2003;
  st.wMonth = 1;
  st.wDay = 2;
  DATE jan2;
  ASSERT_TRUE(SystemTimeToVariantTime(&st, &jan2));
  EXPECT_EQ(37623.0, jan2);
  EXPECT_EQ(u"1/2/2003", DateText(jan2));
  EXPECT_EQ(u"1/2/2003 12:00:00 PM", DateText(jan2 + 0.5));
  EXPECT_EQ(u"1/2/2003 4:05:06 AM", DateText(jan2 + (4 * 3600 + 5 * 60 + 6) / 86400.0));
  EXPECT_EQ(u"6:00:00 AM", DateText(0.25));
  EXPECT_EQ(u"12:00:00 AM", DateText(0));
  EXPECT_EQ(u"11:59:59 PM", DateText(86399.0 / 86400.0));
  EXPECT_EQ(u"12/29/1899 6:00:00 AM", DateText(-1.25));
  EXPECT_EQ(u"12/31/9999", DateText(2958465.0));
}

TEST(ChangeTypeDate, ParsesUsAndIsoForms) {
  const struct {
    const char16_t* text;
    double days;
    int seconds;
  } cases[] = {
      {u"1/2/2003", 37623, 0},
      {u" 1/2/2003 4:05:06 PM ", 37623, 16 * 3600 + 5 * 60 + 6},
      {u"2003-01-02", 37623, 0},
      {u"2003-01-02 13:45", 37623, 13 * 3600 + 45 * 60},
      {u"2003-01-02 13:45:30", 37623, 13 * 3600 + 45 * 60 + 30},
      {u"1/2/03", 37623, 0},
      {u"January 2, 2003", 37623, 0},
      {u"2 Jan 2003 12:00 AM", 37623, 0},
      {u"13:45:30", 0, 13 * 3600 + 45 * 60 + 30},
      {u"5 PM", 0, 17 * 3600},
      {u"12:30 am", 0, 30 * 60},
  };
  for (const auto& c : cases) {
    Var out;
    ASSERT_EQ(S_OK, FromText(c.text, VT_DATE, out.get())) << std::string(c.text, c.text + 3);
    EXPECT_EQ(VT_DATE, out.v.vt);
    EXPECT_NEAR(c.days + c.seconds / 86400.0, out.v.date, 1e-9);
  }
  Var out;
  ASSERT_EQ(S_OK, FromText(u"1/2/45", VT_DATE, out.get()));
  SYSTEMTIME st;
  ASSERT_TRUE(VariantTimeToSystemTime(out.v.date, &st));
  EXPECT_EQ(1945, st.wYear);
}

TEST(ChangeTypeDate, RefusesImpossibleDates) {
  Var out;
  for (const char16_t* text : {u"2/30/2003", u"13/13/2003", u"1/2/2003 25:00", u"1/2/2003 10:60",
                               u"13:00 PM", u"hello", u"1.5", u"1/2/10000", u"1/2/2003 x"}) {
    EXPECT_EQ(DISP_E_TYPEMISMATCH, FromText(text, VT_DATE, out.get()));
  }
}

TEST(ChangeTypeDate, TextRoundTrip) {
  const DATE date = 45000.0 + (7 * 3600 + 8 * 60 + 9) / 86400.0;
  Var text, back;
  VARIANT v;
  v.vt = VT_DATE;
  v.date = date;
  ASSERT_EQ(S_OK, VariantChangeType(text.get(), &v, 0, VT_BSTR));
  ASSERT_EQ(S_OK, VariantChangeType(back.get(), text.get(), 0, VT_DATE));
  EXPECT_NEAR(date, back.v.date, 1e-9);
}

TEST(ChangeTypeDate, DatesAreNumbers) {
  VARIANT d;
  d.vt = VT_DATE;
  d.date = 2.5;
  Var out;
  ASSERT_EQ(S_OK, VariantChangeType(out.get(), &d, 0, VT_I4));
  EXPECT_EQ(2, out.v.lVal);
  ASSERT_EQ(S_OK, VariantChangeType(out.get(), &d, 0, VT_R8));
  EXPECT_EQ(2.5, out.v.dblVal);
  VARIANT n;
  n.vt = VT_I4;
  n.lVal = 36526;
  ASSERT_EQ(S_OK, VariantChangeType(out.get(), &n, 0, VT_DATE));
  EXPECT_EQ(u"1/1/2000", DateText(out.v.date));
}

TEST(ChangeTypeInPlace, ReplacesTheSourceAndFreesItsString) {
  Var v;
  SetText(v.get(), u" 42 ");
  ASSERT_EQ(S_OK, VariantChangeType(v.get(), v.get(), 0, VT_I4));  // LSan: old string freed
  EXPECT_EQ(VT_I4, v.v.vt);
  EXPECT_EQ(42, v.v.lVal);
  ASSERT_EQ(S_OK, VariantChangeType(v.get(), v.get(), 0, VT_BSTR));
  EXPECT_EQ(u"42", std::u16string(v.v.bstrVal));
}

TEST(ChangeTypeInPlace, FailureLeavesTheVariantAlone) {
  Var v;
  SetText(v.get(), u"abc");
  BSTR before = v.v.bstrVal;
  EXPECT_EQ(DISP_E_TYPEMISMATCH, VariantChangeType(v.get(), v.get(), 0, VT_I4));
  EXPECT_EQ(VT_BSTR, v.v.vt);
  EXPECT_EQ(before, v.v.bstrVal);
}

TEST(ChangeTypeByRef, ConvertsWhatTheReferencePointsAt) {
  LONG value = 17;
  VARIANT ref;
  ref.vt = VT_BYREF | VT_I4;
  ref.plVal = &value;
  EXPECT_EQ(u"17", AsText(ref));

  BSTR text = SysAllocString(u"  9 ");
  ref.vt = VT_BYREF | VT_BSTR;
  ref.pbstrVal = &text;
  Var out;
  ASSERT_EQ(S_OK, VariantChangeType(out.get(), &ref, 0, VT_I2));
  EXPECT_EQ(9, out.v.iVal);
  // Converting a reference in place leaves the referenced string alone.
  ASSERT_EQ(S_OK, VariantChangeType(&ref, &ref, 0, VT_I4));
  EXPECT_EQ(VT_I4, ref.vt);
  EXPECT_EQ(9, ref.lVal);
  EXPECT_EQ(u"  9 ", std::u16string(text));
  SysFreeString(text);

  VARIANT inner;
  inner.vt = VT_R8;
  inner.dblVal = 6.5;
  ref.vt = VT_BYREF | VT_VARIANT;
  ref.pvarVal = &inner;
  ASSERT_EQ(S_OK, VariantChangeType(out.get(), &ref, 0, VT_I4));
  EXPECT_EQ(6, out.v.lVal);
  // Same type as the referenced value: a plain copy.
  ASSERT_EQ(S_OK, VariantChangeType(out.get(), &ref, 0, VT_R8));
  EXPECT_EQ(VT_R8, out.v.vt);
  EXPECT_EQ(6.5, out.v.dblVal);
}

TEST(ChangeTypeObject, ValuesComeFromTheDefaultMember) {
  CountingDispatch object(7);
  VARIANT v;
  v.vt = VT_DISPATCH;
  v.pdispVal = &object;
  Var out;
  ASSERT_EQ(S_OK, VariantChangeType(out.get(), &v, 0, VT_BSTR));
  EXPECT_EQ(u"7", std::u16string(out.v.bstrVal));
  ASSERT_EQ(S_OK, VariantChangeType(out.get(), &v, 0, VT_R8));
  EXPECT_EQ(7.0, out.v.dblVal);
  EXPECT_EQ(2, object.invokes());
  EXPECT_EQ(DISP_E_TYPEMISMATCH, VariantChangeType(out.get(), &v, VARIANT_NOVALUEPROP, VT_I4));
  EXPECT_EQ(2, object.invokes());
  EXPECT_EQ(1, object.refs);

  v.pdispVal = nullptr;
  EXPECT_EQ(DISP_E_TYPEMISMATCH, VariantChangeType(out.get(), &v, 0, VT_I4));
}

TEST(ChangeTypeObject, InterfacesConvertByQueryInterface) {
  CountingDispatch object;
  VARIANT v;
  v.vt = VT_DISPATCH;
  v.pdispVal = &object;
  Var out;
  ASSERT_EQ(S_OK, VariantChangeType(out.get(), &v, 0, VT_UNKNOWN));
  EXPECT_EQ(VT_UNKNOWN, out.v.vt);
  EXPECT_EQ(static_cast<IUnknown*>(&object), out.v.punkVal);
  EXPECT_EQ(2, object.refs);
  VariantClear(out.get());
  EXPECT_EQ(1, object.refs);
  VARIANT number;
  number.vt = VT_I4;
  number.lVal = 1;
  EXPECT_EQ(DISP_E_TYPEMISMATCH, VariantChangeType(out.get(), &number, 0, VT_DISPATCH));
}

TEST(ChangeTypeArray, StringToBytesAndBack) {
  Var text, bytes, back;
  SetText(text.get(), u"AB");
  ASSERT_EQ(S_OK, VariantChangeType(bytes.get(), text.get(), 0, VT_ARRAY | VT_UI1));
  ASSERT_EQ(VT_ARRAY | VT_UI1, bytes.v.vt);
  ASSERT_EQ(4u, bytes.v.parray->rgsabound[0].cElements);
  const unsigned char expected[] = {'A', 0, 'B', 0};
  EXPECT_EQ(0, memcmp(expected, bytes.v.parray->pvData, 4));
  ASSERT_EQ(S_OK, VariantChangeType(back.get(), bytes.get(), 0, VT_BSTR));
  EXPECT_EQ(u"AB", std::u16string(back.v.bstrVal));
  EXPECT_EQ(DISP_E_TYPEMISMATCH, VariantChangeType(back.get(), bytes.get(), 0, VT_I4));
}

TEST(ChangeTypeArray, VariantArrayCopiesToItselfOnly) {
  Var src, out;
  src.v.vt = VT_ARRAY | VT_VARIANT;
  src.v.parray = SafeArrayCreateVector(VT_VARIANT, 0, 1);
  ASSERT_EQ(S_OK, VariantChangeType(out.get(), src.get(), 0, VT_ARRAY | VT_VARIANT));
  EXPECT_NE(src.v.parray, out.v.parray);
  EXPECT_EQ(DISP_E_TYPEMISMATCH, VariantChangeType(out.get(), src.get(), 0, VT_ARRAY | VT_UI1));
  EXPECT_EQ(DISP_E_TYPEMISMATCH, VariantChangeType(out.get(), src.get(), 0, VT_BSTR));
}

TEST(ChangeTypeBadTypes, UnknownOrUnsupportedTypesAreRefused) {
  VARIANT v;
  v.vt = VT_I4;
  v.lVal = 1;
  Var out;
  EXPECT_EQ(DISP_E_BADVARTYPE, VariantChangeType(out.get(), &v, 0, 0x7F));
  EXPECT_EQ(DISP_E_BADVARTYPE, VariantChangeType(out.get(), &v, 0, VT_BYREF | VT_I4));
  EXPECT_EQ(DISP_E_BADVARTYPE, VariantChangeType(out.get(), &v, 0, VT_RECORD));
  v.vt = 15;
  EXPECT_EQ(DISP_E_BADVARTYPE, VariantChangeType(out.get(), &v, 0, VT_I4));
  EXPECT_EQ(E_INVALIDARG, VariantChangeType(nullptr, &v, 0, VT_I4));
}

}  // namespace
