#include "host/wscript.h"

#include <cstring>
#include <ctime>

#include "host/variant_convert.h"
#include "host/wscript_parts.h"

namespace tessary::host {
namespace {

constexpr const char* kSourceKey = DUK_HIDDEN_SYMBOL("source");
constexpr const char* kIndexKey = DUK_HIDDEN_SYMBOL("index");
constexpr const char* kVBArrayKey = DUK_HIDDEN_SYMBOL("vbarray");

constexpr HRESULT kCannotCreate = static_cast<HRESULT>(0x800A01AD);
constexpr HRESULT kNotACollection = static_cast<HRESULT>(0x800A01C3);
constexpr HRESULT kNoFileClass = static_cast<HRESULT>(0x800A01B0);

// The engine the scripts are written for, as ScriptEngine*() name it.
constexpr int kEngineMajor = 5;
constexpr int kEngineMinor = 8;
constexpr int kEngineBuild = 16384;

// Batch mode (--batch, or Interactive set to false) silences Echo.
bool g_interactive = true;

[[noreturn]] void ThrowOutOfRange(duk_context* ctx) {
  ThrowHostError(ctx, kSubscriptOutOfRange, "Subscript out of range");
}

// ---------------------------------------------------------------------------
// COM work, as plain data.

struct Created {
  HRESULT hr;
  IDispatch* object;
  BSTR source;
  BSTR description;
};

void CreateByProgId(BSTR progid, Created* out) {
  out->object = nullptr;
  out->source = nullptr;
  out->description = nullptr;
  CLSID clsid;
  HRESULT hr = CLSIDFromProgID(progid, &clsid);
  if (SUCCEEDED(hr)) {
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                          reinterpret_cast<void**>(&out->object));
  }
  if (FAILED(hr)) {
    out->object = nullptr;
    TakeErrorRecord(&out->source, &out->description);
  } else if (!out->object) {
    hr = E_POINTER;
  }
  out->hr = hr;
}

// The enumerator of a collection (its _NewEnum) or of an enumerator value.
// A failing _NewEnum leaves its error in `out`; an object that is no
// collection leaves kNotACollection.
IEnumVARIANT* OpenEnumerator(HostRef* ref, CallOutcome* out) {
  VariantInit(&out->result);
  out->source = nullptr;
  out->description = nullptr;
  out->hr = S_OK;
  IUnknown* source = ref->object;
  if (ref->kind == RefKind::kDispatch) {
    InvokeMember(static_cast<IDispatch*>(ref->object), DISPID_NEWENUM,
                 DISPATCH_METHOD | DISPATCH_PROPERTYGET, nullptr, 0, false, out);
    if (FAILED(out->hr)) {
      if (out->hr == DISP_E_MEMBERNOTFOUND || out->hr == DISP_E_UNKNOWNNAME)
        out->hr = kNotACollection;
      return nullptr;
    }
    VARTYPE vt = out->result.vt;
    source = vt == VT_UNKNOWN || vt == VT_DISPATCH ? out->result.punkVal : nullptr;
  }
  IEnumVARIANT* items = nullptr;
  if (!source ||
      FAILED(source->QueryInterface(IID_IEnumVARIANT, reinterpret_cast<void**>(&items)))) {
    items = nullptr;
    out->hr = kNotACollection;
  }
  VariantClear(&out->result);
  return items;
}

void Advance(HostRef* ref) {
  VariantClear(&ref->current);
  ULONG fetched = 0;
  HRESULT hr = static_cast<IEnumVARIANT*>(ref->object)->Next(1, &ref->current, &fetched);
  ref->at_end = hr != S_OK || fetched != 1;
  if (ref->at_end) VariantClear(&ref->current);
}

// ---------------------------------------------------------------------------
// ActiveXObject

duk_ret_t CreateObject(duk_context* ctx) {
  if (duk_get_top(ctx) < 1 || duk_is_undefined(ctx, 0))
    ThrowHostError(ctx, kCannotCreate, "Automation server can't create object");
  BSTR progid = ToBstr(ctx, 0);
  Created created;
  CreateByProgId(progid, &created);
  SysFreeString(progid);
  if (FAILED(created.hr)) ThrowComError(ctx, created.hr, created.source, created.description);
  PushDispatchOwned(ctx, created.object);
  return 1;
}

// GetObject(path, class). An empty path with a class creates the class, as
// the Windows host does; the running objects of a class (no path) and
// objects stored in files (a path) are things no class here provides, so
// they fail as they do on Windows when no server is running or no class
// handles the file.
duk_ret_t GetObject(duk_context* ctx) {
  duk_set_top(ctx, 2);
  bool has_path = !duk_is_undefined(ctx, 0) && !duk_is_null(ctx, 0);
  bool has_class = !duk_is_undefined(ctx, 1) && !duk_is_null(ctx, 1);
  if (has_path) {
    duk_to_string(ctx, 0);
    if (duk_get_length(ctx, 0) > 0)
      ThrowHostError(ctx, kNoFileClass,
                     "File name or class name not found during Automation operation");
  }
  if (!has_path || !has_class)
    ThrowHostError(ctx, kCannotCreate, "Automation server can't create object");
  duk_remove(ctx, 0);
  return CreateObject(ctx);
}

// ---------------------------------------------------------------------------
// Enumerator: over a collection, an enumerator value, or (as a convenience
// for WScript.Arguments and arrays) anything with a length and indices.

void PushNewObject(duk_context* ctx, const char* prototype) {
  duk_push_object(ctx);
  StashGet(ctx, prototype);
  duk_set_prototype(ctx, -2);
}

duk_ret_t EnumeratorNew(duk_context* ctx) {
  duk_set_top(ctx, 1);
  PushNewObject(ctx, "Enumerator.prototype");
  HostRef* ref = GetRef(ctx, 0);
  if (ref && ref->object && (ref->kind == RefKind::kDispatch || ref->kind == RefKind::kUnknown)) {
    CallOutcome out;
    IEnumVARIANT* items = OpenEnumerator(ref, &out);
    if (!items) {
      if (out.hr == kNotACollection) {
        SysFreeString(out.source);
        SysFreeString(out.description);
        ThrowHostError(ctx, kNotACollection, "Object not a collection");
      }
      ThrowOutcome(ctx, &out);
    }
    HostRef* cursor = NewRef(RefKind::kEnumerator);
    if (!cursor) {
      items->Release();
      ThrowHostError(ctx, E_OUTOFMEMORY, "Out of memory");
    }
    cursor->object = items;
    Advance(cursor);
    AttachRef(ctx, 1, cursor);
    return 1;
  }
  if (duk_is_undefined(ctx, 0)) {
    duk_push_array(ctx);
  } else if (duk_is_object(ctx, 0)) {
    duk_dup(ctx, 0);
  } else {
    ThrowHostError(ctx, kNotACollection, "Object not a collection");
  }
  duk_put_prop_string(ctx, 1, kSourceKey);
  duk_push_uint(ctx, 0);
  duk_put_prop_string(ctx, 1, kIndexKey);
  return 1;
}

// `this` of an Enumerator method, left on the stack: its cursor, or null
// for one over a list (whose source is then pushed too).
HostRef* ThisCursor(duk_context* ctx) {
  duk_push_this(ctx);
  HostRef* ref = GetRef(ctx, -1);
  if (ref && ref->kind == RefKind::kEnumerator) return ref;
  if (!duk_is_object(ctx, -1) || !duk_get_prop_string(ctx, -1, kSourceKey))
    ThrowHostError(ctx, kUnknownMember, kUnknownMemberText);
  return nullptr;
}

// [this source] -> index and length of a list enumerator.
void ListPosition(duk_context* ctx, duk_uint_t* index, duk_uint_t* length) {
  duk_get_prop_string(ctx, -2, kIndexKey);
  *index = duk_get_uint(ctx, -1);
  duk_pop(ctx);
  duk_get_prop_string(ctx, -1, "length");
  *length = duk_to_uint32(ctx, -1);
  duk_pop(ctx);
}

void SetListIndex(duk_context* ctx, duk_uint_t index) {
  duk_push_uint(ctx, index);
  duk_put_prop_string(ctx, -3, kIndexKey);
}

duk_ret_t EnumeratorAtEnd(duk_context* ctx) {
  if (HostRef* cursor = ThisCursor(ctx)) {
    duk_push_boolean(ctx, cursor->at_end);
    return 1;
  }
  duk_uint_t index = 0;
  duk_uint_t length = 0;
  ListPosition(ctx, &index, &length);
  duk_push_boolean(ctx, index >= length);
  return 1;
}

duk_ret_t EnumeratorMoveNext(duk_context* ctx) {
  if (HostRef* cursor = ThisCursor(ctx)) {
    if (!cursor->at_end) Advance(cursor);
    return 0;
  }
  duk_uint_t index = 0;
  duk_uint_t length = 0;
  ListPosition(ctx, &index, &length);
  if (index < length) SetListIndex(ctx, index + 1);
  return 0;
}

duk_ret_t EnumeratorMoveFirst(duk_context* ctx) {
  if (HostRef* cursor = ThisCursor(ctx)) {
    static_cast<IEnumVARIANT*>(cursor->object)->Reset();
    Advance(cursor);
    return 0;
  }
  SetListIndex(ctx, 0);
  return 0;
}

duk_ret_t EnumeratorItem(duk_context* ctx) {
  if (HostRef* cursor = ThisCursor(ctx)) {
    if (cursor->at_end) return 0;
    PushVariant(ctx, &cursor->current);
    return 1;
  }
  duk_uint_t index = 0;
  duk_uint_t length = 0;
  ListPosition(ctx, &index, &length);
  if (index >= length) return 0;
  duk_get_prop_index(ctx, -1, index);
  return 1;
}

// ---------------------------------------------------------------------------
// VBArray

duk_ret_t VBArrayNew(duk_context* ctx) {
  duk_set_top(ctx, 1);
  PushNewObject(ctx, "VBArray.prototype");
  HostRef* ref = GetRef(ctx, 0);
  if (ref && ref->kind == RefKind::kArray) {
    duk_dup(ctx, 0);
  } else if (VBArrayHolder(ctx, 0)) {
    duk_get_prop_string(ctx, 0, kVBArrayKey);
  } else if (duk_is_buffer_data(ctx, 0)) {
    // A byte array arrives as a Uint8Array; scripts written for the Windows
    // engine wrap it in a VBArray to read it.
    duk_size_t size = 0;
    void* data = duk_get_buffer_data(ctx, 0, &size);
    if (size > 0x7FFFFFFF) ThrowHostError(ctx, E_OUTOFMEMORY, "Out of memory");
    SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(size));
    if (!array) ThrowHostError(ctx, E_OUTOFMEMORY, "Out of memory");
    if (size) std::memcpy(array->pvData, data, size);
    PushArrayValue(ctx, array, VT_UI1);
  } else {
    ThrowHostError(ctx, kVBArrayExpected, "VBArray expected");
  }
  duk_put_prop_string(ctx, 1, kVBArrayKey);
  return 1;
}

