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
//
// This file holds the conversion table; numbers and dates as text live in
// variant_change_numbers.cpp and variant_change_dates.cpp.
#include <float.h>
#include <math.h>
#include <string.h>
#include <time.h>

#include <charconv>
#include <new>
#include <string>

#include "platform/automation.h"
#include "platform/guard.h"
#include "platform/posix/variant_change_internal.h"

namespace {
using namespace tessary::variant_change;

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
