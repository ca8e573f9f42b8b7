// BinaryStream against real files. With no drive mapping in the store, C:
// is "/", so a temporary folder /tmp/x is C:\tmp\x.
#include "streams/binary_stream.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

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
constexpr HRESULT kSharingViolation = static_cast<HRESULT>(0x80070020);
constexpr HRESULT kFileExists = static_cast<HRESULT>(0x80070050);
constexpr HRESULT kNegativeSeek = static_cast<HRESULT>(0x80070083);
constexpr HRESULT kNotFound = static_cast<HRESULT>(0x80070002);

using tessary::testing::B;
using tessary::testing::ErrorRecord;
using tessary::testing::TakeError;
using tessary::testing::Text;

// The bytes of a byte-array result, which is cleared.
std::string Bytes(VARIANT* v) {
  EXPECT_EQ(VT_ARRAY | VT_UI1, v->vt);
  std::string out;
  if (v->vt == (VT_ARRAY | VT_UI1) && v->parray) {
    EXPECT_EQ(1u, SafeArrayGetDim(v->parray));
    LONG low = -1;
    SafeArrayGetLBound(v->parray, 1, &low);
    EXPECT_EQ(0, low);
    out.assign(static_cast<const char*>(v->parray->pvData), v->parray->rgsabound[0].cElements);
  }
  VariantClear(v);
  return out;
}

// The bytes of a variant-array result, each element checked to be VT_UI1.
std::string VarBytes(VARIANT* v) {
  EXPECT_EQ(VT_ARRAY | VT_VARIANT, v->vt);
  std::string out;
  if (v->vt == (VT_ARRAY | VT_VARIANT) && v->parray) {
    const VARIANT* elements = static_cast<const VARIANT*>(v->parray->pvData);
    for (ULONG i = 0; i < v->parray->rgsabound[0].cElements; ++i) {
      EXPECT_EQ(VT_UI1, elements[i].vt);
      out.push_back(static_cast<char>(elements[i].bVal));
    }
  }
  VariantClear(v);
  return out;
}

class BinaryStreamTest : public ::testing::Test {
 protected:
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
  void TearDown() override {
    std::error_code ec;
    for (auto& entry : std::filesystem::recursive_directory_iterator(dir_.path(), ec))
      std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ec);
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

  IBinaryStream* Open(const std::string& name, LONG mode = ForReading, bool create = false) {
    IBinaryStream* s = nullptr;
    EXPECT_EQ(S_OK, tessary::NewBinaryStreamOpen(B(W(name)).get(), mode,
                                                 tessary::ToVariantBool(create), &s));
    return s;
  }
  IBinaryStream* Create(const std::string& name, bool overwrite = true) {
    IBinaryStream* s = nullptr;
    EXPECT_EQ(S_OK, tessary::NewBinaryStreamCreate(B(W(name)).get(),
                                                   tessary::ToVariantBool(overwrite), &s));
    return s;
  }
  static std::string Read(IBinaryStream* s, LONG n) {
    VARIANT v;
    VariantInit(&v);
    EXPECT_EQ(S_OK, s->Read(n, &v));
    return Bytes(&v);
  }
  static bool AtEnd(IBinaryStream* s) {
    VARIANT_BOOL end = 1;
    EXPECT_EQ(S_OK, s->get_AtEndOfStream(&end));
    EXPECT_TRUE(end == VARIANT_TRUE || end == VARIANT_FALSE);
    return end == VARIANT_TRUE;
  }
  static HRESULT WriteText(IBinaryStream* s, const char16_t* text) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(reinterpret_cast<const OLECHAR*>(text));
    HRESULT hr = s->Write(&v);
    VariantClear(&v);
    return hr;
  }
  static HRESULT WriteBytes(IBinaryStream* s, const std::string& bytes) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_ARRAY | VT_UI1;
    v.parray = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size()));
    if (!bytes.empty()) memcpy(v.parray->pvData, bytes.data(), bytes.size());
    HRESULT hr = s->Write(&v);
    VariantClear(&v);
    return hr;
  }

  static tessary::testing::ScopedStore* store_;
  tessary::testing::TempDir dir_;
};