HostRef* ThisArray(duk_context* ctx) {
  duk_push_this(ctx);
  HostRef* held = VBArrayHolder(ctx, -1);
  if (!held) ThrowHostError(ctx, kVBArrayExpected, "VBArray expected");
  return held;
}

UINT DimensionArgument(duk_context* ctx) {
  if (duk_get_top(ctx) == 0 || duk_is_undefined(ctx, 0)) return 1;
  duk_int_t dim = duk_to_int(ctx, 0);
  return dim > 0 ? static_cast<UINT>(dim) : 0;
}

duk_ret_t VBArrayDimensions(duk_context* ctx) {
  HostRef* held = ThisArray(ctx);
  duk_push_uint(ctx, SafeArrayGetDim(held->array));
  return 1;
}

duk_ret_t VBArrayBound(duk_context* ctx) {
  UINT dim = DimensionArgument(ctx);
  HostRef* held = ThisArray(ctx);
  LONG bound = 0;
  HRESULT hr = duk_get_current_magic(ctx) == 0 ? SafeArrayGetLBound(held->array, dim, &bound)
                                               : SafeArrayGetUBound(held->array, dim, &bound);
  if (FAILED(hr)) ThrowOutOfRange(ctx);
  duk_push_int(ctx, bound);
  return 1;
}

