// The member tables that every object answers IDispatch from, on both
// targets. They are generated from typelib/tessary.idl (tessary_dispatch.cpp),
// the same description the registered type library is built from.
#pragma once

#include "platform/automation.h"

namespace tessary::dispatch {

// A parameter's default value, as the type library states it. VT_ERROR means
// an optional parameter without a default: it arrives as "missing"
// (VT_ERROR, DISP_E_PARAMNOTFOUND), which only a VARIANT parameter can take.
struct DefaultValue {
  VARTYPE vt;
  LONG number;
  const char16_t* text;
};

struct ParamInfo {
  const char16_t* name;
  VARTYPE vt;  // VT_VARIANT | VT_BYREF: the caller's variant is passed as is
  bool optional;
  DefaultValue default_value;
};

// Makes the typed vtable call. `args` holds one variant per declared input,
// already coerced to its type; a result goes to `result`.
using Thunk = HRESULT (*)(void* self, VARIANT* args, VARIANT* result);

struct MemberInfo {
  const char16_t* name;
  DISPID id;
  WORD kind;  // one of DISPATCH_METHOD, _PROPERTYGET, _PROPERTYPUT, _PROPERTYPUTREF
  const ParamInfo* params;
  UINT param_count;
  VARTYPE result_vt;  // VT_EMPTY: no result
  Thunk thunk;
};

struct InterfaceInfo {
  const char* name;
  const IID* iid;
  const MemberInfo* members;
  UINT member_count;
};

template <class Itf>
const InterfaceInfo& InfoOf();

class NameIndex;

// IDispatch over a table, for the object `self` (the interface pointer the
// thunks cast back).
HRESULT GetIDsOfNames(const NameIndex& index, const InterfaceInfo& info, LPOLESTR* names, UINT count,
                      DISPID* ids);
HRESULT Invoke(const InterfaceInfo& info, void* self, DISPID id, WORD flags, DISPPARAMS* params,
               VARIANT* result, EXCEPINFO* excep, UINT* arg_err);

}  // namespace tessary::dispatch
