#include "host/engine.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "host/dispatch_object.h"
#include "host/script_object.h"
#include "host/variant_convert.h"
#include "host/wscript.h"
#include "host/wscript_parts.h"
#include "platform/system.h"

namespace tessary::host {
namespace {

// Reachable from a global so that a script ending with WScript.Quit, which
// leaves the heap in place, does not look like a leak.
duk_context* g_ctx = nullptr;
// Line of the innermost script frame at the most recent throw: the place an
// uncaught error is reported at, whatever value was thrown.
duk_int_t g_throw_line = 0;

constexpr OLECHAR kReplacement = 0xFFFD;

// ---------------------------------------------------------------------------
// Where the script is.

// The line of the innermost script function on the call stack, or 0.
duk_int_t ScriptLine(duk_context* ctx) {
  for (duk_int_t level = -1;; --level) {
    duk_inspect_callstack_entry(ctx, level);
    if (!duk_is_object(ctx, -1)) {
      duk_pop(ctx);
      return 0;
    }
    duk_get_prop_string(ctx, -1, "lineNumber");
    duk_int_t line = duk_get_int(ctx, -1);
    duk_pop_2(ctx);
    if (line > 0) return line;  // native frames have no line
  }
}

// Duktape.errThrow: sees every value thrown, before any handler.
duk_ret_t OnThrow(duk_context* ctx) {
  duk_int_t line = ScriptLine(ctx);
  if (line > 0) g_throw_line = line;
  duk_dup(ctx, 0);
  return 1;
}

void DefineValue(duk_context* ctx, duk_idx_t obj, const char* key) {
  obj = duk_normalize_index(ctx, obj);
  duk_push_string(ctx, key);
  duk_insert(ctx, -2);
  duk_def_prop(ctx, obj, DUK_DEFPROP_HAVE_VALUE | DUK_DEFPROP_SET_WC | DUK_DEFPROP_CLEAR_E);
}

// ---------------------------------------------------------------------------
// Errors.

struct ErrorJob {
  HRESULT hr;
  BSTR source;
  BSTR description;
  const char* text;  // used instead of description when set
};

duk_ret_t BuildError(duk_context* ctx, void* udata) {
  const ErrorJob* job = static_cast<const ErrorJob*>(udata);
  StashGet(ctx, "Error");
  if (job->text) {
    duk_push_string(ctx, job->text);
  } else {
    PushBstr(ctx, job->description);
  }
  duk_new(ctx, 1);
  duk_get_prop_string(ctx, -1, "message");
  DefineValue(ctx, -2, "description");
  duk_push_int(ctx, job->hr);
  DefineValue(ctx, -2, "number");
  PushBstr(ctx, job->source);
  DefineValue(ctx, -2, "source");
  // Created here, the error would name this file's line; name the script's.
  duk_int_t line = ScriptLine(ctx);
  if (line > 0) {
    duk_push_int(ctx, line);
    DefineValue(ctx, -2, "lineNumber");
  }
  return 1;
}

[[noreturn]] void ThrowJob(duk_context* ctx, ErrorJob* job) {
  duk_safe_call(ctx, Safe<BuildError>, job, 0, 1);
  SysFreeString(job->source);
  SysFreeString(job->description);
  Rethrow(ctx);
}

// The system's wording for the codes a script most often meets without an
// error record; used only to print an uncaught error that has no text.
const char* KnownText(HRESULT hr) {
  switch (hr) {
    case E_NOTIMPL:
      return "Not implemented";
    case E_NOINTERFACE:
      return "No such interface supported";
    case E_POINTER:
      return "Invalid pointer";
    case E_FAIL:
      return "Unspecified error";
    case E_UNEXPECTED:
      return "Catastrophic failure";
    case E_OUTOFMEMORY:
      return "Out of memory";
    case E_INVALIDARG:
      return "The parameter is incorrect.";
    case E_ACCESSDENIED:
      return "Access is denied.";
    case CO_E_CLASSSTRING:
      return "Invalid class string";
    case REGDB_E_CLASSNOTREG:
      return "Class not registered";
    case DISP_E_UNKNOWNINTERFACE:
      return "Unknown interface.";
    case DISP_E_MEMBERNOTFOUND:
      return "Member not found.";
    case DISP_E_PARAMNOTFOUND:
      return "Parameter not found.";
    case DISP_E_TYPEMISMATCH:
      return "Type mismatch.";
    case DISP_E_UNKNOWNNAME:
      return "Unknown name.";
    case DISP_E_NONAMEDARGS:
      return "No named arguments.";
    case DISP_E_BADVARTYPE:
      return "Bad variable type.";
    case DISP_E_OVERFLOW:
      return "Out of present range.";
    case DISP_E_BADINDEX:
      return "Invalid index.";
    case DISP_E_BADPARAMCOUNT:
      return "Invalid number of parameters.";
    case DISP_E_PARAMNOTOPTIONAL:
      return "Parameter not optional.";
    case kSubscriptOutOfRange:
      return "Subscript out of range";
    default:
      return nullptr;
  }
}

void PrintFallbackText(HRESULT hr) {
  if (const char* text = KnownText(hr)) {
    std::fputs(text, stderr);
    return;
  }
  if (HRESULT_FACILITY(hr) == FACILITY_WIN32) {
    char text[512];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             HRESULT_CODE(hr), 0, text, sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r')) --n;
    if (n > 0) {
      std::fwrite(text, 1, n, stderr);
      return;
    }
  }
  std::fputs("Unknown runtime error", stderr);
}

// ---------------------------------------------------------------------------
// Reporting what the script did not catch.

struct ReportJob {
  const char* name;
  bool compilation;
};

bool NonEmptyString(duk_context* ctx, duk_idx_t idx) {
  return duk_is_string(ctx, idx) && !duk_is_symbol(ctx, idx) && duk_get_length(ctx, idx) > 0;
}

// Where the compiler's trailing " (line N)" or " (line N, ...)" starts in
// `text`, or `size` when there is none.
size_t LineSuffixStart(const char* text, size_t size) {
  constexpr char kOpen[] = " (line ";
  constexpr size_t kOpenSize = sizeof kOpen - 1;
  if (!text || size == 0 || text[size - 1] != ')') return size;
  for (size_t at = size - 1; at-- > 0;) {
    if (at + kOpenSize < size && std::memcmp(text + at, kOpen, kOpenSize) == 0) {
      size_t p = at + kOpenSize;
      size_t digits = p;
      while (p < size && text[p] >= '0' && text[p] <= '9') ++p;
      if (p > digits && (text[p] == ')' ? p == size - 1 : text[p] == ',')) return at;
      return size;
    }
  }
  return size;
}

// The thrown value is on top of the stack.
duk_ret_t Report(duk_context* ctx, void* udata) {
  const ReportJob* job = static_cast<const ReportJob*>(udata);
  duk_idx_t error = duk_normalize_index(ctx, -1);
  HRESULT hr = job->compilation ? kSyntaxError : kUncaughtException;
  duk_int_t line = job->compilation ? 0 : g_throw_line;
  bool syntax = job->compilation;
  if (duk_is_object(ctx, error)) {
    duk_get_prop_string(ctx, error, "name");
    const char* name = duk_get_string(ctx, -1);
    if (name && std::strcmp(name, "SyntaxError") == 0) syntax = true;
    duk_pop(ctx);
    if (!job->compilation) {
      duk_get_prop_string(ctx, error, "number");
      if (duk_is_number(ctx, -1) && duk_get_number(ctx, -1) != 0)
        hr = static_cast<HRESULT>(static_cast<uint32_t>(duk_to_uint32(ctx, -1)));
      duk_pop(ctx);
    }
    if (line <= 0) {
      duk_get_prop_string(ctx, error, "lineNumber");
      line = duk_get_int(ctx, -1);
      duk_pop(ctx);
    }
  }
  PushErrorText(ctx, error, !job->compilation);
  if (syntax) {
    // The compiler (also through eval) appends " (line N)"; the position is
    // printed in front instead.
    duk_size_t size = 0;
    const char* text = duk_get_lstring(ctx, -1, &size);
    size_t keep = LineSuffixStart(text, size);
    if (keep < size) {
      duk_push_lstring(ctx, text, keep);
      duk_remove(ctx, -2);
    }
  }
  if (line <= 0) line = 1;
  std::fflush(stdout);
  std::fprintf(stderr, "%s(%ld, 1) %s error: ", job->name, static_cast<long>(line),
               job->compilation ? "compilation" : "runtime");
  if (duk_get_length(ctx, -1) > 0) {
    WriteString(ctx, -1, stderr);
  } else {
    PrintFallbackText(hr);
  }
  std::fprintf(stderr, " (0x%08X)\n", static_cast<unsigned>(hr));
  return 0;
}

void ReportUncaught(duk_context* ctx, const char* name, bool compilation) {
  ReportJob job{name, compilation};
  bool reported = Protect(ctx, Safe<Report>, &job, 1);
  duk_pop(ctx);
  if (!reported) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s(%ld, 1) runtime error: Unknown runtime error (0x%08X)\n", name,
                 static_cast<long>(g_throw_line > 0 ? g_throw_line : 1),
                 static_cast<unsigned>(kUncaughtException));
  }
}