// The element count of dimensions 1..dims multiplied, or 0 for an empty array.
size_t ElementCount(SAFEARRAY* array) {
  UINT dims = SafeArrayGetDim(array);
  size_t count = dims > 0 ? 1 : 0;
  for (UINT d = 1; d <= dims; ++d) {
    LONG low = 0;
    LONG high = -1;
    SafeArrayGetLBound(array, d, &low);
    SafeArrayGetUBound(array, d, &high);
    count *= high >= low ? static_cast<size_t>(static_cast<int64_t>(high) - low + 1) : 0;
  }
  return count;
}

void PushElement(duk_context* ctx, HostRef* held, size_t offset) {
  const char* base = static_cast<const char*>(held->array->pvData);
  VARIANT element;
  if (!ElementAsVariant(held->vt, base + offset * SafeArrayGetElemsize(held->array), &element))
    ThrowHostError(ctx, DISP_E_BADVARTYPE,
                   "Variable uses an Automation type not supported in JScript");
  PushVariant(ctx, &element);
}

// getItem(i1, ..., iN): one index per dimension, the first dimension first.
duk_ret_t VBArrayGetItem(duk_context* ctx) {
  duk_idx_t given = duk_get_top(ctx);
  HostRef* held = ThisArray(ctx);
  UINT dims = SafeArrayGetDim(held->array);
  if (static_cast<UINT>(given) != dims) ThrowOutOfRange(ctx);
  size_t offset = 0;
  size_t stride = 1;
  for (UINT d = 1; d <= dims; ++d) {
    LONG low = 0;
    LONG high = -1;
    SafeArrayGetLBound(held->array, d, &low);
    SafeArrayGetUBound(held->array, d, &high);
    double index = duk_to_number(ctx, static_cast<duk_idx_t>(d - 1));
    if (!(index >= low && index <= high)) ThrowOutOfRange(ctx);
    offset += static_cast<size_t>(static_cast<int64_t>(index) - low) * stride;
    stride *= static_cast<size_t>(static_cast<int64_t>(high) - low + 1);
  }
  PushElement(ctx, held, offset);
  return 1;
}

