#include "crypto/twofish.h"

#include <cstring>

namespace tessary {
namespace {

inline uint32_t Rol(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }
inline uint32_t Ror(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

inline uint32_t Load32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline void Store32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v >> 16);
  p[3] = uint8_t(v >> 24);
}

// Multiplication in GF(2^8) modulo the given primitive polynomial.
uint8_t GfMul(uint8_t a, uint8_t b, unsigned poly) {
  unsigned result = 0, x = a;
  for (; b != 0; b >>= 1) {
    if (b & 1) result ^= x;
    x <<= 1;
    if (x & 0x100) x ^= poly;
  }
  return uint8_t(result);
}

constexpr unsigned kMdsPoly = 0x169;
constexpr unsigned kRsPoly = 0x14D;

constexpr uint8_t kMds[4][4] = {{0x01, 0xEF, 0x5B, 0x5B},
                                {0x5B, 0xEF, 0xEF, 0x01},
                                {0xEF, 0x5B, 0x01, 0xEF},
                                {0xEF, 0x01, 0xEF, 0x5B}};
constexpr uint8_t kRs[4][8] = {{0x01, 0xA4, 0x55, 0x87, 0x5A, 0x58, 0xDB, 0x9E},
                               {0xA4, 0x56, 0x82, 0xF3, 0x1E, 0xC6, 0x68, 0xE5},
                               {0x02, 0xA1, 0xFC, 0xC1, 0x47, 0xAE, 0x3D, 0x19},
                               {0xA4, 0x55, 0x87, 0x5A, 0x58, 0xDB, 0x9E, 0x03}};

// The fixed permutations q0 and q1 and the MDS columns, built once before
// first use; they are the only data every key shares.
struct Tables {
  uint8_t q[2][256];
  uint32_t mds[4][256];  // column j of the MDS matrix times byte x

  Tables() {
    static const uint8_t t[2][4][16] = {
        {{0x8, 0x1, 0x7, 0xD, 0x6, 0xF, 0x3, 0x2, 0x0, 0xB, 0x5, 0x9, 0xE, 0xC, 0xA, 0x4},
         {0xE, 0xC, 0xB, 0x8, 0x1, 0x2, 0x3, 0x5, 0xF, 0x4, 0xA, 0x6, 0x7, 0x0, 0x9, 0xD},
         {0xB, 0xA, 0x5, 0xE, 0x6, 0xD, 0x9, 0x0, 0xC, 0x8, 0xF, 0x3, 0x2, 0x4, 0x7, 0x1},
         {0xD, 0x7, 0xF, 0x4, 0x1, 0x2, 0x6, 0xE, 0x9, 0xB, 0x3, 0x0, 0x8, 0x5, 0xC, 0xA}},
        {{0x2, 0x8, 0xB, 0xD, 0xF, 0x7, 0x6, 0xE, 0x3, 0x1, 0x9, 0x4, 0x0, 0xA, 0xC, 0x5},
         {0x1, 0xE, 0x2, 0xB, 0x4, 0xC, 0x3, 0x7, 0x6, 0xD, 0xA, 0x5, 0xF, 0x9, 0x0, 0x8},
         {0x4, 0xC, 0x7, 0x5, 0x1, 0x6, 0x9, 0xA, 0x0, 0xE, 0xD, 0x8, 0x2, 0xB, 0x3, 0xF},
         {0xB, 0x9, 0x5, 0x1, 0xC, 0x3, 0xD, 0xE, 0x6, 0x4, 0x7, 0xF, 0x2, 0x0, 0x8, 0xA}}};
    auto ror4 = [](unsigned x) { return ((x >> 1) | (x << 3)) & 15; };
    for (int which = 0; which < 2; ++which) {
      const auto& tt = t[which];
      for (unsigned x = 0; x < 256; ++x) {
        unsigned a = x >> 4, b = x & 15;
        unsigned a1 = a ^ b, b1 = (a ^ ror4(b) ^ (a << 3)) & 15;
        unsigned a2 = tt[0][a1], b2 = tt[1][b1];
        unsigned a3 = a2 ^ b2, b3 = (a2 ^ ror4(b2) ^ (a2 << 3)) & 15;
        unsigned a4 = tt[2][a3], b4 = tt[3][b3];
        q[which][x] = uint8_t(b4 << 4 | a4);
      }
    }
    for (int j = 0; j < 4; ++j) {
      for (unsigned x = 0; x < 256; ++x) {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i)
          v |= uint32_t(GfMul(kMds[i][j], uint8_t(x), kMdsPoly)) << (8 * i);
        mds[j][x] = v;
      }
    }
  }
};