// ---------------------------------------------------------------------------
// Start-up.

// Windows engine errors carry `description` beside `message`; scripts
// written for it read either.
constexpr const char kPrelude[] =
    "(function () {\n"
    "  Object.defineProperty(Error.prototype, 'description', {\n"
    "    get: function () { return this.message; },\n"
    "    set: function (v) {\n"
    "      Object.defineProperty(this, 'description',\n"
    "          { value: v, writable: true, configurable: true });\n"
    "    },\n"
    "    configurable: true\n"
    "  });\n"
    "})();\n";

duk_ret_t Setup(duk_context* ctx, void* udata) {
  const ScriptJob* job = static_cast<const ScriptJob*>(udata);
  duk_get_global_string(ctx, "Error");
  StashPut(ctx, "Error");
  duk_get_global_string(ctx, "Duktape");
  duk_push_c_function(ctx, Native<OnThrow>, 1);
  duk_put_prop_string(ctx, -2, "errThrow");
  duk_pop(ctx);
  duk_push_string(ctx, "<host>");
  duk_compile_lstring_filename(ctx, 0, kPrelude, sizeof kPrelude - 1);
  duk_call(ctx, 0);
  duk_pop(ctx);
  InstallDispatch(ctx);
  InstallValues(ctx);
  InstallScriptObjects(ctx);
  InstallScriptHost(ctx, *job);
  return 0;
}

