// BSTR layout and allocation: the byte count before the characters, the
// terminator after them, embedded NULs, and the refusals on lengths the
// 32-bit count cannot hold.
#include <gtest/gtest.h>
#include <string.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/automation.h"

namespace {

uint32_t PrefixOf(BSTR b) {
  uint32_t prefix;
  memcpy(&prefix, reinterpret_cast<const char*>(b) - 4, sizeof(prefix));
  return prefix;
}

TEST(Bstr, PrefixHoldsByteCountAndStringIsTerminated) {
  BSTR b = SysAllocString(u"hello");
  ASSERT_NE(nullptr, b);
  EXPECT_EQ(10u, PrefixOf(b));
  EXPECT_EQ(5u, SysStringLen(b));
  EXPECT_EQ(10u, SysStringByteLen(b));
  EXPECT_EQ(0, b[5]);
  EXPECT_EQ(std::u16string(u"hello"), std::u16string(b));
  SysFreeString(b);
}

TEST(Bstr, NullInputsAndNullStrings) {
  EXPECT_EQ(nullptr, SysAllocString(nullptr));
  EXPECT_EQ(0u, SysStringLen(nullptr));
  EXPECT_EQ(0u, SysStringByteLen(nullptr));
  SysFreeString(nullptr);  // no effect

  BSTR empty = SysAllocString(u"");
  ASSERT_NE(nullptr, empty);
  EXPECT_EQ(0u, SysStringLen(empty));
  EXPECT_EQ(0, empty[0]);
  SysFreeString(empty);
}

TEST(Bstr, EmbeddedNulsAreKeptAndCounted) {
  const char16_t text[] = {u'a', 0, u'b', 0, u'c'};
  BSTR b = SysAllocStringLen(text, 5);
  ASSERT_NE(nullptr, b);
  EXPECT_EQ(5u, SysStringLen(b));
  EXPECT_EQ(0, memcmp(text, b, sizeof(text)));
  EXPECT_EQ(0, b[5]);
  SysFreeString(b);
}

TEST(Bstr, AllocLenWithoutSourceIsCountedAndTerminated) {
  // The characters are the caller's to write; a block used before must not
  // leave its terminator, or its count, in the new string.
  SysFreeString(SysAllocString(u"abcdefgh"));
  BSTR b = SysAllocStringLen(nullptr, 4);
  ASSERT_NE(nullptr, b);
  EXPECT_EQ(4u, SysStringLen(b));
  EXPECT_EQ(0, b[4]);
  SysFreeString(b);
}

// Freed short strings are kept for reuse: whatever order they are freed and
// reused in, and whichever thread frees them, each new string has its own
// count, text and terminator, and no two live strings share memory.
TEST(Bstr, ReusedBlocksHoldEachNewStringWhole) {
  std::vector<BSTR> live;
  std::vector<std::u16string> texts;
  for (int round = 0; round < 3; ++round) {
    for (size_t n = 0; n < 600; n += 7) {
      std::u16string text(n, static_cast<char16_t>(u'a' + (n + round) % 26));
      BSTR b = SysAllocStringLen(text.data(), static_cast<UINT>(n));
      ASSERT_NE(nullptr, b);
      live.push_back(b);
      texts.push_back(text);
    }
    for (size_t i = 0; i < live.size(); ++i) {
      ASSERT_EQ(texts[i].size(), SysStringLen(live[i]));
      ASSERT_EQ(0, memcmp(live[i], texts[i].data(), 2 * texts[i].size()));
      ASSERT_EQ(0, live[i][texts[i].size()]);
    }
    std::set<BSTR> distinct(live.begin(), live.end());
    EXPECT_EQ(live.size(), distinct.size());
    // Every other string freed here, the rest on another thread, which then
    // ends and gives its kept blocks back.
    for (size_t i = 0; i < live.size(); i += 2) SysFreeString(live[i]);
    std::thread([&] {
      for (size_t i = 1; i < live.size(); i += 2) SysFreeString(live[i]);
      BSTR b = SysAllocString(u"kept past the thread's end");
      SysFreeString(b);
    }).join();
    live.clear();
    texts.clear();
  }
}

#if defined(__SANITIZE_ADDRESS__)
// Reuse must not hide a read of a freed string from the sanitizer.
TEST(BstrDeathTest, ReadAfterFreeIsCaught) {
  EXPECT_DEATH(
      {
        BSTR b = SysAllocString(u"freed");
        SysFreeString(b);
        volatile OLECHAR c = b[0];
        (void)c;
      },
      "use-after-free");
}
#endif

TEST(Bstr, ByteLenKeepsOddCountsAndAddsTwoZeroBytes) {
  BSTR b = SysAllocStringByteLen("abc", 3);
  ASSERT_NE(nullptr, b);
  EXPECT_EQ(3u, SysStringByteLen(b));
  EXPECT_EQ(1u, SysStringLen(b));  // whole characters only
  const char* bytes = reinterpret_cast<const char*>(b);
  EXPECT_EQ(0, memcmp(bytes, "abc", 3));
  EXPECT_EQ(0, bytes[3]);
  EXPECT_EQ(0, bytes[4]);
  SysFreeString(b);
}

TEST(Bstr, LengthsBeyondThe32BitCountAreRefused) {
  // 2^31 characters are 2^32 bytes, one more than the prefix can count.
  EXPECT_EQ(nullptr, SysAllocStringLen(nullptr, 0x80000000u));
  EXPECT_EQ(nullptr, SysAllocStringLen(nullptr, 0xFFFFFFFFu));
  EXPECT_EQ(nullptr, SysAllocStringByteLen(nullptr, 0xFFFFFFFFu));
  BSTR b = SysAllocString(u"keep");
  EXPECT_FALSE(SysReAllocStringLen(&b, nullptr, 0x80000000u));
  EXPECT_EQ(std::u16string(u"keep"), std::u16string(b));  // untouched on failure
  SysFreeString(b);
}

TEST(Bstr, ReAllocFromInsideTheOldString) {
  BSTR b = SysAllocString(u"abcdef");
  ASSERT_TRUE(SysReAllocString(&b, b + 2));
  EXPECT_EQ(std::u16string(u"cdef"), std::u16string(b));
  EXPECT_EQ(4u, SysStringLen(b));
  ASSERT_TRUE(SysReAllocStringLen(&b, b + 1, 2));
  EXPECT_EQ(std::u16string(u"de"), std::u16string(b));
  SysFreeString(b);
}

TEST(Bstr, ReAllocLenWithoutSourceKeepsThePrefixOfTheOldText) {
  BSTR b = SysAllocString(u"abcdef");
  ASSERT_TRUE(SysReAllocStringLen(&b, nullptr, 3));
  EXPECT_EQ(std::u16string(u"abc"), std::u16string(b));
  ASSERT_TRUE(SysReAllocStringLen(&b, nullptr, 5));
  EXPECT_EQ(5u, SysStringLen(b));
  EXPECT_EQ(0, memcmp(b, u"abc\0\0", 10));
  SysFreeString(b);
}

TEST(Bstr, ReAllocRejectsANullTarget) {
  EXPECT_FALSE(SysReAllocString(nullptr, u"x"));
  EXPECT_FALSE(SysReAllocStringLen(nullptr, u"x", 1));
}

}  // namespace
