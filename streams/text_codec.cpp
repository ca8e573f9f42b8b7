// The text a stream reads and writes, as bytes and as characters: ANSI
// (the code page's bytes, with the UTF-8 character completion a read
// needs) and UTF-16LE, each way.
#include "streams/text_codec.h"

#include <climits>
#include <cstring>
#include <new>

#include "platform/system.h"

namespace tessary::text_codec {

// The bytes missing from a UTF-8 character that starts within the last
// three bytes and runs past the end; 0 when the text ends on a boundary.
// Malformed sequences count by their lead byte: the decoder replaces them
// either way, and a byte read too many still belongs to this text.
size_t MissingUtf8Bytes(const char* bytes, size_t n) {
  for (size_t back = 1; back <= 4 && back <= n; ++back) {
    const unsigned char b = static_cast<unsigned char>(bytes[n - back]);
    if ((b & 0xC0) == 0x80) continue;  // a continuation byte: look further back
    size_t length = 1;
    if (b >= 0xF0 && b <= 0xF4) {
      length = 4;
    } else if (b >= 0xE0 && b <= 0xEF) {
      length = 3;
    } else if (b >= 0xC2 && b <= 0xDF) {
      length = 2;
    }
    return length > back ? length - back : 0;
  }
  return 0;
}

// ANSI bytes to characters, into room for n of them (a code page never
// makes more characters than bytes). The text ends at the first NUL.
size_t DecodeAnsi(const char* bytes, size_t n, OLECHAR* out) {
  constexpr size_t kBlock = 32;
  const unsigned char* in = reinterpret_cast<const unsigned char*>(bytes);
  size_t i = 0;
  // A block at a time while it holds neither a NUL nor a byte above ASCII
  // (which is the same in every ANSI code page); the tests and the copy
  // have no early exit, so they become vector instructions.
  for (; i + kBlock <= n; i += kBlock) {
    unsigned char block[kBlock];
    std::memcpy(block, in + i, kBlock);
    unsigned char low = 0xFF;
    unsigned char high = 0;
    for (size_t k = 0; k < kBlock; ++k) {
      low = block[k] < low ? block[k] : low;
      high |= block[k];
    }
    if (low == 0 || (high & 0x80)) break;
    for (size_t k = 0; k < kBlock; ++k) out[i + k] = block[k];
  }
  for (; i < n; ++i) {
    const unsigned char b = static_cast<unsigned char>(bytes[i]);
    if (b == 0) return i;
    if (b >= 0x80) break;
    out[i] = b;
  }
  if (i == n) return n;
  const void* nul = std::memchr(bytes + i, 0, n - i);
  const size_t end = nul ? static_cast<size_t>(static_cast<const char*>(nul) - bytes) : n;
  if (end - i > static_cast<size_t>(INT_MAX)) throw std::bad_alloc();
  const int wide = MultiByteToWideChar(CP_ACP, 0, bytes + i, static_cast<int>(end - i), out + i,
                                       static_cast<int>(end - i));
  return i + (wide > 0 ? static_cast<size_t>(wide) : 0);
}

// UTF-16LE bytes to characters, possibly in the same memory (each unit is
// read before it is written); an odd last byte (only at the end of a
// file) makes no character.
size_t DecodeUtf16(const char* bytes, size_t n, OLECHAR* out) {
  const unsigned char* from = reinterpret_cast<const unsigned char*>(bytes);
  const size_t units = n / 2;
  for (size_t k = 0; k < units; ++k) {
    out[k] = static_cast<OLECHAR>(from[2 * k] | (from[2 * k + 1] << 8));
  }
  return units;
}

// Text to ANSI bytes: characters the code page lacks become its default
// character.
void AppendAnsiBytes(const OLECHAR* text, size_t n, std::string* out) {
  if (n == 0) return;
  const size_t base = out->size();
  size_t i = 0;
  while (i < n && text[i] < 0x80) ++i;
  if (i == n) {
    out->resize(base + n);
    char* to = &(*out)[base];
    for (size_t k = 0; k < n; ++k) to[k] = static_cast<char>(text[k]);
    return;
  }
  if (n > static_cast<size_t>(INT_MAX)) throw std::bad_alloc();
  const int bytes =
      WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(n), nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) throw std::bad_alloc();  // longer than a conversion can give
  out->resize(base + static_cast<size_t>(bytes));
  WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(n), &(*out)[base], bytes, nullptr, nullptr);
}

void AppendUtf16Bytes(const OLECHAR* text, size_t n, std::string* out) {
  const size_t base = out->size();
  out->resize(base + 2 * n);
  char* to = &(*out)[base];
  for (size_t k = 0; k < n; ++k) {
    to[2 * k] = static_cast<char>(text[k] & 0xFF);
    to[2 * k + 1] = static_cast<char>((text[k] >> 8) & 0xFF);
  }
}

}  // namespace tessary::text_codec
