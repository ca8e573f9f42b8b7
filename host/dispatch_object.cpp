#include "host/dispatch_object.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <unordered_map>

#include "host/script_object.h"
#include "host/variant_convert.h"

namespace tessary::host {
namespace {

// Arrays, not pointers: the engine caches literal keys by their address, so
// the hot lookups skip interning the key.
constexpr char kRefKey[] = DUK_HIDDEN_SYMBOL("ref");
constexpr char kMethodsKey[] = DUK_HIDDEN_SYMBOL("methods");
constexpr const char* kPinsKey = "pinnedNames";

HostRef* g_refs = nullptr;

// The script object of each dispatch object the script holds, so that the
// same object always reaches the script as the same value. An entry goes
// when the finalizer of its target releases the object; the Proxy holds the
// target, so the target outlives it.
struct Shown {
  void* proxy;
  HostRef* ref;
};
std::unordered_map<IDispatch*, Shown> g_shown;

// Every object a HostRef is attached to, by its heap address: finding a
// trap's target this way costs a fraction of reading its hidden key. An
// entry goes in the object's finalizer, which runs before the engine frees
// (and may reuse) the address. A Proxy is never an entry: it has no
// finalizer, so its address may be reused while its target waits for one.
std::unordered_map<void*, HostRef*> g_attached;

// The last two entries found there. A loop reads the members of one object
// or calls one of its methods, so the trap's target and the method's
// function alternate, and two compares answer before the map is hashed.
// An entry goes with its map entry.
struct Recent {
  void* object;
  HostRef* ref;
};
Recent g_recent[2];
unsigned g_recent_next = 0;

void ForgetRecent(void* object) {
  for (Recent& recent : g_recent)
    if (recent.object == object) recent = Recent{nullptr, nullptr};
}

void DropRef(HostRef* ref) {
  if (ref->prev) {
    ref->prev->next = ref->next;
  } else {
    g_refs = ref->next;
  }
  if (ref->next) ref->next->prev = ref->prev;
  if (ref->object) ref->object->Release();
  if (ref->array) SafeArrayDestroy(ref->array);
  VariantClear(&ref->current);
  std::free(ref);
}

// ---------------------------------------------------------------------------
// What the host has learned about members, per class and name.

enum class MemberKind : unsigned char { kMissing, kUnprobed, kProperty, kCallable };

struct MemberEntry {
  DISPID id;
  MemberKind kind;
};

struct MemberKey {
  const void* vtable;
  std::string name;  // ASCII letters lowered: lookups ignore case
  bool operator==(const MemberKey& other) const {
    return vtable == other.vtable && name == other.name;
  }
};

struct MemberKeyHash {
  size_t operator()(const MemberKey& key) const {
    return std::hash<std::string>()(key.name) ^ (std::hash<const void*>()(key.vtable) << 1);
  }
};

// Entries are never erased while a script runs, so pointers to them stay
// valid across calls.
std::unordered_map<MemberKey, MemberEntry, MemberKeyHash> g_members;

// Objects of one class share one dispatch table; the module's classes never
// share a table with another class.
const void* ClassOf(IDispatch* object) { return *reinterpret_cast<const void* const*>(object); }

HRESULT LookUpMember(IDispatch* object, const char* name, size_t size, MemberEntry** out) noexcept {
  try {
    MemberKey key{ClassOf(object), std::string(name, size)};
    for (char& c : key.name)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    auto found = g_members.find(key);
    if (found != g_members.end()) {
      *out = &found->second;
      return S_OK;
    }
    BSTR wide = EngineBytesToBstr(name, size);
    if (!wide) return E_OUTOFMEMORY;
    LPOLESTR names[1] = {wide};
    DISPID id = DISPID_UNKNOWN;
    HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    SysFreeString(wide);
    MemberEntry entry{id, MemberKind::kUnprobed};
    if (hr == DISP_E_UNKNOWNNAME || hr == DISP_E_MEMBERNOTFOUND) {
      entry.kind = MemberKind::kMissing;
    } else if (FAILED(hr)) {
      return hr;
    }
    *out = &g_members.emplace(std::move(key), entry).first->second;
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

// The same per class and engine string. A script names a member by the
// same interned string each time, so this lookup needs no copy, folding or
// hashing of the text. Every string used as a key here stays pinned in the
// stash, so its address is never reused for another name.
struct FastKey {
  const void* vtable;
  const void* name;
  bool operator==(const FastKey& other) const {
    return vtable == other.vtable && name == other.name;
  }
};

struct FastKeyHash {
  size_t operator()(const FastKey& key) const {
    return std::hash<const void*>()(key.name) ^ (std::hash<const void*>()(key.vtable) << 1);
  }
};

std::unordered_map<FastKey, MemberEntry*, FastKeyHash> g_fast_members;
duk_uarridx_t g_pinned = 0;

// The member named by the string at `key` (a non-symbol string). `pinned`,
// when given, tells whether the name stays pinned.
MemberEntry* FindMember(duk_context* ctx, IDispatch* object, duk_idx_t key,
                        bool* pinned = nullptr) {
  FastKey fast{ClassOf(object), duk_get_heapptr(ctx, key)};
  auto found = g_fast_members.find(fast);
  if (found != g_fast_members.end()) {
    if (pinned) *pinned = true;
    return found->second;
  }
  duk_size_t size = 0;
  const char* name = duk_get_lstring(ctx, key, &size);
  MemberEntry* member = nullptr;
  HRESULT hr = LookUpMember(object, name, size, &member);
  if (FAILED(hr)) ThrowHostError(ctx, hr, "Out of memory");
  bool remembered = false;
  try {
    g_fast_members.emplace(fast, member);
    remembered = true;
  } catch (const std::bad_alloc&) {
  }
  if (remembered) {
    key = duk_normalize_index(ctx, key);
    StashGet(ctx, kPinsKey);
    duk_dup(ctx, key);
    duk_put_prop_index(ctx, -2, g_pinned++);
    duk_pop(ctx);
  }
  if (pinned) *pinned = remembered;
  return member;
}

bool NoSuchProperty(HRESULT hr) {
  return hr == DISP_E_MEMBERNOTFOUND || hr == DISP_E_BADPARAMCOUNT || hr == DISP_E_PARAMNOTOPTIONAL;
}

void FreeOutcome(CallOutcome* out) {
  VariantClear(&out->result);
  SysFreeString(out->source);
  SysFreeString(out->description);
  out->source = nullptr;
  out->description = nullptr;
}

// The reference of the trap's target (index 0), or a thrown error.
HostRef* TargetRef(duk_context* ctx) {
  HostRef* ref = GetRef(ctx, 0);
  if (!ref || ref->kind != RefKind::kDispatch || !ref->object)
    ThrowHostError(ctx, E_POINTER, "The object has been released");
  return ref;
}

IDispatch* TargetObject(duk_context* ctx) {
  return static_cast<IDispatch*>(TargetRef(ctx)->object);
}

// ---------------------------------------------------------------------------
// Native functions.

duk_ret_t FinalizeRef(duk_context* ctx) {
  void* self = duk_get_heapptr(ctx, 0);
  g_attached.erase(self);
  ForgetRecent(self);
  duk_get_prop_literal(ctx, 0, kRefKey);
  HostRef* ref = static_cast<HostRef*>(duk_get_pointer(ctx, -1));
  duk_pop(ctx);
  if (ref) {
    duk_push_pointer(ctx, nullptr);
    duk_put_prop_string(ctx, 0, kRefKey);
    if (ref->kind == RefKind::kDispatch) {
      auto shown = g_shown.find(static_cast<IDispatch*>(ref->object));
      if (shown != g_shown.end() && shown->second.ref == ref) g_shown.erase(shown);
    }
    DropRef(ref);
  }
  return 0;
}

// A dispatch object called with `new`.
duk_ret_t TargetCall(duk_context* ctx) {
  ThrowHostError(ctx, kNotSupportedAction, "Object doesn't support this action");
}

// A bound method: `this` does not matter, as in the Windows engine, where
// `var f = o.Method; f()` still calls o's member.
duk_ret_t CallMethod(duk_context* ctx) {
  duk_idx_t count = duk_get_top(ctx);
  duk_push_current_function(ctx);
  HostRef* ref = GetRef(ctx, -1);
  if (!ref || !ref->object) ThrowHostError(ctx, E_POINTER, "The object has been released");
  return InvokeWithStack(ctx, static_cast<IDispatch*>(ref->object), ref->member,
                         DISPATCH_METHOD | DISPATCH_PROPERTYGET, 0, count);
}

// valueOf and toString of a dispatch object without members of those names:
// its default value, so that "" + file and file == path behave as in the
// Windows engine.
duk_ret_t DefaultValue(duk_context* ctx) {
  duk_push_this(ctx);
  HostRef* ref = GetRef(ctx, -1);
  if (!ref || ref->kind != RefKind::kDispatch || !ref->object)
    ThrowHostError(ctx, kUnknownMember, kUnknownMemberText);
  CallOutcome out;
  InvokeMember(static_cast<IDispatch*>(ref->object), DISPID_VALUE, DISPATCH_PROPERTYGET, nullptr, 0,
               false, &out);
  if (FAILED(out.hr)) {
    if (NoSuchProperty(out.hr)) {
      FreeOutcome(&out);
      ThrowHostError(ctx, kUnknownMember, kUnknownMemberText);
    }
    ThrowOutcome(ctx, &out);
  }
  PushAndClear(ctx, &out.result);
  return 1;
}

// Returns the method `member` of the trap's target (`target`, at index 0)
// for the key at index 1, made once per object and name.
duk_ret_t PushMethod(duk_context* ctx, HostRef* target, DISPID member) {
  HostRef* ref = NewRef(RefKind::kMethod);
  if (!ref) ThrowHostError(ctx, E_OUTOFMEMORY, "Out of memory");
  target->object->AddRef();
  ref->object = target->object;
  ref->member = member;
  duk_push_c_function(ctx, Native<CallMethod>, DUK_VARARGS);
  AttachRef(ctx, -1, ref);
  if (!duk_get_prop_literal(ctx, 0, kMethodsKey)) {
    duk_pop(ctx);
    duk_push_bare_object(ctx);
    duk_dup_top(ctx);
    duk_put_prop_string(ctx, 0, kMethodsKey);
  }
  duk_dup(ctx, 1);
  duk_dup(ctx, -3);
  duk_put_prop(ctx, -3);
  duk_pop(ctx);
  target->method_name = duk_get_heapptr(ctx, 1);
  target->method = duk_get_heapptr(ctx, -1);
  return 1;
}

bool KeyIs(const char* name, size_t size, const char* literal) {
  return size == std::strlen(literal) && std::memcmp(name, literal, size) == 0;
}

// A name the object does not know.
duk_ret_t MissingMember(duk_context* ctx, const char* name, size_t size) {
  if (KeyIs(name, size, "valueOf") || KeyIs(name, size, "toString")) {
    StashGet(ctx, "defaultValue");
    return 1;
  }
  // Probed by the engine's own algorithms (JSON.stringify).
  if (KeyIs(name, size, "toJSON")) return 0;
  ThrowHostError(ctx, kUnknownMember, kUnknownMemberText);
}

// get(target, key, receiver)
duk_ret_t TrapGet(duk_context* ctx) {
  // A loop calls one method of an object many times: the last one found is
  // remembered beside the object. The target's method table holds both the
  // name and the function, so neither address can be reused while the
  // target lives, and a name once found to be a method stays one.
  void* name = duk_get_heapptr(ctx, 1);
  HostRef* ref = GetRef(ctx, 0);
  // Remembered names are strings, never symbols: a key that is one needs
  // no look at its type.
  bool remembered = name && ref && ref->kind == RefKind::kDispatch && ref->object &&
                    (ref->method_name == name || ref->property_name == name);
  if (!remembered) {
    if (!duk_is_string(ctx, 1) || duk_is_symbol(ctx, 1)) return 0;
    ref = TargetRef(ctx);
  }
  if (ref->method_name == name) {
    duk_push_heapptr(ctx, ref->method);
    return 1;
  }
  IDispatch* object = static_cast<IDispatch*>(ref->object);
  // And so is the last property looked up: a pinned name's address is never
  // another name's.
  MemberEntry* member = nullptr;
  if (ref->property_name == name) {
    member = static_cast<MemberEntry*>(ref->property);
  } else {
    bool pinned = false;
    member = FindMember(ctx, object, 1, &pinned);
    if (pinned) {
      ref->property_name = name;
      ref->property = member;
    }
  }
  switch (member->kind) {
    case MemberKind::kMissing: {
      duk_size_t size = 0;
      const char* text = duk_get_lstring(ctx, 1, &size);
      return MissingMember(ctx, text, size);
    }
    case MemberKind::kCallable: {
      // One method object per object and name.
      if (duk_get_prop_literal(ctx, 0, kMethodsKey)) {
        duk_dup(ctx, 1);
        if (duk_get_prop(ctx, -2)) {
          ref->method_name = name;
          ref->method = duk_get_heapptr(ctx, -1);
          return 1;
        }
        duk_pop(ctx);
      }
      duk_pop(ctx);
      return PushMethod(ctx, ref, member->id);
    }
    case MemberKind::kUnprobed:
    case MemberKind::kProperty:
      break;
  }
  CallOutcome out;
  InvokeMember(object, member->id, DISPATCH_PROPERTYGET, nullptr, 0, false, &out);
  if (SUCCEEDED(out.hr)) {
    member->kind = MemberKind::kProperty;
    PushAndClear(ctx, &out.result);
    return 1;
  }
  if (member->kind == MemberKind::kUnprobed && NoSuchProperty(out.hr)) {
    member->kind = MemberKind::kCallable;
    FreeOutcome(&out);
    return PushMethod(ctx, ref, member->id);
  }
  ThrowOutcome(ctx, &out);
}

// set(target, key, value, receiver)
duk_ret_t TrapSet(duk_context* ctx) {
  if (!duk_is_string(ctx, 1) || duk_is_symbol(ctx, 1)) {
    duk_push_true(ctx);
    return 1;
  }
  IDispatch* object = TargetObject(ctx);
  MemberEntry* member = FindMember(ctx, object, 1);
  if (member->kind == MemberKind::kMissing) ThrowHostError(ctx, kUnknownMember, kUnknownMemberText);
  VARIANT stored;
  VARIANT* value = &stored;
  std::memset(value, 0, sizeof stored);
  ToVariants(ctx, 2, 1, value);
  // Objects are assigned by reference; the dispatcher falls back between
  // put and put-by-reference for a property that has only one of them.
  WORD flags = value->vt == VT_DISPATCH || value->vt == VT_UNKNOWN ? DISPATCH_PROPERTYPUTREF
                                                                   : DISPATCH_PROPERTYPUT;
  CallOutcome out;
  InvokeMember(object, member->id, flags, value, 1, true, &out);
  VariantClear(value);
  if (FAILED(out.hr)) ThrowOutcome(ctx, &out);
  FreeOutcome(&out);
  duk_push_true(ctx);
  return 1;
}

// has(target, key)
duk_ret_t TrapHas(duk_context* ctx) {
  if (!duk_is_string(ctx, 1) || duk_is_symbol(ctx, 1)) {
    duk_push_false(ctx);
    return 1;
  }
  IDispatch* object = TargetObject(ctx);
  MemberEntry* member = FindMember(ctx, object, 1);
  duk_push_boolean(ctx, member->kind != MemberKind::kMissing);
  return 1;
}

// apply(target, this, arguments): the default member, coll(1).
duk_ret_t TrapApply(duk_context* ctx) {
  IDispatch* object = TargetObject(ctx);
  duk_idx_t first = duk_get_top(ctx);
  duk_uarridx_t count = static_cast<duk_uarridx_t>(duk_get_length(ctx, 2));
  duk_require_stack(ctx, static_cast<duk_idx_t>(count) + 8);
  for (duk_uarridx_t i = 0; i < count; ++i) duk_get_prop_index(ctx, 2, i);
  return InvokeWithStack(ctx, object, DISPID_VALUE, DISPATCH_METHOD | DISPATCH_PROPERTYGET, first,
                         static_cast<duk_idx_t>(count));
}

}  // namespace

// ---------------------------------------------------------------------------

HostRef* NewRef(RefKind kind) {
  HostRef* ref = static_cast<HostRef*>(std::calloc(1, sizeof(HostRef)));
  if (!ref) return nullptr;
  ref->kind = kind;
  VariantInit(&ref->current);
  ref->next = g_refs;
  if (g_refs) g_refs->prev = ref;
  g_refs = ref;
  return ref;
}

void ReleaseAllObjects() {
  g_shown.clear();
  g_attached.clear();
  g_recent[0] = g_recent[1] = Recent{nullptr, nullptr};
  while (g_refs) DropRef(g_refs);
  g_fast_members.clear();
  g_pinned = 0;
  g_members.clear();
}

void TakeErrorRecord(BSTR* source, BSTR* description) {
  IErrorInfo* record = nullptr;
  if (GetErrorInfo(0, &record) != S_OK || !record) return;
  record->GetSource(source);
  record->GetDescription(description);
  record->Release();
}

void InvokeMember(IDispatch* object, DISPID member, WORD flags, VARIANT* args, UINT count, bool put,
                  CallOutcome* out) {
  VariantInit(&out->result);
  out->source = nullptr;
  out->description = nullptr;
  DISPID named = DISPID_PROPERTYPUT;
  DISPPARAMS params{args, put ? &named : nullptr, count, put ? 1u : 0u};
  EXCEPINFO excep;
  std::memset(&excep, 0, sizeof excep);
  UINT arg_error = 0;
  HRESULT hr = object->Invoke(member, IID_NULL, LOCALE_USER_DEFAULT, flags, &params,
                              put ? nullptr : &out->result, &excep, &arg_error);
  if (hr == DISP_E_EXCEPTION) {
    if (excep.pfnDeferredFillIn) excep.pfnDeferredFillIn(&excep);
    if (excep.scode) {
      hr = excep.scode;
    } else if (excep.wCode) {
      // A bare code in the script engine's own facility.
      hr = MAKE_HRESULT(1, 0xA, excep.wCode);
    }
    out->source = excep.bstrSource;
    out->description = excep.bstrDescription;
    SysFreeString(excep.bstrHelpFile);
  } else if (FAILED(hr)) {
    TakeErrorRecord(&out->source, &out->description);
  }
  if (FAILED(hr)) VariantClear(&out->result);
  out->hr = hr;
}

void InstallDispatch(duk_context* ctx) {
  duk_push_c_function(ctx, Native<FinalizeRef>, 2);
  StashPut(ctx, "finalizer");
  duk_push_c_function(ctx, Native<DefaultValue>, 0);
  StashPut(ctx, "defaultValue");
  duk_push_bare_object(ctx);
  duk_push_c_function(ctx, Native<TrapGet>, 3);
  duk_put_prop_string(ctx, -2, "get");
  duk_push_c_function(ctx, Native<TrapSet>, 4);
  duk_put_prop_string(ctx, -2, "set");
  duk_push_c_function(ctx, Native<TrapHas>, 2);
  duk_put_prop_string(ctx, -2, "has");
  duk_push_c_function(ctx, Native<TrapApply>, 3);
  duk_put_prop_string(ctx, -2, "apply");
  StashPut(ctx, "handler");
  duk_push_bare_object(ctx);
  StashPut(ctx, kPinsKey);
}

void AttachRef(duk_context* ctx, duk_idx_t obj, HostRef* ref) {
  obj = duk_normalize_index(ctx, obj);
  duk_push_pointer(ctx, ref);
  duk_put_prop_string(ctx, obj, kRefKey);
  StashGet(ctx, "finalizer");
  duk_set_finalizer(ctx, obj);
  // Without an entry the object's reference is found by its hidden key.
  void* self = duk_get_heapptr(ctx, obj);
  ForgetRecent(self);
  try {
    g_attached[self] = ref;
  } catch (const std::bad_alloc&) {
  }
}

HostRef* GetRef(duk_context* ctx, duk_idx_t idx) {
  void* self = duk_get_heapptr(ctx, idx);
  if (self) {
    if (g_recent[0].object == self) return g_recent[0].ref;
    if (g_recent[1].object == self) return g_recent[1].ref;
  }
  auto found = g_attached.find(self);
  if (found != g_attached.end()) {
    g_recent_next ^= 1;
    g_recent[g_recent_next] = Recent{self, found->second};
    return found->second;
  }
  if (!duk_is_object(ctx, idx)) return nullptr;
  // Hidden keys bypass a Proxy's traps and read its target.
  duk_get_prop_literal(ctx, idx, kRefKey);
  HostRef* ref = static_cast<HostRef*>(duk_get_pointer(ctx, -1));
  duk_pop(ctx);
  return ref;
}

void PushDispatchOwned(duk_context* ctx, IDispatch* object) {
  if (!object) {
    duk_push_null(ctx);
    return;
  }
  auto shown = g_shown.find(object);
  if (shown != g_shown.end()) {
    object->Release();
    duk_push_heapptr(ctx, shown->second.proxy);
    return;
  }
  if (PushScriptObject(ctx, object)) {
    object->Release();
    return;
  }
  HostRef* ref = NewRef(RefKind::kDispatch);
  if (!ref) {
    object->Release();
    ThrowHostError(ctx, E_OUTOFMEMORY, "Out of memory");
  }
  ref->object = object;
  duk_push_c_function(ctx, Native<TargetCall>, DUK_VARARGS);
  AttachRef(ctx, -1, ref);
  StashGet(ctx, "handler");
  duk_push_proxy(ctx, 0);
  // Without an entry the object only loses its identity.
  try {
    g_shown[object] = Shown{duk_get_heapptr(ctx, -1), ref};
  } catch (const std::bad_alloc&) {
  }
}

void ThrowOutcome(duk_context* ctx, CallOutcome* out) {
  VariantClear(&out->result);
  ThrowComError(ctx, out->hr, out->source, out->description);
}

duk_ret_t InvokeWithStack(duk_context* ctx, IDispatch* object, DISPID member, WORD flags,
                          duk_idx_t first, duk_idx_t count) {
  first = duk_normalize_index(ctx, first);
  // Most calls pass a few arguments: those need no buffer from the engine.
  VARIANT few[8];
  VARIANT* args = count <= 8 ? few : nullptr;
  if (count > 8) {
    args = static_cast<VARIANT*>(
        duk_push_fixed_buffer(ctx, static_cast<duk_size_t>(count) * sizeof(VARIANT)));
  }
  if (count > 0) {
    if (args == few) std::memset(few, 0, static_cast<size_t>(count) * sizeof(VARIANT));
    ToVariants(ctx, first, count, args);
  }
  CallOutcome out;
  InvokeMember(object, member, flags, args, static_cast<UINT>(count), false, &out);
  ClearVariants(args, static_cast<size_t>(count));
  if (FAILED(out.hr)) ThrowOutcome(ctx, &out);
  SysFreeString(out.source);
  SysFreeString(out.description);
  PushAndClear(ctx, &out.result);
  return 1;
}

void PushDefaultText(duk_context* ctx, IDispatch* object) {
  CallOutcome out;
  InvokeMember(object, DISPID_VALUE, DISPATCH_PROPERTYGET, nullptr, 0, false, &out);
  if (FAILED(out.hr)) {
    if (!NoSuchProperty(out.hr) && out.hr != DISP_E_UNKNOWNNAME) ThrowOutcome(ctx, &out);
    FreeOutcome(&out);
    duk_push_string(ctx, "[object]");
    return;
  }
  PushAndClear(ctx, &out.result);
  duk_to_string(ctx, -1);
}

}  // namespace tessary::host
