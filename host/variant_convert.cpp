#include "host/variant_convert.h"

#include <climits>
#include <cmath>
#include <cstring>

#include "host/dispatch_object.h"
#include "host/script_object.h"
#include "host/wscript.h"
#include "platform/posix/vartype_size.h"
#include "platform/system.h"

namespace tessary::host {
namespace {

// The bytes an array element of type vt takes; strings and objects are
// stored as their pointers.
size_t ValueSize(VARTYPE vt) {
  if (vt == VT_BSTR || vt == VT_DISPATCH || vt == VT_UNKNOWN) return sizeof(void*);
  return posix::PlainValueSize(vt);
}

[[noreturn]] void ThrowBadType(duk_context* ctx) {
  ThrowHostError(ctx, DISP_E_BADVARTYPE,
                 "Variable uses an Automation type not supported in JScript");
}

[[noreturn]] void ThrowOutOfMemory(duk_context* ctx) {
  ThrowHostError(ctx, E_OUTOFMEMORY, "Out of memory");
}

// An automation date is a local wall-clock time. Like the Windows engine,
// the host converts it field by field to and from the Date's local fields,
// so the engine's own idea of local time (its time zone rules) applies to
// every year, and a date round-trips through the module unchanged.
void PushDate(duk_context* ctx, DATE date) {
  SYSTEMTIME st;
  StashGet(ctx, "Date");
  if (!VariantTimeToSystemTime(date, &st)) {
    duk_push_nan(ctx);
    duk_new(ctx, 1);
    return;
  }
  const WORD fields[] = {st.wYear,   st.wMonth,  st.wDay,         st.wHour,
                         st.wMinute, st.wSecond, st.wMilliseconds};
  for (size_t i = 0; i < sizeof fields / sizeof fields[0]; ++i)
    duk_push_int(ctx, i == 1 ? fields[i] - 1 : fields[i]);
  duk_new(ctx, 7);
}

// A field a Date getter answered; anything out of range (a script may
// replace the getters) becomes a value SystemTimeToVariantTime rejects.
WORD ToWord(double field) {
  return field >= 0 && field <= 65535 ? static_cast<WORD>(field) : 65535;
}

void DateToVariant(duk_context* ctx, duk_idx_t idx, VARIANT* out) {
  static const char* const kGetters[] = {"getFullYear", "getMonth",   "getDate",        "getHours",
                                         "getMinutes",  "getSeconds", "getMilliseconds"};
  double fields[7];
  for (size_t i = 0; i < 7; ++i) {
    duk_get_prop_string(ctx, idx, kGetters[i]);
    duk_dup(ctx, idx);
    duk_call_method(ctx, 0);
    fields[i] = duk_to_number(ctx, -1);
    duk_pop(ctx);
  }
  SYSTEMTIME st;
  DATE date = 0;
  // Automation dates run from year 100 to 9999; an invalid date has no form.
  bool valid = fields[0] >= 100 && fields[0] <= 9999;
  if (valid) {
    st.wYear = ToWord(fields[0]);
    st.wMonth = ToWord(fields[1] + 1);
    st.wDayOfWeek = 0;
    st.wDay = ToWord(fields[2]);
    st.wHour = ToWord(fields[3]);
    st.wMinute = ToWord(fields[4]);
    st.wSecond = ToWord(fields[5]);
    st.wMilliseconds = ToWord(fields[6]);
    valid = SystemTimeToVariantTime(&st, &date) != FALSE;
  }
  if (!valid) ThrowHostError(ctx, DISP_E_OVERFLOW, "Date out of range");
  out->vt = VT_DATE;
  out->date = date;
}

void PushArray(duk_context* ctx, SAFEARRAY* array, VARTYPE vt) {
  if (!array) {
    duk_push_null(ctx);
    return;
  }
  if (vt == VT_UI1 && SafeArrayGetDim(array) == 1) {
    LONG low = 0;
    LONG high = -1;
    SafeArrayGetLBound(array, 1, &low);
    SafeArrayGetUBound(array, 1, &high);
    duk_size_t size =
        high >= low ? static_cast<duk_size_t>(static_cast<int64_t>(high) - low + 1) : 0;
    void* bytes = duk_push_fixed_buffer(ctx, size);
    if (size) std::memcpy(bytes, array->pvData, size);
    duk_push_buffer_object(ctx, -1, 0, size, DUK_BUFOBJ_UINT8ARRAY);
    duk_remove(ctx, -2);
    return;
  }
  SAFEARRAY* copy = nullptr;
  HRESULT hr = SafeArrayCopy(array, &copy);
  if (FAILED(hr)) ThrowComError(ctx, hr, nullptr, nullptr);
  PushArrayValue(ctx, copy, vt);
}

void PushUnknown(duk_context* ctx, IUnknown* object) {
  if (!object) {
    duk_push_null(ctx);
    return;
  }
  IDispatch* dispatch = nullptr;
  if (SUCCEEDED(object->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch))) &&
      dispatch) {
    PushDispatchOwned(ctx, dispatch);
    return;
  }
  HostRef* ref = NewRef(RefKind::kUnknown);
  if (!ref) ThrowOutOfMemory(ctx);
  object->AddRef();
  ref->object = object;
  duk_push_object(ctx);
  AttachRef(ctx, -1, ref);
}

