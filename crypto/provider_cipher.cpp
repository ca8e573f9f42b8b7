#include <memory>

#include "crypto/file_cipher.h"
#include "platform/crypt.h"
#include "platform/files.h"

namespace tessary {
namespace {

struct Attempt {
  const char* provider;
  DWORD flags;
};

constexpr DWORD kMachine = CRYPT_MACHINE_KEYSET;
constexpr DWORD kMachineNew = CRYPT_MACHINE_KEYSET | CRYPT_NEWKEYSET;
#define TESSARY_ENHANCED "Microsoft Enhanced Cryptographic Provider v1.0"
#define TESSARY_BASE "Microsoft Base Cryptographic Provider v1.0"

// Reads larger than the 1000 bytes the format was described with: RC4 gives
// the same bytes however the stream is cut into calls.
constexpr DWORD kChunk = 64000;
constexpr DWORD kBuffer = 65536;

class Session {
 public:
  Session(const CLSID* reporter, bool encrypt) : reporter_(reporter), encrypt_(encrypt) {}
  // Input before output, then key, hash (if still held), context.
  ~Session() {
    if (in_ != INVALID_HANDLE_VALUE) ::CloseHandle(in_);
    if (out_ != INVALID_HANDLE_VALUE) ::CloseHandle(out_);
    if (key_ != 0) ::CryptDestroyKey(key_);
    if (hash_ != 0) ::CryptDestroyHash(hash_);
    if (provider_ != 0) ::CryptReleaseContext(provider_, 0);
  }

  HRESULT Run(const std::string& in_path, const std::string& out_path, const std::string& password,
              long type) {
    HRESULT hr = OpenTransformFiles(reporter_, encrypt_, in_path, out_path, &in_, &out_);
    if (FAILED(hr)) return hr;
    hr = Acquire(type);
    if (FAILED(hr)) return hr;
    if (!::CryptCreateHash(provider_, CALG_MD5, 0, 0, &hash_)) {
      hash_ = 0;
      return ReportError(reporter_, "Error during CryptCreateHash!", 0);
    }
    if (!::CryptHashData(hash_, reinterpret_cast<const BYTE*>(password.data()),
                         static_cast<DWORD>(password.size()), 0)) {
      return ReportError(reporter_, "Error during CryptHashData!", 0);
    }
    if (!::CryptDeriveKey(provider_, CALG_RC4, hash_, 0, &key_)) {
      key_ = 0;
      return ReportError(reporter_, "Error during CryptDeriveKey!", 0);
    }
    ::CryptDestroyHash(hash_);
    hash_ = 0;
    return Stream();
  }

 private:
  HRESULT Acquire(long type) {
    static const Attempt kDefault[] = {{nullptr, 0},
                                       {TESSARY_ENHANCED, kMachine},
                                       {TESSARY_ENHANCED, kMachineNew},
                                       {TESSARY_BASE, kMachine},
                                       {TESSARY_BASE, kMachineNew}};
    static const Attempt kHigh[] = {
        {TESSARY_ENHANCED, 0}, {TESSARY_ENHANCED, kMachine}, {TESSARY_ENHANCED, kMachineNew}};
    static const Attempt kLow[] = {
        {TESSARY_BASE, 0}, {TESSARY_BASE, kMachine}, {TESSARY_BASE, kMachineNew}};
    const Attempt* begin = kDefault;
    const Attempt* end = kDefault + 5;
    const char* prefix =
        "Error creating key container, access to the key container might be denied: ";
    if (type == 3) {
      begin = kHigh;
      end = kHigh + 3;
      prefix =
          "Error creating key container for high encryption, access to the key container might be "
          "denied: ";
    } else if (type == 4) {
      begin = kLow;
      end = kLow + 3;
      prefix =
          "Error creating key container for normal encryption, access to the key container might "
          "be denied: ";
    }
    for (const Attempt* a = begin; a != end; ++a) {
      if (::CryptAcquireContextA(&provider_, nullptr, a->provider, PROV_RSA_FULL, a->flags))
        return S_OK;
      provider_ = 0;
    }
    return ReportLastWin32Error(reporter_, prefix);
  }

  HRESULT Stream() {
    std::unique_ptr<BYTE[]> buffer(new BYTE[kBuffer]);
    BOOL final = FALSE;
    for (;;) {
      DWORD count = 0;
      if (!ReadChunk(buffer.get(), &count))
        return ReportError(reporter_, "Error reading Plaintext!", 0);
      if (count == 0) final = TRUE;
      if (encrypt_) {
        if (!::CryptEncrypt(key_, 0, final, 0, buffer.get(), &count, kBuffer)) {
          if (::GetLastError() == ERROR_INVALID_PARAMETER) return S_OK;
          return ReportError(reporter_, "Error during CryptEncrypt!", 0);
        }
      } else if (!::CryptDecrypt(key_, 0, final, 0, buffer.get(), &count)) {
        if (::GetLastError() == static_cast<DWORD>(NTE_BAD_LEN)) return S_OK;
        return ReportError(reporter_, "Error during CryptDecrypt!", 0);
      }
      DWORD written = 0;
      if (count > 0 &&
          (!::WriteFile(out_, buffer.get(), count, &written, nullptr) || written != count)) {
        return ReportError(reporter_, "Error writing Ciphertext!\n", 0);
      }
      if (written == 0) return S_OK;
    }
  }

  // Up to one chunk; short only at the end of the file.
  bool ReadChunk(BYTE* buffer, DWORD* got) {
    *got = 0;
    while (*got < kChunk) {
      DWORD n = 0;
      if (!::ReadFile(in_, buffer + *got, kChunk - *got, &n, nullptr)) return false;
      if (n == 0) break;
      *got += n;
    }
    return true;
  }

  const CLSID* reporter_;
  const bool encrypt_;
  HANDLE in_ = INVALID_HANDLE_VALUE;
  HANDLE out_ = INVALID_HANDLE_VALUE;
  HCRYPTPROV provider_ = 0;
  HCRYPTHASH hash_ = 0;
  HCRYPTKEY key_ = 0;
};

}  // namespace

HRESULT ProviderFile(const CLSID* reporter, const std::string& in_path, const std::string& out_path,
                     const std::string& password, long type, bool encrypt) {
  return Session(reporter, encrypt).Run(in_path, out_path, password, type);
}

}  // namespace tessary
