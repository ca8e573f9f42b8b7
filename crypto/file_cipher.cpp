#include "crypto/file_cipher.h"

#include <cstring>
#include <memory>

#include "crypto/twofish.h"
#include "platform/files.h"

namespace tessary {

// OLECHAR is 16 bits wide on both targets but not the same type.
const OLECHAR kTwofishDefaultKey[] = {'K', 'W', 'Z', 'R', 'M', 'T', 'P', 'Q', 'V',
                                      'X', 'N', 'J', 'L', 'H', 'G', 'Y', 0};

bool TwofishKeyFromSource(const OLECHAR* source, uint8_t key[16]) {
  uint8_t digits[32];
  size_t count = 0;
  for (; source != nullptr && count < 32 && source[count] != 0; ++count) {
    const unsigned unit = source[count];
    if (unit >= '0' && unit <= '9') {
      digits[count] = uint8_t(unit - '0');
    } else if (unit >= 'a' && unit <= 'f') {
      digits[count] = uint8_t(unit - 'a' + 10);
    } else {
      // Upper-case 'A'-'F' land on 1-6 here, not on their hexadecimal values.
      digits[count] = uint8_t(unit & 15);
    }
  }
  if (count == 0) return false;
  // Only the first 16 digits of the cyclic 32-digit key text become bytes.
  for (size_t i = 0; i < 16; ++i) key[i] = digits[i % count];
  return true;
}

namespace {

// Larger than the 1024-byte chunks the format was described with; the
// output depends only on the input bytes and where the file ends.
constexpr DWORD kChunk = 64 * 1024;
constexpr size_t kBlock = Twofish::kBlockSize;

class Transfer {
 public:
  Transfer(const CLSID* reporter, const Twofish& cipher, bool encrypt)
      : reporter_(reporter), cipher_(cipher), encrypt_(encrypt) {}
  ~Transfer() {
    if (in_ != INVALID_HANDLE_VALUE) ::CloseHandle(in_);
    if (out_ != INVALID_HANDLE_VALUE) ::CloseHandle(out_);
  }

  HRESULT Run(const std::string& in_path, const std::string& out_path) {
    HRESULT hr = OpenTransformFiles(reporter_, encrypt_, in_path, out_path, &in_, &out_);
    if (FAILED(hr)) return hr;
    std::unique_ptr<uint8_t[]> current(new uint8_t[kChunk]);
    std::unique_ptr<uint8_t[]> next(new uint8_t[kChunk]);
    DWORD have = 0;
    if (!Read(current.get(), &have)) return ReadFailed();
    if (have < kChunk) return Last(current.get(), have);
    for (;;) {
      DWORD ahead = 0;
      if (!Read(next.get(), &ahead)) return ReadFailed();
      if (ahead == 0 || ahead >= kBlock) {
        Blocks(current.get(), kChunk / kBlock);
        if (!Write(current.get(), kChunk)) return WriteFailed(false);
        if (ahead == kChunk) {
          current.swap(next);
          continue;
        }
        return ahead == 0 ? S_OK : Last(next.get(), ahead);
      }
      // A tail shorter than a block steals from the current chunk's last
      // block, which must not be written as it is.
      if (encrypt_) {
        Blocks(current.get(), kChunk / kBlock);
      } else {
        Blocks(current.get(), kChunk / kBlock - 1);
      }
      if (!Write(current.get(), kChunk - kBlock)) return WriteFailed(true);
      return Steal(current.get() + kChunk - kBlock, next.get(), ahead);
    }
  }

 private:
  // Fills `buffer` up to one chunk unless the file ends first.
  bool Read(uint8_t* buffer, DWORD* got) {
    *got = 0;
    while (*got < kChunk) {
      DWORD n = 0;
      if (!::ReadFile(in_, buffer + *got, kChunk - *got, &n, nullptr)) return false;
      if (n == 0) break;
      *got += n;
    }
    return true;
  }

  bool Write(const uint8_t* data, DWORD size) {
    DWORD written = 0;
    return size == 0 || (::WriteFile(out_, data, size, &written, nullptr) && written == size);
  }

