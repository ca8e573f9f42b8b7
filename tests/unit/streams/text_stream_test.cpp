// TextStream against real files: lines, counters, the look-ahead, both
// encodings, and a model of the 128-character request scheme that every
// result must match however the file is read underneath.
#include "streams/text_stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "bstr_support.h"
#include "frame/module.h"
#include "frame/values.h"
#include "streams/streams.h"
#include "test_support.h"

namespace {

using tessary::Bstr;

constexpr HRESULT kAccessDenied = static_cast<HRESULT>(0x80070005);
constexpr HRESULT kInvalidHandle = static_cast<HRESULT>(0x80070006);

using tessary::testing::B;
using tessary::testing::ErrorRecord;
using tessary::testing::TakeError;

Bstr U(const std::u16string& text) {
  return Bstr(SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text.data()),
                                static_cast<UINT>(text.size())));
}

std::u16string Wide(BSTR s) {
  return std::u16string(reinterpret_cast<const char16_t*>(s), SysStringLen(s));
}

std::string Narrow(const std::u16string& s) {
  std::string out;
  for (char16_t c : s) out.push_back(static_cast<char>(c));
  return out;
}

std::string Utf16Bytes(const std::u16string& s) {
  std::string out;
  for (char16_t c : s) {
    out.push_back(static_cast<char>(c & 0xFF));
    out.push_back(static_cast<char>(c >> 8));
  }
  return out;
}

class TextStreamTest : public ::testing::Test {
 public:
  // One store for the suite, with the classes registered, so error records
  // carry their sources.
  static void SetUpTestSuite() {
    store_ = new tessary::testing::ScopedStore;
    ASSERT_EQ(S_OK, tessary::RegisterServer());
  }
  static void TearDownTestSuite() {
    delete store_;
    store_ = nullptr;
  }

  std::string W(const std::string& name) const {
    return tessary::testing::WindowsPath(dir_ / name);
  }
  std::string P(const std::string& name) const { return dir_ / name; }
  void Put(const std::string& name, const std::string& content) {
    tessary::testing::WriteWholeFile(P(name), content);
  }
  std::string Get(const std::string& name) { return tessary::testing::ReadWholeFile(P(name)); }
  bool Exists(const std::string& name) { return std::filesystem::exists(P(name)); }

  ITextStream* Open(const std::string& name, LONG mode = ForReading, LONG format = TristateFalse,
                    bool create = false) {
    ITextStream* s = nullptr;
    EXPECT_EQ(S_OK, tessary::NewTextStreamOpen(B(W(name)).get(), mode,
                                               tessary::ToVariantBool(create), format, &s));
    return s;
  }
  ITextStream* Create(const std::string& name, bool unicode = false) {
    ITextStream* s = nullptr;
    EXPECT_EQ(S_OK, tessary::NewTextStreamCreate(B(W(name)).get(), VARIANT_TRUE,
                                                 tessary::ToVariantBool(unicode), &s));
    return s;
  }

  static std::u16string ReadLineW(ITextStream* s) {
    BSTR line = nullptr;
    EXPECT_EQ(S_OK, s->ReadLine(&line));
    std::u16string out = Wide(line);
    SysFreeString(line);
    return out;
  }
  static std::string ReadLine(ITextStream* s) { return Narrow(ReadLineW(s)); }
  static std::u16string ReadW(ITextStream* s, LONG n) {
    BSTR text = nullptr;
    EXPECT_EQ(S_OK, s->Read(n, &text));
    std::u16string out = Wide(text);
    SysFreeString(text);
    return out;
  }
  static std::string Read(ITextStream* s, LONG n) { return Narrow(ReadW(s, n)); }
  static std::u16string ReadAllW(ITextStream* s) {
    BSTR text = nullptr;
    EXPECT_EQ(S_OK, s->ReadAll(&text));
    std::u16string out = Wide(text);
    SysFreeString(text);
    return out;
  }
  static bool AtEnd(ITextStream* s) {
    VARIANT_BOOL end = 1;
    EXPECT_EQ(S_OK, s->get_AtEndOfStream(&end));
    return end == VARIANT_TRUE;
  }

  static bool AtEndOfLine(ITextStream* s) {
    VARIANT_BOOL end = 1;
    EXPECT_EQ(S_OK, s->get_AtEndOfLine(&end));
    EXPECT_TRUE(end == VARIANT_TRUE || end == VARIANT_FALSE);
    return end == VARIANT_TRUE;
  }
  static LONG Line(ITextStream* s) {
    LONG n = 0;
    EXPECT_EQ(S_OK, s->get_Line(&n));
    return n;
  }
  static LONG Column(ITextStream* s) {
    LONG n = 0;
    EXPECT_EQ(S_OK, s->get_Column(&n));
    return n;
  }

 protected:
  static tessary::testing::ScopedStore* store_;
  tessary::testing::TempDir dir_;
};

tessary::testing::ScopedStore* TextStreamTest::store_ = nullptr;

// --- Lines -----------------------------------------------------------------

