// Whole-file encryption against other libraries' ciphers over the same
// bytes, in the same run (512 MiB, read from the page cache):
//
//   Crypto_Twofish_512MiB          File.Encrypt Type 2: our Twofish, ECB
//     vs Crypto_GcryptTwofish_512MiB   libgcrypt's Twofish-128 in ECB (its
//                                      multi-block code) in a read/encrypt/
//                                      write loop of the same 64 KiB pieces
//     vs Crypto_BotanTwofish_512MiB    Botan's Twofish, ECB, the same loop
//   Crypto_ProviderRC4_512MiB      File.Encrypt Type 1: provider RC4
//     vs Crypto_OpensslRC4_512MiB      OpenSSL's RC4 keyed with the same
//                                      derived key, the same loop
//
// The libraries are baselines only and are compiled in when found; the
// product never links them. The files are made once in /dev/shm (else
// $TMPDIR or /tmp) and removed at exit.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <string>

#include "crypto/file_cipher.h"
#include "crypto/md5.h"

#ifdef TESSARY_BENCH_GCRYPT
#include <gcrypt.h>
#endif
#ifdef TESSARY_BENCH_BOTAN
#include <botan/block_cipher.h>
#endif
#ifdef TESSARY_BENCH_LIBCRYPTO
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/rc4.h>
#endif

namespace {

constexpr size_t kFileBytes = 512u << 20;
constexpr size_t kPiece = 64 * 1024;
constexpr uint8_t kKey[16] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef,
                              0xfe, 0xdc, 0xba, 0x98, 0x76, 0x54, 0x32, 0x10};
const char kPassword[] = "bench password";

class Files {
 public:
  Files() {
    // In memory where there is a tmpfs: a gigabyte written per pass would
    // otherwise time the disk's write-back instead of the ciphers.
    const char* tmp = std::getenv("TMPDIR");
    std::string base = tmp && *tmp ? tmp : "/tmp";
    if (std::filesystem::is_directory("/dev/shm")) base = "/dev/shm";
    std::string pattern = base + "/tessary-crypto-bench-XXXXXX";
    if (mkdtemp(&pattern[0])) folder_ = pattern;
  }
  ~Files() {
    std::error_code ec;
    if (!folder_.empty()) std::filesystem::remove_all(folder_, ec);
  }
  const std::string& Input() {
    if (input_.empty()) {
      input_ = folder_ + "/plain.bin";
      std::ofstream out(input_, std::ios::binary);
      std::string block(1 << 20, '\0');
      std::mt19937 random(5);
      for (char& c : block) c = static_cast<char>(random());
      for (size_t i = 0; i < kFileBytes / block.size(); ++i) out << block;
    }
    return input_;
  }
  std::string Output() const { return folder_ + "/cipher.bin"; }

 private:
  std::string folder_;
  std::string input_;
};

Files& TheFiles() {
  static Files files;
  return files;
}

// What a script would name: the host path on drive C:.
std::string WindowsName(const std::string& host) { return "C:" + host; }

void Finish(benchmark::State& state) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileBytes));
}

void Crypto_Twofish_512MiB(benchmark::State& state) {
  const std::string in = WindowsName(TheFiles().Input());
  const std::string out = WindowsName(TheFiles().Output());
  for (auto _ : state) {
    if (FAILED(tessary::TwofishFile(nullptr, in, out, kKey, true))) {
      state.SkipWithError("encryption failed");
      return;
    }
  }
  Finish(state);
}
BENCHMARK(Crypto_Twofish_512MiB)->Unit(benchmark::kNanosecond);

void Crypto_ProviderRC4_512MiB(benchmark::State& state) {
  const std::string in = WindowsName(TheFiles().Input());
  const std::string out = WindowsName(TheFiles().Output());
  for (auto _ : state) {
    if (FAILED(tessary::ProviderFile(nullptr, in, out, kPassword, 1, true))) {
      state.SkipWithError("encryption failed");
      return;
    }
  }
  Finish(state);
}
BENCHMARK(Crypto_ProviderRC4_512MiB)->Unit(benchmark::kNanosecond);

// The baselines' whole-file loop: read a piece, transform it in place,
// write it, as our transforms do.
bool TransformFile(const std::function<void(uint8_t*, size_t)>& transform) {
  const int in = ::open(TheFiles().Input().c_str(), O_RDONLY);
  const int out = ::open(TheFiles().Output().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  bool ok = in >= 0 && out >= 0;
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[kPiece]);
  while (ok) {
    const ssize_t got = ::read(in, buffer.get(), kPiece);
    if (got <= 0) {
      ok = got == 0;
      break;
    }
    transform(buffer.get(), static_cast<size_t>(got));
    ok = ::write(out, buffer.get(), static_cast<size_t>(got)) == got;
  }
  if (in >= 0) ::close(in);
  if (out >= 0) ::close(out);
  return ok;
}

#ifdef TESSARY_BENCH_GCRYPT
void Crypto_GcryptTwofish_512MiB(benchmark::State& state) {
  (void)TheFiles().Input();
  gcry_check_version(nullptr);
  gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
  gcry_cipher_hd_t cipher = nullptr;
  if (gcry_cipher_open(&cipher, GCRY_CIPHER_TWOFISH128, GCRY_CIPHER_MODE_ECB, 0) != 0 ||
      gcry_cipher_setkey(cipher, kKey, sizeof kKey) != 0) {
    state.SkipWithError("libgcrypt has no Twofish");
    return;
  }
  for (auto _ : state) {
    if (!TransformFile([&](uint8_t* data, size_t size) {
          gcry_cipher_encrypt(cipher, data, size, nullptr, 0);
        })) {
      state.SkipWithError("file loop failed");
      break;
    }
  }
  gcry_cipher_close(cipher);
  Finish(state);
}
BENCHMARK(Crypto_GcryptTwofish_512MiB)->Unit(benchmark::kNanosecond);
#endif

#ifdef TESSARY_BENCH_BOTAN
void Crypto_BotanTwofish_512MiB(benchmark::State& state) {
  (void)TheFiles().Input();
  auto cipher = Botan::BlockCipher::create("Twofish");
  if (!cipher) {
    state.SkipWithError("Botan has no Twofish");
    return;
  }
  cipher->set_key(kKey, sizeof kKey);
  for (auto _ : state) {
    if (!TransformFile([&](uint8_t* data, size_t size) {
          cipher->encrypt_n(data, data, size / cipher->block_size());
        })) {
      state.SkipWithError("file loop failed");
      break;
    }
  }
  Finish(state);
}
BENCHMARK(Crypto_BotanTwofish_512MiB)->Unit(benchmark::kNanosecond);
#endif

#ifdef TESSARY_BENCH_LIBCRYPTO
void Crypto_OpensslRC4_512MiB(benchmark::State& state) {
  (void)TheFiles().Input();
  // The key the default provider derives: the whole MD5 of the password.
  uint8_t digest[tessary::Md5::kDigestSize];
  tessary::Md5 md5;
  md5.Update(reinterpret_cast<const uint8_t*>(kPassword), std::strlen(kPassword));
  md5.Final(digest);
  for (auto _ : state) {
    RC4_KEY key;
    RC4_set_key(&key, sizeof digest, digest);
    if (!TransformFile([&](uint8_t* data, size_t size) { RC4(&key, size, data, data); })) {
      state.SkipWithError("file loop failed");
      break;
    }
  }
  Finish(state);
}
BENCHMARK(Crypto_OpensslRC4_512MiB)->Unit(benchmark::kNanosecond);
#endif

}  // namespace
