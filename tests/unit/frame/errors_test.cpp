// The common error path: codes, texts, line-break trimming, sources.
#include <gtest/gtest.h>

#include <string>

#include "frame/errors.h"
#include "frame/module.h"
#include "platform/system.h"
#include "tessary_stubs.h"
#include "test_support.h"

namespace tessary {
namespace {

struct Record {
  bool present = false;
  GUID guid{};
  std::u16string source;
  bool has_source = false;
  std::u16string description;
};

Record TakeRecord() {
  Record r;
  IErrorInfo* info = nullptr;
  if (GetErrorInfo(0, &info) != S_OK || !info) return r;
  r.present = true;
  info->GetGUID(&r.guid);
  BSTR source = nullptr, description = nullptr;
  info->GetSource(&source);
  info->GetDescription(&description);
  r.has_source = source != nullptr;
  if (source) r.source = source;
  if (description) r.description = description;
  SysFreeString(source);
  SysFreeString(description);
  info->Release();
  return r;
}

TEST(HResultFromWin32, MapsPositiveCodesAndPassesTheRestThrough) {
  EXPECT_EQ(static_cast<HRESULT>(0x80070002), HResultFromWin32(2));
  EXPECT_EQ(E_ACCESSDENIED, HResultFromWin32(5));
  EXPECT_EQ(static_cast<HRESULT>(0x800700CE), HResultFromWin32(206));
  EXPECT_EQ(0, HResultFromWin32(0));
  // Only the low 16 bits of a code survive, as with the system's rule.
  EXPECT_EQ(static_cast<HRESULT>(0x80071234), HResultFromWin32(0x00051234));
  // A value that is already an HRESULT is negative and passes unchanged.
  EXPECT_EQ(E_FAIL, HResultFromWin32(static_cast<DWORD>(E_FAIL)));
}

TEST(ReportError, CodeZeroBecomesDispException) {
  EXPECT_EQ(DISP_E_EXCEPTION, ReportError(nullptr, "Invalid argument", 0));
  Record r = TakeRecord();
  ASSERT_TRUE(r.present);
  EXPECT_EQ(u"Invalid argument", r.description);
  EXPECT_FALSE(r.has_source);
  EXPECT_TRUE(IsEqualGUID(GUID_NULL, r.guid));
}

TEST(ReportError, KeepsTheGivenCodeAndConvertsAnsiText) {
  EXPECT_EQ(E_INVALIDARG, ReportError(nullptr, "caf\xc3\xa9", E_INVALIDARG));
  EXPECT_EQ(u"caf\u00e9", TakeRecord().description);
}

TEST(ReportError, EachReportReplacesTheThreadsRecordAndSuccessLeavesIt) {
  ReportError(nullptr, "first", E_FAIL);
  ReportError(nullptr, "second", E_FAIL);
  EXPECT_EQ(u"second", TakeRecord().description);
  EXPECT_FALSE(TakeRecord().present);
}

TEST(ReportWin32Error, PrefixIsFollowedByTheSystemTextWithoutItsLineBreak) {
  EXPECT_EQ(static_cast<HRESULT>(0x80070002), ReportWin32Error(nullptr, 2, "C:\\x.txt: "));
  EXPECT_EQ(u"C:\\x.txt: The system cannot find the file specified.", TakeRecord().description);
  EXPECT_EQ(static_cast<HRESULT>(0x80070020), ReportWin32Error(nullptr, 32, nullptr));
  std::u16string text = TakeRecord().description;
  ASSERT_FALSE(text.empty());
  EXPECT_NE(u'\n', text.back());
  EXPECT_NE(u'\r', text.back());
}

TEST(ReportWin32Error, ACodeWithoutTextGivesAnEmptyMessageButItsHResult) {
  EXPECT_EQ(static_cast<HRESULT>(0x80073FFF), ReportWin32Error(nullptr, 0x3FFF, "prefix "));
  Record r = TakeRecord();
  ASSERT_TRUE(r.present);
  EXPECT_EQ(u"", r.description);  // the prefix is not used either
}

TEST(ReportLastWin32Error, ReadsTheThreadsLastError) {
  SetLastError(5);
  EXPECT_EQ(E_ACCESSDENIED, ReportLastWin32Error(nullptr, nullptr));
  EXPECT_EQ(u"Access is denied.", TakeRecord().description);
}

TEST(ReportError, SourceIsTheRegisteredProgIdOfTheReportingClass) {
  testing::ScopedStore store;
  ReportError(&CLSID_File, "unregistered", E_FAIL);
  EXPECT_FALSE(TakeRecord().has_source);  // nothing registered yet
  ASSERT_EQ(S_OK, RegisterServer());
  ReportError(&CLSID_File, "x", E_FAIL);
  EXPECT_EQ(u"Tessary.File.1", TakeRecord().source);
  ReportError(&CLSID_Tessary, "x", E_FAIL);
  EXPECT_EQ(u"Quennel.Tessary.1", TakeRecord().source);
  ReportError(&CLSID_BinaryStream, "x", E_FAIL);
  EXPECT_EQ(u"Tessary.BinaryStream.1", TakeRecord().source);
  // The permission entry class is never registered.
  ReportError(&CLSID_PermItem, "x", E_FAIL);
  EXPECT_FALSE(TakeRecord().has_source);
}

}  // namespace
}  // namespace tessary
