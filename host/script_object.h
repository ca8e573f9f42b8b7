// Script objects as automation objects.
//
// A script object, array or function handed to a module crosses as an
// IDispatch that the host implements over the engine's object: the object
// stays in the heap stash, so it lives as long as some module holds the
// dispatch object, and it is the same dispatch object every time the same
// script object crosses, so it comes back as itself (d.Item("k") === o).
//
// Names are looked up in the object and its prototypes (as `name in o`);
// each name gets one DISPID for the life of the host. A member called with
// DISPATCH_METHOD runs with `this` bound to the object; DISPID_VALUE calls a
// function object itself. An error thrown in the script comes back as
// DISP_E_EXCEPTION with the error's number and text in the EXCEPINFO.
//
// A module may call back while the script is inside a call to it; every call
// into the engine is a protected call that leaves the value stack as it
// found it. When the engine goes, the dispatch objects that modules still
// hold are detached: a later call fails with E_UNEXPECTED, and the last
// Release frees only the host's part.
#pragma once

#include "host/engine.h"

namespace tessary::host {

void InstallScriptObjects(duk_context* ctx);
// The dispatch object for the script object at `idx`, with a reference for
// the caller. Throws E_OUTOFMEMORY.
IDispatch* WrapScriptObject(duk_context* ctx, duk_idx_t idx);
// When `object` is one of the host's script objects, pushes the script
// object and returns true; otherwise pushes nothing. Never throws for a
// foreign object.
bool PushScriptObject(duk_context* ctx, IDispatch* object);
// Cuts every dispatch object from the engine (before the heap goes).
void DetachScriptObjects();

}  // namespace tessary::host