// toArray(): every element in storage order, the first dimension fastest.
duk_ret_t VBArrayToArray(duk_context* ctx) {
  HostRef* held = ThisArray(ctx);
  size_t count = ElementCount(held->array);
  duk_push_array(ctx);
  for (size_t i = 0; i < count; ++i) {
    PushElement(ctx, held, i);
    duk_put_prop_index(ctx, -2, static_cast<duk_uarridx_t>(i));
  }
  return 1;
}

// ---------------------------------------------------------------------------
// WScript

duk_ret_t Echo(duk_context* ctx) {
  if (!g_interactive) return 0;
  duk_idx_t count = duk_get_top(ctx);
  for (duk_idx_t i = 0; i < count; ++i) {
    HostRef* ref = GetRef(ctx, i);
    if (ref && ref->kind == RefKind::kDispatch && ref->object) {
      PushDefaultText(ctx, static_cast<IDispatch*>(ref->object));
      duk_replace(ctx, i);
    } else if (duk_is_undefined(ctx, i)) {
      duk_push_string(ctx, "");
      duk_replace(ctx, i);
    } else if (duk_is_boolean(ctx, i)) {
      // The Windows script host echoes a boolean as the automation text of
      // VT_BOOL: -1 and 0.
      duk_push_string(ctx, duk_get_boolean(ctx, i) ? "-1" : "0");
      duk_replace(ctx, i);
    } else {
      duk_to_string(ctx, i);
    }
  }
  duk_push_string(ctx, " ");
  duk_insert(ctx, 0);
  duk_join(ctx, count);
  WriteString(ctx, -1, stdout);
  std::fputc('\n', stdout);
  return 0;
}