duk_ret_t Compile(duk_context* ctx, void* udata) {
  const ScriptJob* job = static_cast<const ScriptJob*>(udata);
  duk_push_string(ctx, job->name);
  duk_compile_lstring_filename(ctx, 0, job->source, job->source_size);
  return 1;
}

void OnFatal(void*, const char* message) {
  std::fflush(stdout);
  std::fprintf(stderr, "tessary-run: fatal script engine error: %s\n", message ? message : "");
  std::abort();
}

void Shutdown() {
  DetachScriptObjects();
  ReleaseAllObjects();
  CoFreeUnusedLibraries();
  CoUninitialize();
  std::fflush(stdout);
  std::fflush(stderr);
}

}  // namespace

void PushErrorText(duk_context* ctx, duk_idx_t error, bool description) {
  error = duk_normalize_index(ctx, error);
  if (duk_is_object(ctx, error)) {
    if (description) {
      duk_get_prop_string(ctx, error, "description");
      if (NonEmptyString(ctx, -1)) return;
      duk_pop(ctx);
    }
    duk_get_prop_string(ctx, error, "message");
    if (duk_is_string(ctx, -1)) return;
    duk_pop(ctx);
  }
  duk_dup(ctx, error);
  duk_to_string(ctx, -1);
}

// ---------------------------------------------------------------------------
// Text

