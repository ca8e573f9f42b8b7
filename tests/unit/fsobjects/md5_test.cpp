// MD5 against the test suite published with RFC 1321, and the streaming API
// against itself: any split of the input gives the same digest.
#include "crypto/md5.h"

#include <gtest/gtest.h>

#include <string>

namespace tessary {
namespace {

std::string Digest(const std::string& text) {
  Md5 md5;
  md5.Update(text.data(), text.size());
  uint8_t digest[Md5::kDigestSize];
  md5.Final(digest);
  return Md5::Hex(digest);
}

TEST(Md5Test, PublishedTestSuite) {
  EXPECT_EQ("d41d8cd98f00b204e9800998ecf8427e", Digest(""));
  EXPECT_EQ("0cc175b9c0f1b6a831c399e269772661", Digest("a"));
  EXPECT_EQ("900150983cd24fb0d6963f7d28e17f72", Digest("abc"));
  EXPECT_EQ("f96b697d7cb7938d525a2f31aaf161d0", Digest("message digest"));
  EXPECT_EQ("c3fcd3d76192e4007dfb496cca67e13b", Digest("abcdefghijklmnopqrstuvwxyz"));
  EXPECT_EQ("d174ab98d277d9f5a5611c2c9f419d9f",
            Digest("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"));
  EXPECT_EQ("57edf4a22be3c955ac49da2e2107b67a",
            Digest("1234567890123456789012345678901234567890123456789012345678901234567890123456"
                   "7890"));
}

TEST(Md5Test, AnySplitOfTheInputGivesTheSameDigestAndFinalRestarts) {
  // Lengths around the block and padding edges (55, 56, 63, 64, 65, ...).
  std::string text;
  for (int i = 0; i < 300; ++i) text += static_cast<char>(i * 7 + 1);
  for (size_t length : {55u, 56u, 57u, 63u, 64u, 65u, 119u, 120u, 128u, 300u}) {
    const std::string whole = Digest(text.substr(0, length));
    for (size_t piece : {1u, 3u, 63u, 64u, 65u}) {
      Md5 md5;
      for (size_t at = 0; at < length; at += piece)
        md5.Update(text.data() + at, piece < length - at ? piece : length - at);
      md5.Update(nullptr, 0);
      uint8_t digest[Md5::kDigestSize];
      md5.Final(digest);
      EXPECT_EQ(whole, Md5::Hex(digest)) << length << " in pieces of " << piece;
      // Final leaves the object ready for a new message.
      md5.Update("abc", 3);
      md5.Final(digest);
      EXPECT_EQ("900150983cd24fb0d6963f7d28e17f72", Md5::Hex(digest));
    }
  }
}

}  // namespace
}  // namespace tessary