TEST_F(TextStreamTest, AFinalLineBreakLeavesOneEmptyLineToRead) {
  Put("f", "abc\r\n");
  ITextStream* s = Open("f");
  EXPECT_EQ("abc", ReadLine(s));
  EXPECT_FALSE(AtEnd(s));
  EXPECT_EQ("", ReadLine(s));
  EXPECT_TRUE(AtEnd(s));
  EXPECT_EQ(3, Line(s));  // an empty read at the end still counts a line
  EXPECT_EQ(1, Column(s));
  s->Release();
}

// The end is known when a request comes back empty: reading the second
// line asks for 128 characters, of which the file holds 5, and the read
// past them finds the end.
TEST_F(TextStreamTest, TheEndIsFoundByTheRequestThatReachesIt) {
  Put("f", "one\r\ntwo\r\n");
  ITextStream* s = Open("f");
  EXPECT_EQ("one", ReadLine(s));
  EXPECT_FALSE(AtEnd(s));
  EXPECT_EQ("two", ReadLine(s));
  EXPECT_TRUE(AtEnd(s));
  s->Release();

  Put("g", "last line without break");
  s = Open("g");
  EXPECT_EQ("last line without break", ReadLine(s));
  EXPECT_TRUE(AtEnd(s));
  s->Release();
}

TEST_F(TextStreamTest, LoneLineFeedsAndCarriageReturnsAreText) {
  Put("f", "a\nb\rc\n\r\nd");
  ITextStream* s = Open("f");
  EXPECT_EQ("a\nb\rc\n", ReadLine(s));
  EXPECT_EQ("d", ReadLine(s));
  EXPECT_TRUE(AtEnd(s));
  s->Release();
}

TEST_F(TextStreamTest, ALineBreakAcrossTheRequestBoundaryStillEndsTheLine) {
  // The pair at every position around the 128th character, and lines
  // several requests long.
  for (size_t length : {125u, 126u, 127u, 128u, 129u, 255u, 256u, 257u, 1000u}) {
    const std::string first(length, 'x');
    Put("f", first + "\r\nsecond\r\n");
    ITextStream* s = Open("f");
    EXPECT_EQ(first, ReadLine(s)) << length;
    EXPECT_EQ("second", ReadLine(s)) << length;
    EXPECT_EQ(3, Line(s));
    s->Release();
  }
}

// Text is scanned in blocks; a break, a NUL or a character beyond ASCII
// at any place in or across a block is found where it is.
TEST_F(TextStreamTest, EveryPositionWithinARequestIsSeen) {
  for (size_t at = 0; at < 132; ++at) {
    const std::string before(at, 'a');
    Put("crlf", before + "\r\n" + std::string(70, 'b') + "\r\n");
    ITextStream* s = Open("crlf");
    EXPECT_EQ(before, ReadLine(s)) << at;
    EXPECT_EQ(std::string(70, 'b'), ReadLine(s)) << at;
    s->Release();

    Put("nul", before + std::string(1, '\0') + std::string(200, 'b'));
    s = Open("nul");
    EXPECT_EQ(at < 128 ? before : before.substr(0, 128), Read(s, 128)) << at;
    s->Release();

    Put("wide", before + "\xc3\xa9" + std::string(100, 'c'));
    s = Open("wide");
    EXPECT_EQ(std::u16string(at, u'a') + u"\u00e9" + std::u16string(100, u'c'), ReadLineW(s)) << at;
    s->Release();
  }
}

// A CR that no LF follows does not end the search: the break after it, in
// the same block or a later one, still ends the line.
TEST_F(TextStreamTest, LoneCarriageReturnsBeforeTheBreakAreText) {
  for (size_t at = 0; at < 40; ++at) {
    for (size_t gap : {0u, 1u, 7u, 20u}) {
      const std::string line = std::string(at, 'a') + "\r\r" + std::string(gap, 'b') + "\r";
      Put("f", line + "\r\nnext");
      ITextStream* s = Open("f");
      EXPECT_EQ(line, ReadLine(s)) << at << " " << gap;
      EXPECT_EQ("next", ReadLine(s)) << at << " " << gap;
      s->Release();
    }
  }
}

TEST_F(TextStreamTest, SkipLineCountsLikeReadLineAndReadAllCountsNothing) {
  Put("f", "1\r\n2\r\n3\r\n4");
  ITextStream* s = Open("f");
  ASSERT_EQ(S_OK, s->SkipLine());
  EXPECT_EQ(2, Line(s));
  EXPECT_EQ("2", ReadLine(s));
  EXPECT_EQ("3\r\n4", Narrow(ReadAllW(s)));
  EXPECT_EQ(3, Line(s));
  EXPECT_EQ(1, Column(s));
  EXPECT_TRUE(AtEnd(s));
  s->Release();
}

// --- Read and the counters -------------------------------------------------