// ---------------------------------------------------------------------------
// Script to automation. `out` is VT_EMPTY on entry; whatever it holds when
// a conversion throws is cleared by the caller.

void BytesToVariant(duk_context* ctx, duk_idx_t idx, VARIANT* out) {
  duk_size_t size = 0;
  void* data = duk_get_buffer_data(ctx, idx, &size);
  if (size > ULONG_MAX) ThrowOutOfMemory(ctx);
  SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(size));
  if (!array) ThrowOutOfMemory(ctx);
  if (size) std::memcpy(array->pvData, data, size);
  out->vt = VT_ARRAY | VT_UI1;
  out->parray = array;
}

bool CopyArrayValue(duk_context* ctx, HostRef* ref, VARIANT* out) {
  if (!ref || ref->kind != RefKind::kArray || !ref->array) return false;
  SAFEARRAY* copy = nullptr;
  HRESULT hr = SafeArrayCopy(ref->array, &copy);
  if (FAILED(hr)) ThrowComError(ctx, hr, nullptr, nullptr);
  out->vt = static_cast<VARTYPE>(VT_ARRAY | ref->vt);
  out->parray = copy;
  return true;
}

bool IsDate(duk_context* ctx, duk_idx_t idx) {
  StashGet(ctx, "Date");
  bool date = duk_instanceof(ctx, idx, -1);
  duk_pop(ctx);
  return date;
}

void ObjectToVariant(duk_context* ctx, duk_idx_t idx, VARIANT* out) {
  if (HostRef* ref = GetRef(ctx, idx)) {
    switch (ref->kind) {
      case RefKind::kDispatch:
      case RefKind::kUnknown:
        if (ref->object) ref->object->AddRef();
        out->vt = ref->kind == RefKind::kDispatch ? VT_DISPATCH : VT_UNKNOWN;
        out->punkVal = ref->object;
        return;
      case RefKind::kArray:
        CopyArrayValue(ctx, ref, out);
        return;
      case RefKind::kMethod:
      case RefKind::kEnumerator:
        break;
    }
  }
  if (HostRef* held = VBArrayHolder(ctx, idx)) {
    CopyArrayValue(ctx, held, out);
    return;
  }
  if (duk_is_buffer_data(ctx, idx)) {
    BytesToVariant(ctx, idx, out);
  } else if (IsDate(ctx, idx)) {
    DateToVariant(ctx, idx, out);
  } else {
    // Objects, arrays and functions cross as themselves, as with the
    // Windows engine: a module can read and call them, and hands them back.
    out->punkVal = WrapScriptObject(ctx, idx);
    out->vt = VT_DISPATCH;
  }
}

void ToVariant(duk_context* ctx, duk_idx_t idx, VARIANT* out) {
  idx = duk_normalize_index(ctx, idx);
  switch (duk_get_type(ctx, idx)) {
    case DUK_TYPE_NONE:
    case DUK_TYPE_UNDEFINED:
      out->vt = VT_EMPTY;
      return;
    case DUK_TYPE_NULL:
      out->vt = VT_NULL;
      return;
    case DUK_TYPE_BOOLEAN:
      out->vt = VT_BOOL;
      out->boolVal = duk_get_boolean(ctx, idx) ? VARIANT_TRUE : VARIANT_FALSE;
      return;
    case DUK_TYPE_NUMBER: {
      double number = duk_get_number(ctx, idx);
      if (number >= INT32_MIN && number <= INT32_MAX && number == std::trunc(number)) {
        out->vt = VT_I4;
        out->lVal = static_cast<LONG>(number);
      } else {
        out->vt = VT_R8;
        out->dblVal = number;
      }
      return;
    }
    case DUK_TYPE_BUFFER:
      BytesToVariant(ctx, idx, out);
      return;
    case DUK_TYPE_OBJECT:
      ObjectToVariant(ctx, idx, out);
      return;
    default: {
      BSTR text = ToBstr(ctx, idx);
      out->vt = VT_BSTR;
      out->bstrVal = text;
      return;
    }
  }
}