tessary::testing::ScopedStore* BinaryStreamTest::store_ = nullptr;

// --- Reading and the at-end flag -------------------------------------------

TEST_F(BinaryStreamTest, ReachingTheLastByteIsNotTheEnd) {
  Put("ten", "0123456789");
  IBinaryStream* s = Open("ten");
  EXPECT_FALSE(AtEnd(s));
  EXPECT_EQ("0123456789", Read(s, 10));
  EXPECT_FALSE(AtEnd(s));  // only a read that returns nothing sets it
  EXPECT_EQ("", Read(s, 10));
  EXPECT_TRUE(AtEnd(s));
  // Skipping back does not clear it: it is never cleared.
  EXPECT_EQ(S_OK, s->Skip(-10));
  EXPECT_EQ("0123", Read(s, 4));
  EXPECT_TRUE(AtEnd(s));
  s->Release();
}

TEST_F(BinaryStreamTest, AReadOfNoBytesSaysNothingAboutTheEnd) {
  Put("f", "abc");
  IBinaryStream* s = Open("f");
  VARIANT v;
  VariantInit(&v);
  // A loop that reads until the end reads everything, whatever it asks for.
  std::string got;
  for (LONG n = 0; !AtEnd(s); n = (n + 1) % 3) got += Read(s, n);
  EXPECT_EQ("abc", got);
  s->Release();

  s = Open("f");
  ASSERT_EQ(S_OK, s->ReadVar(0, &v));
  EXPECT_EQ("", VarBytes(&v));
  EXPECT_FALSE(AtEnd(s));
  EXPECT_EQ("abc", Read(s, 3));
  EXPECT_EQ("", Read(s, 0));  // at the end, but no read has found it yet
  EXPECT_FALSE(AtEnd(s));
  EXPECT_EQ("", Read(s, 1));
  EXPECT_TRUE(AtEnd(s));
  s->Release();
}

TEST_F(BinaryStreamTest, ReadVarNearTheEndReturnsWhatIsLeft) {
  Put("f", "0123456789ABCD");
  IBinaryStream* s = Open("f");
  ASSERT_EQ(S_OK, s->Skip(10));
  VARIANT v;
  VariantInit(&v);
  ASSERT_EQ(S_OK, s->ReadVar(10, &v));
  EXPECT_EQ("ABCD", VarBytes(&v));
  EXPECT_FALSE(AtEnd(s));
  ASSERT_EQ(S_OK, s->ReadVar(10, &v));
  EXPECT_EQ("", VarBytes(&v));
  EXPECT_TRUE(AtEnd(s));
  s->Release();
}

TEST_F(BinaryStreamTest, ReadVarWithoutAResultSlotIsInvalidAfterReading) {
  Put("f", "abcdef");
  IBinaryStream* s = Open("f");
  EXPECT_EQ(E_INVALIDARG, s->ReadVar(2, nullptr));
  EXPECT_EQ("cd", Read(s, 2));  // the read happened first
  s->Release();
}

TEST_F(BinaryStreamTest, ReadAllAndReadVarAllReturnTheRestFromThePosition) {
  Put("f", "hello world");
  IBinaryStream* s = Open("f");
  EXPECT_EQ("hello", Read(s, 5));
  VARIANT v;
  VariantInit(&v);
  ASSERT_EQ(S_OK, s->ReadAll(&v));
  EXPECT_EQ(" world", Bytes(&v));
  EXPECT_FALSE(AtEnd(s));
  ASSERT_EQ(S_OK, s->ReadVarAll(&v));
  EXPECT_EQ("", VarBytes(&v));
  EXPECT_TRUE(AtEnd(s));
  s->Release();

  Put("empty", "");
  s = Open("empty");
  ASSERT_EQ(S_OK, s->ReadAll(&v));
  EXPECT_EQ("", Bytes(&v));
  EXPECT_TRUE(AtEnd(s));
  s->Release();
}

// --- Writing ---------------------------------------------------------------