TEST_F(TextStreamTest, ReadCountsALineBreakSplitBetweenTwoReads) {
  Put("f", "xy\r\nzw");
  ITextStream* s = Open("f");
  EXPECT_EQ("xy\r", Read(s, 3));
  EXPECT_EQ(1, Line(s));
  EXPECT_EQ(4, Column(s));
  EXPECT_EQ("\nzw", Read(s, 3));
  EXPECT_EQ(2, Line(s));
  EXPECT_EQ(4, Column(s));  // the LF itself is counted after the reset
  s->Release();

  Put("g", "ab\r\ncd\r\nefg");
  s = Open("g");
  EXPECT_EQ("ab\r\ncd\r\nef", Read(s, 10));
  EXPECT_EQ(3, Line(s));
  EXPECT_EQ(3, Column(s));
  EXPECT_EQ("g", Read(s, 10));
  EXPECT_EQ(4, Column(s));
  s->Release();
}

TEST_F(TextStreamTest, ReadZeroLeavesTheEndAsItWas) {
  Put("f", "abc");
  ITextStream* s = Open("f");
  // A loop that reads until the end reads everything, whatever it asks for.
  std::string got;
  for (LONG n = 0; !AtEnd(s); n = (n + 1) % 3) got += Read(s, n);
  EXPECT_EQ("abc", got);
  s->Release();

  s = Open("f");
  EXPECT_FALSE(AtEndOfLine(s));  // "ab" pending
  EXPECT_EQ("", Read(s, 0));
  EXPECT_FALSE(AtEnd(s));
  EXPECT_EQ("abc", Read(s, 3));
  EXPECT_EQ("", Read(s, 0));
  EXPECT_FALSE(AtEnd(s));
  EXPECT_EQ("", Read(s, 1));
  EXPECT_TRUE(AtEnd(s));
  s->Release();
}

TEST_F(TextStreamTest, AnsiTextEndsAtANulInsideItsRequest) {
  Put("f", std::string("ab\0cdefg", 8));
  ITextStream* s = Open("f");
  EXPECT_EQ("ab", Read(s, 5));  // "cd" went with the request
  EXPECT_EQ("efg", Read(s, 5));
  s->Release();

  std::string content = std::string("a\0b", 3) + std::string(200, 'x') + "\r\nnext\r\n";
  Put("g", content);
  s = Open("g");
  // The first request of the line holds the NUL: its text is "a"; the line
  // goes on with the next request (bytes 128..255) up to the break.
  EXPECT_EQ("a" + std::string(75, 'x'), ReadLine(s));
  EXPECT_EQ("next", ReadLine(s));
  s->Release();
}

// --- The look-ahead --------------------------------------------------------

TEST_F(TextStreamTest, AtEndOfLinePeeksWithoutLosingCharacters) {
  Put("f", "x");
  ITextStream* s = Open("f");
  EXPECT_FALSE(AtEndOfLine(s));
  EXPECT_EQ("x", Read(s, 2));
  EXPECT_TRUE(AtEndOfLine(s));  // nothing left
  s->Release();

  Put("g", "xyz\r\n");
  s = Open("g");
  EXPECT_FALSE(AtEndOfLine(s));
  EXPECT_EQ("x", Read(s, 1));
  EXPECT_FALSE(AtEndOfLine(s));  // sees y and z, duplicates nothing
  EXPECT_EQ(1, Line(s));
  EXPECT_EQ(2, Column(s));
  EXPECT_EQ("yz", ReadLine(s));
  EXPECT_EQ(2, Line(s));
  EXPECT_TRUE(AtEndOfLine(s));
  s->Release();

  Put("h", "\r\nab");
  s = Open("h");
  EXPECT_TRUE(AtEndOfLine(s));
  EXPECT_TRUE(AtEndOfLine(s));  // asking again changes nothing
  EXPECT_EQ("", ReadLine(s));
  EXPECT_EQ("ab", ReadLine(s));
  s->Release();
}

TEST_F(TextStreamTest, SkipLeavesThePendingCharactersFirst) {
  Put("f", "abcdefgh");
  ITextStream* s = Open("f");
  EXPECT_FALSE(AtEndOfLine(s));  // "ab" pending
  ASSERT_EQ(S_OK, s->Skip(2));   // skips "cd" in the file
  EXPECT_EQ("abef", Read(s, 4));
  s->Release();
}

// --- Encodings -------------------------------------------------------------

TEST_F(TextStreamTest, UnicodeFilesStartWithTheMarkAndReadBackWithoutIt) {
  const std::u16string text = u"caf\u00e9 \u20ac \u4e2d\u6587 \U0001F600";
  ITextStream* s = Create("u", true);
  ASSERT_EQ(S_OK, s->WriteLine(U(text).get()));
  ASSERT_EQ(S_OK, s->Write(U(u"tail").get()));
  s->Release();
  EXPECT_EQ("\xff\xfe" + Utf16Bytes(text + u"\r\ntail"), Get("u"));

  for (LONG format : {TristateTrue, TristateUseDefault}) {
    s = Open("u", ForReading, format);
    EXPECT_EQ(text, ReadLineW(s));
    EXPECT_EQ(u"tail", ReadLineW(s));
    EXPECT_TRUE(AtEnd(s));
    s->Release();
  }
  // As ANSI the mark is text: two bytes that are no UTF-8.
  s = Open("u", ForReading, TristateFalse);
  EXPECT_EQ(u"\ufffd\ufffdc", ReadW(s, 3));
  s->Release();
}

