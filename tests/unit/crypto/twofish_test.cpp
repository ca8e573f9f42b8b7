// The Twofish cipher's known answers and the password-to-key rule.
#include "crypto/twofish.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "crypto/file_cipher.h"

namespace tessary {
namespace {

std::vector<uint8_t> Hex(const std::string& text) {
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i + 1 < text.size(); i += 2)
    bytes.push_back(uint8_t(std::stoi(text.substr(i, 2), nullptr, 16)));
  return bytes;
}

TEST(Twofish, KnownAnswersBothWays) {
  std::ifstream in(TESSARY_SOURCE_DIR "/tests/unit/crypto/vectors/twofish_blocks.tsv");
  ASSERT_TRUE(in);
  std::string line;
  std::getline(in, line);  // header
  int rows = 0;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string key, plain, cipher;
    fields >> key >> plain >> cipher;
    const Twofish tf(Hex(key).data());
    uint8_t out[16], back[16];
    tf.EncryptBlocks(Hex(plain).data(), out, 1);
    EXPECT_EQ(Hex(cipher), std::vector<uint8_t>(out, out + 16)) << line;
    tf.DecryptBlocks(out, back, 1);
    EXPECT_EQ(Hex(plain), std::vector<uint8_t>(back, back + 16)) << line;
    ++rows;
  }
  EXPECT_EQ(11, rows);
}

// Runs of blocks go through the rounds several at a time: every run length
// around the lane count, in place or not, gives the block-by-block bytes.
TEST(Twofish, RunsOfBlocksMatchOneBlockAtATime) {
  const std::vector<uint8_t> key = Hex("0123456789abcdeffedcba9876543210");
  const Twofish tf(key.data());
  constexpr size_t kMax = 8;
  std::vector<uint8_t> plain(kMax * 16), single(kMax * 16);
  for (size_t i = 0; i < plain.size(); ++i) plain[i] = uint8_t(i * 37 + 11);
  for (size_t b = 0; b < kMax; ++b) tf.EncryptBlocks(&plain[b * 16], &single[b * 16], 1);
  for (size_t count = 1; count <= kMax; ++count) {
    std::vector<uint8_t> out(count * 16), in_place(plain.begin(), plain.begin() + count * 16);
    tf.EncryptBlocks(plain.data(), out.data(), count);
    EXPECT_EQ(std::vector<uint8_t>(single.begin(), single.begin() + count * 16), out) << count;
    tf.EncryptBlocks(in_place.data(), in_place.data(), count);
    EXPECT_EQ(out, in_place) << count;
    tf.DecryptBlocks(in_place.data(), in_place.data(), count);
    EXPECT_EQ(std::vector<uint8_t>(plain.begin(), plain.begin() + count * 16), in_place) << count;
  }
}

std::vector<uint8_t> KeyOf(const std::u16string& source) {
  uint8_t key[16] = {0};
  std::vector<OLECHAR> units(source.begin(), source.end());
  units.push_back(0);
  if (!TwofishKeyFromSource(units.data(), key)) return {};
  return std::vector<uint8_t>(key, key + 16);
}

TEST(Twofish, KeyRuleMapsUnitsToDigitsAndRepeatsThem) {
  EXPECT_EQ(Hex("030e0c020e04030e0c020e04030e0c02"), KeyOf(u"secret"));
  EXPECT_EQ(Hex("0b070a020d04000106080e0a0c080709"), KeyOf(u"KWZRMTPQVXNJLHGY"));
  uint8_t fallback[16];
  ASSERT_TRUE(TwofishKeyFromSource(kTwofishDefaultKey, fallback));
  EXPECT_EQ(KeyOf(u"KWZRMTPQVXNJLHGY"), std::vector<uint8_t>(fallback, fallback + 16));
  EXPECT_EQ(std::vector<uint8_t>(16, 0), KeyOf(u"0000000000000000"));
  EXPECT_EQ(KeyOf(u"123456"), KeyOf(u"ABCDEF"));  // upper case is not hexadecimal here
  EXPECT_EQ(Hex("0a0b0c0d0e0f0a0b0c0d0e0f0a0b0c0d"), KeyOf(u"abcdef"));
  EXPECT_EQ(std::vector<uint8_t>(16, 7), KeyOf(u"7"));
  EXPECT_EQ(KeyOf(u"0123456789abcdefXYZ"), KeyOf(u"0123456789abcdef-other"));
  EXPECT_NE(KeyOf(u"0123456789abcde1"), KeyOf(u"0123456789abcde2"));
  EXPECT_EQ(std::vector<uint8_t>(16, 9), KeyOf(u"\u00e9"));  // a unit outside ASCII: its low bits
  // No digit at all: the caller falls back to the default key, never divides by zero.
  EXPECT_TRUE(KeyOf(u"").empty());
  EXPECT_TRUE(KeyOf(std::u16string(1, u'\0') + u"abc").empty());
}

}  // namespace
}  // namespace tessary
