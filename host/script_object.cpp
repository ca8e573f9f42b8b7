#include "host/script_object.h"

#include <cstring>
#include <new>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "host/variant_convert.h"

namespace tessary::host {
namespace {

constexpr const char* kSlotsKey = "scriptObjects";
constexpr const char* kDefaultSource = "tessary-run";
constexpr HRESULT kWrongThread = static_cast<HRESULT>(0x8001010E);

class ScriptObject;

// Dispatch objects by the engine object they stand for, and the set of all
// of them (to recognise one coming back). Only the engine's thread touches
// them.
std::unordered_map<void*, ScriptObject*> g_by_object;
std::unordered_set<const IDispatch*> g_live;
// One DISPID per name for the life of the host: a module may cache them.
std::vector<std::string> g_names;
std::unordered_map<std::string, DISPID> g_ids;
duk_uarridx_t g_next_slot = 0;
std::thread::id g_engine_thread;

struct SlotJob {
  duk_uarridx_t slot;
};

duk_ret_t DropSlot(duk_context* ctx, void* udata) {
  StashGet(ctx, kSlotsKey);
  duk_del_prop_index(ctx, -1, static_cast<const SlotJob*>(udata)->slot);
  return 0;
}

struct NameJob {
  void* object;
  const char* name;
  size_t size;
  bool found;
};

duk_ret_t HasName(duk_context* ctx, void* udata) {
  NameJob* job = static_cast<NameJob*>(udata);
  duk_push_heapptr(ctx, job->object);
  duk_push_lstring(ctx, job->name, job->size);
  job->found = duk_has_prop(ctx, -2);
  return 0;
}

struct CallJob {
  void* object;
  const std::string* name;  // null for DISPID_VALUE
  WORD flags;
  DISPPARAMS* params;
  VARIANT* result;
  HRESULT status;  // a failure that is not a script error
};

duk_ret_t CallScript(duk_context* ctx, void* udata) {
  CallJob* job = static_cast<CallJob*>(udata);
  const UINT count = job->params->cArgs;
  duk_require_stack(ctx, static_cast<duk_idx_t>(count) + 8);
  duk_push_heapptr(ctx, job->object);
  const duk_idx_t object = duk_get_top_index(ctx);
  if (job->flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) {
    // The value is the named DISPID_PROPERTYPUT argument, first in the list.
    duk_push_lstring(ctx, job->name->data(), job->name->size());
    PushVariant(ctx, &job->params->rgvarg[0]);
    duk_put_prop(ctx, object);
    return 0;
  }
  if (job->name) {
    duk_get_prop_lstring(ctx, object, job->name->data(), job->name->size());
  } else {
    duk_dup(ctx, object);
  }
  if ((job->flags & DISPATCH_METHOD) && duk_is_callable(ctx, -1)) {
    if (job->name) {
      duk_dup(ctx, object);
    } else {
      duk_push_undefined(ctx);
    }
    for (UINT i = count; i-- > 0;) PushVariant(ctx, &job->params->rgvarg[i]);
    duk_call_method(ctx, static_cast<duk_idx_t>(count));
  } else if (job->flags & DISPATCH_PROPERTYGET) {
    // The default value of an object is its text, as for "" + o.
    if (!job->name) duk_to_string(ctx, -1);
  } else {
    job->status = DISP_E_MEMBERNOTFOUND;
    return 0;
  }
  if (job->result) ToVariants(ctx, -1, 1, job->result);
  return 0;
}

// Turns the thrown value on top into its description and source, left on
// the stack as two strings.
duk_ret_t DescribeError(duk_context* ctx, void* udata) {
  HRESULT* code = static_cast<HRESULT*>(udata);
  duk_idx_t error = duk_normalize_index(ctx, -1);
  *code = kUncaughtException;
  if (!duk_is_object(ctx, error)) {
    duk_dup(ctx, error);
    duk_to_string(ctx, -1);
    duk_push_string(ctx, kDefaultSource);
    return 2;
  }
  duk_get_prop_string(ctx, error, "number");
  if (duk_is_number(ctx, -1)) {
    HRESULT number = static_cast<HRESULT>(duk_to_uint32(ctx, -1));
    if (FAILED(number)) *code = number;
  }
  duk_pop(ctx);
  PushErrorText(ctx, error, true);
  duk_get_prop_string(ctx, error, "source");
  if (!duk_is_string(ctx, -1) || duk_get_length(ctx, -1) == 0) {
    duk_pop(ctx);
    duk_push_string(ctx, kDefaultSource);
  }
  return 2;
}

BSTR StringAt(duk_context* ctx, duk_idx_t idx) {
  duk_size_t size = 0;
  const char* bytes = duk_get_lstring(ctx, idx, &size);
  return bytes ? EngineBytesToBstr(bytes, size) : nullptr;
}

// Answers a failed protected call whose error is on top, and pops it.
HRESULT FailWithError(duk_context* ctx, EXCEPINFO* excep) {
  HRESULT code = kUncaughtException;
  BSTR description = nullptr;
  BSTR source = nullptr;
  if (duk_safe_call(ctx, Safe<DescribeError>, &code, 1, 2) == DUK_EXEC_SUCCESS) {
    description = StringAt(ctx, -2);
    source = StringAt(ctx, -1);
  }
  duk_pop_2(ctx);
  if (!excep) {
    SysFreeString(description);
    SysFreeString(source);
    return code;
  }
  std::memset(excep, 0, sizeof *excep);
  excep->scode = code;
  excep->bstrDescription = description;
  excep->bstrSource = source;
  return DISP_E_EXCEPTION;
}

class ScriptObject final : public IDispatch {
 public:
  ScriptObject(duk_context* ctx, void* object, duk_uarridx_t slot)
      : ctx_(ctx), object_(object), slot_(slot) {}

