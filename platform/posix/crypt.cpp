// Our cryptographic provider layer: the two RSA_FULL providers by name and
// the default provider, MD5 hashes and RC4 keys derived as the system's
// providers derive them with flags 0, so files move between the systems.
//
// Key derivation from an MD5 hash H (16 bytes):
//   - Enhanced provider (also the default): RC4 keyed with all of H.
//   - Base provider: a 40-bit key with 11 zero salt bytes, i.e. RC4 keyed
//     with H[0..5) followed by 11 zero bytes.
// Key containers hold nothing these operations use: the default container
// always exists, so CRYPT_NEWKEYSET reports NTE_EXISTS.
#include "platform/crypt.h"

#include <cstring>
#include <mutex>
#include <set>

#include "crypto/md5.h"
#include "platform/guard.h"

namespace {

struct Object {
  enum Kind { kProvider, kHash, kKey } kind;
  explicit Object(Kind k) : kind(k) {}
  virtual ~Object() = default;
};

struct Provider : Object {
  bool base;
  explicit Provider(bool is_base) : Object(kProvider), base(is_base) {}
};

struct Hash : Object {
  bool base;
  bool finished = false;  // a derived key fixes the hash
  tessary::Md5 md5;
  explicit Hash(bool is_base) : Object(kHash), base(is_base) {}
};

// The first keystream byte belongs at the lowest address.
inline uint64_t LittleEndian(uint64_t v) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  return __builtin_bswap64(v);
#else
  return v;
#endif
}

struct Key : Object {
  uint8_t key[16];
  // Word-sized state: byte-sized entries make each step wait on partial
  // register writes.
  uint32_t s[256];
  uint32_t i = 0, j = 0;
  Key() : Object(kKey) {}
  void Schedule() {
    for (uint32_t n = 0; n < 256; ++n) s[n] = n;
    uint32_t k = 0;
    for (uint32_t n = 0; n < 256; ++n) {
      k = (k + s[n] + key[n % 16]) & 0xFF;
      std::swap(s[n], s[k]);
    }
    i = j = 0;
  }
  // One keystream byte; byte-wide indices wrap without masking.
  static uint64_t Step(uint32_t* state, uint8_t& a, uint8_t& b) {
    a = uint8_t(a + 1);
    const uint32_t x = state[a];
    b = uint8_t(b + x);
    const uint32_t y = state[b];
    state[a] = y;
    state[b] = x;
    return state[uint8_t(x + y)];
  }
  // Eight keystream bytes are gathered into one word and applied with one
  // load and one store, which leaves the loop to the state's own chain.
  void Apply(uint8_t* data, size_t size) {
    uint8_t a = uint8_t(i), b = uint8_t(j);
    uint32_t* state = s;
    size_t n = 0;
    for (; n + 8 <= size; n += 8) {
      uint64_t stream = Step(state, a, b);
      stream |= Step(state, a, b) << 8;
      stream |= Step(state, a, b) << 16;
      stream |= Step(state, a, b) << 24;
      stream |= Step(state, a, b) << 32;
      stream |= Step(state, a, b) << 40;
      stream |= Step(state, a, b) << 48;
      stream |= Step(state, a, b) << 56;
      uint64_t word;
      std::memcpy(&word, data + n, 8);
      word ^= LittleEndian(stream);
      std::memcpy(data + n, &word, 8);
    }
    for (; n < size; ++n) data[n] ^= uint8_t(Step(state, a, b));
    i = a;
    j = b;
  }
};

// Live handles, so that a stale or foreign handle is refused, not followed.
std::mutex g_lock;
std::set<const Object*> g_live;

ULONG_PTR Publish(Object* object) {
  std::lock_guard<std::mutex> hold(g_lock);
  g_live.insert(object);
  return reinterpret_cast<ULONG_PTR>(object);
}

