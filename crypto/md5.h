// MD5 message digest (RFC 1321), streamed: Init, any number of Updates, then
// Final. Used for file checksums and, by the whole-file encryption, to derive
// cipher keys from passwords. Not a security boundary on its own: MD5 is
// broken for collision resistance and is kept because the formats need it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tessary {

class Md5 {
 public:
  static constexpr size_t kDigestSize = 16;
  static constexpr size_t kBlockSize = 64;

  Md5() { Init(); }

  // Starts a new digest; an object may be reused after Final.
  void Init();
  void Update(const void* data, size_t size);
  // Pads, writes the 16-byte digest and leaves the object to be Init'ed again.
  void Final(uint8_t digest[kDigestSize]);

  // The digest as 32 lower-case hexadecimal digits, bytes in order.
  static std::string Hex(const uint8_t digest[kDigestSize]);

 private:
  void Blocks(const uint8_t* data, size_t count);

  uint32_t state_[4];
  // Bytes fed so far; the message length in bits is eight times this,
  // modulo 2^64 as the algorithm defines it.
  uint64_t bytes_;
  uint8_t buffer_[kBlockSize];
};

}  // namespace tessary
