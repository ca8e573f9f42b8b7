// WScript.StdIn, StdOut and StdErr: the text streams of the Windows host over
// the process's standard input, output and error.
//
// Text is UTF-8 on both sides. Input is decoded as it arrives, so a script
// reading a pipe line by line sees each line as soon as it is complete; a
// byte sequence that is not UTF-8 reads as U+FFFD. Counts (Read, Skip,
// Column) are in UTF-16 code units, as string lengths are. A line ends at LF;
// a CR just before it belongs to the line end, a CR anywhere else is text.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "host/wscript_parts.h"

namespace tessary::host {
namespace {

constexpr OLECHAR kLineFeed = 0x0A;
constexpr OLECHAR kReturn = 0x0D;
constexpr OLECHAR kReplacement = 0xFFFD;
constexpr OLECHAR kByteOrderMark = 0xFEFF;

// ---------------------------------------------------------------------------
// Standard input, as plain data: nothing here calls the engine.

class Input {
 public:
  // Decodes input until `want` code units wait or the input has ended.
  void Fill(size_t want) {
    while (Available() < want && !ended_) ReadMore();
  }
  size_t Available() const { return units_.size() - start_; }
  const OLECHAR* Data() const { return units_.data() + start_; }
  OLECHAR At(size_t i) const { return units_[start_ + i]; }
  bool AtEnd() {
    Fill(1);
    return Available() == 0;
  }
  // Code units up to the next LF (the LF excluded), reading as far as
  // needed; `found` tells whether an LF ends them.
  size_t LineLength(bool* found) {
    size_t scanned = 0;
    for (;;) {
      for (; scanned < Available(); ++scanned) {
        if (At(scanned) == kLineFeed) {
          *found = true;
          return scanned;
        }
      }
      if (ended_) {
        *found = false;
        return scanned;
      }
      Fill(Available() + 1);
    }
  }
  void Consume(size_t count) {
    for (size_t i = 0; i < count; ++i) {
      if (At(i) == kLineFeed) {
        ++line_;
        column_ = 1;
      } else {
        ++column_;
      }
    }
    start_ += count;
    if (start_ == units_.size()) {
      units_.clear();
      start_ = 0;
    } else if (start_ > 65536 && start_ > units_.size() / 2) {
      units_.erase(units_.begin(), units_.begin() + static_cast<std::ptrdiff_t>(start_));
      start_ = 0;
    }
  }
  long line() const { return line_; }
  long column() const { return column_; }

 private:
  void ReadMore() {
    char buffer[65536];
    ssize_t n = 0;
    do {
      n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    } while (n < 0 && errno == EINTR);
    // A read error ends the input as the end of a file would.
    if (n <= 0) {
      ended_ = true;
    } else {
      bytes_.append(buffer, static_cast<size_t>(n));
    }
    Decode();
  }

