// The Twofish block cipher with a 128-bit key (16 rounds, 16-byte blocks),
// as published. Blocks are independent (no chaining): callers that need a
// mode build it from whole-block calls.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessary {

class Twofish {
 public:
  static constexpr size_t kBlockSize = 16;
  static constexpr size_t kKeySize = 16;

  explicit Twofish(const uint8_t key[kKeySize]);

  // `count` whole blocks, each enciphered on its own; `in` may equal `out`.
  void EncryptBlocks(const uint8_t* in, uint8_t* out, size_t count) const;
  void DecryptBlocks(const uint8_t* in, uint8_t* out, size_t count) const;

 private:
  uint32_t G0(uint32_t x) const;
  uint32_t G1(uint32_t x) const;
  // N whole blocks at once; all loads come before any store, so `in` may
  // equal `out`.
  template <size_t N>
  void Encrypt(const uint8_t* in, uint8_t* out) const;
  template <size_t N>
  void Decrypt(const uint8_t* in, uint8_t* out) const;

  // Blocks enciphered side by side: three kept the best pace on x86-64,
  // four no longer fit the registers.
  static constexpr size_t kLanes = 3;

  uint32_t subkeys_[40];
  // The key-dependent S-boxes merged with the MDS columns: g(x) is the XOR
  // of one lookup per byte of x.
  uint32_t sbox_[4][256];
};

}  // namespace tessary