size_t EngineToUtf16(const char* bytes, size_t size, OLECHAR* out) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes);
  size_t units = 0;
  size_t i = 0;
  while (i < size) {
    unsigned lead = p[i];
    uint32_t cp = 0;
    size_t len = 1;
    if (lead < 0x80) {
      cp = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      len = 2;
      cp = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
      len = 3;
      cp = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
      len = 4;
      cp = lead & 0x07;
    } else {
      cp = kReplacement;
    }
    if (len > 1) {
      bool valid = i + len <= size;
      for (size_t k = 1; valid && k < len; ++k) {
        if ((p[i + k] & 0xC0) != 0x80) {
          valid = false;
        } else {
          cp = (cp << 6) | (p[i + k] & 0x3F);
        }
      }
      if (!valid) {
        cp = kReplacement;
        len = 1;
      }
    }
    i += len;
    if (cp >= 0x10000 && cp <= 0x10FFFF) {
      if (out) {
        out[units] = static_cast<OLECHAR>(0xD800 + ((cp - 0x10000) >> 10));
        out[units + 1] = static_cast<OLECHAR>(0xDC00 + ((cp - 0x10000) & 0x3FF));
      }
      units += 2;
    } else {
      if (out) out[units] = static_cast<OLECHAR>(cp > 0x10FFFF ? kReplacement : cp);
      units += 1;
    }
  }
  return units;
}

size_t Utf16ToEngine(const OLECHAR* text, size_t count, char* out) {
  // Most text is ASCII, or starts so: one byte a unit, in a tight loop.
  size_t i = 0;
  if (out) {
    for (; i < count && text[i] < 0x80; ++i) out[i] = static_cast<char>(text[i]);
  } else {
    while (i < count && text[i] < 0x80) ++i;
  }
  size_t size = i;
  for (; i < count; ++i) {
    unsigned u = text[i];
    if (u < 0x80) {
      if (out) out[size] = static_cast<char>(u);
      size += 1;
    } else if (u < 0x800) {
      if (out) {
        out[size] = static_cast<char>(0xC0 | (u >> 6));
        out[size + 1] = static_cast<char>(0x80 | (u & 0x3F));
      }
      size += 2;
    } else {
      // Surrogates too, one by one: the engine's own form of a pair.
      if (out) {
        out[size] = static_cast<char>(0xE0 | (u >> 12));
        out[size + 1] = static_cast<char>(0x80 | ((u >> 6) & 0x3F));
        out[size + 2] = static_cast<char>(0x80 | (u & 0x3F));
      }
      size += 3;
    }
  }
  return size;
}

BSTR EngineBytesToBstr(const char* bytes, size_t size) {
  // Names, paths and most other arguments are ASCII: one unit per byte,
  // copied in one pass.
  size_t ascii = 0;
  while (ascii < size && static_cast<unsigned char>(bytes[ascii]) < 0x80) ++ascii;
  if (ascii == size && size <= UINT_MAX / 2) {
    BSTR text = SysAllocStringLen(nullptr, static_cast<UINT>(size));
    if (!text) return nullptr;
    for (size_t i = 0; i < size; ++i) text[i] = static_cast<OLECHAR>(bytes[i]);
    text[size] = 0;
    return text;
  }
  size_t units = EngineToUtf16(bytes, size, nullptr);
  if (units > UINT_MAX / 2) return nullptr;
  BSTR text = SysAllocStringLen(nullptr, static_cast<UINT>(units));
  if (!text) return nullptr;
  EngineToUtf16(bytes, size, text);
  text[units] = 0;
  return text;
}

