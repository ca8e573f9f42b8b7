// Objects are free-threaded: creation, reference counting, the module lock
// count and the per-thread error records must hold up with several threads
// at once, and so must one Dictionary or one stream that several threads
// share (run under ThreadSanitizer by tools/test).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bstr_support.h"
#include "dictionary/dictionary.h"
#include "frame/class_table.h"
#include "frame/errors.h"
#include "frame/module.h"
#include "frame/values.h"
#include "platform/system.h"
#include "streams/streams.h"
#include "test_support.h"

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

// Runs body(t) on `count` threads at once and waits for them all.
template <class Body>
void OnThreads(int count, Body body) {
  std::vector<std::thread> threads;
  for (int t = 0; t < count; ++t) threads.emplace_back([t, &body] { body(t); });
  for (std::thread& thread : threads) thread.join();
}

// An owned argument variant.
struct Arg {
  Arg() { VariantInit(&v); }
  explicit Arg(const std::string& text) : Arg() {
    v.vt = VT_BSTR;
    v.bstrVal = testing::B(text).Detach();
  }
  explicit Arg(LONG n) : Arg() {
    v.vt = VT_I4;
    v.lVal = n;
  }
  ~Arg() { VariantClear(&v); }
  Arg(const Arg&) = delete;
  Arg& operator=(const Arg&) = delete;
  VARIANT v;
};

std::string KeyOf(int thread, int i) {
  return "t" + std::to_string(thread) + "-" + std::to_string(i);
}
LONG ValueOf(int thread, int i) { return thread * 100000 + i; }

// The number of elements of a Keys() or Items() result, which is cleared.
LONG ArraySize(VARIANT* array) {
  LONG upper = -2;
  if (array->vt == (VT_ARRAY | VT_VARIANT)) SafeArrayGetUBound(array->parray, 1, &upper);
  VariantClear(array);
  return upper + 1;
}

TEST(Concurrency, OneDictionaryKeepsEveryThreadsEntries) {
  constexpr int kThreads = 4;
  constexpr int kKeys = 200;
  Dictionary* d = nullptr;
  ASSERT_EQ(S_OK, CreateObject(&d));
  std::atomic<int> failures{0};
  auto check = [&failures](bool ok) {
    if (!ok) ++failures;
  };
  OnThreads(kThreads, [&](int t) {
    for (int i = 0; i < kKeys; ++i) {
      Arg key(KeyOf(t, i));
      Arg value(ValueOf(t, i));
      check(d->Add(&key.v, &value.v) == S_OK);
      VARIANT_BOOL exists = VARIANT_FALSE;
      check(d->Exists(&key.v, &exists) == S_OK && exists == VARIANT_TRUE);
      Arg item;
      check(d->get_Item(&key.v, &item.v) == S_OK && item.v.vt == VT_I4 &&
            item.v.lVal == ValueOf(t, i));
      // The thread's own entry is there, so position 1 is too.
      Arg first(1);
      Arg at_first;
      check(d->get_Item(&first.v, &at_first.v) == S_OK && at_first.v.vt == VT_I4);
      if (i % 2 == 1) {
        check(d->Remove(&key.v) == S_OK);
      } else {
        Arg replaced(ValueOf(t, i) + 1);
        check(d->put_Item(&key.v, &replaced.v) == S_OK);
      }
      if (i % 16 == 0) {
        LONG count = 0;
        check(d->get_Count(&count) == S_OK && count >= 1 && count <= kThreads * kKeys);
        Arg keys;
        check(d->Keys(&keys.v) == S_OK && ArraySize(&keys.v) >= 1);
        IUnknown* unknown = nullptr;
        check(d->get__NewEnum(&unknown) == S_OK);
        IEnumVARIANT* items = nullptr;
        if (unknown && SUCCEEDED(unknown->QueryInterface(IID_IEnumVARIANT,
                                                         reinterpret_cast<void**>(&items)))) {
          Arg next;
          ULONG fetched = 0;
          while (items->Next(1, &next.v, &fetched) == S_OK) {
            check(next.v.vt == VT_I4);
            VariantClear(&next.v);
          }
          items->Release();
        }
        if (unknown) unknown->Release();
      }
    }
  });
  EXPECT_EQ(0, failures.load());
  LONG count = 0;
  ASSERT_EQ(S_OK, d->get_Count(&count));
  EXPECT_EQ(kThreads * kKeys / 2, count);
  Arg keys;
  ASSERT_EQ(S_OK, d->Keys(&keys.v));
  EXPECT_EQ(count, ArraySize(&keys.v));
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kKeys; ++i) {
      Arg key(KeyOf(t, i));
      Arg item;
      if (i % 2 == 1) {
        EXPECT_EQ(DISP_E_EXCEPTION, d->get_Item(&key.v, &item.v)) << KeyOf(t, i);
      } else {
        ASSERT_EQ(S_OK, d->get_Item(&key.v, &item.v)) << KeyOf(t, i);
        EXPECT_EQ(ValueOf(t, i) + 1, item.v.lVal);
      }
    }
  }

  // One enumerator shared by the threads hands each item out exactly once.
  IUnknown* unknown = nullptr;
  ASSERT_EQ(S_OK, d->get__NewEnum(&unknown));
  IEnumVARIANT* items = nullptr;
  ASSERT_EQ(S_OK, unknown->QueryInterface(IID_IEnumVARIANT, reinterpret_cast<void**>(&items)));
  unknown->Release();
  std::mutex seen_lock;
  std::vector<LONG> seen;
  OnThreads(kThreads, [&](int) {
    Arg next;
    ULONG fetched = 0;
    while (items->Next(1, &next.v, &fetched) == S_OK && fetched == 1) {
      std::lock_guard<std::mutex> hold(seen_lock);
      seen.push_back(next.v.lVal);
      VariantClear(&next.v);
    }
  });
  items->Release();
  std::sort(seen.begin(), seen.end());
  std::vector<LONG> expected;
  for (int t = 0; t < kThreads; ++t)
    for (int i = 0; i < kKeys; i += 2) expected.push_back(ValueOf(t, i) + 1);
  EXPECT_EQ(expected, seen);
  d->Release();
}

