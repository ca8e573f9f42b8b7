// BSTR: a 32-bit byte count stored just before the characters, the UTF-16
// characters, then a zero terminator. Callers (and the core) may read the
// count at ptr[-4] and rely on the terminator, as Windows code does, and a
// BSTR may hold embedded NULs, so lengths always come from the prefix.
#include <stdlib.h>
#include <string.h>

#include "platform/automation.h"

namespace {

constexpr size_t kPrefixBytes = sizeof(DWORD);
// Two zero bytes end every string, even one with an odd byte count.
constexpr size_t kTerminatorBytes = 2;

// Freed strings of short blocks wait on a per-thread shelf, a few per size
// class, for the next string of their class, so reading a file line by line
// costs no trip to the allocator per line (the Windows runtime keeps such a
// cache too). Blocks are rounded up to their class, so a string's byte count
// names its block's size again when it is freed. Under AddressSanitizer
// every block goes back to the allocator at once, so a use after free is
// still caught.
#if defined(__SANITIZE_ADDRESS__)
#define TESSARY_BSTR_SHELF 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TESSARY_BSTR_SHELF 0
#endif
#endif
#ifndef TESSARY_BSTR_SHELF
#define TESSARY_BSTR_SHELF 1
#endif

constexpr size_t kClassBytes = 32;
constexpr size_t kClasses = 32;  // blocks of up to 1 KiB
constexpr size_t kShelvedBytes = kClassBytes * kClasses;

size_t BlockBytes(uint64_t byte_len) {
  const size_t bytes = static_cast<size_t>(kPrefixBytes + byte_len + kTerminatorBytes);
  return bytes <= kShelvedBytes ? (bytes + kClassBytes - 1) / kClassBytes * kClassBytes : bytes;
}

#if TESSARY_BSTR_SHELF
constexpr size_t kPerClass = 4;
// The classes of strings up to 125 characters (a typical line of text)
// keep their most recently freed block in the thread's slot itself, so the
// usual free-then-allocate of a line loop is one load from the slot.
constexpr size_t kReadyClasses = 8;

struct Shelf {
  void* blocks[kClasses][kPerClass];
  unsigned char count[kClasses];
};

// The thread's shelf, made with its first freed short string, and one ready
// block per short class. Plain data reached without the dynamic TLS look-up
// (a call per access, as much as the shelf saves); the slot's eighty bytes
// stay well inside the static TLS room the loader keeps for a library that
// is loaded later. A block is made ready only while the shelf exists, so
// the thread's destructor (registered with the shelf) finds every block.
// Once the destructors have drained both, `closed` sends what is freed
// after (by other thread-exit code) straight to the allocator.
struct ShelfSlot {
  void* ready[kReadyClasses];
  Shelf* shelf;
  bool closed;
};
__attribute__((tls_model("initial-exec"))) thread_local ShelfSlot t_slot;

struct ShelfDrain {
  ~ShelfDrain() {
    Shelf* shelf = t_slot.shelf;
    t_slot.shelf = nullptr;
    t_slot.closed = true;
    for (void*& block : t_slot.ready) {
      free(block);
      block = nullptr;
    }
    if (shelf == nullptr) return;
    for (size_t c = 0; c < kClasses; ++c) {
      while (shelf->count[c] > 0) free(shelf->blocks[c][--shelf->count[c]]);
    }
    free(shelf);
  }
};

size_t ClassOf(size_t block_bytes) { return block_bytes / kClassBytes - 1; }

__attribute__((noinline)) void* TakeShelvedBlock(size_t block_bytes) {
  Shelf* shelf = t_slot.shelf;
  if (shelf != nullptr && block_bytes <= kShelvedBytes) {
    const size_t c = ClassOf(block_bytes);
    if (shelf->count[c] > 0) return shelf->blocks[c][--shelf->count[c]];
  }
  return malloc(block_bytes);
}

// The ready block inline; the shelf and the allocator, which need more
// registers, out of line.
inline void* TakeBlock(size_t block_bytes) {
  const size_t c = ClassOf(block_bytes);
  if (c < kReadyClasses) {
    void* block = t_slot.ready[c];
    if (block != nullptr) {
      t_slot.ready[c] = nullptr;
      return block;
    }
  }
  return TakeShelvedBlock(block_bytes);
}

Shelf* OpenShelf() {
  if (t_slot.closed) return nullptr;
  Shelf* shelf = static_cast<Shelf*>(calloc(1, sizeof(Shelf)));
  if (shelf == nullptr) return nullptr;
  // The drain's destructor is registered with the thread's first shelf.
  static thread_local ShelfDrain drain;
  (void)drain;
  t_slot.shelf = shelf;
  return shelf;
}

__attribute__((noinline)) void ShelveBlock(void* block, size_t block_bytes) {
  if (block_bytes <= kShelvedBytes) {
    Shelf* shelf = t_slot.shelf;
    if (shelf == nullptr) shelf = OpenShelf();
    const size_t c = ClassOf(block_bytes);
    if (shelf != nullptr && shelf->count[c] < kPerClass) {
      shelf->blocks[c][shelf->count[c]++] = block;
      return;
    }
  }
  free(block);
}

inline void GiveBlock(void* block, size_t block_bytes) {
  const size_t c = ClassOf(block_bytes);
  if (c < kReadyClasses && t_slot.ready[c] == nullptr && t_slot.shelf != nullptr) {
    t_slot.ready[c] = block;
    return;
  }
  ShelveBlock(block, block_bytes);
}
#else
void* TakeBlock(size_t block_bytes) { return malloc(block_bytes); }
void GiveBlock(void* block, size_t) { free(block); }
#endif

DWORD* PrefixOf(BSTR bstr) {
  return reinterpret_cast<DWORD*>(reinterpret_cast<char*>(bstr) - kPrefixBytes);
}

// Allocates room for `byte_len` bytes of data; the prefix is set, the data
// left for the caller and the terminator written. Null when the count does not
// fit the 32-bit prefix (Windows refuses those lengths too) or memory is short.
inline BSTR AllocateBytes(uint64_t byte_len) {
  if (byte_len > 0xFFFFFFFFull - kPrefixBytes - kTerminatorBytes) return nullptr;
  char* block = static_cast<char*>(TakeBlock(BlockBytes(byte_len)));
  if (block == nullptr) return nullptr;
  const DWORD prefix = static_cast<DWORD>(byte_len);
  memcpy(block, &prefix, sizeof(prefix));
  memset(block + kPrefixBytes + byte_len, 0, kTerminatorBytes);
  return reinterpret_cast<BSTR>(block + kPrefixBytes);
}

size_t StringLength(const OLECHAR* psz) {
  size_t n = 0;
  while (psz[n] != 0) ++n;
  return n;
}

}  // namespace