char* SourceToEngine(const char* bytes, size_t size, size_t* out_size) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes);
  std::vector<OLECHAR> wide;
  if (size >= 2 && ((p[0] == 0xFF && p[1] == 0xFE) || (p[0] == 0xFE && p[1] == 0xFF))) {
    bool little = p[0] == 0xFF;
    wide.reserve(size / 2);
    for (size_t i = 2; i + 1 < size; i += 2)
      wide.push_back(
          static_cast<OLECHAR>(little ? p[i] | (p[i + 1] << 8) : (p[i] << 8) | p[i + 1]));
  } else {
    if (size >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) {
      bytes += 3;
      size -= 3;
    }
    if (size > static_cast<size_t>(INT_MAX)) return nullptr;
    if (size > 0) {
      int n = MultiByteToWideChar(CP_UTF8, 0, bytes, static_cast<int>(size), nullptr, 0);
      if (n <= 0) return nullptr;
      wide.resize(static_cast<size_t>(n));
      if (MultiByteToWideChar(CP_UTF8, 0, bytes, static_cast<int>(size), wide.data(), n) != n)
        return nullptr;
    }
  }
  size_t engine_size = Utf16ToEngine(wide.data(), wide.size(), nullptr);
  char* out = static_cast<char*>(std::malloc(engine_size + 1));
  if (!out) return nullptr;
  Utf16ToEngine(wide.data(), wide.size(), out);
  out[engine_size] = 0;
  *out_size = engine_size;
  return out;
}

// ---------------------------------------------------------------------------
// Engine calls

void PushUtf16(duk_context* ctx, const OLECHAR* text, size_t count) {
  if (!text || count == 0) {
    duk_push_lstring(ctx, "", 0);
    return;
  }
  size_t size = Utf16ToEngine(text, count, nullptr);
  char small[256];
  if (size <= sizeof small) {
    Utf16ToEngine(text, count, small);
    duk_push_lstring(ctx, small, size);
    return;
  }
  char* buffer = static_cast<char*>(duk_push_fixed_buffer(ctx, size));
  Utf16ToEngine(text, count, buffer);
  duk_buffer_to_string(ctx, -1);
}

void PushUtf8(duk_context* ctx, const char* text) {
  size_t size = text ? std::strlen(text) : 0;
  if (size == 0 || size > static_cast<size_t>(INT_MAX)) {
    duk_push_lstring(ctx, "", 0);
    return;
  }
  int units = MultiByteToWideChar(CP_UTF8, 0, text, static_cast<int>(size), nullptr, 0);
  if (units <= 0) {
    duk_push_lstring(ctx, "", 0);
    return;
  }
  OLECHAR* wide = static_cast<OLECHAR*>(
      duk_push_fixed_buffer(ctx, static_cast<duk_size_t>(units) * sizeof(OLECHAR)));
  units = MultiByteToWideChar(CP_UTF8, 0, text, static_cast<int>(size), wide, units);
  PushUtf16(ctx, wide, static_cast<size_t>(units > 0 ? units : 0));
  duk_remove(ctx, -2);
}

BSTR ToBstr(duk_context* ctx, duk_idx_t idx) {
  duk_size_t size = 0;
  const char* bytes = nullptr;
  bool converted = false;
  if (duk_is_string(ctx, idx) && !duk_is_symbol(ctx, idx)) {
    bytes = duk_get_lstring(ctx, idx, &size);
  } else {
    duk_dup(ctx, idx);
    bytes = duk_to_lstring(ctx, -1, &size);
    converted = true;
  }
  BSTR text = EngineBytesToBstr(bytes, size);
  if (converted) duk_pop(ctx);
  if (!text) ThrowHostError(ctx, E_OUTOFMEMORY, "Out of memory");
  return text;
}