  HRESULT ReadFailed() { return ReportError(reporter_, "Error reading Plaintext!", 0); }

  // Decryption names its output "Plaintext", except for the two writes that
  // the encryption path shares with it.
  HRESULT WriteFailed(bool ciphertext_text) {
    if (encrypt_ || ciphertext_text)
      return ReportError(reporter_, "Error writing Ciphertext!\n", 0);
    return ReportError(reporter_, "Error writing Plaintext!\n", 0);
  }

  void Blocks(uint8_t* data, size_t count) {
    if (encrypt_) {
      cipher_.EncryptBlocks(data, data, count);
    } else {
      cipher_.DecryptBlocks(data, data, count);
    }
  }

  // The file's last part: `size` bytes after the whole chunks, or the whole
  // file when it is shorter than one chunk.
  HRESULT Last(uint8_t* data, DWORD size) {
    if (size < kBlock) {
      // Only a whole file can be this short: it is copied unchanged.
      if (!Write(data, size)) return WriteFailed(true);
      return S_OK;
    }
    const size_t blocks = size / kBlock;
    const size_t rest = size % kBlock;
    if (rest == 0) {
      Blocks(data, blocks);
      if (!Write(data, size)) return WriteFailed(false);
      return S_OK;
    }
    uint8_t* last = data + (blocks - 1) * kBlock;
    if (encrypt_) {
      Blocks(data, blocks);
    } else {
      Blocks(data, blocks - 1);
    }
    if (!Write(data, DWORD((blocks - 1) * kBlock))) return WriteFailed(false);
    return Steal(last, last + kBlock, DWORD(rest));
  }

  // Encryption: `block` is E, the enciphered last whole block, and `tail`
  // the r trailing plaintext bytes; writes Enc(E ^ tail) and E[0..r).
  // Decryption: `block` is still enciphered (Y) and `tail` is T; writes the
  // last whole plaintext block and then the r trailing plaintext bytes.
  HRESULT Steal(const uint8_t* block, const uint8_t* tail, DWORD rest) {
    uint8_t out[2 * kBlock];
    if (encrypt_) {
      uint8_t x[kBlock];
      std::memcpy(x, block, kBlock);
      for (DWORD j = 0; j < rest; ++j) x[j] ^= tail[j];
      cipher_.EncryptBlocks(x, out, 1);
      std::memcpy(out + kBlock, block, rest);
    } else {
      uint8_t x[kBlock], e[kBlock];
      cipher_.DecryptBlocks(block, x, 1);
      for (DWORD j = 0; j < rest; ++j) out[kBlock + j] = uint8_t(x[j] ^ tail[j]);
      std::memcpy(e, tail, rest);
      std::memcpy(e + rest, x + rest, kBlock - rest);
      cipher_.DecryptBlocks(e, out, 1);
    }
    if (!Write(out, DWORD(kBlock + rest))) return WriteFailed(false);
    return S_OK;
  }

  const CLSID* reporter_;
  const Twofish& cipher_;
  const bool encrypt_;
  HANDLE in_ = INVALID_HANDLE_VALUE;
  HANDLE out_ = INVALID_HANDLE_VALUE;
};

}  // namespace

HRESULT OpenTransformFiles(const CLSID* reporter, bool encrypt, const std::string& in_path,
                           const std::string& out_path, HANDLE* in, HANDLE* out) {
  *in = ::CreateFileA(in_path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                      FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (*in == INVALID_HANDLE_VALUE) return ReportError(reporter, "Error opening Plaintext file!", 0);
  *out = ::CreateFileA(out_path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
  if (*out == INVALID_HANDLE_VALUE) {
    if (encrypt) return ReportLastWin32Error(reporter, "Error opening Ciphertext file: ");
    return ReportError(reporter, "Error opening Ciphertext file!", 0);
  }
  return S_OK;
}

HRESULT TwofishFile(const CLSID* reporter, const std::string& in_path, const std::string& out_path,
                    const uint8_t key[16], bool encrypt) {
  // Key setup comes before any file is touched and cannot fail.
  const Twofish cipher(key);
  return Transfer(reporter, cipher, encrypt).Run(in_path, out_path);
}

}  // namespace tessary