// Built at load time, so no call races to build them.
const Tables kTables;

// The function h for a 128-bit key: two key words, byte positions fixed.
uint32_t H(uint32_t x, uint32_t l0, uint32_t l1) {
  const auto& q = kTables.q;
  uint8_t y0 = uint8_t(x), y1 = uint8_t(x >> 8), y2 = uint8_t(x >> 16), y3 = uint8_t(x >> 24);
  y0 = q[1][q[0][q[0][y0] ^ uint8_t(l1)] ^ uint8_t(l0)];
  y1 = q[0][q[0][q[1][y1] ^ uint8_t(l1 >> 8)] ^ uint8_t(l0 >> 8)];
  y2 = q[1][q[1][q[0][y2] ^ uint8_t(l1 >> 16)] ^ uint8_t(l0 >> 16)];
  y3 = q[0][q[1][q[1][y3] ^ uint8_t(l1 >> 24)] ^ uint8_t(l0 >> 24)];
  const auto& m = kTables.mds;
  return m[0][y0] ^ m[1][y1] ^ m[2][y2] ^ m[3][y3];
}

}  // namespace

Twofish::Twofish(const uint8_t key[kKeySize]) {
  uint32_t me[2] = {Load32(key), Load32(key + 8)};
  uint32_t mo[2] = {Load32(key + 4), Load32(key + 12)};
  uint32_t s[2];
  for (int i = 0; i < 2; ++i) {
    uint32_t v = 0;
    for (int row = 0; row < 4; ++row) {
      uint8_t acc = 0;
      for (int col = 0; col < 8; ++col) acc ^= GfMul(kRs[row][col], key[8 * i + col], kRsPoly);
      v |= uint32_t(acc) << (8 * row);
    }
    s[i] = v;
  }
  constexpr uint32_t kRho = 0x01010101;
  for (uint32_t i = 0; i < 20; ++i) {
    uint32_t a = H(2 * i * kRho, me[0], me[1]);
    uint32_t b = Rol(H((2 * i + 1) * kRho, mo[0], mo[1]), 8);
    subkeys_[2 * i] = a + b;
    subkeys_[2 * i + 1] = Rol(a + 2 * b, 9);
  }
  // The S-box key words enter h in reverse order.
  const auto& q = kTables.q;
  const auto& m = kTables.mds;
  const uint32_t l0 = s[1], l1 = s[0];
  for (unsigned x = 0; x < 256; ++x) {
    const uint8_t b = uint8_t(x);
    sbox_[0][x] = m[0][q[1][q[0][q[0][b] ^ uint8_t(l1)] ^ uint8_t(l0)]];
    sbox_[1][x] = m[1][q[0][q[0][q[1][b] ^ uint8_t(l1 >> 8)] ^ uint8_t(l0 >> 8)]];
    sbox_[2][x] = m[2][q[1][q[1][q[0][b] ^ uint8_t(l1 >> 16)] ^ uint8_t(l0 >> 16)]];
    sbox_[3][x] = m[3][q[0][q[1][q[1][b] ^ uint8_t(l1 >> 24)] ^ uint8_t(l0 >> 24)]];
  }
}

inline uint32_t Twofish::G0(uint32_t x) const {
  return sbox_[0][x & 0xFF] ^ sbox_[1][(x >> 8) & 0xFF] ^ sbox_[2][(x >> 16) & 0xFF] ^
         sbox_[3][x >> 24];
}
// g of the word rotated left by 8, without the rotation.
inline uint32_t Twofish::G1(uint32_t x) const {
  return sbox_[0][x >> 24] ^ sbox_[1][x & 0xFF] ^ sbox_[2][(x >> 8) & 0xFF] ^
         sbox_[3][(x >> 16) & 0xFF];
}