template <class T>
T* Find(ULONG_PTR handle, Object::Kind kind) {
  auto* object = reinterpret_cast<Object*>(handle);
  std::lock_guard<std::mutex> hold(g_lock);
  if (g_live.count(object) == 0 || object->kind != kind) return nullptr;
  return static_cast<T*>(object);
}

BOOL Destroy(ULONG_PTR handle, Object::Kind kind, HRESULT bad) {
  auto* object = reinterpret_cast<Object*>(handle);
  {
    std::lock_guard<std::mutex> hold(g_lock);
    if (g_live.count(object) == 0 || object->kind != kind) {
      SetLastError(static_cast<DWORD>(bad));
      return FALSE;
    }
    g_live.erase(object);
  }
  delete object;
  return TRUE;
}

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}
BOOL Fail(HRESULT error) { return Fail(static_cast<DWORD>(error)); }

BOOL Transform(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags, BYTE* pbData,
               DWORD* pdwDataLen, DWORD buffer_size) {
  Key* key = Find<Key>(hKey, Object::kKey);
  if (key == nullptr) return Fail(NTE_BAD_KEY);
  if (hHash != 0) return Fail(NTE_BAD_HASH);  // no hashing alongside
  if (dwFlags != 0) return Fail(NTE_BAD_FLAGS);
  if (pdwDataLen == nullptr) return Fail(DWORD(ERROR_INVALID_PARAMETER));
  if (*pdwDataLen > buffer_size) return Fail(DWORD(ERROR_MORE_DATA));
  if (*pdwDataLen > 0) {
    if (pbData == nullptr) return Fail(DWORD(ERROR_INVALID_PARAMETER));
    key->Apply(pbData, *pdwDataLen);
  }
  // A stream key starts over after the final block.
  if (Final) key->Schedule();
  return TRUE;
}

}  // namespace