// Characters beyond any single-byte code page pass unchanged through lines
// longer than one request and through the look-ahead.
TEST_F(TextStreamTest, UnicodeLinesKeepEveryCharacter) {
  std::u16string line;
  for (int i = 0; i < 150; ++i)
    line += i % 3 == 0 ? u"\u4e2d" : (i % 3 == 1 ? u"\U0001F600" : u"\u00e9");
  ITextStream* s = Create("u", true);
  ASSERT_EQ(S_OK, s->WriteLine(U(line).get()));
  ASSERT_EQ(S_OK, s->WriteLine(U(u"\u03a9\u03a9").get()));
  s->Release();
  s = Open("u", ForReading, TristateUseDefault);
  EXPECT_FALSE(AtEndOfLine(s));
  EXPECT_EQ(line.substr(0, 3), ReadW(s, 3));
  EXPECT_EQ(line.substr(3), ReadLineW(s));
  EXPECT_FALSE(AtEndOfLine(s));
  EXPECT_EQ(u"\u03a9\u03a9", ReadLineW(s));
  EXPECT_EQ(3, Line(s));
  s->Release();
}

TEST_F(TextStreamTest, AnsiIsUtf8AndCharactersSurviveRequestBoundaries) {
  std::u16string line;
  for (int i = 0; i < 100; ++i) line += u"\u00e9\u4e2d\U0001F600";
  ITextStream* s = Create("a");
  ASSERT_EQ(S_OK, s->WriteLine(U(line).get()));
  ASSERT_EQ(S_OK, s->Write(U(u"\u00e9").get()));
  s->Release();
  std::string utf8;
  for (int i = 0; i < 100; ++i) utf8 += "\xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80";
  EXPECT_EQ(utf8 + "\r\n\xc3\xa9", Get("a"));

  s = Open("a");
  EXPECT_EQ(line, ReadLineW(s));
  EXPECT_EQ(u"\u00e9", ReadW(s, 1));  // one byte asked, the character completed
  s->Release();
  s = Open("a");
  EXPECT_EQ(line + u"\r\n\u00e9", ReadAllW(s));
  s->Release();
}

TEST_F(TextStreamTest, UnicodeSkipCountsCharacters) {
  ITextStream* s = Create("u", true);
  ASSERT_EQ(S_OK, s->Write(U(u"abcdef").get()));
  s->Release();
  s = Open("u", ForReading, TristateTrue);
  ASSERT_EQ(S_OK, s->Skip(2));
  EXPECT_EQ(u"cd", ReadW(s, 2));
  s->Release();
}

TEST_F(TextStreamTest, FormatsOutsideTheThreeAreAnsi) {
  Put("f",
      "\xff\xfe"
      "ab");
  ITextStream* s = Open("f", ForReading, 7);
  EXPECT_EQ(4u, ReadAllW(s).size());
  s->Release();
}

// --- Writing ---------------------------------------------------------------

TEST_F(TextStreamTest, WritesStopAtANulAndLinesEndInCrLf) {
  ITextStream* s = Create("f");
  ASSERT_EQ(S_OK, s->Write(U(u"ab").get()));
  ASSERT_EQ(S_OK, s->WriteLine(U(u"").get()));
  ASSERT_EQ(S_OK, s->WriteLine(nullptr));
  ASSERT_EQ(S_OK, s->Write(U(std::u16string(u"cd\0ef", 5)).get()));
  ASSERT_EQ(S_OK, s->WriteLine(U(std::u16string(u"gh\0ij", 5)).get()));  // the break goes too
  ASSERT_EQ(S_OK, s->WriteBlankLines(2));
  ASSERT_EQ(S_OK, s->WriteBlankLines(0));
  EXPECT_EQ(1, Line(s));  // writes count nothing
  s->Release();
  EXPECT_EQ("ab\r\n\r\ncdgh\r\n\r\n", Get("f"));

  s = Create("u", true);
  ASSERT_EQ(S_OK, s->WriteLine(U(u"\u20ac").get()));
  ASSERT_EQ(S_OK, s->WriteBlankLines(1));
  s->Release();
  EXPECT_EQ("\xff\xfe" + Utf16Bytes(u"\u20ac\r\n\r\n"), Get("u"));
}

TEST_F(TextStreamTest, ManyBlankLinesAreAllWritten) {
  ITextStream* s = Create("f");
  ASSERT_EQ(S_OK, s->WriteBlankLines(600000));
  s->Release();
  const std::string data = Get("f");
  ASSERT_EQ(1200000u, data.size());
  for (size_t i = 0; i < data.size(); i += 2) ASSERT_EQ("\r\n", data.substr(i, 2));
}

TEST_F(TextStreamTest, ForWritingOverwritesWithoutTruncating) {
  Put("f", "0123456789");
  ITextStream* s = Open("f", ForWriting);
  ASSERT_EQ(S_OK, s->Write(U(u"ab").get()));
  s->Release();
  EXPECT_EQ("ab23456789", Get("f"));
}