struct ConvertJob {
  duk_idx_t first;
  duk_idx_t count;
  VARIANT* out;
};

duk_ret_t ConvertAll(duk_context* ctx, void* udata) {
  const ConvertJob* job = static_cast<const ConvertJob*>(udata);
  for (duk_idx_t i = 0; i < job->count; ++i)
    ToVariant(ctx, job->first + i, &job->out[job->count - 1 - i]);
  return 0;
}

duk_ret_t PushJob(duk_context* ctx, void* udata) {
  PushVariant(ctx, static_cast<const VARIANT*>(udata));
  return 1;
}

}  // namespace

void InstallValues(duk_context* ctx) {
  duk_get_global_string(ctx, "Date");
  StashPut(ctx, "Date");
}

bool ElementAsVariant(VARTYPE vt, const void* element, VARIANT* out) {
  if (vt == VT_VARIANT) {
    *out = *static_cast<const VARIANT*>(element);
    return true;
  }
  if (vt == VT_DECIMAL) {
    out->decVal = *static_cast<const DECIMAL*>(element);
    out->vt = VT_DECIMAL;
    return true;
  }
  size_t size = ValueSize(vt);
  if (size == 0) return false;
  std::memset(out, 0, sizeof *out);
  out->vt = vt;
  std::memcpy(&out->llVal, element, size);
  return true;
}

void PushVariant(duk_context* ctx, const VARIANT* v) {
  VARTYPE vt = v->vt;
  if (vt & VT_BYREF) {
    VARTYPE base = static_cast<VARTYPE>(vt & ~VT_BYREF);
    if (!v->byref) {
      duk_push_undefined(ctx);
      return;
    }
    VARIANT shallow;
    if (base == VT_VARIANT) {
      // A reference to a variant never refers on to another reference.
      if (v->pvarVal->vt == (VT_BYREF | VT_VARIANT)) ThrowBadType(ctx);
      PushVariant(ctx, v->pvarVal);
      return;
    }
    if (base & VT_ARRAY) {
      std::memset(&shallow, 0, sizeof shallow);
      shallow.vt = base;
      shallow.parray = *v->pparray;
    } else if (!ElementAsVariant(base, v->byref, &shallow)) {
      ThrowBadType(ctx);
    }
    PushVariant(ctx, &shallow);
    return;
  }
  if (vt & VT_ARRAY) {
    PushArray(ctx, v->parray, static_cast<VARTYPE>(vt & VT_TYPEMASK));
    return;
  }
  switch (vt) {
    case VT_EMPTY:
      duk_push_undefined(ctx);
      return;
    case VT_NULL:
      duk_push_null(ctx);
      return;
    case VT_I1:
      duk_push_int(ctx, v->cVal);
      return;
    case VT_UI1:
      duk_push_uint(ctx, v->bVal);
      return;
    case VT_I2:
      duk_push_int(ctx, v->iVal);
      return;
    case VT_UI2:
      duk_push_uint(ctx, v->uiVal);
      return;
    case VT_I4:
      duk_push_number(ctx, v->lVal);
      return;
    case VT_UI4:
      duk_push_number(ctx, v->ulVal);
      return;
    case VT_INT:
      duk_push_number(ctx, v->intVal);
      return;
    case VT_UINT:
      duk_push_number(ctx, v->uintVal);
      return;
    case VT_I8:
      duk_push_number(ctx, static_cast<double>(v->llVal));
      return;
    case VT_UI8:
      duk_push_number(ctx, static_cast<double>(v->ullVal));
      return;
    case VT_R4:
      duk_push_number(ctx, v->fltVal);
      return;
    case VT_R8:
      duk_push_number(ctx, v->dblVal);
      return;
    case VT_CY:
      duk_push_number(ctx, static_cast<double>(v->cyVal.int64) / 10000.0);
      return;
    case VT_DECIMAL: {
      VARIANT number;
      VariantInit(&number);
      if (FAILED(VariantChangeType(&number, const_cast<VARIANT*>(v), 0, VT_R8))) ThrowBadType(ctx);
      duk_push_number(ctx, number.dblVal);
      return;
    }
    case VT_BOOL:
      duk_push_boolean(ctx, v->boolVal != VARIANT_FALSE);
      return;
    case VT_BSTR:
      PushBstr(ctx, v->bstrVal);
      return;
    case VT_DATE:
      PushDate(ctx, v->date);
      return;
    case VT_DISPATCH:
      if (v->pdispVal) v->pdispVal->AddRef();
      PushDispatchOwned(ctx, v->pdispVal);
      return;
    case VT_UNKNOWN:
      PushUnknown(ctx, v->punkVal);
      return;
    case VT_ERROR:
      if (v->scode == DISP_E_PARAMNOTFOUND) {
        duk_push_undefined(ctx);
      } else {
        duk_push_int(ctx, v->scode);
      }
      return;
    default:
      ThrowBadType(ctx);
  }
}

