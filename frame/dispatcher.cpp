// IDispatch answered from the generated member tables, on both targets. It
// does what the system's type-information dispatcher does for a dual
// interface: names resolve case-insensitively, the invocation kind must match
// the member, omitted optional arguments take their declared defaults, every
// argument is coerced to its declared type with VariantChangeType, and a
// failing member's error record is handed to the caller in EXCEPINFO.
#include <cstring>
#include <memory>
#include <vector>

#include "frame/dispatch_table.h"
#include "frame/name_index.h"
#include "platform/automation.h"
#include "platform/guard.h"

namespace tessary::dispatch {
namespace {

bool IsMissing(const VARIANT& v) { return v.vt == VT_ERROR && v.scode == DISP_E_PARAMNOTFOUND; }

bool KindMatches(WORD member_kind, WORD flags) {
  // A property get answers a call as well: some engines call a name whose
  // value the script does not use as a method alone (files.Item(4); on a
  // line of its own), and enumerators are asked for as methods. A method is
  // not run for a property get, which reading its name must not do.
  if (member_kind == DISPATCH_PROPERTYGET)
    return (flags & (DISPATCH_PROPERTYGET | DISPATCH_METHOD)) != 0;
  return (flags & member_kind) != 0;
}

const MemberInfo* FindMember(const InterfaceInfo& info, DISPID id, WORD flags) {
  const MemberInfo* fallback = nullptr;
  for (UINT i = 0; i < info.member_count; ++i) {
    const MemberInfo& m = info.members[i];
    if (m.id != id) continue;
    if (KindMatches(m.kind, flags)) return &m;
    // A script assigning an object may ask for put-by-reference on a
    // property that only has put, and the other way round.
    bool put = (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0;
    if (put && (m.kind == DISPATCH_PROPERTYPUT || m.kind == DISPATCH_PROPERTYPUTREF)) fallback = &m;
  }
  return fallback;
}

// Describes a failed member to the caller: scode the member's own HRESULT,
// wCode 0, and the source (the reporting class's ProgID) and text of the
// error record its report left, which this consumes. The engines take the
// number from scode; none reads the thread's record for a call that
// returned DISP_E_EXCEPTION.
void FillException(EXCEPINFO* excep, HRESULT hr) {
  std::memset(excep, 0, sizeof *excep);
  excep->scode = hr;
  IErrorInfo* record = nullptr;
  if (GetErrorInfo(0, &record) == S_OK && record) {
    record->GetSource(&excep->bstrSource);
    record->GetDescription(&excep->bstrDescription);
    record->Release();
  }
}

// The arguments of one call: coerced copies that the call owns, and shallow
// copies of the caller's variants that it must not free.
class Arguments {
 public:
  explicit Arguments(UINT count) : count_(count) {
    if (count_ > kInline) {
      heap_ = std::make_unique<VARIANT[]>(count_);
      owned_heap_ = std::make_unique<bool[]>(count_);
    }
    for (UINT i = 0; i < count_; ++i) {
      VariantInit(&data()[i]);
      owned()[i] = false;
    }
  }
  ~Arguments() {
    for (UINT i = 0; i < count_; ++i)
      if (owned()[i]) VariantClear(&data()[i]);
  }
  Arguments(const Arguments&) = delete;
  Arguments& operator=(const Arguments&) = delete;

  VARIANT* data() { return heap_ ? heap_.get() : inline_; }
  bool* owned() { return owned_heap_ ? owned_heap_.get() : inline_owned_; }

 private:
  static constexpr UINT kInline = 8;
  UINT count_;
  VARIANT inline_[kInline];
  bool inline_owned_[kInline];
  std::unique_ptr<VARIANT[]> heap_;
  std::unique_ptr<bool[]> owned_heap_;
};

HRESULT SetDefault(const ParamInfo& p, VARIANT* out, bool* owned) {
  const DefaultValue& d = p.default_value;
  switch (d.vt) {
    case VT_ERROR:
      out->vt = VT_ERROR;
      out->scode = DISP_E_PARAMNOTFOUND;
      return S_OK;
    case VT_BSTR:
      out->vt = VT_BSTR;
      out->bstrVal = SysAllocString(reinterpret_cast<const OLECHAR*>(d.text));
      if (!out->bstrVal && d.text && d.text[0]) return E_OUTOFMEMORY;
      *owned = true;
      return S_OK;
    case VT_BOOL:
      out->vt = VT_BOOL;
      out->boolVal = d.number ? VARIANT_TRUE : VARIANT_FALSE;
      return S_OK;
    default:
      out->vt = VT_I4;
      out->lVal = d.number;
      if (p.vt != VT_I4 && p.vt != VT_VARIANT) {
        HRESULT hr = VariantChangeType(out, out, 0, p.vt);
        *owned = true;
        return hr;
      }
      return S_OK;
  }
}

}  // namespace

HRESULT GetIDsOfNames(const NameIndex& index, const InterfaceInfo& info, LPOLESTR* names,
                      UINT count, DISPID* ids) {
  if (!names || !ids) return E_POINTER;
  if (count == 0) return E_INVALIDARG;
  for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
  if (!names[0]) return DISP_E_UNKNOWNNAME;
  int member = index.Find(names[0]);
  if (member < 0) return DISP_E_UNKNOWNNAME;
  ids[0] = info.members[member].id;
  HRESULT hr = S_OK;
  for (UINT n = 1; n < count; ++n) {
    // A parameter name belongs to any member that shares the first name (the
    // get and the put of one property may name their parameters apart).
    bool found = false;
    for (UINT m = 0; m < info.member_count && !found && names[n]; ++m) {
      const MemberInfo& candidate = info.members[m];
      if (candidate.id != ids[0]) continue;
      for (UINT p = 0; p < candidate.param_count; ++p) {
        if (NameIndex::EqualNoCase(candidate.params[p].name, AsUtf16(names[n]))) {
          ids[n] = static_cast<DISPID>(p);
          found = true;
          break;
        }
      }
    }
    if (!found) hr = DISP_E_UNKNOWNNAME;
  }
  return hr;
}

namespace {

HRESULT InvokeMember(const InterfaceInfo& info, void* self, DISPID id, WORD flags,
                     DISPPARAMS* params, VARIANT* result, EXCEPINFO* excep, UINT* arg_err) {
  if (!params) return E_POINTER;
  if (params->cArgs && !params->rgvarg) return E_POINTER;
  if (params->cNamedArgs > params->cArgs || (params->cNamedArgs && !params->rgdispidNamedArgs))
    return E_INVALIDARG;
  const MemberInfo* member = FindMember(info, id, flags);
  if (!member) return DISP_E_MEMBERNOTFOUND;

  const UINT declared = member->param_count;
  const bool put = member->kind == DISPATCH_PROPERTYPUT || member->kind == DISPATCH_PROPERTYPUTREF;
  // Where each declared parameter comes from: an index into rgvarg, or -1.
  // Members declare a few parameters: those need no allocation per call.
  int few[8];
  std::vector<int> many;
  int* source = few;
  if (declared > 8) {
    many.assign(declared, -1);
    source = many.data();
  } else {
    for (UINT i = 0; i < declared; ++i) few[i] = -1;
  }
  UINT named = params->cNamedArgs;
  UINT positional = params->cArgs - named;
  for (UINT n = 0; n < named; ++n) {
    DISPID target = params->rgdispidNamedArgs[n];
    if (target == DISPID_PROPERTYPUT && put && declared > 0) {
      source[declared - 1] = static_cast<int>(n);
    } else if (target >= 0 && static_cast<UINT>(target) < declared) {
      source[target] = static_cast<int>(n);
    } else if (target == DISPID_PROPERTYPUT) {
      return DISP_E_MEMBERNOTFOUND;
    } else {
      return DISP_E_PARAMNOTFOUND;
    }
  }
  if (put && named == 0) {
    // The value of a put may also arrive as the last positional argument.
    if (positional == 0 || declared == 0) return DISP_E_BADPARAMCOUNT;
    source[declared - 1] = 0;
    positional -= 1;
  }
  if (positional > declared) return DISP_E_BADPARAMCOUNT;
  for (UINT i = 0; i < positional; ++i) {
    if (source[i] >= 0) return DISP_E_BADPARAMCOUNT;  // given by position and by name
    source[i] = static_cast<int>(params->cArgs - 1 - i);
  }

  Arguments args(declared);
  VARIANT* a = args.data();
  bool* owned = args.owned();
  for (UINT i = 0; i < declared; ++i) {
    const ParamInfo& p = member->params[i];
    VARIANT* src = source[i] >= 0 ? &params->rgvarg[source[i]] : nullptr;
    if (!src || IsMissing(*src)) {
      if (!p.optional) return DISP_E_BADPARAMCOUNT;
      if (p.default_value.vt == VT_ERROR && p.vt != VT_VARIANT && p.vt != (VT_VARIANT | VT_BYREF))
        return DISP_E_PARAMNOTOPTIONAL;
      HRESULT hr = SetDefault(p, &a[i], &owned[i]);
      if (FAILED(hr)) return hr;
      continue;
    }
    if (p.vt == VT_VARIANT || p.vt == (VT_VARIANT | VT_BYREF)) {
      a[i] = *src;  // by value as the caller holds it; the member copies what it keeps
      continue;
    }
    if (src->vt == VT_BSTR && p.vt == VT_BSTR) {
      // An [in] string stays the caller's for the call, and a member copies
      // what it keeps: it needs no copy of its own.
      a[i] = *src;
      continue;
    }
    HRESULT hr = src->vt == p.vt ? VariantCopy(&a[i], src) : VariantChangeType(&a[i], src, 0, p.vt);
    owned[i] = true;
    if (FAILED(hr)) {
      if (arg_err) *arg_err = static_cast<UINT>(source[i]);
      if (hr == E_OUTOFMEMORY || hr == DISP_E_OVERFLOW) return hr;
      return DISP_E_TYPEMISMATCH;
    }
  }

  VARIANT r;
  VariantInit(&r);
  HRESULT hr = member->thunk(self, a, &r);
  if (FAILED(hr)) {
    VariantClear(&r);
    // A failed member still gives an empty value of its result type (an
    // object result is Nothing), as the system's dispatcher does. VBScript
    // goes on to store the result of a failed `Set x = c(9)` under On Error
    // Resume Next, and storing a non-object there would replace the
    // member's error with the engine's own.
    if (result && member->result_vt != VT_EMPTY && member->result_vt != VT_VARIANT) {
      std::memset(result, 0, sizeof *result);
      result->vt = member->result_vt;
    }
    if (excep) {
      FillException(excep, hr);
      return DISP_E_EXCEPTION;
    }
    return hr;
  }
  if (result) {
    *result = r;
  } else {
    VariantClear(&r);
  }
  return hr;
}

}  // namespace

// Every member call passes here (every generated thunk is
// called from InvokeMember), so this is where a C++ exception thrown by a
// member or by the coercion of its arguments stops.
// The member was cut short, so whatever error record the thread holds says
// nothing about this failure; the caller gets the bare HRESULT.
HRESULT Invoke(const InterfaceInfo& info, void* self, DISPID id, WORD flags, DISPPARAMS* params,
               VARIANT* result, EXCEPINFO* excep, UINT* arg_err) {
  return Guard([&] { return InvokeMember(info, self, id, flags, params, result, excep, arg_err); },
               [](HRESULT hr) {
                 SetErrorInfo(0, nullptr);
                 return hr;
               });
}

}  // namespace tessary::dispatch