TEST_F(BinaryStreamTest, WritesStringsAsUtf16LowByteFirst) {
  IBinaryStream* s = Create("out");
  ASSERT_EQ(S_OK, WriteText(s, u"A\u00e9\u20ac"));
  ASSERT_EQ(S_OK, WriteBytes(s, std::string("\x00\x01\xff", 3)));
  s->Release();
  EXPECT_EQ(std::string("A\0\xe9\0\xac\x20\x00\x01\xff", 9), Get("out"));
}

TEST_F(BinaryStreamTest, WriteTakesByteArraysByReference) {
  IBinaryStream* s = Create("out");
  SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, 2);
  memcpy(array->pvData, "xy", 2);
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_ARRAY | VT_UI1 | VT_BYREF;
  v.pparray = &array;
  ASSERT_EQ(S_OK, s->Write(&v));
  VARIANT inner;
  VariantInit(&inner);
  inner.vt = VT_ARRAY | VT_UI1;
  inner.parray = array;
  v.vt = VT_VARIANT | VT_BYREF;
  v.pvarVal = &inner;
  ASSERT_EQ(S_OK, s->Write(&v));
  SafeArrayDestroy(array);
  s->Release();
  EXPECT_EQ("xyxy", Get("out"));
}

TEST_F(BinaryStreamTest, WriteRefusesWhatIsNoByteArray) {
  IBinaryStream* s = Create("out");
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_I4;
  v.lVal = 65;
  EXPECT_EQ(DISP_E_EXCEPTION, s->Write(&v));
  ErrorRecord e = TakeError();
  EXPECT_EQ("Couldn't convert type to Array of bytes.", e.description);
  EXPECT_EQ("Tessary.BinaryStream.1", e.source);

  v.vt = VT_R8;
  v.dblVal = 1.5;
  EXPECT_EQ(DISP_E_EXCEPTION, s->Write(&v));

  // An array of variants (what a script array becomes) is not converted.
  v.vt = VT_ARRAY | VT_VARIANT;
  v.parray = SafeArrayCreateVector(VT_VARIANT, 0, 2);
  EXPECT_EQ(DISP_E_EXCEPTION, s->Write(&v));
  VariantClear(&v);

  // An object without a default value, and nothing at all.
  v.vt = VT_DISPATCH;
  v.pdispVal = s;
  s->AddRef();
  EXPECT_EQ(DISP_E_EXCEPTION, s->Write(&v));
  VariantClear(&v);
  v.vt = VT_EMPTY;
  EXPECT_EQ(DISP_E_EXCEPTION, s->Write(&v));
  v.vt = VT_NULL;
  EXPECT_EQ(DISP_E_EXCEPTION, s->Write(&v));
  EXPECT_EQ(E_POINTER, s->Write(nullptr));
  s->Release();
  EXPECT_EQ("", Get("out"));  // nothing reached the file
}

TEST_F(BinaryStreamTest, FillWritesTheLowByte) {
  IBinaryStream* s = Create("out");
  ASSERT_EQ(S_OK, s->Fill(0x141, 3));
  ASSERT_EQ(S_OK, s->Fill(-1, 2));
  ASSERT_EQ(S_OK, s->Fill(7, 0));
  s->Release();
  EXPECT_EQ("AAA\xff\xff", Get("out"));
}

TEST_F(BinaryStreamTest, FillOfManyBytesWritesThemAll) {
  IBinaryStream* s = Create("out");
  ASSERT_EQ(S_OK, s->Fill('z', 3 * 1024 * 1024 + 5));
  s->Release();
  const std::string data = Get("out");
  ASSERT_EQ(3u * 1024 * 1024 + 5, data.size());
  EXPECT_EQ(std::string::npos, data.find_first_not_of('z'));
}

TEST_F(BinaryStreamTest, ForWritingOverwritesFromTheStartWithoutTruncating) {
  Put("f", "abcdef");
  IBinaryStream* s = Open("f", ForWriting);
  ASSERT_EQ(S_OK, WriteBytes(s, "XY"));
  s->Release();
  EXPECT_EQ("XYcdef", Get("f"));
}