  void Detach() { ctx_ = nullptr; }
  duk_context* ctx() const { return ctx_; }
  void* object() const { return object_; }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch)) {
      AddRef();
      *out = static_cast<IDispatch*>(this);
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }

  ULONG STDMETHODCALLTYPE AddRef() override {
    return static_cast<ULONG>(InterlockedIncrement(&refs_));
  }

  ULONG STDMETHODCALLTYPE Release() override {
    LONG left = InterlockedDecrement(&refs_);
    if (left) return static_cast<ULONG>(left);
    g_live.erase(this);
    if (ctx_) {
      g_by_object.erase(object_);
      // The engine object may go now; nothing else keeps it for us.
      SlotJob job{slot_};
      duk_safe_call(ctx_, Safe<DropSlot>, &job, 0, 1);
      duk_pop(ctx_);
    }
    delete this;
    return 0;
  }

  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    if (!count) return E_POINTER;
    *count = 0;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
    if (info) *info = nullptr;
    return DISP_E_BADINDEX;
  }

  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID,
                                          DISPID* ids) override {
    if (!names || !ids) return E_POINTER;
    for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
    if (count == 0) return S_OK;
    if (!ctx_) return E_UNEXPECTED;
    if (std::this_thread::get_id() != g_engine_thread) return kWrongThread;
    try {
      const OLECHAR* wide = names[0] ? names[0] : u"";
      size_t units = 0;
      while (wide[units]) ++units;
      std::string name(Utf16ToEngine(wide, units, nullptr), '\0');
      Utf16ToEngine(wide, units, name.data());
      NameJob job{object_, name.data(), name.size(), false};
      AddRef();
      bool done = duk_safe_call(ctx_, Safe<HasName>, &job, 0, 1) == DUK_EXEC_SUCCESS;
      if (ctx_) duk_pop(ctx_);
      Release();
      if (!done || !job.found) return DISP_E_UNKNOWNNAME;
      auto known = g_ids.find(name);
      if (known != g_ids.end()) {
        ids[0] = known->second;
      } else {
        g_names.push_back(name);
        ids[0] = static_cast<DISPID>(g_names.size());
        g_ids.emplace(std::move(name), ids[0]);
      }
      // Named arguments are not understood.
      return count > 1 ? DISP_E_UNKNOWNNAME : S_OK;
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
  }

  HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* excep, UINT* arg_error) override {
    if (!params || (params->cArgs && !params->rgvarg)) return E_INVALIDARG;
    if (!ctx_) return E_UNEXPECTED;
    if (std::this_thread::get_id() != g_engine_thread) return kWrongThread;
    if (arg_error) *arg_error = 0;
    const bool put = (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0;
    const std::string* name = nullptr;
    if (member != DISPID_VALUE) {
      if (member < 1 || static_cast<size_t>(member) > g_names.size()) return DISP_E_MEMBERNOTFOUND;
      name = &g_names[static_cast<size_t>(member) - 1];
    }
    if (put) {
      if (!name) return DISP_E_MEMBERNOTFOUND;
      if (params->cNamedArgs != 1 || !params->rgdispidNamedArgs ||
          params->rgdispidNamedArgs[0] != DISPID_PROPERTYPUT || params->cArgs != 1)
        return DISP_E_PARAMNOTOPTIONAL;
    } else if (params->cNamedArgs) {
      return DISP_E_NONAMEDARGS;
    }
    if (result) VariantInit(result);
    CallJob job{object_, name, flags, params, put ? nullptr : result, S_OK};
    // A callback may drop the module's last reference to this object.
    AddRef();
    duk_context* ctx = ctx_;
    HRESULT hr = job.status;
    if (duk_safe_call(ctx, Safe<CallScript>, &job, 0, 1) == DUK_EXEC_SUCCESS) {
      duk_pop(ctx);
      hr = job.status;
    } else {
      hr = FailWithError(ctx, excep);
    }
    Release();
    if (FAILED(hr) && result) VariantClear(result);
    return hr;
  }

 private:
  LONG refs_ = 1;
  duk_context* ctx_;
  void* object_;
  duk_uarridx_t slot_;
};

}  // namespace