TEST_F(TextStreamTest, UnicodeForWritingKeepsOrWritesTheMark) {
  // An existing Unicode file: writing starts after its mark.
  Put("u", "\xff\xfe" + Utf16Bytes(u"abcdef"));
  ITextStream* s = Open("u", ForWriting, TristateTrue);
  ASSERT_NE(nullptr, s);
  ASSERT_EQ(S_OK, s->Write(U(u"XY").get()));
  s->Release();
  EXPECT_EQ("\xff\xfe" + Utf16Bytes(u"XYcdef"), Get("u"));

  // A new file gets the mark, so it reads back as Unicode.
  s = Open("new", ForWriting, TristateTrue, true);
  ASSERT_EQ(S_OK, s->WriteLine(U(u"\u20ac").get()));
  s->Release();
  EXPECT_EQ("\xff\xfe" + Utf16Bytes(u"\u20ac\r\n"), Get("new"));
  s = Open("new", ForReading, TristateUseDefault);
  EXPECT_EQ(u"\u20ac", ReadLineW(s));
  s->Release();

  // Appending to an empty file starts it with the mark; to a file with
  // text, adds at its end.
  Put("empty", "");
  s = Open("empty", ForAppending, TristateTrue);
  ASSERT_EQ(S_OK, s->Write(U(u"a").get()));
  s->Release();
  EXPECT_EQ("\xff\xfe" + Utf16Bytes(u"a"), Get("empty"));
  s = Open("empty", ForAppending, TristateUseDefault);
  ASSERT_EQ(S_OK, s->Write(U(u"b").get()));
  s->Release();
  EXPECT_EQ("\xff\xfe" + Utf16Bytes(u"ab"), Get("empty"));
}

TEST_F(TextStreamTest, ForAppendingAddsAtTheEnd) {
  Put("f", "line1\r\n");
  ITextStream* s = Open("f", ForAppending);
  EXPECT_FALSE(AtEnd(s));
  ASSERT_EQ(S_OK, s->WriteLine(U(u"line2").get()));
  EXPECT_EQ("", ReadLine(s));  // reads from the end
  EXPECT_TRUE(AtEnd(s));
  s->Release();
  EXPECT_EQ("line1\r\nline2\r\n", Get("f"));
}

// --- Bad input and misuse --------------------------------------------------

TEST_F(TextStreamTest, UnknownModesFailBeforeAnyFileIsCreated) {
  for (LONG format : {TristateFalse, TristateTrue, TristateUseDefault}) {
    ITextStream* s = nullptr;
    EXPECT_EQ(DISP_E_EXCEPTION,
              tessary::NewTextStreamOpen(B(W("f")).get(), 4, VARIANT_TRUE, format, &s));
    ErrorRecord e = TakeError();
    EXPECT_EQ("Unknown Mode.", e.description);
    EXPECT_EQ("Tessary.BinaryStream.1", e.source);
    EXPECT_EQ(nullptr, s);
  }
  EXPECT_FALSE(Exists("f"));
}

TEST_F(TextStreamTest, NegativeCountsAreRefused) {
  Put("f", "abc");
  ITextStream* s = Open("f", ForAppending);
  BSTR text = nullptr;
  EXPECT_EQ(E_INVALIDARG, s->Read(-1, &text));
  ErrorRecord e = TakeError();
  EXPECT_EQ("The number of characters must not be negative.", e.description);
  EXPECT_EQ("Tessary.BinaryStream.1", e.source);
  EXPECT_EQ(nullptr, text);
  EXPECT_EQ(E_INVALIDARG, s->Skip(-1));
  EXPECT_EQ(E_INVALIDARG, s->WriteBlankLines(-1));
  EXPECT_EQ("The number of lines must not be negative.", TakeError().description);
  EXPECT_EQ(E_INVALIDARG, s->WriteBlankLines(INT32_MIN));
  s->Release();
  EXPECT_EQ("abc", Get("f"));
}

TEST_F(TextStreamTest, HugeCountsReadWhatThereIs) {
  Put("f", "abc");
  ITextStream* s = Open("f");
  EXPECT_EQ("abc", Read(s, 0x7FFFFFFF));
  s->Release();
  ITextStream* u = Create("u", true);
  ASSERT_EQ(S_OK, u->Write(U(u"xyz").get()));
  u->Release();
  u = Open("u", ForReading, TristateTrue);
  EXPECT_EQ(u"xyz", ReadW(u, 0x7FFFFFFF));
  ASSERT_EQ(S_OK, u->Skip(0x7FFFFFFF));  // past the end is allowed
  u->Release();
}

TEST_F(TextStreamTest, ModesDecideWhatWorks) {
  Put("f", "data");
  ITextStream* reader = Open("f");
  EXPECT_EQ(kAccessDenied, reader->Write(U(u"x").get()));
  EXPECT_EQ("Access is denied.", TakeError().description);
  EXPECT_EQ(kAccessDenied, reader->WriteLine(U(u"x").get()));
  EXPECT_EQ(kAccessDenied, reader->WriteBlankLines(0));
  reader->Release();
  EXPECT_EQ("data", Get("f"));

  ITextStream* writer = Open("f", ForWriting);
  BSTR text = nullptr;
  EXPECT_EQ(kAccessDenied, writer->ReadLine(&text));
  EXPECT_EQ(kAccessDenied, writer->Read(1, &text));
  EXPECT_EQ(kAccessDenied, writer->ReadAll(&text));
  EXPECT_EQ(kAccessDenied, writer->SkipLine());
  EXPECT_TRUE(AtEndOfLine(writer));  // a failed peek is not reported
  writer->Release();
}