TEST_F(BinaryStreamTest, ForAppendingWritesAtTheEndAndReadsNothing) {
  Put("f", "abc");
  IBinaryStream* s = Open("f", ForAppending);
  EXPECT_FALSE(AtEnd(s));
  ASSERT_EQ(S_OK, WriteBytes(s, "de"));
  EXPECT_EQ("", Read(s, 4));
  EXPECT_TRUE(AtEnd(s));
  s->Release();
  EXPECT_EQ("abcde", Get("f"));

  // Appending to an empty file: the whole-file read that finds the end
  // finds nothing, so the stream starts at its end.
  s = Open("new", ForAppending, true);
  EXPECT_TRUE(AtEnd(s));
  ASSERT_EQ(S_OK, WriteBytes(s, "x"));
  s->Release();
  EXPECT_EQ("x", Get("new"));
}

TEST_F(BinaryStreamTest, CreateReplacesOrRefusesAnExistingFile) {
  Put("f", "old content");
  IBinaryStream* s = Create("f");
  s->Release();
  EXPECT_EQ("", Get("f"));
  Put("f", "kept");
  IBinaryStream* none = nullptr;
  EXPECT_EQ(kFileExists, tessary::NewBinaryStreamCreate(B(W("f")).get(), VARIANT_FALSE, &none));
  EXPECT_EQ(nullptr, none);
  EXPECT_EQ("The file exists.", TakeError().description);
  EXPECT_EQ("kept", Get("f"));
}

// --- Positions -------------------------------------------------------------

TEST_F(BinaryStreamTest, SkipMovesBothWaysAndPastTheEnd) {
  Put("f", "0123456789");
  IBinaryStream* s = Open("f");
  EXPECT_EQ("01", Read(s, 2));
  ASSERT_EQ(S_OK, s->Skip(3));
  EXPECT_EQ("56", Read(s, 2));
  ASSERT_EQ(S_OK, s->Skip(-7));
  EXPECT_EQ("0", Read(s, 1));
  EXPECT_EQ(kNegativeSeek, s->Skip(-2));
  EXPECT_EQ("1", Read(s, 1));  // a failed skip moves nothing
  ASSERT_EQ(S_OK, s->Skip(100));
  EXPECT_EQ("", Read(s, 1));
  EXPECT_TRUE(AtEnd(s));
  s->Release();
}

// Reads of every size, skips forwards and backwards: the bytes come out as
// one system read per call would give them, across read-ahead blocks.
TEST_F(BinaryStreamTest, ArbitraryReadsAndSkipsMatchTheFile) {
  std::mt19937 random(1234);
  std::string data(300000, '\0');
  for (char& c : data) c = static_cast<char>(random());
  Put("f", data);
  IBinaryStream* s = Open("f");
  size_t at = 0;
  for (int step = 0; step < 400; ++step) {
    const int kind = static_cast<int>(random() % 10);
    if (kind < 7) {
      const LONG n =
          kind == 0 ? static_cast<LONG>(random() % 200000) : static_cast<LONG>(random() % 300);
      const std::string got = Read(s, n);
      const std::string want = at < data.size() ? data.substr(at, n) : std::string();
      ASSERT_EQ(want, got) << "step " << step << " at " << at << " n " << n;
      at += got.size();
    } else {
      const LONG move = static_cast<LONG>(random() % 100000) - 50000;
      const HRESULT hr = s->Skip(move);
      if (static_cast<int64_t>(at) + move < 0) {
        ASSERT_EQ(kNegativeSeek, hr);
      } else {
        ASSERT_EQ(S_OK, hr);
        at += move;
      }
    }
  }
  s->Release();
}