  void Push(uint32_t cp) {
    if (!bom_checked_) {
      bom_checked_ = true;
      if (cp == kByteOrderMark) return;
    }
    if (cp >= 0x10000) {
      units_.push_back(static_cast<OLECHAR>(0xD800 + ((cp - 0x10000) >> 10)));
      units_.push_back(static_cast<OLECHAR>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    } else {
      units_.push_back(static_cast<OLECHAR>(cp));
    }
  }

  // Decodes the complete sequences of bytes_; an incomplete one at the end
  // waits for the next read unless the input has ended.
  void Decode() {
    const unsigned char* b = reinterpret_cast<const unsigned char*>(bytes_.data());
    const size_t size = bytes_.size();
    size_t i = 0;
    while (i < size) {
      const unsigned lead = b[i];
      if (lead < 0x80) {
        Push(lead);
        ++i;
        continue;
      }
      size_t length = 0;
      uint32_t cp = 0;
      uint32_t least = 0;
      if ((lead & 0xE0) == 0xC0) {
        length = 2, cp = lead & 0x1F, least = 0x80;
      } else if ((lead & 0xF0) == 0xE0) {
        length = 3, cp = lead & 0x0F, least = 0x800;
      } else if ((lead & 0xF8) == 0xF0) {
        length = 4, cp = lead & 0x07, least = 0x10000;
      } else {
        Push(kReplacement);
        ++i;
        continue;
      }
      size_t k = 1;
      while (k < length && i + k < size && (b[i + k] & 0xC0) == 0x80) {
        cp = (cp << 6) | (b[i + k] & 0x3F);
        ++k;
      }
      if (k < length && i + k == size && !ended_) break;  // the rest is still to come
      if (k < length || cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        Push(kReplacement);
        i += k;
        continue;
      }
      Push(cp);
      i += length;
    }
    bytes_.erase(0, i);
  }

  std::vector<OLECHAR> units_;
  size_t start_ = 0;
  std::string bytes_;
  bool ended_ = false;
  bool bom_checked_ = false;
  long line_ = 1;
  long column_ = 1;
};

// Global, so that a script ending in WScript.Quit leaves nothing unreachable.
Input g_input;

struct Position {
  long line = 1;
  long column = 1;
};
Position g_output[2];

// ---------------------------------------------------------------------------
// StdIn

// A count argument of Read and Skip: a negative count is refused, as the
// Windows stream refuses it.
size_t CountArgument(duk_context* ctx) {
  double count = duk_to_number(ctx, 0);
  if (!(count >= 0)) ThrowHostError(ctx, kInvalidCall, "Invalid procedure call or argument");
  return count >= 4294967296.0 ? static_cast<size_t>(-1) : static_cast<size_t>(count);
}

[[noreturn]] void ThrowPastEnd(duk_context* ctx) {
  ThrowHostError(ctx, kInputPastEnd, "Input past end of file");
}

// Read(count) and Skip(count): magic 1 skips.
duk_ret_t InRead(duk_context* ctx) {
  size_t count = CountArgument(ctx);
  if (count == 0) {
    if (duk_get_current_magic(ctx)) return 0;
    duk_push_lstring(ctx, "", 0);
    return 1;
  }
  if (g_input.AtEnd()) ThrowPastEnd(ctx);
  g_input.Fill(count);
  size_t take = count < g_input.Available() ? count : g_input.Available();
  int result = 0;
  if (!duk_get_current_magic(ctx)) {
    PushUtf16(ctx, g_input.Data(), take);
    result = 1;
  }
  g_input.Consume(take);
  return result;
}

// ReadLine and SkipLine (magic 1): the line without its end.
duk_ret_t InReadLine(duk_context* ctx) {
  if (g_input.AtEnd()) ThrowPastEnd(ctx);
  bool found = false;
  size_t length = g_input.LineLength(&found);
  size_t text = length;
  if (found && text > 0 && g_input.At(text - 1) == kReturn) --text;
  int result = 0;
  if (!duk_get_current_magic(ctx)) {
    PushUtf16(ctx, g_input.Data(), text);
    result = 1;
  }
  g_input.Consume(found ? length + 1 : length);
  return result;
}

duk_ret_t InReadAll(duk_context* ctx) {
  if (g_input.AtEnd()) ThrowPastEnd(ctx);
  g_input.Fill(static_cast<size_t>(-1));
  size_t take = g_input.Available();
  PushUtf16(ctx, g_input.Data(), take);
  g_input.Consume(take);
  return 1;
}

duk_ret_t InAtEndOfStream(duk_context* ctx) {
  duk_push_boolean(ctx, g_input.AtEnd());
  return 1;
}

// At a line end (LF or CR LF) or at the end of the input.
duk_ret_t InAtEndOfLine(duk_context* ctx) {
  g_input.Fill(2);
  bool at = g_input.Available() == 0 || g_input.At(0) == kLineFeed ||
            (g_input.Available() >= 2 && g_input.At(0) == kReturn && g_input.At(1) == kLineFeed);
  duk_push_boolean(ctx, at);
  return 1;
}

// Line (magic 0) and Column (magic 1) of StdIn, StdOut (2, 3), StdErr (4, 5).
duk_ret_t StreamPosition(duk_context* ctx) {
  duk_int_t magic = duk_get_current_magic(ctx);
  long value = 0;
  if (magic < 2) {
    value = magic ? g_input.column() : g_input.line();
  } else {
    const Position& at = g_output[(magic - 2) / 2];
    value = (magic & 1) ? at.column : at.line;
  }
  duk_push_number(ctx, static_cast<double>(value));
  return 1;
}

// What a stream opened the other way answers.
duk_ret_t BadFileMode(duk_context* ctx) { ThrowHostError(ctx, kBadFileMode, "Bad file mode"); }

// ---------------------------------------------------------------------------
// StdOut / StdErr: magic bit 0 chooses the stream, bit 1 adds a line break.

std::FILE* OutputFile(duk_int_t magic) { return (magic & 1) ? stderr : stdout; }

// Moves the stream's Line and Column past the text at `idx`.
void Advance(duk_context* ctx, duk_idx_t idx, Position* at) {
  duk_size_t size = 0;
  const char* bytes = duk_get_lstring(ctx, idx, &size);
  if (!bytes) return;
  const char* last = nullptr;
  for (const char* p = bytes; p < bytes + size; ++p) {
    if (*p == '\n') {
      ++at->line;
      last = p;
    }
  }
  if (last) at->column = 1;
  const char* rest = last ? last + 1 : bytes;
  at->column +=
      static_cast<long>(EngineToUtf16(rest, static_cast<size_t>(bytes + size - rest), nullptr));
}

void NewLine(std::FILE* stream, Position* at) {
  std::fputc('\n', stream);
  ++at->line;
  at->column = 1;
}

duk_ret_t OutWrite(duk_context* ctx) {
  duk_int_t magic = duk_get_current_magic(ctx);
  std::FILE* stream = OutputFile(magic);
  Position* at = &g_output[magic & 1];
  if (stream == stderr) std::fflush(stdout);
  if (duk_get_top(ctx) > 0 && !duk_is_undefined(ctx, 0)) {
    duk_to_string(ctx, 0);
    WriteString(ctx, 0, stream);
    Advance(ctx, 0, at);
  }
  if (magic & 2) NewLine(stream, at);
  return 0;
}

duk_ret_t OutWriteBlankLines(duk_context* ctx) {
  duk_int_t magic = duk_get_current_magic(ctx);
  double count = duk_to_number(ctx, 0);
  if (!(count >= 0)) ThrowHostError(ctx, kInvalidCall, "Invalid procedure call or argument");
  std::FILE* stream = OutputFile(magic);
  if (stream == stderr) std::fflush(stdout);
  for (double i = 0; i < count; ++i) NewLine(stream, &g_output[magic & 1]);
  return 0;
}

}  // namespace

void PushStdIn(duk_context* ctx) {
  static const Method kMethods[] = {
      {"Read", Native<InRead>, 1, 0},           {"Skip", Native<InRead>, 1, 1},
      {"ReadLine", Native<InReadLine>, 0, 0},   {"SkipLine", Native<InReadLine>, 0, 1},
      {"ReadAll", Native<InReadAll>, 0, 0},     {"Write", Native<BadFileMode>, 1, 0},
      {"WriteLine", Native<BadFileMode>, 1, 0}, {"WriteBlankLines", Native<BadFileMode>, 1, 0},
  };
  duk_idx_t obj = duk_push_object(ctx);
  PutMethods(ctx, kMethods, sizeof kMethods / sizeof kMethods[0]);
  PutAccessor(ctx, obj, "AtEndOfStream", Native<InAtEndOfStream>, nullptr, 0);
  PutAccessor(ctx, obj, "AtEndOfLine", Native<InAtEndOfLine>, nullptr, 0);
  PutAccessor(ctx, obj, "Line", Native<StreamPosition>, nullptr, 0);
  PutAccessor(ctx, obj, "Column", Native<StreamPosition>, nullptr, 1);
}

void PushOutputStream(duk_context* ctx, duk_int_t which) {
  const Method methods[] = {
      {"Write", Native<OutWrite>, 1, which},
      {"WriteLine", Native<OutWrite>, 1, which | 2},
      {"WriteBlankLines", Native<OutWriteBlankLines>, 1, which},
      {"Read", Native<BadFileMode>, 1, 0},
      {"ReadLine", Native<BadFileMode>, 0, 0},
      {"ReadAll", Native<BadFileMode>, 0, 0},
      {"Skip", Native<BadFileMode>, 1, 0},
      {"SkipLine", Native<BadFileMode>, 0, 0},
  };
  duk_idx_t obj = duk_push_object(ctx);
  PutMethods(ctx, methods, sizeof methods / sizeof methods[0]);
  PutAccessor(ctx, obj, "AtEndOfStream", Native<BadFileMode>, nullptr, 0);
  PutAccessor(ctx, obj, "AtEndOfLine", Native<BadFileMode>, nullptr, 0);
  PutAccessor(ctx, obj, "Line", Native<StreamPosition>, nullptr, 2 + 2 * which);
  PutAccessor(ctx, obj, "Column", Native<StreamPosition>, nullptr, 3 + 2 * which);
}

}  // namespace tessary::host
