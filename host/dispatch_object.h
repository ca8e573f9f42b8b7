// Script objects over automation objects.
//
// A dispatch object reaches the script as a Proxy whose target is a native
// function (so the object can be called for its default member, coll(1)) and
// whose traps bind every member by name at run time: get, set, has and apply.
// The target carries the object's reference; its finalizer releases it when
// the script drops the last reference.
//
// Member kinds. Without type information the host learns a member's kind from
// the dispatcher, which matches invocation kinds strictly: a property get
// never calls a method. `o.X` therefore asks for X as a property; when the
// dispatcher answers DISP_E_MEMBERNOTFOUND (X is a method) or
// DISP_E_BADPARAMCOUNT / DISP_E_PARAMNOTOPTIONAL (X takes arguments, like
// Item), X is a callable that invokes METHOD|PROPERTYGET with the call's
// arguments. What was learned is cached per class and name, the class being
// the object's dispatch table (its vtable), so a loop of method calls pays
// the failing probe once per process. Every other failure of the probe is
// the member's error.
#pragma once

#include "host/engine.h"

namespace tessary::host {

enum class RefKind { kDispatch, kMethod, kUnknown, kArray, kEnumerator };

// What one script object owns outside the engine. Every HostRef is linked in
// one registry, so whatever a finalizer has not released is released when
// the script ends, however it ends.
struct HostRef {
  HostRef* prev;
  HostRef* next;
  RefKind kind;
  IUnknown* object;     // IDispatch (dispatch, method), IUnknown, IEnumVARIANT
  DISPID member;        // method: the member it calls
  void* method_name;    // dispatch: the name of the method last looked up
  void* method;         // dispatch: its function (both heap pointers)
  void* property_name;  // dispatch: the pinned name last looked up
  void* property;       // dispatch: what the host knows of it (a MemberEntry)
  SAFEARRAY* array;     // array: owned copy
  VARTYPE vt;           // array: element type
  VARIANT current;      // enumerator: the item under the cursor
  bool at_end;          // enumerator
};

// The outcome of one Invoke, as plain data. Owns the result and the texts.
struct CallOutcome {
  HRESULT hr;
  VARIANT result;
  BSTR source;
  BSTR description;
};

// ---------------------------------------------------------------------------
// Never call the engine.

// A zeroed, linked HostRef, or null when out of memory.
HostRef* NewRef(RefKind kind);
// Releases whatever the registry still holds and forgets learned members.
void ReleaseAllObjects();
// Invokes a member. `args` are in DISPPARAMS order (last argument first);
// `put` passes the single argument as the named DISPID_PROPERTYPUT value.
void InvokeMember(IDispatch* object, DISPID member, WORD flags, VARIANT* args, UINT count, bool put,
                  CallOutcome* out);
// Moves the thread's error record, if any, into the two strings.
void TakeErrorRecord(BSTR* source, BSTR* description);

// ---------------------------------------------------------------------------
// Engine calls.

void InstallDispatch(duk_context* ctx);
// Gives `ref` to the object at `obj`: the finalizer releases it.
void AttachRef(duk_context* ctx, duk_idx_t obj, HostRef* ref);
// The HostRef of a host object (a Proxy answers for its target), or null.
HostRef* GetRef(duk_context* ctx, duk_idx_t idx);
// Pushes a script object for `object`, taking over the caller's reference
// (released on failure); null pushes null.
void PushDispatchOwned(duk_context* ctx, IDispatch* object);
// Throws the outcome's error (taking its texts); releases its result.
[[noreturn]] void ThrowOutcome(duk_context* ctx, CallOutcome* out);
// Invokes `member` with the `count` values from stack index `first` and
// pushes the result.
duk_ret_t InvokeWithStack(duk_context* ctx, IDispatch* object, DISPID member, WORD flags,
                          duk_idx_t first, duk_idx_t count);
// Pushes the text WScript.Echo shows for a dispatch object: its default
// value as a string, or "[object]" when it has none.
void PushDefaultText(duk_context* ctx, IDispatch* object);

}  // namespace tessary::host
