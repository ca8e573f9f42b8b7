// File times, calendar fields and automation dates; local time under two
// time zones.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <string>

#include "platform/system.h"

namespace {

FILETIME MakeFileTime(uint64_t ticks) {
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(ticks);
  ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return ft;
}

uint64_t TicksOf(const FILETIME& ft) {
  return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

SYSTEMTIME MakeSystemTime(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
  SYSTEMTIME st = {};
  st.wYear = static_cast<WORD>(y);
  st.wMonth = static_cast<WORD>(mo);
  st.wDay = static_cast<WORD>(d);
  st.wHour = static_cast<WORD>(h);
  st.wMinute = static_cast<WORD>(mi);
  st.wSecond = static_cast<WORD>(s);
  st.wMilliseconds = static_cast<WORD>(ms);
  return st;
}

// 1970-01-01 00:00:00 UTC as a file time.
constexpr uint64_t kUnixEpoch = 116444736000000000;

TEST(FileTime, EpochsAndFields) {
  SYSTEMTIME st;
  FILETIME zero = MakeFileTime(0);
  ASSERT_TRUE(FileTimeToSystemTime(&zero, &st));
  EXPECT_EQ(1601, st.wYear);
  EXPECT_EQ(1, st.wMonth);
  EXPECT_EQ(1, st.wDay);
  EXPECT_EQ(1, st.wDayOfWeek);  // a Monday

  FILETIME unix_epoch = MakeFileTime(kUnixEpoch + 12345678);  // + 1.2345678 s
  ASSERT_TRUE(FileTimeToSystemTime(&unix_epoch, &st));
  EXPECT_EQ(1970, st.wYear);
  EXPECT_EQ(4, st.wDayOfWeek);  // a Thursday
  EXPECT_EQ(1, st.wSecond);
  EXPECT_EQ(234, st.wMilliseconds);
}

TEST(FileTime, SystemTimeRoundTrip) {
  for (const SYSTEMTIME& in :
       {MakeSystemTime(2000, 2, 29, 23, 59, 59, 999), MakeSystemTime(1601, 1, 1),
        MakeSystemTime(2100, 12, 31, 12), MakeSystemTime(30827, 12, 31, 23, 59, 59, 999)}) {
    FILETIME ft;
    ASSERT_TRUE(SystemTimeToFileTime(&in, &ft)) << in.wYear;
    SYSTEMTIME out;
    ASSERT_TRUE(FileTimeToSystemTime(&ft, &out));
    EXPECT_EQ(in.wYear, out.wYear);
    EXPECT_EQ(in.wMonth, out.wMonth);
    EXPECT_EQ(in.wDay, out.wDay);
    EXPECT_EQ(in.wHour, out.wHour);
    EXPECT_EQ(in.wMinute, out.wMinute);
    EXPECT_EQ(in.wSecond, out.wSecond);
    EXPECT_EQ(in.wMilliseconds, out.wMilliseconds);
  }
}

TEST(FileTime, InvalidFieldsAreRefused) {
  FILETIME ft;
  for (const SYSTEMTIME& bad :
       {MakeSystemTime(2001, 2, 29), MakeSystemTime(1600, 12, 31), MakeSystemTime(2000, 13, 1),
        MakeSystemTime(2000, 1, 0), MakeSystemTime(2000, 1, 1, 24),
        MakeSystemTime(2000, 1, 1, 0, 60), MakeSystemTime(2000, 1, 1, 0, 0, 60),
        MakeSystemTime(2000, 1, 1, 0, 0, 0, 1000)}) {
    SetLastError(0);
    EXPECT_FALSE(SystemTimeToFileTime(&bad, &ft));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  }
  FILETIME too_big = MakeFileTime(0x8000000000000000ull);
  SYSTEMTIME st;
  EXPECT_FALSE(FileTimeToSystemTime(&too_big, &st));
}

TEST(VariantTime, KnownDates) {
  DATE d;
  SYSTEMTIME st = MakeSystemTime(1899, 12, 30);
  ASSERT_TRUE(SystemTimeToVariantTime(&st, &d));
  EXPECT_EQ(0.0, d);
  st = MakeSystemTime(2000, 1, 1, 18);
  ASSERT_TRUE(SystemTimeToVariantTime(&st, &d));
  EXPECT_EQ(36526.75, d);
  st = MakeSystemTime(1899, 12, 29, 6);
  ASSERT_TRUE(SystemTimeToVariantTime(&st, &d));
  EXPECT_EQ(-1.25, d);
  st = MakeSystemTime(100, 1, 1);
  ASSERT_TRUE(SystemTimeToVariantTime(&st, &d));
  EXPECT_EQ(-657434.0, d);
  st = MakeSystemTime(99, 12, 31);
  EXPECT_FALSE(SystemTimeToVariantTime(&st, &d));
  st = MakeSystemTime(2000, 1, 1, 0, 0, 0, 999);  // milliseconds dropped
  ASSERT_TRUE(SystemTimeToVariantTime(&st, &d));
  EXPECT_EQ(36526.0, d);
}

TEST(VariantTime, NegativeDatesCarryTheTimeAsAbsoluteFraction) {
  SYSTEMTIME st;
  ASSERT_TRUE(VariantTimeToSystemTime(-1.25, &st));
  EXPECT_EQ(1899, st.wYear);
  EXPECT_EQ(12, st.wMonth);
  EXPECT_EQ(29, st.wDay);
  EXPECT_EQ(6, st.wHour);
  ASSERT_TRUE(VariantTimeToSystemTime(-0.5, &st));
  EXPECT_EQ(30, st.wDay);
  EXPECT_EQ(12, st.wHour);
}

TEST(VariantTime, RoundsToTheSecondAcrossMidnight) {
  SYSTEMTIME st;
  ASSERT_TRUE(VariantTimeToSystemTime(36526.0 + 86399.6 / 86400.0, &st));
  EXPECT_EQ(2000, st.wYear);
  EXPECT_EQ(1, st.wMonth);
  EXPECT_EQ(2, st.wDay);
  EXPECT_EQ(0, st.wHour);
  EXPECT_EQ(0, st.wSecond);
  EXPECT_EQ(0, st.wMilliseconds);
  EXPECT_FALSE(VariantTimeToSystemTime(2958466.0, &st));
  EXPECT_FALSE(VariantTimeToSystemTime(-657435.0, &st));
  ASSERT_TRUE(VariantTimeToSystemTime(-657434.5, &st));  // noon on the first day
  EXPECT_EQ(100, st.wYear);
  EXPECT_EQ(12, st.wHour);
}

class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone) {
    const char* old = getenv("TZ");
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ScopedTimeZone() {
    if (had_) {
      setenv("TZ", old_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  bool had_ = false;
  std::string old_;
};

// A file's date as the core computes it: UTC to local, to fields, to DATE.
DATE FileDate(const FILETIME& utc) {
  FILETIME local;
  EXPECT_TRUE(FileTimeToLocalFileTime(&utc, &local));
  SYSTEMTIME st;
  EXPECT_TRUE(FileTimeToSystemTime(&local, &st));
  DATE date = 0;
  EXPECT_TRUE(SystemTimeToVariantTime(&st, &date));
  return date;
}

TEST(LocalTime, FileDateDependsOnTheTimeZone) {
  SYSTEMTIME noon = MakeSystemTime(2021, 7, 1, 12);
  FILETIME utc;
  ASSERT_TRUE(SystemTimeToFileTime(&noon, &utc));
  DATE in_utc, in_new_york;
  {
    ScopedTimeZone zone("UTC");
    in_utc = FileDate(utc);
  }
  {
    ScopedTimeZone zone("America/New_York");
    in_new_york = FileDate(utc);
  }
  EXPECT_NE(in_utc, in_new_york);
  EXPECT_DOUBLE_EQ(in_utc - 4.0 / 24.0, in_new_york);  // daylight saving time in July

  // January is standard time: five hours behind.
  SYSTEMTIME winter = MakeSystemTime(2021, 1, 15, 12);
  ASSERT_TRUE(SystemTimeToFileTime(&winter, &utc));
  ScopedTimeZone zone("America/New_York");
  FILETIME local;
  ASSERT_TRUE(FileTimeToLocalFileTime(&utc, &local));
  EXPECT_EQ(TicksOf(utc) - 5ull * 3600 * 10000000, TicksOf(local));
}

TEST(LocalTime, LocalToUtcInvertsUtcToLocal) {
  ScopedTimeZone zone("America/New_York");
  for (uint64_t ticks : {kUnixEpoch, kUnixEpoch + uint64_t{1625140800} * 10000000,
                         kUnixEpoch + uint64_t{1610712000} * 10000000}) {
    FILETIME utc = MakeFileTime(ticks), local, back;
    ASSERT_TRUE(FileTimeToLocalFileTime(&utc, &local));
    ASSERT_TRUE(LocalFileTimeToFileTime(&local, &back));
    EXPECT_EQ(ticks, TicksOf(back));
  }
}

TEST(LocalTime, SystemClockIsNearTheCTime) {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  const int64_t unix_seconds = static_cast<int64_t>((TicksOf(now) - kUnixEpoch) / 10000000);
  EXPECT_LE(std::llabs(unix_seconds - static_cast<int64_t>(time(nullptr))), 60);
  EXPECT_EQ(0x0409u, GetUserDefaultLCID());
}

}  // namespace
