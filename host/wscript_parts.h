// The pieces of the WScript object that live in their own files: the
// standard streams, the split command-line arguments and the script's time
// limit. wscript.cpp puts them together.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "host/engine.h"

namespace tessary::host {

// HRESULTs of the Windows script engine for the stream and argument members.
constexpr HRESULT kInvalidCall = static_cast<HRESULT>(0x800A0005);
constexpr HRESULT kBadFileMode = static_cast<HRESULT>(0x800A0036);
constexpr HRESULT kInputPastEnd = static_cast<HRESULT>(0x800A003E);

struct Method {
  const char* name;
  duk_c_function function;
  duk_idx_t nargs;
  duk_int_t magic;
};

void PutMethods(duk_context* ctx, const Method* methods, size_t count);
// Defines a read-only (setter null) or read-write property on the object at
// `obj` whose getter and setter are native functions with `magic`.
void PutAccessor(duk_context* ctx, duk_idx_t obj, const char* name, duk_c_function getter,
                 duk_c_function setter, duk_int_t magic);

// ---------------------------------------------------------------------------
// Streams (wsh_streams.cpp)

// Pushes WScript.StdIn, or StdOut (which 0) / StdErr (which 1).
void PushStdIn(duk_context* ctx);
void PushOutputStream(duk_context* ctx, duk_int_t which);

// ---------------------------------------------------------------------------
// Arguments (wsh_arguments.cpp)

// One command-line argument as the Windows host splits it. A named argument
// is "/name", "/name:value" (the value runs from the first colon to the end,
// colons and spaces included), "/name+" or "/name-"; anything else, a bare
// "/" or one with an empty name included, is unnamed.
struct SplitArgument {
  enum Kind { kUnnamed, kText, kOn, kOff } kind = kUnnamed;
  size_t name_start = 0;  // named: the name's bytes
  size_t name_size = 0;
  size_t value_start = 0;  // kText: the value runs from here to the end
};
// Splits `size` bytes of text in which ASCII bytes stand for themselves only
// (UTF-8, or the engine's form of it).
SplitArgument SplitOne(const char* argument, size_t size);

// Pushes WScript.Arguments for the script arguments, with Named and Unnamed.
void PushArguments(duk_context* ctx, int argc, char** argv);

// ---------------------------------------------------------------------------
// Time limit (watchdog.cpp). The limit counts from StartScriptClock; when it
// passes, the process prints the Windows host's notice naming `script` on
// standard error and ends with status 1, wherever the script is (a loop, a
// Sleep, a read from standard input).

void StartScriptClock(const char* script);
// 0 means no limit.
void SetScriptTimeout(long seconds);
long ScriptTimeout();

}  // namespace tessary::host