TEST_F(TextStreamTest, ClosedAndUnopenedStreamsFail) {
  Put("f", "abc\r\ndef\r\nghi");
  ITextStream* s = Open("f");
  EXPECT_EQ("abc", ReadLine(s));  // the rest of the file is pending
  ASSERT_EQ(S_OK, s->Close());
  // Asked first, before any other call: a line was pending when it closed.
  VARIANT_BOOL end = VARIANT_FALSE;
  EXPECT_EQ(kInvalidHandle, s->get_AtEndOfStream(&end));
  ASSERT_EQ(S_OK, s->Close());
  // What was taken before the close is not handed out after it.
  BSTR text = nullptr;
  EXPECT_EQ(kInvalidHandle, s->ReadLine(&text));
  const ErrorRecord error = TakeError();
  EXPECT_EQ("The handle is invalid.", error.description);
  EXPECT_EQ("Tessary.BinaryStream.1", error.source);
  EXPECT_EQ(kInvalidHandle, s->Read(2, &text));
  EXPECT_EQ(kInvalidHandle, s->Read(0, &text));
  EXPECT_EQ(kInvalidHandle, s->ReadAll(&text));
  EXPECT_EQ(kInvalidHandle, s->SkipLine());
  EXPECT_EQ(kInvalidHandle, s->Skip(1));
  EXPECT_EQ(kInvalidHandle, s->get_AtEndOfStream(&end));
  EXPECT_EQ(kInvalidHandle, s->get_AtEndOfLine(&end));
  EXPECT_EQ(kInvalidHandle, s->Write(U(u"x").get()));
  EXPECT_EQ(nullptr, text);
  EXPECT_EQ(2, Line(s));  // the counters still answer
  EXPECT_EQ(1, Column(s));
  s->Release();

  ITextStream* raw = nullptr;
  ASSERT_EQ(S_OK,
            tessary::CreateInstance<TextStream>(IID_ITextStream, reinterpret_cast<void**>(&raw)));
  EXPECT_EQ(kInvalidHandle, raw->ReadLine(&text));
  EXPECT_EQ(kInvalidHandle, raw->WriteLine(U(u"x").get()));
  EXPECT_EQ(kInvalidHandle, raw->get_AtEndOfStream(&end));
  raw->Release();
}

// --- The request scheme, modelled ------------------------------------------

// The specified behaviour in its plainest form: one read per request,
// straight from an in-memory copy of the file.
class Model {
 public:
  // `utf8`: ANSI text is UTF-8, and a request that ends inside a character
  // takes the bytes that complete it (only two-byte characters here).
  Model(std::string file, bool unicode, bool utf8 = false)
      : file_(std::move(file)), unicode_(unicode), utf8_(utf8) {}

  std::u16string Read(size_t n) {
    std::u16string text = Take(n);
    if (!text.empty() && text[0] == u'\n' && last_cr_) {
      ++line_;
      column_ = 1;
    }
    size_t last = std::u16string::npos;
    for (size_t i = 0; i + 1 < text.size(); ++i) {
      if (text[i] == u'\r' && text[i + 1] == u'\n') {
        ++line_;
        last = i++;
      }
    }
    column_ = last == std::u16string::npos ? column_ + static_cast<long>(text.size())
                                           : 1 + static_cast<long>(text.size() - last - 2);
    last_cr_ = !text.empty() && text.back() == u'\r';
    return text;
  }
  std::u16string ReadLine() {
    std::u16string line;
    for (;;) {
      std::u16string chunk = Take(128);
      if (chunk.empty()) break;
      if (!line.empty() && line.back() == u'\r' && chunk[0] == u'\n') {
        line.pop_back();
        ahead_ = chunk.substr(1);
        break;
      }
      const size_t at = chunk.find(u"\r\n");
      if (at == std::u16string::npos) {
        line += chunk;
        continue;
      }
      line += chunk.substr(0, at);
      ahead_ = chunk.substr(at + 2);
      break;
    }
    ++line_;
    column_ = 1;
    return line;
  }
  bool AtEndOfLine() {
    const bool had = !ahead_.empty();
    std::u16string taken = Take(2);
    if (had) {
      ahead_ = taken + ahead_;
      return taken == u"\r\n";
    }
    if (taken.empty()) return true;
    ahead_ = taken;
    return taken == u"\r\n";
  }
  void Skip(size_t n) { pos_ += unicode_ ? 2 * n : n; }
  bool AtEnd() const { return at_end_ && ahead_.empty(); }
  long line() const { return line_; }
  long column() const { return column_; }

