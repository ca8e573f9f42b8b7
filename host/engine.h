// The script engine adapter: the one place that knows how the embedded engine
// stores text, reports errors and unwinds.
//
// The engine unwinds errors with longjmp. A longjmp skips C++ destructors, so
// every function that the engine calls (a native function, a trap, a
// finalizer) and everything it calls that can throw follows three rules:
//   1. no local with a destructor is alive while an engine call that can
//      throw runs; COM and C++ work happens in helpers that return plain data
//      before the next engine call;
//   2. a resource acquired outside the engine (a BSTR, a VARIANT, a COM
//      reference) is either linked into a registry that is swept at exit, or
//      released before the next throwing call, or handed to a protected call
//      (Protect) whose failure is answered by releasing it and rethrowing;
//   3. errors are thrown only through the Throw* helpers below, from frames
//      without live destructors.
//
// Text inside the engine is kept as UTF-16 code units encoded one by one
// (CESU-8): a supplementary character is a surrogate pair there, as it is in
// a BSTR, so `length`, charCodeAt and comparisons agree with the Windows
// engine and every string round-trips through a BSTR unchanged. Script source
// is normalised to that form before it is compiled.
#pragma once

#include <duktape.h>

#include <cstddef>
#include <cstdio>

#include "platform/automation.h"
#include "platform/guard.h"

namespace tessary::host {

// HRESULTs of the Windows script engine that scripts written for it test.
constexpr HRESULT kUnknownMember = static_cast<HRESULT>(0x800A01B6);  // no such property or method
constexpr HRESULT kNotSupportedAction = static_cast<HRESULT>(0x800A01BD);
constexpr HRESULT kSubscriptOutOfRange = static_cast<HRESULT>(0x800A0009);
constexpr HRESULT kVBArrayExpected = static_cast<HRESULT>(0x800A1395);
constexpr HRESULT kUncaughtException = static_cast<HRESULT>(0x800A139E);
constexpr HRESULT kSyntaxError = static_cast<HRESULT>(0x800A03EA);
constexpr const char* kUnknownMemberText = "Object doesn't support this property or method";

// ---------------------------------------------------------------------------
// Text. These never call the engine.

// Code units needed for / written from engine bytes (extended UTF-8 as the
// engine stores it); `out` may be null to count only.
size_t EngineToUtf16(const char* bytes, size_t size, OLECHAR* out);
// Bytes needed for / written from UTF-16 code units; `out` may be null.
size_t Utf16ToEngine(const OLECHAR* text, size_t count, char* out);
// A new BSTR from engine bytes, or null when out of memory.
BSTR EngineBytesToBstr(const char* bytes, size_t size);

// ---------------------------------------------------------------------------
// Engine calls (may throw unless stated).

// Pushes UTF-16 text as an engine string; a null pointer is "".
void PushUtf16(duk_context* ctx, const OLECHAR* text, size_t count);
inline void PushBstr(duk_context* ctx, BSTR text) { PushUtf16(ctx, text, SysStringLen(text)); }
// Pushes UTF-8 text (command-line arguments, file names) as an engine string.
void PushUtf8(duk_context* ctx, const char* text);
// The string at `idx` (any other value is converted with ToString, which can
// run script code) as a new BSTR. Throws E_OUTOFMEMORY when allocation fails.
BSTR ToBstr(duk_context* ctx, duk_idx_t idx);
// Writes the string at `idx` to a stream as UTF-8.
void WriteString(duk_context* ctx, duk_idx_t idx, std::FILE* stream);

// Pushes the text a thrown value at `error` reports: its non-empty
// description (unless `description` is false, as for a compilation error,
// whose description the engine does not set), else its message, else the
// value converted to a string.
void PushErrorText(duk_context* ctx, duk_idx_t error, bool description);

// Runs `fn` (a Safe<...>) in protected mode over the top `nargs` values, which it replaces
// by exactly one value: what `fn` returned (undefined when it returned
// nothing) or, on failure, the error, for the caller to release what it
// holds and Rethrow.
bool Protect(duk_context* ctx, duk_safe_call_function fn, void* udata, duk_idx_t nargs);

// Values the host keeps out of the script's reach (prototypes, the proxy
// handler, the original Error and Date constructors).
void StashPut(duk_context* ctx, const char* key);  // pops the value
void StashGet(duk_context* ctx, const char* key);  // pushes the value

// Throws an Error whose number is `hr`, whose message and description are
// `description` and whose source is `source`; takes ownership of both
// strings (either may be null).
[[noreturn]] void ThrowComError(duk_context* ctx, HRESULT hr, BSTR source, BSTR description);
// The same with an ASCII description and no source.
[[noreturn]] void ThrowHostError(duk_context* ctx, HRESULT hr, const char* description);
// Throws the value on top of the stack (an error a protected call caught).
[[noreturn]] void Rethrow(duk_context* ctx);

// Throws the script error for a C++ exception that `hr` names (E_OUTOFMEMORY
// or E_UNEXPECTED, see platform/guard.h).
[[noreturn]] void ThrowCaughtException(duk_context* ctx, HRESULT hr);

// Every C function the engine calls is handed to it through one of these.
// A C++ exception must not unwind the engine's C frames (they would be left
// half done), and the engine's own error, a longjmp, must not leave a catch
// block (the exception would never be freed): the exception is caught inside
// and thrown on as a script error once the handler has ended. The engine's
// errors pass through untouched, as the wrappers hold nothing to destroy.
template <duk_ret_t (*Fn)(duk_context*)>
duk_ret_t Native(duk_context* ctx) {
  duk_ret_t ret = 0;
  const HRESULT hr = GuardHr([&] {
    ret = Fn(ctx);
    return S_OK;
  });
  if (FAILED(hr)) ThrowCaughtException(ctx, hr);
  return ret;
}

template <duk_ret_t (*Fn)(duk_context*, void*)>
duk_ret_t Safe(duk_context* ctx, void* udata) {
  duk_ret_t ret = 0;
  const HRESULT hr = GuardHr([&] {
    ret = Fn(ctx, udata);
    return S_OK;
  });
  if (FAILED(hr)) ThrowCaughtException(ctx, hr);
  return ret;
}

// Ends the process from inside a running script: releases every object the
// script holds, lets unused modules unload and exits with `code`.
[[noreturn]] void QuitNow(int code);

// ---------------------------------------------------------------------------
// Running a script.

struct ScriptJob {
  const char* name;            // as given on the command line, for messages and ScriptName
  const char* full_name;       // the script's Windows full path (ScriptFullName)
  const char* host_full_name;  // this program's Windows full path (FullName)
  const char* host_path;       // the folder of host_full_name (Path)
  bool batch;                  // Interactive false from the start
  long timeout;                // seconds the script may run; 0 for no limit
  const char* source;          // engine text
  size_t source_size;
  int argc;  // script arguments (UTF-8)
  char** argv;
};

// Runs the script and returns the process exit status: 0, the code given to
// WScript.Quit, or 1 after printing an uncaught error.
int RunScript(const ScriptJob& job);

// Source text of a file or of standard input, converted to engine text.
// UTF-8 (with or without a byte order mark) and UTF-16 with a byte order
// mark are accepted. Returns a malloc'd buffer, or null when `bytes` cannot
// be converted.
char* SourceToEngine(const char* bytes, size_t size, size_t* out_size);

}  // namespace tessary::host
