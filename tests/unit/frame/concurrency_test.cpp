// Objects are free-threaded: creation, reference counting, the module lock
// count and the per-thread error records must hold up with several threads
// at once (run under ThreadSanitizer by tools/test).
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "frame/class_table.h"
#include "frame/errors.h"
#include "frame/module.h"
#include "platform/system.h"

namespace tessary {
namespace {

TEST(Concurrency, CreationReleaseAndErrorRecordsOnSeveralThreads) {
  constexpr int kThreads = 6;
  constexpr int kRounds = 400;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &failures] {
      const std::string mine = "thread " + std::to_string(t);
      const std::u16string expected(mine.begin(), mine.end());
      for (int round = 0; round < kRounds; ++round) {
        const ClassEntry& entry = kClassTable[(t + round) % kClassCount];
        IDispatch* object = nullptr;
        if (FAILED(entry.create(IID_IDispatch, reinterpret_cast<void**>(&object)))) {
          ++failures;
          continue;
        }
        // Share the object with a second reference, as a collection would.
        IUnknown* extra = nullptr;
        object->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&extra));
        ReportError(nullptr, mine.c_str(), E_FAIL);
        extra->Release();
        object->Release();
        IErrorInfo* info = nullptr;
        BSTR text = nullptr;
        if (GetErrorInfo(0, &info) != S_OK || !info) {
          ++failures;
          continue;
        }
        info->GetDescription(&text);
        if (!text || expected != text) ++failures;
        SysFreeString(text);
        info->Release();
      }
    });
  }
  // Objects created on one thread may be released on another.
  std::vector<IDispatch*> handed_over;
  for (int i = 0; i < 50; ++i) {
    IDispatch* object = nullptr;
    ASSERT_EQ(S_OK, kClassTable[0].create(IID_IDispatch, reinterpret_cast<void**>(&object)));
    handed_over.push_back(object);
  }
  std::thread releaser([&handed_over] {
    for (IDispatch* object : handed_over) object->Release();
  });
  releaser.join();
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(0, failures.load());
  EXPECT_EQ(0, ModuleLockCount());
  EXPECT_EQ(S_OK, CanUnloadNow());
}

}  // namespace
}  // namespace tessary
