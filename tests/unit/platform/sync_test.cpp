// The thread's last error, critical sections, GUID text
// and the debugger output channel.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/system.h"

namespace {

TEST(LastError, IsPerThreadAndIndependentOfErrno) {
  SetLastError(ERROR_ACCESS_DENIED);
  errno = ENOENT;
  DWORD in_thread = 1;
  std::thread worker([&] {
    in_thread = GetLastError();
    SetLastError(ERROR_FILE_NOT_FOUND);
  });
  worker.join();
  EXPECT_EQ(0u, in_thread);
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
}

TEST(CriticalSection, IsReentrantAndExcludesOtherThreads) {
  CRITICAL_SECTION cs;
  InitializeCriticalSection(&cs);
  EnterCriticalSection(&cs);
  EnterCriticalSection(&cs);  // the owner may enter again
  LeaveCriticalSection(&cs);
  LeaveCriticalSection(&cs);

  long shared = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 5000; ++i) {
        EnterCriticalSection(&cs);
        EnterCriticalSection(&cs);  // leaving once must not let others in
        const long seen = shared;
        LeaveCriticalSection(&cs);
        shared = seen + 1;
        LeaveCriticalSection(&cs);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(20000, shared);
  DeleteCriticalSection(&cs);
}

TEST(Guid, TextRoundTripInUpperCase) {
  const GUID guid = {0xE7B62F41, 0x82F4, 0x11D2, {0xBD, 0x41, 0x00, 0x10, 0x5A, 0x0A, 0x7E, 0x89}};
  OLECHAR text[39];
  ASSERT_EQ(39, StringFromGUID2(guid, text, 39));
  EXPECT_EQ(u"{E7B62F41-82F4-11D2-BD41-00105A0A7E89}", std::u16string(text));
  EXPECT_EQ(0, StringFromGUID2(guid, text, 38));

  CLSID back;
  ASSERT_EQ(S_OK, CLSIDFromString(u"{e7b62f41-82f4-11d2-bd41-00105a0a7e89}", &back));
  EXPECT_TRUE(IsEqualGUID(guid, back));
}

TEST(Guid, MalformedTextIsRefused) {
  CLSID out;
  for (const char16_t* text :
       {u"", u"E7B62F41-82F4-11D2-BD41-00105A0A7E89", u"{E7B62F41-82F4-11D2-BD41-00105A0A7E8}",
        u"{E7B62F41-82F4-11D2-BD41-00105A0A7E89}x", u"{E7B62F41+82F4-11D2-BD41-00105A0A7E89}",
        u"{G7B62F41-82F4-11D2-BD41-00105A0A7E89}", u"Quennel.Tessary"}) {
    EXPECT_EQ(CO_E_CLASSSTRING, CLSIDFromString(text, &out));
  }
  ASSERT_EQ(S_OK, CLSIDFromString(nullptr, &out));
  EXPECT_TRUE(IsEqualGUID(GUID_NULL, out));
}

TEST(Guid, InterfaceIdsHaveTheirWindowsValues) {
  OLECHAR text[39];
  StringFromGUID2(IID_IDispatch, text, 39);
  EXPECT_EQ(u"{00020400-0000-0000-C000-000000000046}", std::u16string(text));
  StringFromGUID2(IID_IErrorInfo, text, 39);
  EXPECT_EQ(u"{1CF2B120-547D-101B-8E65-08002B2BD119}", std::u16string(text));
}

TEST(DebugOutput, GoesToStderrOnlyWhenAttached) {
  unsetenv("TESSARY_DEBUG_OUTPUT");
  ::testing::internal::CaptureStderr();
  OutputDebugStringA("hidden\n");
  EXPECT_EQ("", ::testing::internal::GetCapturedStderr());

  setenv("TESSARY_DEBUG_OUTPUT", "1", 1);
  ::testing::internal::CaptureStderr();
  OutputDebugStringA("shown\n");
  OutputDebugStringA(nullptr);
  EXPECT_EQ("shown\n", ::testing::internal::GetCapturedStderr());
  unsetenv("TESSARY_DEBUG_OUTPUT");
}

TEST(TaskMemory, AllocatesAndFrees) {
  void* p = CoTaskMemAlloc(64);
  ASSERT_NE(nullptr, p);
  static_cast<char*>(p)[63] = 1;
  CoTaskMemFree(p);
  CoTaskMemFree(nullptr);
}

}  // namespace
