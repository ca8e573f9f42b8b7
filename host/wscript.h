// The globals a script written for the Windows script host relies on:
// WScript, ActiveXObject, Enumerator and VBArray.
#pragma once

#include "host/dispatch_object.h"
#include "host/engine.h"

namespace tessary::host {

void InstallScriptHost(duk_context* ctx, const ScriptJob& job);

// The array a VBArray object reads, or null when the value is not one.
HostRef* VBArrayHolder(duk_context* ctx, duk_idx_t idx);

}  // namespace tessary::host