// Splits text at each CR LF; the part after the last one is dropped.
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t from = 0;
  for (size_t at; (at = text.find("\r\n", from)) != std::string::npos; from = at + 2)
    lines.push_back(text.substr(from, at - from));
  return lines;
}

class StreamConcurrency : public ::testing::Test {
 protected:
  std::string W(const std::string& name) const { return testing::WindowsPath(dir_ / name); }
  std::string P(const std::string& name) const { return dir_ / name; }

  testing::ScopedStore store_;
  testing::TempDir dir_;
};

TEST_F(StreamConcurrency, TextStreamWritesAndReadsEveryLineWhole) {
  constexpr int kThreads = 4;
  constexpr int kLines = 150;
  ITextStream* writer = nullptr;
  ASSERT_EQ(S_OK, NewTextStreamCreate(W("t.txt"), VARIANT_TRUE, VARIANT_FALSE, &writer));
  std::atomic<int> failures{0};
  std::atomic<size_t> written{0};
  OnThreads(kThreads, [&](int t) {
    for (int i = 0; i < kLines; ++i) {
      const std::string line = KeyOf(t, i) + std::string(static_cast<size_t>(i % 40), 'x');
      if (writer->WriteLine(testing::B(line).get()) != S_OK) ++failures;
      written += line.size() + 2;
    }
  });
  ASSERT_EQ(S_OK, writer->Close());
  writer->Release();
  ASSERT_EQ(0, failures.load());
  const std::string on_disk = testing::ReadWholeFile(P("t.txt"));
  EXPECT_EQ(written.load(), on_disk.size());
  std::vector<std::string> expected;
  for (int t = 0; t < kThreads; ++t)
    for (int i = 0; i < kLines; ++i)
      expected.push_back(KeyOf(t, i) + std::string(static_cast<size_t>(i % 40), 'x'));
  std::sort(expected.begin(), expected.end());
  std::vector<std::string> lines = Lines(on_disk);
  std::sort(lines.begin(), lines.end());
  EXPECT_EQ(expected, lines);

  // Several readers of one stream share its look-ahead and counters.
  ITextStream* reader = nullptr;
  ASSERT_EQ(S_OK, NewTextStreamOpen(W("t.txt"), ForReading, VARIANT_FALSE, TristateFalse, &reader));
  std::mutex read_lock;
  std::vector<std::string> read;
  std::atomic<LONG> calls{0};
  OnThreads(kThreads, [&](int t) {
    for (;;) {
      VARIANT_BOOL end = VARIANT_FALSE;
      if (reader->get_AtEndOfStream(&end) != S_OK) ++failures;
      if (end == VARIANT_TRUE) break;
      if (t % 2 == 1 && reader->get_AtEndOfLine(&end) != S_OK) ++failures;
      BSTR line = nullptr;
      if (reader->ReadLine(&line) != S_OK) ++failures;
      ++calls;
      LONG column = 0;
      if (reader->get_Column(&column) != S_OK || column != 1) ++failures;
      const std::string text = testing::Take(line);
      if (text.empty()) continue;  // another thread reached the end first
      std::lock_guard<std::mutex> hold(read_lock);
      read.push_back(text);
    }
  });
  LONG line = 0;
  EXPECT_EQ(S_OK, reader->get_Line(&line));
  EXPECT_EQ(1 + calls.load(), line);
  reader->Release();
  EXPECT_EQ(0, failures.load());
  std::sort(read.begin(), read.end());
  EXPECT_EQ(expected, read);
}