EXTERN_C {
  BOOL CryptAcquireContextA(HCRYPTPROV * phProv, LPCSTR szContainer, LPCSTR szProvider,
                            DWORD dwProvType, DWORD dwFlags) {
    return tessary::GuardWin32<BOOL>(FALSE, [&]() -> BOOL {
      if (phProv == nullptr) return Fail(DWORD(ERROR_INVALID_PARAMETER));
      *phProv = 0;
      bool base = false;
      if (szProvider == nullptr || std::strcmp(szProvider, MS_ENHANCED_PROV_A) == 0) {
        base = false;
      } else if (std::strcmp(szProvider, MS_DEF_PROV_A) == 0) {
        base = true;
      } else {
        return Fail(NTE_KEYSET_NOT_DEF);
      }
      if (dwProvType != PROV_RSA_FULL) return Fail(NTE_PROV_TYPE_NOT_DEF);
      const DWORD known = CRYPT_VERIFYCONTEXT | CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET |
                          CRYPT_MACHINE_KEYSET | CRYPT_SILENT;
      if ((dwFlags & ~known) != 0) return Fail(NTE_BAD_FLAGS);
      if (szContainer != nullptr && *szContainer != 0 && (dwFlags & CRYPT_VERIFYCONTEXT) == 0) {
        // Only the default container exists.
        return Fail((dwFlags & CRYPT_NEWKEYSET) ? NTE_BAD_KEYSET_PARAM : NTE_BAD_KEYSET);
      }
      if ((dwFlags & CRYPT_DELETEKEYSET) != 0) return Fail(NTE_BAD_KEYSET);
      if ((dwFlags & CRYPT_NEWKEYSET) != 0) return Fail(NTE_EXISTS);
      *phProv = Publish(new Provider(base));
      return TRUE;
    });
  }

  BOOL CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags) {
    return tessary::GuardWin32<BOOL>(FALSE, [&]() -> BOOL {
      if (dwFlags != 0) return Fail(NTE_BAD_FLAGS);
      return Destroy(hProv, Object::kProvider, NTE_BAD_UID);
    });
  }

  BOOL CryptCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags,
                       HCRYPTHASH * phHash) {
    return tessary::GuardWin32<BOOL>(FALSE, [&]() -> BOOL {
      Provider* provider = Find<Provider>(hProv, Object::kProvider);
      if (provider == nullptr) return Fail(NTE_BAD_UID);
      if (phHash == nullptr) return Fail(DWORD(ERROR_INVALID_PARAMETER));
      if (Algid != CALG_MD5) return Fail(NTE_BAD_ALGID);
      if (hKey != 0) return Fail(NTE_BAD_KEY);
      if (dwFlags != 0) return Fail(NTE_BAD_FLAGS);
      *phHash = Publish(new Hash(provider->base));
      return TRUE;
    });
  }

  BOOL CryptHashData(HCRYPTHASH hHash, const BYTE* pbData, DWORD dwDataLen, DWORD dwFlags) {
    return tessary::GuardWin32<BOOL>(FALSE, [&]() -> BOOL {
      Hash* hash = Find<Hash>(hHash, Object::kHash);
      if (hash == nullptr) return Fail(NTE_BAD_HASH);
      if (dwFlags != 0) return Fail(NTE_BAD_FLAGS);
      if (hash->finished) return Fail(NTE_BAD_HASH);
      if (dwDataLen > 0 && pbData == nullptr) return Fail(DWORD(ERROR_INVALID_PARAMETER));
      if (dwDataLen > 0) hash->md5.Update(pbData, dwDataLen);
      return TRUE;
    });
  }

  BOOL CryptDestroyHash(HCRYPTHASH hHash) {
    return tessary::GuardWin32<BOOL>(
        FALSE, [&]() -> BOOL { return Destroy(hHash, Object::kHash, NTE_BAD_HASH); });
  }

  BOOL CryptDeriveKey(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTHASH hBaseData, DWORD dwFlags,
                      HCRYPTKEY * phKey) {
    return tessary::GuardWin32<BOOL>(FALSE, [&]() -> BOOL {
      if (Find<Provider>(hProv, Object::kProvider) == nullptr) return Fail(NTE_BAD_UID);
      Hash* hash = Find<Hash>(hBaseData, Object::kHash);
      if (hash == nullptr) return Fail(NTE_BAD_HASH);
      if (phKey == nullptr) return Fail(DWORD(ERROR_INVALID_PARAMETER));
      if (Algid != CALG_RC4) return Fail(NTE_BAD_ALGID);
      // Only the providers' default key length is offered.
      if (dwFlags != 0) return Fail(NTE_BAD_FLAGS);
      uint8_t digest[tessary::Md5::kDigestSize];
      tessary::Md5 copy = hash->md5;  // the hash stays readable as it was
      copy.Final(digest);
      hash->finished = true;
      auto* key = new Key;
      std::memcpy(key->key, digest, 16);
      if (hash->base) std::memset(key->key + 5, 0, 11);  // 40 bits, zero salt
      key->Schedule();
      *phKey = Publish(key);
      return TRUE;
    });
  }

  BOOL CryptDestroyKey(HCRYPTKEY hKey) {
    return tessary::GuardWin32<BOOL>(
        FALSE, [&]() -> BOOL { return Destroy(hKey, Object::kKey, NTE_BAD_KEY); });
  }

  BOOL CryptEncrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags, BYTE * pbData,
                    DWORD * pdwDataLen, DWORD dwBufLen) {
    return tessary::GuardWin32<BOOL>(FALSE, [&]() -> BOOL {
      return Transform(hKey, hHash, Final, dwFlags, pbData, pdwDataLen, dwBufLen);
    });
  }

  BOOL CryptDecrypt(HCRYPTKEY hKey, HCRYPTHASH hHash, BOOL Final, DWORD dwFlags, BYTE * pbData,
                    DWORD * pdwDataLen) {
    return tessary::GuardWin32<BOOL>(FALSE, [&]() -> BOOL {
      const DWORD size = pdwDataLen ? *pdwDataLen : 0;
      return Transform(hKey, hHash, Final, dwFlags, pbData, pdwDataLen, size);
    });
  }
}