void InstallScriptObjects(duk_context* ctx) {
  g_engine_thread = std::this_thread::get_id();
  duk_push_bare_object(ctx);
  StashPut(ctx, kSlotsKey);
}

IDispatch* WrapScriptObject(duk_context* ctx, duk_idx_t idx) {
  idx = duk_normalize_index(ctx, idx);
  void* object = duk_get_heapptr(ctx, idx);
  auto known = g_by_object.find(object);
  if (known != g_by_object.end()) {
    known->second->AddRef();
    return known->second;
  }
  const duk_uarridx_t slot = g_next_slot++;
  StashGet(ctx, kSlotsKey);
  duk_dup(ctx, idx);
  duk_put_prop_index(ctx, -2, slot);
  duk_pop(ctx);
  ScriptObject* wrapper = new (std::nothrow) ScriptObject(ctx, object, slot);
  bool linked = false;
  if (wrapper) {
    try {
      g_live.insert(wrapper);
      g_by_object.emplace(object, wrapper);
      linked = true;
    } catch (const std::bad_alloc&) {
      g_live.erase(wrapper);
    }
  }
  if (!linked) {
    delete wrapper;
    StashGet(ctx, kSlotsKey);
    duk_del_prop_index(ctx, -1, slot);
    duk_pop(ctx);
    ThrowHostError(ctx, E_OUTOFMEMORY, "Out of memory");
  }
  return wrapper;
}

bool PushScriptObject(duk_context* ctx, IDispatch* object) {
  if (!object || g_live.find(object) == g_live.end()) return false;
  ScriptObject* wrapper = static_cast<ScriptObject*>(object);
  if (wrapper->ctx() != ctx) return false;
  duk_push_heapptr(ctx, wrapper->object());
  return true;
}

void DetachScriptObjects() {
  for (const IDispatch* live : g_live)
    static_cast<ScriptObject*>(const_cast<IDispatch*>(live))->Detach();
  g_by_object.clear();
}

}  // namespace tessary::host