TEST_F(StreamConcurrency, BinaryStreamWritesAndReadsEveryRecordWhole) {
  constexpr int kThreads = 4;
  constexpr int kRecords = 200;
  constexpr LONG kRecord = 48;
  IBinaryStream* writer = nullptr;
  ASSERT_EQ(S_OK, NewBinaryStreamCreate(W("b.bin"), VARIANT_TRUE, &writer));
  std::atomic<int> failures{0};
  OnThreads(kThreads, [&](int t) {
    const char mark = static_cast<char>('A' + t);
    for (int i = 0; i < kRecords; ++i) {
      if (i % 2 == 0) {
        if (writer->Fill(mark, kRecord) != S_OK) ++failures;
        continue;
      }
      Arg bytes;
      bytes.v.vt = VT_ARRAY | VT_UI1;
      bytes.v.parray = SafeArrayCreateVector(VT_UI1, 0, kRecord);
      std::fill_n(static_cast<char*>(bytes.v.parray->pvData), kRecord, mark);
      if (writer->Write(&bytes.v) != S_OK) ++failures;
    }
  });
  ASSERT_EQ(S_OK, writer->Close());
  writer->Release();
  ASSERT_EQ(0, failures.load());
  EXPECT_EQ(static_cast<size_t>(kThreads * kRecords * kRecord),
            testing::ReadWholeFile(P("b.bin")).size());

  // Readers of one stream each get whole records, and all of them.
  IBinaryStream* reader = nullptr;
  ASSERT_EQ(S_OK, NewBinaryStreamOpen(W("b.bin"), ForReading, VARIANT_FALSE, &reader));
  std::mutex counts_lock;
  std::map<char, int> records;
  OnThreads(kThreads, [&](int) {
    for (;;) {
      Arg bytes;
      if (reader->Read(kRecord, &bytes.v) != S_OK || bytes.v.vt != (VT_ARRAY | VT_UI1)) {
        ++failures;
        return;
      }
      const ULONG size = bytes.v.parray->rgsabound[0].cElements;
      if (size == 0) return;
      const char* data = static_cast<const char*>(bytes.v.parray->pvData);
      const bool whole = size == static_cast<ULONG>(kRecord) &&
                         std::all_of(data, data + size, [&](char c) { return c == data[0]; });
      std::lock_guard<std::mutex> hold(counts_lock);
      ++records[whole ? data[0] : '?'];
    }
  });
  VARIANT_BOOL end = VARIANT_FALSE;
  EXPECT_EQ(S_OK, reader->get_AtEndOfStream(&end));
  EXPECT_EQ(VARIANT_TRUE, end);
  reader->Release();
  EXPECT_EQ(0, failures.load());
  std::map<char, int> expected;
  for (int t = 0; t < kThreads; ++t) expected[static_cast<char>('A' + t)] = kRecords;
  EXPECT_EQ(expected, records);
}

}  // namespace
}  // namespace tessary
