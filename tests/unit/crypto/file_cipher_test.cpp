// Whole-file Twofish through the File object and the root's entries.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <vector>

#include "crypto/twofish.h"
#include "fsobjects/file.h"
#include "crypto_test_support.h"
#include "fsobjects/fs_test_support.h"
#include "root/tessary.h"

namespace tessary::testing {
namespace {

// The encryption rule over a whole buffer, straight from its definition.
std::string Reference(const std::string& plain, const uint8_t key[16]) {
  const Twofish tf(key);
  std::string out = plain;
  const size_t n = plain.size() / 16, r = plain.size() % 16;
  if (plain.size() < 16) return out;
  auto* p = reinterpret_cast<uint8_t*>(&out[0]);
  tf.EncryptBlocks(p, p, n);
  if (r == 0) return out;
  uint8_t e[16], x[16];
  std::memcpy(e, p + 16 * (n - 1), 16);
  std::memcpy(x, e, 16);
  for (size_t j = 0; j < r; ++j) x[j] ^= uint8_t(plain[16 * n + j]);
  tf.EncryptBlocks(x, p + 16 * (n - 1), 1);
  std::memcpy(p + 16 * n, e, r);
  return out;
}

class FileCipherTest : public FsTest {
 protected:
  IFile* Get(const std::string& name) {
    IFile* file = nullptr;
    EXPECT_EQ(S_OK, NewFile(B(W(name)).get(), &file)) << name;
    return file;
  }
  HRESULT Run(const std::string& in, const std::string& out, const std::string& password,
              bool encrypt, long type = QNTWOFISH) {
    IFile* file = Get(in);
    if (!file) return E_FAIL;
    const auto kind = static_cast<QNENCTYPE>(type);
    HRESULT hr = encrypt ? file->Encrypt(B(out).get(), B(password).get(), kind)
                         : file->Decrypt(B(out).get(), B(password).get(), kind);
    file->Release();
    return hr;
  }
};

TEST_F(FileCipherTest, EveryLengthRoundTripsAndMatchesTheRule) {
  const uint8_t secret[16] = {3, 14, 12, 2, 14, 4, 3, 14, 12, 2, 14, 4, 3, 14, 12, 2};
  for (size_t n : {0,    1,    15,   16,    17,    1000,  1008,  1023,  1024,  1025,
                   1039, 1040, 2048, 65535, 65536, 65537, 65551, 65552, 65567, 131072 + 5}) {
    SCOPED_TRACE(n);
    Write("plain", Pattern(n));
    ASSERT_EQ(S_OK, Run("plain", W("cipher"), "secret", true));
    const std::string cipher = ReadWholeFile(P("cipher"));
    EXPECT_EQ(Reference(Pattern(n), secret), cipher);
    ASSERT_EQ(S_OK, Run("cipher", W("back"), "secret", false));
    EXPECT_EQ(Pattern(n), ReadWholeFile(P("back")));
    ASSERT_EQ(S_OK, Run("cipher", W("wrong"), "other", false));
    EXPECT_EQ(n, ReadWholeFile(P("wrong")).size());
    if (n >= 16) {
      EXPECT_NE(Pattern(n), ReadWholeFile(P("wrong")));
    }
  }
}

TEST_F(FileCipherTest, ZeroKeyKnownAnswerStealingAndDefaultKey) {
  Write("zero", std::string(32, '\0'));
  ASSERT_EQ(S_OK, Run("zero", W("z.out"), "0000000000000000", true));
  const std::string block = "\x9f\x58\x9f\x5c\xf6\x12\x2c\x32\xb6\xbf\xec\x2f\x2a\xe8\xc3\x5a";
  EXPECT_EQ(block + block, ReadWholeFile(P("z.out")));  // identical blocks, identical output

  // 17 bytes: Enc(E ^ tail) then the first byte of E, E = Enc(block 0).
  Write("17", std::string(16, '\0') + "\x01");
  ASSERT_EQ(S_OK, Run("17", W("17.out"), "0", true));
  const uint8_t zero_key[16] = {0};
  uint8_t x[16];
  std::memcpy(x, block.data(), 16);
  x[0] ^= 1;
  Twofish(zero_key).EncryptBlocks(x, x, 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(x), 16) + block.substr(0, 1),
            ReadWholeFile(P("17.out")));