void PushAndClear(duk_context* ctx, VARIANT* v) {
  // Most results own nothing, or a short string: those are pushed without
  // the protected call, which costs as much as the rest of a property get.
  const VARTYPE vt = v->vt;
  if (vt == VT_BSTR) {
    char small[256];
    const UINT count = SysStringLen(v->bstrVal);
    if (count <= sizeof small / 3) {
      size_t size = Utf16ToEngine(v->bstrVal, count, small);
      SysFreeString(v->bstrVal);
      v->vt = VT_EMPTY;
      duk_push_lstring(ctx, small, size);
      return;
    }
  } else if (!(vt & (VT_ARRAY | VT_BYREF)) && vt != VT_DISPATCH && vt != VT_UNKNOWN &&
             vt != VT_RECORD && vt != VT_VARIANT) {
    PushVariant(ctx, v);
    VariantClear(v);
    return;
  }
  bool pushed = Protect(ctx, Safe<PushJob>, v, 0);
  VariantClear(v);
  if (!pushed) Rethrow(ctx);
}

// Values that convert without running script code and fail only when
// memory runs out, so they need no protected call.
bool ArePlain(duk_context* ctx, duk_idx_t first, duk_idx_t count) {
  for (duk_idx_t i = 0; i < count; ++i) {
    switch (duk_get_type(ctx, first + i)) {
      case DUK_TYPE_UNDEFINED:
      case DUK_TYPE_NULL:
      case DUK_TYPE_BOOLEAN:
      case DUK_TYPE_NUMBER:
        break;
      case DUK_TYPE_STRING:
        if (duk_is_symbol(ctx, first + i)) return false;
        break;
      default:
        return false;
    }
  }
  return true;
}

void ToVariants(duk_context* ctx, duk_idx_t first, duk_idx_t count, VARIANT* out) {
  first = duk_normalize_index(ctx, first);
  if (ArePlain(ctx, first, count)) {
    for (duk_idx_t i = 0; i < count; ++i) {
      VARIANT* value = &out[count - 1 - i];
      if (!duk_is_string(ctx, first + i)) {
        ToVariant(ctx, first + i, value);
        continue;
      }
      duk_size_t size = 0;
      const char* bytes = duk_get_lstring(ctx, first + i, &size);
      value->bstrVal = EngineBytesToBstr(bytes, size);
      if (!value->bstrVal) {
        for (duk_idx_t done = 0; done < i; ++done) VariantClear(&out[count - 1 - done]);
        ThrowOutOfMemory(ctx);
      }
      value->vt = VT_BSTR;
    }
    return;
  }
  ConvertJob job{first, count, out};
  if (!Protect(ctx, Safe<ConvertAll>, &job, 0)) {
    ClearVariants(out, static_cast<size_t>(count));
    Rethrow(ctx);
  }
  duk_pop(ctx);
}

void ClearVariants(VARIANT* values, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    // Arguments are mostly strings and numbers: a string is freed as one,
    // and values up to VT_R8 own nothing.
    if (values[i].vt == VT_BSTR) {
      SysFreeString(values[i].bstrVal);
      values[i].vt = VT_EMPTY;
    } else if (values[i].vt <= VT_R8) {
      values[i].vt = VT_EMPTY;
    } else {
      VariantClear(&values[i]);
    }
  }
}

void PushArrayValue(duk_context* ctx, SAFEARRAY* array, VARTYPE vt) {
  HostRef* ref = NewRef(RefKind::kArray);
  if (!ref) {
    SafeArrayDestroy(array);
    ThrowOutOfMemory(ctx);
  }
  ref->array = array;
  ref->vt = vt;
  duk_push_object(ctx);
  AttachRef(ctx, -1, ref);
}

}  // namespace tessary::host