 private:
  std::u16string Take(size_t n) {
    if (ahead_.empty()) return FromFile(n);
    if (ahead_.size() >= n) {
      std::u16string text = ahead_.substr(0, n);
      ahead_.erase(0, n);
      return text;
    }
    std::u16string text = ahead_;
    ahead_.clear();
    return text + FromFile(n - text.size());
  }
  std::u16string FromFile(size_t n) {
    const size_t want = unicode_ ? 2 * n : n;
    const size_t have = pos_ < file_.size() ? std::min(want, file_.size() - pos_) : 0;
    std::string bytes = file_.substr(std::min(pos_, file_.size()), have);
    pos_ += have;
    if (have == 0 && want > 0) at_end_ = true;
    if (utf8_ && !bytes.empty() && bytes.find('\0') == std::string::npos &&
        (static_cast<unsigned char>(bytes.back()) & 0xE0) == 0xC0 && pos_ < file_.size()) {
      bytes += file_[pos_++];
    }
    std::u16string text;
    if (unicode_) {
      for (size_t i = 0; i + 1 < bytes.size(); i += 2)
        text.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                             (static_cast<unsigned char>(bytes[i + 1]) << 8)));
    } else {
      for (size_t i = 0; i < bytes.size() && bytes[i] != '\0'; ++i) {
        const unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (utf8_ && (c & 0xE0) == 0xC0 && i + 1 < bytes.size()) {
          text.push_back(static_cast<char16_t>(((c & 0x1F) << 6) | (bytes[++i] & 0x3F)));
        } else {
          text.push_back(static_cast<char16_t>(c));
        }
      }
    }
    return text;
  }

  std::string file_;
  bool unicode_;
  bool utf8_;
  size_t pos_ = 0;
  bool at_end_ = false;
  std::u16string ahead_;
  long line_ = 1;
  long column_ = 1;
  bool last_cr_ = false;
};

std::string RandomText(std::mt19937& random, size_t size, bool with_nul) {
  static const char* const pieces[] = {"\r\n", "\r", "\n", "abc", "x", "\r\r\n", "\n\r"};
  std::string text;
  while (text.size() < size) {
    const unsigned kind = random() % 20;
    if (kind < 7) {
      text += pieces[kind];
    } else if (kind < 9) {
      text += std::string(random() % 400, static_cast<char>('a' + random() % 26));
    } else if (kind == 9 && with_nul && random() % 8 == 0) {
      text += '\0';
    } else {
      text += static_cast<char>('A' + random() % 26);
    }
  }
  return text;
}

void CompareWithModel(ITextStream* s, Model& model, std::mt19937& random, int steps) {
  for (int step = 0; step < steps; ++step) {
    const unsigned op = random() % 12;
    if (op < 6) {
      ASSERT_EQ(model.ReadLine(), TextStreamTest::ReadLineW(s)) << "step " << step;
    } else if (op < 9) {
      const LONG n = random() % 5 == 0 ? static_cast<LONG>(random() % 70000)
                                       : static_cast<LONG>(random() % 140);
      ASSERT_EQ(model.Read(static_cast<size_t>(n)), TextStreamTest::ReadW(s, n)) << "step " << step;
    } else if (op < 11) {
      ASSERT_EQ(model.AtEndOfLine(), TextStreamTest::AtEndOfLine(s)) << "step " << step;
    } else {
      const LONG n = static_cast<LONG>(random() % 300);
      model.Skip(static_cast<size_t>(n));
      ASSERT_EQ(S_OK, s->Skip(n));
    }
    ASSERT_EQ(model.AtEnd(), TextStreamTest::AtEnd(s)) << "step " << step;
    ASSERT_EQ(model.line(), TextStreamTest::Line(s)) << "step " << step;
    ASSERT_EQ(model.column(), TextStreamTest::Column(s)) << "step " << step;
  }
}

TEST_F(TextStreamTest, AnsiResultsMatchTheRequestSchemeExactly) {
  std::mt19937 random(99);
  for (int round = 0; round < 6; ++round) {
    const std::string content = RandomText(random, 20000 + random() % 200000, round % 2 == 1);
    Put("f", content);
    ITextStream* s = Open("f");
    Model model(content, false);
    CompareWithModel(s, model, random, 3000);
    s->Release();
  }
}

TEST_F(TextStreamTest, UnicodeResultsMatchTheRequestSchemeExactly) {
  std::mt19937 random(7);
  for (int round = 0; round < 4; ++round) {
    std::u16string text;
    for (char c : RandomText(random, 10000 + random() % 100000, false))
      text.push_back(c == 'x' ? u'\u4e2d' : static_cast<char16_t>(c));
    const std::string content = Utf16Bytes(text);
    Put("u", "\xff\xfe" + content);
    ITextStream* s = Open("u", ForReading, TristateTrue);
    Model model(content, true);
    CompareWithModel(s, model, random, 3000);
    s->Release();
  }
}