extern "C" {
BSTR SysAllocStringLen(const OLECHAR* pch, UINT cch) {
  BSTR bstr = AllocateBytes(static_cast<uint64_t>(cch) * sizeof(OLECHAR));
  if (bstr == nullptr) return nullptr;
  // Without a source the characters are left for the caller to write, as
  // on Windows, where they are undefined: every caller fills them.
  if (pch != nullptr) memmove(bstr, pch, static_cast<size_t>(cch) * sizeof(OLECHAR));
  return bstr;
}

BSTR SysAllocString(const OLECHAR* psz) {
  if (psz == nullptr) return nullptr;
  const size_t len = StringLength(psz);
  if (len > 0xFFFFFFFFu) return nullptr;
  return SysAllocStringLen(psz, static_cast<UINT>(len));
}

BSTR SysAllocStringByteLen(LPCSTR psz, UINT len) {
  BSTR bstr = AllocateBytes(len);
  if (bstr == nullptr) return nullptr;
  if (psz != nullptr) {
    memmove(bstr, psz, len);
  } else {
    memset(bstr, 0, len);
  }
  return bstr;
}

INT SysReAllocStringLen(BSTR* pbstr, const OLECHAR* psz, UINT len) {
  if (pbstr == nullptr) return FALSE;
  // The source may lie inside the old string, so it is copied before the old
  // string goes.
  BSTR fresh = AllocateBytes(static_cast<uint64_t>(len) * sizeof(OLECHAR));
  if (fresh == nullptr) return FALSE;
  const size_t bytes = static_cast<size_t>(len) * sizeof(OLECHAR);
  if (psz != nullptr) {
    memmove(fresh, psz, bytes);
  } else {
    // Windows reallocates in place, so without a source the old characters
    // survive up to the new length.
    size_t keep = *pbstr != nullptr ? SysStringByteLen(*pbstr) : 0;
    if (keep > bytes) keep = bytes;
    if (keep > 0) memcpy(fresh, *pbstr, keep);
    memset(reinterpret_cast<char*>(fresh) + keep, 0, bytes - keep);
  }
  SysFreeString(*pbstr);
  *pbstr = fresh;
  return TRUE;
}

INT SysReAllocString(BSTR* pbstr, const OLECHAR* psz) {
  if (pbstr == nullptr) return FALSE;
  if (psz == nullptr) {
    SysFreeString(*pbstr);
    *pbstr = nullptr;
    return TRUE;
  }
  const size_t len = StringLength(psz);
  if (len > 0xFFFFFFFFu) return FALSE;
  return SysReAllocStringLen(pbstr, psz, static_cast<UINT>(len));
}

void SysFreeString(BSTR bstr) {
  if (bstr == nullptr) return;
  // The count read here, not through the exported SysStringByteLen, which
  // the loader would reach through the symbol table on every free.
  DWORD prefix;
  memcpy(&prefix, PrefixOf(bstr), sizeof(prefix));
  GiveBlock(PrefixOf(bstr), BlockBytes(prefix));
}

UINT SysStringByteLen(BSTR bstr) {
  if (bstr == nullptr) return 0;
  DWORD prefix;
  memcpy(&prefix, PrefixOf(bstr), sizeof(prefix));
  return prefix;
}

UINT SysStringLen(BSTR bstr) { return SysStringByteLen(bstr) / sizeof(OLECHAR); }

}  // extern "C"
