// Provider RC4: the call sequence against the recorded vectors, the
// provider layer's codes, and the password code page setting.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <vector>

#include "crypto/md5.h"
#include "fsobjects/file.h"
#include "crypto_test_support.h"
#include "fsobjects/fs_test_support.h"
#include "platform/crypt.h"

namespace tessary::testing {
namespace {

std::string HexOf(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

std::string Md5Of(const std::string& bytes) {
  Md5 md5;
  md5.Update(bytes.data(), bytes.size());
  uint8_t digest[Md5::kDigestSize];
  md5.Final(digest);
  return Md5::Hex(digest);
}

const char kCodePage1252[] =
    "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quennel\\QN-Tessary\\Encryption]\r\n"
    "\"PasswordCodePage\"=dword:000004e4\r\n";

class ProviderTest : public FsTest {
 protected:
  HRESULT Run(const std::string& in, const std::string& out, const std::u16string& password,
              long type, bool encrypt = true) {
    IFile* file = nullptr;
    HRESULT hr = NewFile(B(W(in)).get(), &file);
    if (FAILED(hr)) return hr;
    BSTR pw = SysAllocStringLen(password.data(), static_cast<UINT>(password.size()));
    hr = encrypt ? file->Encrypt(B(W(out)).get(), pw, static_cast<QNENCTYPE>(type))
                 : file->Decrypt(B(W(out)).get(), pw, static_cast<QNENCTYPE>(type));
    SysFreeString(pw);
    file->Release();
    return hr;
  }
};

TEST_F(ProviderTest, EveryTypeMatchesTheRecordedProviderOutput) {
  store_.Write(kCodePage1252);
  std::ifstream in(TESSARY_SOURCE_DIR "/tests/unit/crypto/vectors/rc4_provider.tsv");
  ASSERT_TRUE(in);
  std::string line;
  std::getline(in, line);
  int rows = 0;
  while (std::getline(in, line)) {
    std::vector<std::string> f;
    std::stringstream fields(line);
    for (std::string field; std::getline(fields, field, '\t');) f.push_back(field);
    ASSERT_EQ(6u, f.size()) << line;
    const long type = f[0] == "base" ? QNRSALOW : f[0] == "enhanced" ? QNRSAHIGH : QNRSA;
    std::u16string password;
    if (f[1] == "caf\xc3\xa9") {
      password = u"caf\u00e9";
    } else if (f[1] != "<empty>") {
      password.assign(f[1].begin(), f[1].end());
    }
    const size_t n = std::stoul(f[3]);
    Write("plain", Pattern(n));
    ASSERT_EQ(S_OK, Run("plain", "cipher", password, type)) << line;
    const std::string cipher = ReadWholeFile(P("cipher"));
    ASSERT_EQ(n, cipher.size()) << line;
    const std::string expected = f[5] == "-" ? "" : f[5];
    EXPECT_EQ(expected, f[4] == "hex" ? HexOf(cipher) : Md5Of(cipher)) << line;
    ASSERT_EQ(S_OK, Run("cipher", "back", password, type, false)) << line;
    EXPECT_EQ(Pattern(n), ReadWholeFile(P("back"))) << line;
    ++rows;
  }
  EXPECT_EQ(72, rows);
}

TEST_F(ProviderTest, PasswordsAreUtf8UnlessTheStoreNamesCodePage1252) {
  Write("plain", Pattern(64));
  ASSERT_EQ(S_OK, Run("plain", "utf8", u"caf\u00e9", QNRSA));
  store_.Write(kCodePage1252);
  ASSERT_EQ(S_OK, Run("plain", "cp1252", u"caf\u00e9", QNRSA));
  EXPECT_NE(ReadWholeFile(P("utf8")), ReadWholeFile(P("cp1252")));
  // A character the page cannot hold becomes '?', as on Windows.
  ASSERT_EQ(S_OK, Run("plain", "snow", u"a\u2603", QNRSA));
  ASSERT_EQ(S_OK, Run("plain", "mark", u"a?", QNRSA));
  EXPECT_EQ(ReadWholeFile(P("mark")), ReadWholeFile(P("snow")));
  ASSERT_EQ(S_OK, Run("plain", "euro", u"\u20ac", QNRSA));
  ASSERT_EQ(S_OK, Run("plain", "mark1", u"?", QNRSA));
  EXPECT_NE(ReadWholeFile(P("mark1")), ReadWholeFile(P("euro")));
}

TEST_F(ProviderTest, FailuresKeepTheInputAndUseTheirTexts) {
  const std::string data = Pattern(1001);
  Write("in", data);
  EXPECT_EQ(static_cast<HRESULT>(0x80070020), Run("in", "in", u"pw", QNRSA));
  EXPECT_EQ(kDispException, Run("in", "in", u"pw", QNRSALOW, false));
  EXPECT_EQ("Error opening Ciphertext file!", TakeError().description);
  EXPECT_EQ(static_cast<HRESULT>(0x80070003), Run("in", "none\\out", u"pw", QNRSAHIGH));
  EXPECT_EQ(0u, TakeError().description.find("Error opening Ciphertext file: "));
  EXPECT_EQ(data, ReadWholeFile(P("in")));
  // A huge password is hashed whole; decryption with it gives the data back.
  const std::u16string huge(5000, u'x');
  ASSERT_EQ(S_OK, Run("in", "c", huge, QNRSA));
  ASSERT_EQ(S_OK, Run("c", "p", huge, QNRSA, false));
  EXPECT_EQ(data, ReadWholeFile(P("p")));
}

TEST(ProviderLayer, AcquisitionCodesAndKeyLifecycle) {
  HCRYPTPROV prov = 0;
  EXPECT_FALSE(CryptAcquireContextA(&prov, nullptr, "No Such Provider", PROV_RSA_FULL, 0));
  EXPECT_EQ(static_cast<DWORD>(NTE_KEYSET_NOT_DEF), GetLastError());
  EXPECT_FALSE(CryptAcquireContextA(&prov, nullptr, nullptr, 24, 0));
  EXPECT_EQ(static_cast<DWORD>(NTE_PROV_TYPE_NOT_DEF), GetLastError());
  EXPECT_FALSE(CryptAcquireContextA(&prov, nullptr, MS_DEF_PROV_A, PROV_RSA_FULL,
                                    CRYPT_MACHINE_KEYSET | CRYPT_NEWKEYSET));
  EXPECT_EQ(static_cast<DWORD>(NTE_EXISTS), GetLastError());
  EXPECT_FALSE(CryptAcquireContextA(&prov, "other", MS_DEF_PROV_A, PROV_RSA_FULL, 0));
  EXPECT_EQ(static_cast<DWORD>(NTE_BAD_KEYSET), GetLastError());
  ASSERT_TRUE(
      CryptAcquireContextA(&prov, nullptr, MS_DEF_PROV_A, PROV_RSA_FULL, CRYPT_MACHINE_KEYSET));
  HCRYPTHASH hash = 0;
  EXPECT_FALSE(CryptCreateHash(prov, CALG_RC4, 0, 0, &hash));
  EXPECT_EQ(static_cast<DWORD>(NTE_BAD_ALGID), GetLastError());
  ASSERT_TRUE(CryptCreateHash(prov, CALG_MD5, 0, 0, &hash));
  ASSERT_TRUE(CryptHashData(hash, reinterpret_cast<const BYTE*>("secret"), 6, 0));
  HCRYPTKEY key = 0;
  ASSERT_TRUE(CryptDeriveKey(prov, CALG_RC4, hash, 0, &key));
  EXPECT_FALSE(CryptHashData(hash, reinterpret_cast<const BYTE*>("x"), 1, 0));  // fixed by the key
  BYTE data[4] = {1, 2, 3, 4};
  DWORD size = 4;
  EXPECT_FALSE(CryptEncrypt(key, 0, FALSE, 0, data, &size, 3));
  EXPECT_EQ(static_cast<DWORD>(ERROR_MORE_DATA), GetLastError());
  ASSERT_TRUE(CryptEncrypt(key, 0, TRUE, 0, data, &size, 4));
  ASSERT_TRUE(CryptDecrypt(key, 0, TRUE, 0, data, &size));  // the key starts over after final
  EXPECT_EQ(1, data[0]);
  EXPECT_EQ(4, data[3]);
  EXPECT_TRUE(CryptDestroyKey(key));
  EXPECT_FALSE(CryptDestroyKey(key));
  EXPECT_EQ(static_cast<DWORD>(NTE_BAD_KEY), GetLastError());
  EXPECT_TRUE(CryptDestroyHash(hash));
  EXPECT_TRUE(CryptReleaseContext(prov, 0));
  EXPECT_FALSE(CryptReleaseContext(prov, 0));
}

// The provider codes read as the system's English texts, so a failed
// acquisition reports what went wrong and not only its prefix.
TEST(ProviderLayer, CodesHaveTheSystemsTexts) {
  const std::pair<HRESULT, const char*> expected[] = {
      {NTE_BAD_KEYSET, "Keyset does not exist\r\n"},
      {NTE_KEYSET_NOT_DEF, "The keyset is not defined.\r\n"},
      {NTE_BAD_LEN, "Bad Length.\r\n"},
      {NTE_EXISTS, "Object already exists.\r\n"},
      {NTE_PROV_TYPE_NOT_DEF, "Provider type not defined.\r\n"},
      {NTE_BAD_KEYSET_PARAM, "The Keyset parameter is invalid.\r\n"}};
  for (const auto& [code, text] : expected) {
    char buffer[128] = {0};
    EXPECT_NE(0u,
              FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             static_cast<DWORD>(code), 0, buffer, sizeof buffer, nullptr))
        << std::hex << code;
    EXPECT_STREQ(text, buffer) << std::hex << code;
  }
}

// The keystream goes on where the previous call stopped, whatever the cut:
// pieces around the eight-byte steps give the bytes of one whole call.
TEST(ProviderLayer, KeystreamContinuesAcrossCalls) {
  auto encrypt_in_pieces = [](std::string data, const std::vector<DWORD>& pieces) {
    HCRYPTPROV prov = 0;
    HCRYPTHASH hash = 0;
    HCRYPTKEY key = 0;
    EXPECT_TRUE(CryptAcquireContextA(&prov, nullptr, nullptr, PROV_RSA_FULL, 0));
    EXPECT_TRUE(CryptCreateHash(prov, CALG_MD5, 0, 0, &hash));
    EXPECT_TRUE(CryptHashData(hash, reinterpret_cast<const BYTE*>("secret"), 6, 0));
    EXPECT_TRUE(CryptDeriveKey(prov, CALG_RC4, hash, 0, &key));
    size_t at = 0;
    for (size_t n = 0; at < data.size(); ++n) {
      DWORD size = std::min<DWORD>(pieces[n % pieces.size()], DWORD(data.size() - at));
      EXPECT_TRUE(CryptEncrypt(key, 0, FALSE, 0, reinterpret_cast<BYTE*>(&data[at]), &size, size));
      at += size;
    }
    CryptDestroyKey(key);
    CryptDestroyHash(hash);
    CryptReleaseContext(prov, 0);
    return data;
  };
  const std::string plain = Pattern(2500);
  const std::string whole = encrypt_in_pieces(plain, {2500});
  EXPECT_NE(plain, whole);
  EXPECT_EQ(whole, encrypt_in_pieces(plain, {1, 7, 8, 9, 15, 16, 17, 3}));
  EXPECT_EQ(whole, encrypt_in_pieces(plain, {13}));
}

}  // namespace
}  // namespace tessary::testing