  // A missing, empty or NUL-led password all use the default key.
  Write("p", Pattern(100));
  ASSERT_EQ(S_OK, Run("p", W("d1"), "", true));
  ASSERT_EQ(S_OK, Run("p", W("d2"), "KWZRMTPQVXNJLHGY", true));
  ASSERT_EQ(S_OK, Run("p", W("d3"), std::string("\0x", 2), true));
  EXPECT_EQ(ReadWholeFile(P("d2")), ReadWholeFile(P("d1")));
  EXPECT_EQ(ReadWholeFile(P("d2")), ReadWholeFile(P("d3")));
  IFile* file = Get("d1");
  ASSERT_EQ(S_OK, file->Decrypt(B(W("d1.back")).get(), nullptr, QNTWOFISH));
  file->Release();
  EXPECT_EQ(Pattern(100), ReadWholeFile(P("d1.back")));
}

TEST_F(FileCipherTest, RefusalsLeaveTheInputIntact) {
  const std::string data = Pattern(1040);
  Write("in", data);
  for (long type : {0L, 5L, -1L, long(int32_t(0x80000000u)), 7L}) {
    EXPECT_EQ(kDispException, Run("in", W("out"), "pw", true, type)) << type;
    EXPECT_EQ("Encryption type is not Supported.", TakeError().description);
  }
  EXPECT_FALSE(Exists("out"));

  // Onto itself under any name: a sharing violation before anything is emptied.
  std::filesystem::create_directory(P("sub"));
  std::filesystem::create_symlink(P("in"), P("link"));
  std::filesystem::create_hard_link(P("in"), P("hard"));
  for (const std::string& out : {W("in"), W("sub\\..\\in"), W("link"), W("hard")}) {
    EXPECT_EQ(static_cast<HRESULT>(0x80070020), Run("in", out, "pw", true)) << out;
    EXPECT_EQ(kDispException, Run("in", out, "pw", false)) << out;
    EXPECT_EQ("Error opening Ciphertext file!", TakeError().description);
  }
  EXPECT_EQ(data, ReadWholeFile(P("in")));

  // A folder that is not there: two different texts.
  EXPECT_EQ(static_cast<HRESULT>(0x80070003), Run("in", W("none\\out"), "pw", true));
  EXPECT_EQ(0u, TakeError().description.find("Error opening Ciphertext file: "));
  EXPECT_EQ(kDispException, Run("in", W("none\\out"), "pw", false));
  EXPECT_EQ("Error opening Ciphertext file!", TakeError().description);

  Write("ro", "old");
  chmod(P("ro").c_str(), 0444);
  EXPECT_EQ(E_ACCESSDENIED, Run("in", W("ro"), "pw", true));
  EXPECT_EQ("old", ReadWholeFile(P("ro")));

  // An output path that does not fit is refused, never cut.
  const std::string longer = W(std::string(300, 'n'));
  EXPECT_EQ(static_cast<HRESULT>(0x800700CE), Run("in", longer, "pw", true));
  EXPECT_EQ(data, ReadWholeFile(P("in")));
}

TEST_F(FileCipherTest, RootEntriesWorkThroughAFile) {
  Tessary* root = nullptr;
  ASSERT_EQ(S_OK, CreateObject(&root));
  Write("in", Pattern(33));
  ASSERT_EQ(S_OK, root->EncryptFile(B(W("in")).get(), B(W("c")).get(), B("k").get(), QNTWOFISH));
  ASSERT_EQ(S_OK, root->DecryptFile(B(W("c")).get(), B(W("p")).get(), B("k").get(), QNTWOFISH));
  EXPECT_EQ(Pattern(33), ReadWholeFile(P("p")));
  EXPECT_NE(Pattern(33), ReadWholeFile(P("c")));
  // A missing input fails as GetFile does and creates no output.
  EXPECT_EQ(static_cast<HRESULT>(0x80070002),
            root->EncryptFile(B(W("missing")).get(), B(W("m.out")).get(), B("k").get(), QNTWOFISH));
  EXPECT_FALSE(Exists("m.out"));
  root->Release();
}

}  // namespace
}  // namespace tessary::testing
