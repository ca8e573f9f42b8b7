// Error records: the object's two interfaces, and the per-thread slot that
// GetErrorInfo empties.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "platform/automation.h"

namespace {

IErrorInfo* MakeRecord(const char16_t* description) {
  ICreateErrorInfo* create = nullptr;
  EXPECT_EQ(S_OK, CreateErrorInfo(&create));
  create->SetDescription(const_cast<LPOLESTR>(description));
  IErrorInfo* info = nullptr;
  EXPECT_EQ(S_OK, create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)));
  create->Release();
  return info;
}

std::u16string DescriptionOf(IErrorInfo* info) {
  BSTR text = nullptr;
  EXPECT_EQ(S_OK, info->GetDescription(&text));
  std::u16string result = text != nullptr ? std::u16string(text) : std::u16string();
  SysFreeString(text);
  return result;
}

TEST(ErrorRecord, FieldsRoundTripThroughBothInterfaces) {
  ICreateErrorInfo* create = nullptr;
  ASSERT_EQ(S_OK, CreateErrorInfo(&create));
  const GUID guid = {0x12345678, 0x9ABC, 0xDEF0, {1, 2, 3, 4, 5, 6, 7, 8}};
  create->SetGUID(guid);
  create->SetSource(const_cast<LPOLESTR>(u"Tessary.File.1"));
  create->SetDescription(const_cast<LPOLESTR>(u"Access is denied."));
  create->SetHelpContext(42);

  IErrorInfo* info = nullptr;
  ASSERT_EQ(S_OK, create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)));
  ICreateErrorInfo* again = nullptr;
  ASSERT_EQ(S_OK, info->QueryInterface(IID_ICreateErrorInfo, reinterpret_cast<void**>(&again)));
  EXPECT_EQ(create, again);
  again->Release();
  void* other = reinterpret_cast<void*>(1);
  EXPECT_EQ(E_NOINTERFACE, info->QueryInterface(IID_IDispatch, &other));
  EXPECT_EQ(nullptr, other);

  GUID read;
  ASSERT_EQ(S_OK, info->GetGUID(&read));
  EXPECT_TRUE(IsEqualGUID(guid, read));
  BSTR source = nullptr;
  ASSERT_EQ(S_OK, info->GetSource(&source));
  EXPECT_EQ(u"Tessary.File.1", std::u16string(source));
  SysFreeString(source);
  EXPECT_EQ(u"Access is denied.", DescriptionOf(info));
  BSTR help = reinterpret_cast<BSTR>(1);
  ASSERT_EQ(S_OK, info->GetHelpFile(&help));
  EXPECT_EQ(nullptr, help);  // never set
  DWORD context = 0;
  ASSERT_EQ(S_OK, info->GetHelpContext(&context));
  EXPECT_EQ(42u, context);

  create->Release();
  EXPECT_EQ(0u, info->Release());
}

TEST(ErrorSlot, GetHandsTheRecordOverAndEmptiesTheSlot) {
  IErrorInfo* info = MakeRecord(u"first");
  ASSERT_EQ(S_OK, SetErrorInfo(0, info));
  info->Release();  // the slot holds its own reference

  IErrorInfo* got = nullptr;
  ASSERT_EQ(S_OK, GetErrorInfo(0, &got));
  ASSERT_NE(nullptr, got);
  EXPECT_EQ(u"first", DescriptionOf(got));
  EXPECT_EQ(0u, got->Release());

  got = reinterpret_cast<IErrorInfo*>(1);
  EXPECT_EQ(S_FALSE, GetErrorInfo(0, &got));
  EXPECT_EQ(nullptr, got);
}

TEST(ErrorSlot, SetReplacesAndNullClears) {
  IErrorInfo* first = MakeRecord(u"first");
  IErrorInfo* second = MakeRecord(u"second");
  first->AddRef();
  ASSERT_EQ(S_OK, SetErrorInfo(0, first));
  EXPECT_EQ(2u, first->Release());  // ours and the slot's
  ASSERT_EQ(S_OK, SetErrorInfo(0, second));
  EXPECT_EQ(0u, first->Release());  // the slot let go of it
  second->Release();
  ASSERT_EQ(S_OK, SetErrorInfo(0, nullptr));  // releases "second" (LSan checks)
  IErrorInfo* got = nullptr;
  EXPECT_EQ(S_FALSE, GetErrorInfo(0, &got));
}

TEST(ErrorSlot, EachThreadHasItsOwn) {
  IErrorInfo* mine = MakeRecord(u"main");
  ASSERT_EQ(S_OK, SetErrorInfo(0, mine));
  mine->Release();

  std::u16string seen_in_thread;
  HRESULT empty_in_thread = E_FAIL;
  std::thread worker([&] {
    IErrorInfo* got = nullptr;
    empty_in_thread = GetErrorInfo(0, &got);
    IErrorInfo* theirs = MakeRecord(u"worker");
    SetErrorInfo(0, theirs);
    theirs->Release();
    ASSERT_EQ(S_OK, GetErrorInfo(0, &got));
    seen_in_thread = DescriptionOf(got);
    got->Release();
  });
  worker.join();
  EXPECT_EQ(S_FALSE, empty_in_thread);
  EXPECT_EQ(u"worker", seen_in_thread);

  IErrorInfo* got = nullptr;
  ASSERT_EQ(S_OK, GetErrorInfo(0, &got));
  EXPECT_EQ(u"main", DescriptionOf(got));
  got->Release();
}

TEST(ErrorSlot, ARecordLeftAtThreadExitIsReleased) {
  IErrorInfo* info = MakeRecord(u"left behind");
  info->AddRef();
  std::thread worker([info] { SetErrorInfo(0, info); });
  worker.join();
  // The worker's slot released its reference when the thread ended.
  EXPECT_EQ(1u, info->Release());
  EXPECT_EQ(0u, info->Release());
}

TEST(ErrorSlot, ReservedMustBeZero) {
  IErrorInfo* got = nullptr;
  EXPECT_EQ(E_INVALIDARG, GetErrorInfo(1, &got));
  EXPECT_EQ(E_INVALIDARG, SetErrorInfo(1, nullptr));
  EXPECT_EQ(E_INVALIDARG, CreateErrorInfo(nullptr));
}

}  // namespace