void WriteString(duk_context* ctx, duk_idx_t idx, std::FILE* stream) {
  idx = duk_normalize_index(ctx, idx);
  duk_size_t size = 0;
  const char* bytes = duk_get_lstring(ctx, idx, &size);
  if (!bytes || size == 0) return;
  size_t units = EngineToUtf16(bytes, size, nullptr);
  if (units > static_cast<size_t>(INT_MAX / 4)) return;
  OLECHAR* wide = static_cast<OLECHAR*>(duk_push_fixed_buffer(ctx, units * sizeof(OLECHAR)));
  EngineToUtf16(bytes, size, wide);
  int n =
      WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(units), nullptr, 0, nullptr, nullptr);
  if (n > 0) {
    char* utf8 = static_cast<char*>(duk_push_fixed_buffer(ctx, static_cast<duk_size_t>(n)));
    n = WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(units), utf8, n, nullptr, nullptr);
    std::fwrite(utf8, 1, static_cast<size_t>(n > 0 ? n : 0), stream);
    duk_pop(ctx);
  } else {
    std::fwrite(bytes, 1, size, stream);
  }
  duk_pop(ctx);
}

bool Protect(duk_context* ctx, duk_safe_call_function fn, void* udata, duk_idx_t nargs) {
  // With no return value the engine would drop the error too.
  return duk_safe_call(ctx, fn, udata, nargs, 1) == DUK_EXEC_SUCCESS;
}

void StashPut(duk_context* ctx, const char* key) {
  duk_push_heap_stash(ctx);
  duk_insert(ctx, -2);
  duk_put_prop_string(ctx, -2, key);
  duk_pop(ctx);
}

void StashGet(duk_context* ctx, const char* key) {
  duk_push_heap_stash(ctx);
  duk_get_prop_string(ctx, -1, key);
  duk_remove(ctx, -2);
}

void ThrowComError(duk_context* ctx, HRESULT hr, BSTR source, BSTR description) {
  ErrorJob job{hr, source, description, nullptr};
  ThrowJob(ctx, &job);
}

void ThrowHostError(duk_context* ctx, HRESULT hr, const char* description) {
  ErrorJob job{hr, nullptr, nullptr, description};
  ThrowJob(ctx, &job);
}

void ThrowCaughtException(duk_context* ctx, HRESULT hr) { ThrowHostError(ctx, hr, KnownText(hr)); }

void Rethrow(duk_context* ctx) {
  duk_throw_raw(ctx);
  std::abort();  // not reached: the engine's header does not say so to every compiler
}

void QuitNow(int code) {
  // The heap stays: the script is still running on it. Nothing reads it
  // again; the objects it referred to are released here.
  Shutdown();
  std::exit(code);
}

// ---------------------------------------------------------------------------
// Running

int RunScript(const ScriptJob& job) {
  StartScriptClock(job.full_name);
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  g_throw_line = 0;
  g_ctx = duk_create_heap(nullptr, nullptr, nullptr, nullptr, OnFatal);
  if (!g_ctx) {
    std::fprintf(stderr, "tessary-run: cannot create the script engine\n");
    return 1;
  }
  duk_context* ctx = g_ctx;
  int status = 0;
  if (!Protect(ctx, Safe<Setup>, const_cast<ScriptJob*>(&job), 0)) {
    std::fprintf(stderr, "tessary-run: cannot set up the script host: %s\n",
                 duk_safe_to_string(ctx, -1));
    status = 1;
  } else if (!Protect(ctx, Safe<Compile>, const_cast<ScriptJob*>(&job), 0)) {
    ReportUncaught(ctx, job.name, true);
    status = 1;
  } else {
    g_throw_line = 0;
    if (duk_pcall(ctx, 0) != DUK_EXEC_SUCCESS) {
      ReportUncaught(ctx, job.name, false);
      status = 1;
    }
  }
  duk_set_top(ctx, 0);
  // Modules may hold script objects beyond the heap; they are cut from it
  // first, so that releasing them later touches nothing the heap owned.
  DetachScriptObjects();
  // Destroying the heap runs the finalizers, which release the objects the
  // script still held.
  duk_destroy_heap(ctx);
  g_ctx = nullptr;
  Shutdown();
  return status;
}

}  // namespace tessary::host
