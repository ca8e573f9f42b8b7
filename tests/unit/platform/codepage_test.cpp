// UTF-8 <-> UTF-16 with the Windows contract: sizes with and without the
// terminator, size queries, short buffers, malformed input in both
// directions.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/system.h"

namespace {

std::u16string ToWide(const std::string& bytes, DWORD flags = 0, UINT cp = CP_UTF8) {
  const int n =
      MultiByteToWideChar(cp, flags, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  if (n == 0) return u"<failed>";
  std::u16string out(static_cast<size_t>(n), u'\0');
  EXPECT_EQ(n, MultiByteToWideChar(cp, flags, bytes.data(), static_cast<int>(bytes.size()),
                                   out.data(), n));
  return out;
}

std::string ToNarrow(const std::u16string& wide, DWORD flags = 0) {
  const int n = WideCharToMultiByte(CP_UTF8, flags, wide.data(), static_cast<int>(wide.size()),
                                    nullptr, 0, nullptr, nullptr);
  if (n == 0) return "<failed>";
  std::string out(static_cast<size_t>(n), '\0');
  EXPECT_EQ(n, WideCharToMultiByte(CP_UTF8, flags, wide.data(), static_cast<int>(wide.size()),
                                   out.data(), n, nullptr, nullptr));
  return out;
}

TEST(CodePage, AnsiIsUtf8) {
  EXPECT_EQ(65001u, GetACP());
  EXPECT_EQ(u"h\u00e9", ToWide("h\xc3\xa9", 0, CP_ACP));
}

TEST(CodePage, MinusOneCountsTheTerminator) {
  EXPECT_EQ(4, MultiByteToWideChar(CP_UTF8, 0, "abc", -1, nullptr, 0));
  char16_t out[4] = {1, 1, 1, 1};
  ASSERT_EQ(4, MultiByteToWideChar(CP_UTF8, 0, "abc", -1, out, 4));
  EXPECT_EQ(0, out[3]);
  EXPECT_EQ(4, WideCharToMultiByte(CP_UTF8, 0, u"abc", -1, nullptr, 0, nullptr, nullptr));
  // An explicit length converts no terminator.
  EXPECT_EQ(3, MultiByteToWideChar(CP_UTF8, 0, "abc", 3, nullptr, 0));
}

TEST(CodePage, BufferTooSmall) {
  char16_t small[3];
  SetLastError(0);
  EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, 0, "abc", -1, small, 3));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
  char narrow[2];
  SetLastError(0);
  // The euro sign needs three bytes.
  EXPECT_EQ(0, WideCharToMultiByte(CP_UTF8, 0, u"\u20ac", 1, narrow, 2, nullptr, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
  // A surrogate pair does not fit in one unit.
  char16_t one[1];
  EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, 0, "\xf0\x9f\x98\x80", 4, one, 1));
}

TEST(CodePage, SurrogatePairsBothWays) {
  const std::string smile = "\xf0\x9f\x98\x80";  // U+1F600
  const std::u16string wide = ToWide(smile);
  ASSERT_EQ(2u, wide.size());
  EXPECT_EQ(0xD83D, wide[0]);
  EXPECT_EQ(0xDE00, wide[1]);
  EXPECT_EQ(smile, ToNarrow(wide));
}

TEST(CodePage, InvalidUtf8BecomesReplacementPerMaximalSubpart) {
  EXPECT_EQ(u"a\ufffdb", ToWide("a\xff"
                                "b"));
  EXPECT_EQ(u"\ufffd\ufffd", ToWide("\xc0\x80"));  // overlong NUL: two bad bytes
  EXPECT_EQ(u"\ufffd", ToWide("\xe2\x82"));        // truncated sequence: one
  EXPECT_EQ(u"\ufffdx", ToWide("\xe2\x82x"));
  EXPECT_EQ(u"\ufffd\ufffd\ufffd", ToWide("\xed\xa0\x80"));            // encoded surrogate
  EXPECT_EQ(u"\ufffd\ufffd\ufffd\ufffd", ToWide("\xf4\x90\x80\x80"));  // above U+10FFFF
  EXPECT_EQ(u"\ufffd", ToWide("\x80"));
}

TEST(CodePage, InvalidUtf8FailsWhenAsked) {
  SetLastError(0);
  EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "a\xff", 2, nullptr, 0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION), GetLastError());
  EXPECT_EQ(2, MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "\xc3\xa9", -1, nullptr, 0));
}

TEST(CodePage, UnpairedSurrogatesBecomeReplacement) {
  EXPECT_EQ("\xef\xbf\xbd", ToNarrow(std::u16string(1, char16_t(0xD800))));
  EXPECT_EQ(
      "\xef\xbf\xbd"
      "a",
      ToNarrow(std::u16string({char16_t(0xDC00), u'a'})));
  EXPECT_EQ("\xef\xbf\xbd\xef\xbf\xbd",
            ToNarrow(std::u16string({char16_t(0xDC00), char16_t(0xD800)})));
  SetLastError(0);
  const char16_t lone[] = {0xD800};
  EXPECT_EQ(
      0, WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, lone, 1, nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION), GetLastError());
}

TEST(CodePage, DefaultCharacterIsRefusedForUtf8ButReportedForAnsi) {
  BOOL used = TRUE;
  SetLastError(0);
  EXPECT_EQ(0, WideCharToMultiByte(CP_UTF8, 0, u"a", 1, nullptr, 0, nullptr, &used));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  EXPECT_EQ(0, WideCharToMultiByte(CP_UTF8, 0, u"a", 1, nullptr, 0, "?", nullptr));

  EXPECT_EQ(1, WideCharToMultiByte(CP_ACP, 0, u"a", 1, nullptr, 0, "?", &used));
  EXPECT_FALSE(used);
  const char16_t lone[] = {0xDFFF};
  EXPECT_EQ(3, WideCharToMultiByte(CP_ACP, 0, lone, 1, nullptr, 0, nullptr, &used));
  EXPECT_TRUE(used);
}

TEST(CodePage, BadArguments) {
  char16_t out[4];
  SetLastError(0);
  EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, 0, nullptr, 3, out, 4));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, 0, "a", 0, out, 4));
  EXPECT_EQ(0, MultiByteToWideChar(1252, 0, "a", 1, out, 4));
  SetLastError(0);
  EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, MB_PRECOMPOSED, "a", 1, out, 4));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_FLAGS), GetLastError());
  EXPECT_EQ(1, MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, "a", 1, out, 4));
}

TEST(CodePage, EmbeddedNulsAreConvertedWithExplicitLengths) {
  const std::string bytes("a\0b", 3);
  EXPECT_EQ(std::u16string(u"a\0b", 3), ToWide(bytes));
  EXPECT_EQ(bytes, ToNarrow(std::u16string(u"a\0b", 3)));
}

}  // namespace