// Positions beyond 4 GiB: the file is sparse, so this costs no disk.
TEST_F(BinaryStreamTest, ReadsAndSkipsPastFourGigabytes) {
  const uint64_t size = 5ull << 30;
  { std::ofstream(P("big"), std::ios::binary); }
  ASSERT_EQ(0, truncate(P("big").c_str(), static_cast<off_t>(size)));
  {
    std::fstream f(P("big"), std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(size - 4));
    f.write("tail", 4);
  }
  IBinaryStream* s = Open("big");
  // A rest larger than one array is refused before anything is read.
  VARIANT v;
  VariantInit(&v);
  EXPECT_EQ(static_cast<HRESULT>(0x800700DF), s->ReadAll(&v));
  EXPECT_EQ("The rest of the file is too large for one array.", TakeError().description);
  EXPECT_EQ(static_cast<HRESULT>(0x800700DF), s->ReadVarAll(&v));
  for (int i = 0; i < 2; ++i) ASSERT_EQ(S_OK, s->Skip(0x7FFFFFFF));
  ASSERT_EQ(S_OK, s->Skip(0x7FFFFFFF));
  // Now at 3 * (2^31 - 1); move to 8 bytes before the end.
  const int64_t here = 3 * int64_t{0x7FFFFFFF};
  ASSERT_EQ(S_OK, s->Skip(static_cast<LONG>(static_cast<int64_t>(size) - 8 - here)));
  EXPECT_EQ(std::string("\0\0\0\0tail", 8), Read(s, 100));
  ASSERT_EQ(S_OK, s->Skip(-6));
  ASSERT_EQ(S_OK, s->ReadAll(&v));
  EXPECT_EQ(std::string("\0\0tail", 6), Bytes(&v));
  s->Release();
}

// --- Bad input and misuse --------------------------------------------------

TEST_F(BinaryStreamTest, UnknownModeCreatesNothing) {
  IBinaryStream* s = nullptr;
  for (LONG mode : {0, 3, 4, 16, -1}) {
    EXPECT_EQ(DISP_E_EXCEPTION,
              tessary::NewBinaryStreamOpen(B(W("f")).get(), mode, VARIANT_TRUE, &s));
    ErrorRecord e = TakeError();
    EXPECT_EQ("Unknown Mode.", e.description);
    EXPECT_EQ("Tessary.BinaryStream.1", e.source);
    EXPECT_EQ(nullptr, s);
  }
  EXPECT_FALSE(Exists("f"));
}

TEST_F(BinaryStreamTest, MissingFilesAndBadNames) {
  IBinaryStream* s = nullptr;
  EXPECT_EQ(kNotFound,
            tessary::NewBinaryStreamOpen(B(W("missing")).get(), ForReading, VARIANT_FALSE, &s));
  EXPECT_EQ("The system cannot find the file specified.", TakeError().description);
  EXPECT_EQ(static_cast<HRESULT>(0x800700CE),
            tessary::NewBinaryStreamOpen(B("C:\\" + std::string(300, 'a')).get(), ForReading,
                                         VARIANT_TRUE, &s));
  EXPECT_EQ(
      static_cast<HRESULT>(0x800700CE),
      tessary::NewBinaryStreamCreate(B("C:\\" + std::string(300, 'a')).get(), VARIANT_TRUE, &s));
  // A folder is no file.
  EXPECT_EQ(kAccessDenied,
            tessary::NewBinaryStreamOpen(B(W("")).get(), ForReading, VARIANT_FALSE, &s));
  EXPECT_EQ(E_POINTER,
            tessary::NewBinaryStreamOpen(B(W("x")).get(), ForReading, VARIANT_TRUE, nullptr));
}

TEST_F(BinaryStreamTest, HandleRightsDecideWhatWorks) {
  Put("f", "data");
  IBinaryStream* reader = Open("f");
  EXPECT_EQ(kAccessDenied, WriteBytes(reader, "XX"));
  EXPECT_EQ("Access is denied.", TakeError().description);
  EXPECT_EQ(kAccessDenied, reader->Fill(1, 5));
  EXPECT_EQ(kAccessDenied, WriteBytes(reader, ""));  // an empty write asks for the right too
  EXPECT_EQ("da", Read(reader, 2));                  // the reader is unharmed
  reader->Release();
  EXPECT_EQ("data", Get("f"));

  IBinaryStream* writer = Open("f", ForWriting);
  VARIANT v;
  VariantInit(&v);
  EXPECT_EQ(kAccessDenied, writer->Read(2, &v));
  EXPECT_EQ(kAccessDenied, writer->ReadAll(&v));
  EXPECT_EQ(kAccessDenied, writer->ReadVar(2, &v));
  EXPECT_FALSE(AtEnd(writer));  // a failed read leaves the flag alone
  writer->Release();

  IBinaryStream* created = Create("g");
  EXPECT_EQ(kAccessDenied, created->Read(1, &v));
  created->Release();
}