duk_ret_t Quit(duk_context* ctx) {
  int code = duk_get_top(ctx) > 0 && !duk_is_undefined(ctx, 0) ? duk_to_int32(ctx, 0) : 0;
  QuitNow(code);
}

duk_ret_t Sleep(duk_context* ctx) {
  duk_int_t ms = duk_to_int(ctx, 0);
  if (ms > 0) {
    std::timespec wait{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&wait, &wait) != 0) {
    }
  }
  return 0;
}

duk_ret_t GetInteractive(duk_context* ctx) {
  duk_push_boolean(ctx, g_interactive);
  return 1;
}

duk_ret_t SetInteractive(duk_context* ctx) {
  g_interactive = duk_to_boolean(ctx, 0);
  return 0;
}

duk_ret_t GetTimeout(duk_context* ctx) {
  duk_push_number(ctx, static_cast<double>(ScriptTimeout()));
  return 1;
}

// Seconds from the start of the script; 0 removes the limit.
duk_ret_t SetTimeout(duk_context* ctx) {
  double seconds = duk_to_number(ctx, 0);
  if (!(seconds >= 0 && seconds <= 2147483647.0))
    ThrowHostError(ctx, kInvalidCall, "Invalid procedure call or argument");
  SetScriptTimeout(static_cast<long>(seconds));
  return 0;
}

// ScriptEngine() and its three version functions (magic 1, 2, 3).
duk_ret_t EngineInfo(duk_context* ctx) {
  switch (duk_get_current_magic(ctx)) {
    case 0:
      duk_push_string(ctx, "JScript");
      break;
    case 1:
      duk_push_int(ctx, kEngineMajor);
      break;
    case 2:
      duk_push_int(ctx, kEngineMinor);
      break;
    default:
      duk_push_int(ctx, kEngineBuild);
      break;
  }
  return 1;
}

void DefineClass(duk_context* ctx, const char* name, duk_c_function constructor,
                 const Method* methods, size_t count, const char* stash_key) {
  duk_push_c_function(ctx, constructor, DUK_VARARGS);
  duk_push_object(ctx);
  PutMethods(ctx, methods, count);
  duk_dup(ctx, -2);
  duk_put_prop_string(ctx, -2, "constructor");
  duk_dup_top(ctx);
  StashPut(ctx, stash_key);
  duk_put_prop_string(ctx, -2, "prototype");
  duk_put_global_string(ctx, name);
}

}  // namespace

void PutMethods(duk_context* ctx, const Method* methods, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    duk_push_c_function(ctx, methods[i].function, methods[i].nargs);
    if (methods[i].magic) duk_set_magic(ctx, -1, methods[i].magic);
    duk_put_prop_string(ctx, -2, methods[i].name);
  }
}

void PutAccessor(duk_context* ctx, duk_idx_t obj, const char* name, duk_c_function getter,
                 duk_c_function setter, duk_int_t magic) {
  obj = duk_normalize_index(ctx, obj);
  duk_uint_t flags = DUK_DEFPROP_HAVE_GETTER | DUK_DEFPROP_SET_ENUMERABLE;
  duk_push_string(ctx, name);
  duk_push_c_function(ctx, getter, 0);
  duk_set_magic(ctx, -1, magic);
  if (setter) {
    duk_push_c_function(ctx, setter, 1);
    duk_set_magic(ctx, -1, magic);
    flags |= DUK_DEFPROP_HAVE_SETTER;
  }
  duk_def_prop(ctx, obj, flags);
}

HostRef* VBArrayHolder(duk_context* ctx, duk_idx_t idx) {
  if (!duk_is_object(ctx, idx)) return nullptr;
  duk_get_prop_string(ctx, idx, kVBArrayKey);
  HostRef* held = GetRef(ctx, -1);
  duk_pop(ctx);
  return held && held->kind == RefKind::kArray && held->array ? held : nullptr;
}