// Lines are found in the read-ahead block while the text is plain ASCII;
// a NUL, a character beyond ASCII (completed across a request end) or the
// end of the block sends a line through the requests one by one. Either
// way the results are the scheme's, around the ends of requests and blocks.
TEST_F(TextStreamTest, LinesAroundRequestAndBlockEndsMatchTheRequestScheme) {
  std::string full_lines;
  for (int i = 0; i < 511; ++i) full_lines += std::string(126, 'x') + "\r\n";
  const std::string rest = std::string(50, 'z') + "\r\n" + std::string(300, 'w') + "\r\nend";
  for (const std::string& special : {std::string("\r\n"), std::string("\0\r\n", 3),
                                     std::string("\xc3\xa9\r\n"), std::string("\r\r\n")}) {
    for (size_t shift = 0; shift < 5; ++shift) {
      // The break, the NUL or the character at bytes 65533..65537: the
      // block's end and the 512th request's.
      const std::string content = full_lines + std::string(125 + shift, 'y') + special + rest;
      Put("f", content);
      ITextStream* s = Open("f");
      Model model(content, false, true);
      for (int line = 0; line < 520 && !model.AtEnd(); ++line) {
        ASSERT_EQ(model.ReadLine(), ReadLineW(s)) << shift << " line " << line;
        ASSERT_EQ(model.AtEnd(), AtEnd(s)) << shift << " line " << line;
      }
      EXPECT_TRUE(AtEnd(s));
      EXPECT_EQ(model.line(), Line(s));
      s->Release();
    }
  }

  // Mostly lines, with NULs and two-byte characters anywhere.
  std::mt19937 random(5);
  for (int round = 0; round < 4; ++round) {
    std::string content;
    while (content.size() < 150000) {
      const unsigned kind = random() % 40;
      if (kind == 0) {
        content += '\0';
      } else if (kind == 1) {
        content += "\xc3\xa9";
      } else if (kind < 4) {
        content += '\r';
      } else {
        content += std::string(random() % 260, static_cast<char>('a' + random() % 26)) + "\r\n";
      }
    }
    Put("r", content);
    ITextStream* s = Open("r");
    Model model(content, false, true);
    for (int step = 0; step < 2500 && !model.AtEnd(); ++step) {
      const unsigned op = random() % 20;
      if (op < 17) {
        ASSERT_EQ(model.ReadLine(), ReadLineW(s)) << "step " << step;
      } else if (op < 18) {
        model.ReadLine();
        ASSERT_EQ(S_OK, s->SkipLine());
      } else if (op < 19) {
        ASSERT_EQ(model.AtEndOfLine(), AtEndOfLine(s)) << "step " << step;
      } else {
        const LONG n = static_cast<LONG>(random() % 200);
        ASSERT_EQ(model.Read(static_cast<size_t>(n)), ReadW(s, n)) << "step " << step;
      }
      ASSERT_EQ(model.AtEnd(), AtEnd(s)) << "step " << step;
      ASSERT_EQ(model.line(), Line(s)) << "step " << step;
      ASSERT_EQ(model.column(), Column(s)) << "step " << step;
    }
    s->Release();
  }
}

// The block is checked in steps of 64 bytes counted from where a scan
// starts; short lines, breaks and lone CRs at every place in a step, and a
// NUL or a character beyond ASCII ending the plain text in any step, give
// the scheme's lines.
TEST_F(TextStreamTest, ShortLinesAtEveryPlaceOfAScanStepMatchTheRequestScheme) {
  std::string lines;
  for (size_t n = 0; n < 40; ++n) lines += std::string(n % 7, 'a') + (n % 5 ? "\r\n" : "\r");
  for (const std::string& odd : {std::string("\xc3\xa9"), std::string(1, '\0')}) {
    for (size_t shift = 0; shift < 64; ++shift) {
      for (size_t cut : {80u, 130u, 200u}) {
        // The odd byte lies in the request after a line whose break may
        // start a step, with a second break before it.
        // The first line is read before the block is, so the scan starts
        // with the second.
        const std::string content = "1\r\n" + std::string(shift, 's') + "\r\n" +
                                    lines.substr(0, cut) + std::string(100, 'q') + "\r\nab\r\n" +
                                    std::string(30, 'r') + odd + lines + std::string(300, 't');
        Put("f", content);
        ITextStream* s = Open("f");
        Model model(content, false, true);
        while (!model.AtEnd()) {
          ASSERT_EQ(model.ReadLine(), ReadLineW(s)) << shift << " " << cut << " " << model.line();
          ASSERT_EQ(model.AtEnd(), AtEnd(s)) << shift << " " << cut;
        }
        s->Release();
      }
    }
  }
}

// What another stream writes after a line was read shows from the next
// request on; the characters already taken stay as they were.
TEST_F(TextStreamTest, LinesSeeWritesThroughOtherStreamsFromTheNextRequest) {
  Put("f", "line1\r\n" + std::string(200, 'a') + "\r\nend\r\n" + std::string(1000, 'z'));
  ITextStream* reader = Open("f");
  EXPECT_EQ("line1", ReadLine(reader));  // bytes 7..127 are taken
  ITextStream* writer = Open("f", ForWriting);
  const std::string changed = "line1\r\naaaQQ" + std::string(118, 'a') + "XY";
  ASSERT_EQ(S_OK, writer->Write(B(changed).get()));
  writer->Release();
  EXPECT_EQ(std::string(123, 'a') + "XY" + std::string(75, 'a'), ReadLine(reader));
  EXPECT_EQ("end", ReadLine(reader));
  EXPECT_EQ(std::string(1000, 'z'), ReadLine(reader));
  EXPECT_TRUE(AtEnd(reader));
  reader->Release();
}

}  // namespace