// One block's rounds are a chain of table look-ups, each waiting on the one
// before; the blocks of ECB are independent, so N of them go through the
// rounds side by side and the look-ups of one fill the others' waits.
template <size_t N>
inline void Twofish::Encrypt(const uint8_t* in, uint8_t* out) const {
  const uint32_t* k = subkeys_;
  uint32_t r0[N], r1[N], r2[N], r3[N];
#pragma GCC unroll 4
  for (size_t b = 0; b < N; ++b) {
    const uint8_t* p = in + b * kBlockSize;
    r0[b] = Load32(p) ^ k[0];
    r1[b] = Load32(p + 4) ^ k[1];
    r2[b] = Load32(p + 8) ^ k[2];
    r3[b] = Load32(p + 12) ^ k[3];
  }
  for (int round = 0; round < 16; round += 2) {
    const uint32_t* rk = k + 2 * round + 8;
#pragma GCC unroll 4
    for (size_t b = 0; b < N; ++b) {
      const uint32_t t0 = G0(r0[b]), t1 = G1(r1[b]);
      r2[b] = Ror(r2[b] ^ (t0 + t1 + rk[0]), 1);
      r3[b] = Rol(r3[b], 1) ^ (t0 + 2 * t1 + rk[1]);
    }
#pragma GCC unroll 4
    for (size_t b = 0; b < N; ++b) {
      const uint32_t t0 = G0(r2[b]), t1 = G1(r3[b]);
      r0[b] = Ror(r0[b] ^ (t0 + t1 + rk[2]), 1);
      r1[b] = Rol(r1[b], 1) ^ (t0 + 2 * t1 + rk[3]);
    }
  }
#pragma GCC unroll 4
  for (size_t b = 0; b < N; ++b) {
    uint8_t* p = out + b * kBlockSize;
    Store32(p, r2[b] ^ k[4]);
    Store32(p + 4, r3[b] ^ k[5]);
    Store32(p + 8, r0[b] ^ k[6]);
    Store32(p + 12, r1[b] ^ k[7]);
  }
}

template <size_t N>
inline void Twofish::Decrypt(const uint8_t* in, uint8_t* out) const {
  const uint32_t* k = subkeys_;
  uint32_t r0[N], r1[N], r2[N], r3[N];
#pragma GCC unroll 4
  for (size_t b = 0; b < N; ++b) {
    const uint8_t* p = in + b * kBlockSize;
    r2[b] = Load32(p) ^ k[4];
    r3[b] = Load32(p + 4) ^ k[5];
    r0[b] = Load32(p + 8) ^ k[6];
    r1[b] = Load32(p + 12) ^ k[7];
  }
  for (int round = 14; round >= 0; round -= 2) {
    const uint32_t* rk = k + 2 * round + 8;
#pragma GCC unroll 4
    for (size_t b = 0; b < N; ++b) {
      const uint32_t t0 = G0(r2[b]), t1 = G1(r3[b]);
      r0[b] = Rol(r0[b], 1) ^ (t0 + t1 + rk[2]);
      r1[b] = Ror(r1[b] ^ (t0 + 2 * t1 + rk[3]), 1);
    }
#pragma GCC unroll 4
    for (size_t b = 0; b < N; ++b) {
      const uint32_t t0 = G0(r0[b]), t1 = G1(r1[b]);
      r2[b] = Rol(r2[b], 1) ^ (t0 + t1 + rk[0]);
      r3[b] = Ror(r3[b] ^ (t0 + 2 * t1 + rk[1]), 1);
    }
  }
#pragma GCC unroll 4
  for (size_t b = 0; b < N; ++b) {
    uint8_t* p = out + b * kBlockSize;
    Store32(p, r0[b] ^ k[0]);
    Store32(p + 4, r1[b] ^ k[1]);
    Store32(p + 8, r2[b] ^ k[2]);
    Store32(p + 12, r3[b] ^ k[3]);
  }
}

void Twofish::EncryptBlocks(const uint8_t* in, uint8_t* out, size_t count) const {
  for (; count >= kLanes; count -= kLanes, in += kLanes * kBlockSize, out += kLanes * kBlockSize)
    Encrypt<kLanes>(in, out);
  for (; count > 0; --count, in += kBlockSize, out += kBlockSize) Encrypt<1>(in, out);
}

void Twofish::DecryptBlocks(const uint8_t* in, uint8_t* out, size_t count) const {
  for (; count >= kLanes; count -= kLanes, in += kLanes * kBlockSize, out += kLanes * kBlockSize)
    Decrypt<kLanes>(in, out);
  for (; count > 0; --count, in += kBlockSize, out += kBlockSize) Decrypt<1>(in, out);
}

}  // namespace tessary
