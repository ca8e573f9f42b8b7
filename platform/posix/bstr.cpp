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

DWORD* PrefixOf(BSTR bstr) {
  return reinterpret_cast<DWORD*>(reinterpret_cast<char*>(bstr) - kPrefixBytes);
}

// Allocates room for `byte_len` bytes of data; the prefix is set, the data
// left for the caller and the terminator written. Null when the count does not
// fit the 32-bit prefix (Windows refuses those lengths too) or memory is short.
BSTR AllocateBytes(uint64_t byte_len) {
  if (byte_len > 0xFFFFFFFFull - kPrefixBytes - kTerminatorBytes) return nullptr;
  char* block = static_cast<char*>(malloc(kPrefixBytes + byte_len + kTerminatorBytes));
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
  // Windows leaves the characters undefined when no source is given; zeroes
  // keep a caller that reads before writing deterministic.
  if (pch != nullptr) {
    memmove(bstr, pch, static_cast<size_t>(cch) * sizeof(OLECHAR));
  } else {
    memset(bstr, 0, static_cast<size_t>(cch) * sizeof(OLECHAR));
  }
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
  if (bstr != nullptr) free(PrefixOf(bstr));
}

UINT SysStringByteLen(BSTR bstr) {
  if (bstr == nullptr) return 0;
  DWORD prefix;
  memcpy(&prefix, PrefixOf(bstr), sizeof(prefix));
  return prefix;
}

UINT SysStringLen(BSTR bstr) { return SysStringByteLen(bstr) / sizeof(OLECHAR); }

}  // extern "C"