void InstallScriptHost(duk_context* ctx, const ScriptJob& job) {
  duk_push_c_function(ctx, Native<CreateObject>, DUK_VARARGS);
  duk_put_global_string(ctx, "ActiveXObject");

  static const Method kEnumerator[] = {
      {"atEnd", Native<EnumeratorAtEnd>, 0, 0},
      {"moveNext", Native<EnumeratorMoveNext>, 0, 0},
      {"moveFirst", Native<EnumeratorMoveFirst>, 0, 0},
      {"item", Native<EnumeratorItem>, 0, 0},
  };
  DefineClass(ctx, "Enumerator", Native<EnumeratorNew>, kEnumerator,
              sizeof kEnumerator / sizeof kEnumerator[0], "Enumerator.prototype");

  static const Method kVBArray[] = {
      {"dimensions", Native<VBArrayDimensions>, 0, 0},
      {"lbound", Native<VBArrayBound>, 1, 0},
      {"ubound", Native<VBArrayBound>, 1, 1},
      {"getItem", Native<VBArrayGetItem>, DUK_VARARGS, 0},
      {"toArray", Native<VBArrayToArray>, 0, 0},
  };
  DefineClass(ctx, "VBArray", Native<VBArrayNew>, kVBArray, sizeof kVBArray / sizeof kVBArray[0],
              "VBArray.prototype");

  duk_push_c_function(ctx, Native<GetObject>, 2);
  duk_put_global_string(ctx, "GetObject");
  static const Method kEngine[] = {
      {"ScriptEngine", Native<EngineInfo>, 0, 0},
      {"ScriptEngineMajorVersion", Native<EngineInfo>, 0, 1},
      {"ScriptEngineMinorVersion", Native<EngineInfo>, 0, 2},
      {"ScriptEngineBuildVersion", Native<EngineInfo>, 0, 3},
  };
  duk_push_global_object(ctx);
  PutMethods(ctx, kEngine, sizeof kEngine / sizeof kEngine[0]);
  duk_pop(ctx);

  static const Method kWScript[] = {
      {"Echo", Native<Echo>, DUK_VARARGS, 0},
      {"Quit", Native<Quit>, DUK_VARARGS, 0},
      {"CreateObject", Native<CreateObject>, DUK_VARARGS, 0},
      {"GetObject", Native<GetObject>, 2, 0},
      {"Sleep", Native<Sleep>, 1, 0},
  };
  g_interactive = !job.batch;
  SetScriptTimeout(job.timeout);
  duk_idx_t wscript = duk_push_object(ctx);
  PutMethods(ctx, kWScript, sizeof kWScript / sizeof kWScript[0]);
  const char* slash = std::strrchr(job.name, '/');
  PushUtf8(ctx, slash ? slash + 1 : job.name);
  duk_put_prop_string(ctx, -2, "ScriptName");
  PushUtf8(ctx, job.full_name);
  duk_put_prop_string(ctx, -2, "ScriptFullName");
  duk_push_string(ctx, "tessary-run");
  duk_put_prop_string(ctx, -2, "Name");
  duk_push_string(ctx, TESSARY_VERSION);
  duk_put_prop_string(ctx, -2, "Version");
  PushUtf8(ctx, job.host_full_name);
  duk_put_prop_string(ctx, -2, "FullName");
  PushUtf8(ctx, job.host_path);
  duk_put_prop_string(ctx, -2, "Path");
  PutAccessor(ctx, wscript, "Interactive", Native<GetInteractive>, Native<SetInteractive>, 0);
  PutAccessor(ctx, wscript, "Timeout", Native<GetTimeout>, Native<SetTimeout>, 0);
  PushArguments(ctx, job.argc, job.argv);
  duk_put_prop_string(ctx, -2, "Arguments");
  PushStdIn(ctx);
  duk_put_prop_string(ctx, -2, "StdIn");
  PushOutputStream(ctx, 0);
  duk_put_prop_string(ctx, -2, "StdOut");
  PushOutputStream(ctx, 1);
  duk_put_prop_string(ctx, -2, "StdErr");
  duk_put_global_string(ctx, "WScript");
}

}  // namespace tessary::host