TEST_F(BinaryStreamTest, ClosedAndUnopenedStreamsFailWithInvalidHandle) {
  Put("f", "data");
  IBinaryStream* s = Open("f");
  ASSERT_EQ(S_OK, s->Close());
  ASSERT_EQ(S_OK, s->Close());  // twice is fine
  VARIANT v;
  VariantInit(&v);
  VARIANT_BOOL end = VARIANT_FALSE;
  EXPECT_EQ(kInvalidHandle, s->Read(1, &v));
  const ErrorRecord error = TakeError();
  EXPECT_EQ("The handle is invalid.", error.description);
  EXPECT_EQ("Tessary.BinaryStream.1", error.source);
  EXPECT_EQ(kInvalidHandle, s->Read(0, &v));
  EXPECT_EQ(kInvalidHandle, s->ReadAll(&v));
  EXPECT_EQ(kInvalidHandle, s->ReadVar(1, &v));
  EXPECT_EQ(kInvalidHandle, s->ReadVarAll(&v));
  EXPECT_EQ(kInvalidHandle, s->get_AtEndOfStream(&end));
  EXPECT_EQ(kInvalidHandle, WriteBytes(s, "x"));
  EXPECT_EQ(kInvalidHandle, s->Fill(1, 1));
  EXPECT_EQ(kInvalidHandle, s->Skip(1));
  EXPECT_EQ(VT_EMPTY, v.vt);
  s->Release();

  IBinaryStream* raw = nullptr;
  ASSERT_EQ(S_OK, tessary::CreateInstance<BinaryStream>(IID_IBinaryStream,
                                                        reinterpret_cast<void**>(&raw)));
  EXPECT_EQ(kInvalidHandle, raw->Read(1, &v));
  EXPECT_EQ(kInvalidHandle, WriteBytes(raw, "x"));
  EXPECT_EQ(kInvalidHandle, raw->Skip(0));
  EXPECT_EQ(kInvalidHandle, raw->get_AtEndOfStream(&end));
  raw->Release();
}

TEST_F(BinaryStreamTest, NegativeCountsAreRefusedWithoutTouchingTheFile) {
  Put("f", "data");
  IBinaryStream* s = Open("f", ForAppending);
  VARIANT v;
  VariantInit(&v);
  EXPECT_EQ(E_INVALIDARG, s->Read(-1, &v));
  EXPECT_EQ("The number of bytes must not be negative.", TakeError().description);
  EXPECT_EQ(E_INVALIDARG, s->ReadVar(-5, &v));
  EXPECT_EQ(E_INVALIDARG, s->Fill(0, -1));
  EXPECT_EQ(E_INVALIDARG, s->Fill(0, INT32_MIN));
  EXPECT_EQ(VT_EMPTY, v.vt);
  s->Release();
  EXPECT_EQ("data", Get("f"));
}

TEST_F(BinaryStreamTest, HugeCountsCostWhatTheFileHolds) {
  Put("f", "0123456789");
  IBinaryStream* s = Open("f");
  EXPECT_EQ("0123456789", Read(s, 0x7FFFFFFF));
  s->Release();
  s = Open("f");
  VARIANT v;
  VariantInit(&v);
  ASSERT_EQ(S_OK, s->ReadVar(0x7FFFFFFF, &v));
  EXPECT_EQ("0123456789", VarBytes(&v));
  s->Release();
}

// --- Sharing with other handles ---------------------------------------------

