// Strings across the boundary and the path length rule.
#include <gtest/gtest.h>

#include <string>

#include "frame/values.h"

namespace tessary {
namespace {

Bstr Make(const std::u16string& s) {
  return Bstr(SysAllocStringLen(s.data(), static_cast<UINT>(s.size())));
}

TEST(ToAnsiPath, AcceptsUpTo259BytesAndRefusesLongerWithoutTruncating) {
  std::string out = "untouched";
  Bstr ok = Make(u"C:\\" + std::u16string(256, u'a'));  // 259 bytes
  ASSERT_EQ(S_OK, ToAnsiPath(ok.get(), &out));
  EXPECT_EQ(259u, out.size());

  Bstr too_long = Make(u"C:\\" + std::u16string(257, u'a'));
  EXPECT_EQ(kPathTooLong, ToAnsiPath(too_long.get(), &out));
  EXPECT_TRUE(out.empty());

  // The limit is on bytes in the code page, not on characters: 130 "é"
  // are 260 bytes.
  Bstr wide = Make(std::u16string(130, u'\u00e9'));
  EXPECT_EQ(kPathTooLong, ToAnsiPath(wide.get(), &out));
}

TEST(ToAnsiPath, ANullBstrIsTheEmptyPathAndEmbeddedNulsAreRefused) {
  std::string out = "x";
  ASSERT_EQ(S_OK, ToAnsiPath(nullptr, &out));
  EXPECT_EQ("", out);
  Bstr with_nul = Make(std::u16string(u"a.txt\0evil", 10));
  EXPECT_EQ(static_cast<HRESULT>(0x8007007B), ToAnsiPath(with_nul.get(), &out));
}

TEST(Bstr, RoundTripsNonAsciiTextThroughTheCodePage) {
  Bstr s;
  ASSERT_EQ(S_OK, s.FromAnsi("gr\xc3\xbc\xc3\x9f \xf0\x9f\x98\x80"));
  EXPECT_EQ(std::u16string(u"gr\u00fc\u00df \U0001F600"), std::u16string(s.get(), s.Length()));
  std::string back;
  ASSERT_EQ(S_OK, ToAnsi(s.get(), &back));
  EXPECT_EQ("gr\xc3\xbc\xc3\x9f \xf0\x9f\x98\x80", back);
  ASSERT_EQ(S_OK, s.FromAnsi(""));
  EXPECT_EQ(nullptr, s.get());  // the empty string is a null BSTR
}

TEST(Bstr, AsciiTextKeepsItsLengthItsNulsAndItsTerminator) {
  Bstr s;
  ASSERT_EQ(S_OK, s.FromAnsi(std::string("a\0b", 3)));
  EXPECT_EQ(std::u16string(u"a\0b", 3), std::u16string(s.get(), s.Length()));
  EXPECT_EQ(0, s.get()[3]);
  ASSERT_EQ(S_OK, s.FromAnsi("C:\\x.txt"));
  EXPECT_EQ(std::u16string(u"C:\\x.txt"), std::u16string(s.get()));
  std::string back = "longer than the text";
  ASSERT_EQ(S_OK, ToAnsi(s.get(), &back));
  EXPECT_EQ("C:\\x.txt", back);
}

TEST(ReturnAnsi, RefusesANullOutPointer) {
  EXPECT_EQ(E_POINTER, ReturnAnsi("x", nullptr));
  BSTR out = nullptr;
  ASSERT_EQ(S_OK, ReturnAnsi("x", &out));
  EXPECT_EQ(std::u16string(u"x"), std::u16string(out));
  SysFreeString(out);
}

TEST(VariantBool, ArgumentsAreTrueWhenTheLow16BitsAreSet) {
  EXPECT_TRUE(FromVariantBool(VARIANT_TRUE));
  EXPECT_TRUE(FromVariantBool(1));
  EXPECT_FALSE(FromVariantBool(0));
  EXPECT_EQ(-1, ToVariantBool(true));
  EXPECT_EQ(0, ToVariantBool(false));
}

}  // namespace
}  // namespace tessary
