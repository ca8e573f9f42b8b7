// Variant life cycle: initialise, clear, copy and copy through a reference.
//
// A variant owns what it holds unless VT_BYREF is set: its string, one
// reference on its interface, its safe array. Copies are deep; a by-reference
// variant is copied as the pointer it is, and only VariantCopyInd follows it.
#include <string.h>

#include "platform/automation.h"
#include "platform/posix/vartype_size.h"

namespace {

// The vartype check Windows applies before touching a variant: a base type
// below VT_VOID other than the unused 15, or VT_RECORD; VT_EMPTY and VT_NULL
// never combine with VT_BYREF or VT_ARRAY; VT_VECTOR and VT_RESERVED never
// appear in a variant.
HRESULT ValidateType(VARTYPE vt) {
  if (vt & (VT_VECTOR | VT_RESERVED)) return DISP_E_BADVARTYPE;
  const VARTYPE base = vt & VT_TYPEMASK;
  if (base == 15) return DISP_E_BADVARTYPE;
  if (base >= VT_VOID && base != VT_RECORD) return DISP_E_BADVARTYPE;
  if ((vt & (VT_BYREF | VT_ARRAY)) && base <= VT_NULL) return DISP_E_BADVARTYPE;
  // Records need IRecordInfo, which this platform does not provide.
  if (base == VT_RECORD) return DISP_E_BADVARTYPE;
  return S_OK;
}

BSTR CopyBstr(BSTR bstr) {
  return SysAllocStringByteLen(reinterpret_cast<LPCSTR>(bstr), SysStringByteLen(bstr));
}

// Deep copy of a variant that is not by reference into `dest`, which is
// treated as uninitialised.
HRESULT CopyOwned(VARIANT* dest, const VARIANT* src) {
  *dest = *src;
  if (src->vt & VT_BYREF) return S_OK;
  if (src->vt & VT_ARRAY) {
    dest->parray = nullptr;
    const HRESULT hr = SafeArrayCopy(src->parray, &dest->parray);
    if (FAILED(hr)) {
      dest->vt = VT_EMPTY;
      return hr;
    }
    return S_OK;
  }
  switch (src->vt) {
    case VT_BSTR:
      if (src->bstrVal != nullptr) {
        dest->bstrVal = CopyBstr(src->bstrVal);
        if (dest->bstrVal == nullptr) {
          dest->vt = VT_EMPTY;
          return E_OUTOFMEMORY;
        }
      }
      break;
    case VT_UNKNOWN:
    case VT_DISPATCH:
      if (src->punkVal != nullptr) src->punkVal->AddRef();
      break;
    default:
      break;
  }
  return S_OK;
}

// Deep copy of what a by-reference variant points at into `dest`, treated as
// uninitialised.
HRESULT CopyReferenced(VARIANT* dest, const VARIANT* src) {
  VariantInit(dest);
  if (src->byref == nullptr) return E_INVALIDARG;
  const VARTYPE base = src->vt & ~VT_BYREF;
  if (base == VT_VARIANT) {
    const VARIANT* inner = src->pvarVal;
    // Windows follows one variant reference, and one more plain reference
    // inside it, but refuses a reference to a reference to a variant.
    if (inner->vt == (VT_BYREF | VT_VARIANT)) return E_INVALIDARG;
    const HRESULT hr = ValidateType(inner->vt);
    if (FAILED(hr)) return hr;
    if (inner->vt & VT_BYREF) return CopyReferenced(dest, inner);
    return CopyOwned(dest, inner);
  }
  VARIANT view;
  VariantInit(&view);
  view.vt = base;
  if (base & VT_ARRAY) {
    view.parray = *src->pparray;
  } else if (base == VT_BSTR) {
    view.bstrVal = *src->pbstrVal;
  } else if (base == VT_UNKNOWN || base == VT_DISPATCH) {
    view.punkVal = *src->ppunkVal;
  } else if (base == VT_DECIMAL) {
    // DECIMAL overlays the whole variant, its first word included.
    dest->decVal = *src->pdecVal;
    dest->vt = VT_DECIMAL;
    return S_OK;
  } else {
    const size_t size = tessary::posix::PlainValueSize(base);
    if (size == 0) return DISP_E_BADVARTYPE;
    memcpy(&view.llVal, src->byref, size);
  }
  return CopyOwned(dest, &view);
}

// Replaces `dest` by `value`, which it takes over; on failure to clear the
// old contents `value` is released and `dest` left as it was.
HRESULT Install(VARIANT* dest, VARIANT* value) {
  const HRESULT hr = VariantClear(dest);
  if (FAILED(hr)) {
    VariantClear(value);
    return hr;
  }
  *dest = *value;
  return S_OK;
}

}  // namespace

extern "C" {
void VariantInit(VARIANTARG* pvarg) {
  if (pvarg == nullptr) return;
  pvarg->vt = VT_EMPTY;
  pvarg->wReserved1 = 0;
  pvarg->wReserved2 = 0;
  pvarg->wReserved3 = 0;
}

HRESULT VariantClear(VARIANTARG* pvarg) {
  if (pvarg == nullptr) return E_INVALIDARG;
  HRESULT hr = ValidateType(pvarg->vt);
  if (FAILED(hr)) return hr;
  if (!(pvarg->vt & VT_BYREF)) {
    if (pvarg->vt & VT_ARRAY) {
      // A locked array stays where it is and so does the variant.
      hr = SafeArrayDestroy(pvarg->parray);
      if (FAILED(hr)) return hr;
    } else if (pvarg->vt == VT_BSTR) {
      SysFreeString(pvarg->bstrVal);
    } else if (pvarg->vt == VT_UNKNOWN || pvarg->vt == VT_DISPATCH) {
      if (pvarg->punkVal != nullptr) pvarg->punkVal->Release();
    }
  }
  pvarg->vt = VT_EMPTY;
  return S_OK;
}

HRESULT VariantCopy(VARIANTARG* pvargDest, VARIANTARG* pvargSrc) {
  if (pvargDest == nullptr || pvargSrc == nullptr) return E_INVALIDARG;
  HRESULT hr = ValidateType(pvargSrc->vt);
  if (FAILED(hr)) return hr;
  if (pvargDest == pvargSrc) return S_OK;
  // The copy is made before the destination is cleared: the source may live
  // inside it (an element of its array, say).
  VARIANT copy;
  hr = CopyOwned(&copy, pvargSrc);
  if (FAILED(hr)) return hr;
  return Install(pvargDest, &copy);
}

HRESULT VariantCopyInd(VARIANT* pvarDest, VARIANTARG* pvargSrc) {
  if (pvarDest == nullptr || pvargSrc == nullptr) return E_INVALIDARG;
  if (!(pvargSrc->vt & VT_BYREF)) return VariantCopy(pvarDest, pvargSrc);
  HRESULT hr = ValidateType(pvargSrc->vt);
  if (FAILED(hr)) return hr;
  VARIANT copy;
  hr = CopyReferenced(&copy, pvargSrc);
  if (FAILED(hr)) return hr;
  return Install(pvarDest, &copy);
}

}  // extern "C"