TEST_F(BinaryStreamTest, ShareModesAreThoseOfEachMode) {
  Put("f", "data");
  IBinaryStream* reader = Open("f");
  // Readers let writers in; writers let only readers in.
  IBinaryStream* writer = Open("f", ForWriting);
  ASSERT_NE(nullptr, writer);
  IBinaryStream* second = nullptr;
  EXPECT_EQ(kSharingViolation,
            tessary::NewBinaryStreamOpen(B(W("f")).get(), ForWriting, VARIANT_FALSE, &second));
  EXPECT_EQ(kSharingViolation,
            tessary::NewBinaryStreamOpen(B(W("f")).get(), ForAppending, VARIANT_FALSE, &second));
  EXPECT_EQ(kSharingViolation,
            tessary::NewBinaryStreamCreate(B(W("f")).get(), VARIANT_TRUE, &second));
  IBinaryStream* another_reader = Open("f");
  ASSERT_NE(nullptr, another_reader);
  another_reader->Release();
  writer->Release();
  reader->Release();
}

// A reader reads ahead; what another stream writes afterwards is what the
// reader's next read returns, as if every read went to the file.
TEST_F(BinaryStreamTest, ReadsSeeWritesThroughOtherStreams) {
  Put("f", std::string(1000, 'a'));
  IBinaryStream* reader = Open("f");
  EXPECT_EQ("a", Read(reader, 1));
  IBinaryStream* writer = Open("f", ForWriting);
  ASSERT_EQ(S_OK, WriteBytes(writer, "bcd"));  // offsets 0..2
  EXPECT_EQ("cda", Read(reader, 3));
  ASSERT_EQ(S_OK, writer->Skip(500));
  ASSERT_EQ(S_OK, writer->Fill('z', 2));  // offsets 503, 504
  EXPECT_EQ(std::string(499, 'a') + "zz" + "aa", Read(reader, 503));
  writer->Release();

  // Data appended after the reader found the end is read.
  EXPECT_EQ(std::string(493, 'a'), Read(reader, 2000));
  EXPECT_EQ("", Read(reader, 10));
  IBinaryStream* appender = Open("f", ForAppending);
  ASSERT_EQ(S_OK, WriteBytes(appender, "more"));
  appender->Release();
  EXPECT_EQ("more", Read(reader, 10));

  // A new write handle that empties the file is seen too.
  ASSERT_EQ(S_OK, reader->Skip(-1004));
  EXPECT_EQ("b", Read(reader, 1));
  IBinaryStream* replacer = Create("f");
  ASSERT_EQ(S_OK, WriteBytes(replacer, "NEW"));
  replacer->Release();
  EXPECT_EQ("EW", Read(reader, 10));
  reader->Release();
}

// Changes made by handles that are not streams are seen at the latest
// after the block in hand: a read that needs the file again sees them.
TEST_F(BinaryStreamTest, ReadsAfterABlockSeeChangesByOtherHandles) {
  Put("f", std::string(200000, 'a'));
  IBinaryStream* reader = Open("f");
  EXPECT_EQ("a", Read(reader, 1));
  {
    std::fstream f(P("f"), std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(150000);
    f.write("XYZ", 3);
  }
  ASSERT_EQ(S_OK, reader->Skip(149999 - 1));
  EXPECT_EQ("aXYZa", Read(reader, 5));
  reader->Release();
}

TEST_F(BinaryStreamTest, ReleasingTheLastReferenceClosesTheFile) {
  IBinaryStream* s = Create("f");
  s->Release();
  // Nothing holds the file: a writer that shares nothing gets it.
  s = Open("f", ForWriting);
  ASSERT_NE(nullptr, s);
  s->Release();
}

TEST_F(BinaryStreamTest, AnswersErrorInfoForItsOwnInterfaceOnly) {
  IBinaryStream* s = Create("f");
  ISupportErrorInfo* support = nullptr;
  ASSERT_EQ(S_OK, s->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(&support)));
  EXPECT_EQ(S_OK, support->InterfaceSupportsErrorInfo(IID_IBinaryStream));
  EXPECT_EQ(S_FALSE, support->InterfaceSupportsErrorInfo(IID_IDispatch));
  support->Release();
  s->Release();
}

}  // namespace
