// Time conversion: file times (100 ns units since 1601-01-01 UTC), calendar
// fields (SYSTEMTIME) and automation dates (days since 1899-12-30).
//
// The calendar is the proleptic Gregorian one throughout, as on Windows.
// Local time follows the process's TZ. Windows converts with the bias in
// force now; this platform uses the offset that applied at the instant being
// converted, so a file's date does not jump when daylight saving changes.
#include <math.h>
#include <time.h>

#include <chrono>

#include "platform/system.h"

namespace {

constexpr int64_t kTicksPerSecond = 10000000;
constexpr int64_t kTicksPerDay = kTicksPerSecond * 86400;
// Days from 1601-01-01 to 1970-01-01 and to 1899-12-30.
constexpr int64_t kDays1601To1970 = 134774;
constexpr int64_t kDays1899To1970 = 25569;
// The last instant SystemTimeToFileTime accepts: 30827-12-31 23:59:59.999.
constexpr uint64_t kMaxFileTime = 0x7FFFFFFFFFFFFFFFull;
// Automation dates cover the years 100 to 9999.
constexpr double kMinDate = -657434.0;
constexpr double kMaxDate = 2958466.0;  // exclusive: 10000-01-01

int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;  // days since 1970-01-01
}

void CivilFromDays(int64_t z, int64_t* y, unsigned* m, unsigned* d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *d = doy - (153 * mp + 2) / 5 + 1;
  *m = mp < 10 ? mp + 3 : mp - 9;
  *y = static_cast<int64_t>(yoe) + era * 400 + (*m <= 2);
}

bool IsLeap(int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

unsigned DaysInMonth(int64_t y, unsigned m) {
  static const unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

uint64_t ToTicks(const FILETIME* ft) {
  return (static_cast<uint64_t>(ft->dwHighDateTime) << 32) | ft->dwLowDateTime;
}

void FromTicks(uint64_t ticks, FILETIME* ft) {
  ft->dwLowDateTime = static_cast<DWORD>(ticks);
  ft->dwHighDateTime = static_cast<DWORD>(ticks >> 32);
}

// The offset of local time from UTC, in seconds, at the given UTC second.
bool LocalOffsetAt(int64_t unix_seconds, int64_t* offset) {
  const time_t t = static_cast<time_t>(unix_seconds);
  struct tm local;
  if (localtime_r(&t, &local) == nullptr) return false;
  *offset = local.tm_gmtoff;
  return true;
}

int64_t UnixSecondsOf(uint64_t ticks) {
  return static_cast<int64_t>(ticks / kTicksPerSecond) - kDays1601To1970 * 86400;
}

bool ApplyOffset(uint64_t ticks, int64_t offset_seconds, uint64_t* out) {
  const int64_t delta = offset_seconds * kTicksPerSecond;
  if (delta < 0 && ticks < static_cast<uint64_t>(-delta)) return false;
  const uint64_t result = ticks + static_cast<uint64_t>(delta);
  if (result > kMaxFileTime) return false;
  *out = result;
  return true;
}

BOOL Invalid() {
  SetLastError(ERROR_INVALID_PARAMETER);
  return FALSE;
}

}  // namespace

extern "C" {
BOOL FileTimeToSystemTime(const FILETIME* lpFileTime, LPSYSTEMTIME lpSystemTime) {
  if (lpFileTime == nullptr || lpSystemTime == nullptr) return Invalid();
  const uint64_t ticks = ToTicks(lpFileTime);
  if (ticks > kMaxFileTime) return Invalid();
  const int64_t days = static_cast<int64_t>(ticks / kTicksPerDay);
  const uint64_t in_day = ticks % kTicksPerDay;
  int64_t year;
  unsigned month, day;
  CivilFromDays(days - kDays1601To1970, &year, &month, &day);
  lpSystemTime->wYear = static_cast<WORD>(year);
  lpSystemTime->wMonth = static_cast<WORD>(month);
  lpSystemTime->wDay = static_cast<WORD>(day);
  // 1601-01-01 was a Monday; Sunday is 0.
  lpSystemTime->wDayOfWeek = static_cast<WORD>((days + 1) % 7);
  const uint64_t seconds = in_day / kTicksPerSecond;
  lpSystemTime->wHour = static_cast<WORD>(seconds / 3600);
  lpSystemTime->wMinute = static_cast<WORD>(seconds / 60 % 60);
  lpSystemTime->wSecond = static_cast<WORD>(seconds % 60);
  lpSystemTime->wMilliseconds = static_cast<WORD>(in_day % kTicksPerSecond / 10000);
  return TRUE;
}

BOOL SystemTimeToFileTime(const SYSTEMTIME* lpSystemTime, LPFILETIME lpFileTime) {
  if (lpSystemTime == nullptr || lpFileTime == nullptr) return Invalid();
  const SYSTEMTIME& st = *lpSystemTime;
  // The day of the week is ignored, every other field must be in range.
  if (st.wYear < 1601 || st.wYear > 30827 || st.wMonth < 1 || st.wMonth > 12 || st.wDay < 1 ||
      st.wDay > DaysInMonth(st.wYear, st.wMonth) || st.wHour > 23 || st.wMinute > 59 ||
      st.wSecond > 59 || st.wMilliseconds > 999) {
    return Invalid();
  }
  const int64_t days = DaysFromCivil(st.wYear, st.wMonth, st.wDay) + kDays1601To1970;
  const uint64_t ticks =
      static_cast<uint64_t>(days) * kTicksPerDay +
      (static_cast<uint64_t>(st.wHour) * 3600 + st.wMinute * 60u + st.wSecond) * kTicksPerSecond +
      static_cast<uint64_t>(st.wMilliseconds) * 10000;
  if (ticks > kMaxFileTime) return Invalid();
  FromTicks(ticks, lpFileTime);
  return TRUE;
}

BOOL FileTimeToLocalFileTime(const FILETIME* lpFileTime, LPFILETIME lpLocalFileTime) {
  if (lpFileTime == nullptr || lpLocalFileTime == nullptr) return Invalid();
  // TZ is read again on every call, as Windows sees a changed time zone at once.
  tzset();
  const uint64_t ticks = ToTicks(lpFileTime);
  int64_t offset;
  uint64_t local;
  if (!LocalOffsetAt(UnixSecondsOf(ticks), &offset) || !ApplyOffset(ticks, offset, &local)) {
    return Invalid();
  }
  FromTicks(local, lpLocalFileTime);
  return TRUE;
}

BOOL LocalFileTimeToFileTime(const FILETIME* lpLocalFileTime, LPFILETIME lpFileTime) {
  if (lpLocalFileTime == nullptr || lpFileTime == nullptr) return Invalid();
  tzset();
  const uint64_t local = ToTicks(lpLocalFileTime);
  // The offset depends on the UTC instant we are looking for: guess with the
  // offset at the local reading, then correct once with the offset there.
  int64_t offset;
  uint64_t utc;
  if (!LocalOffsetAt(UnixSecondsOf(local), &offset) || !ApplyOffset(local, -offset, &utc)) {
    return Invalid();
  }
  int64_t corrected;
  if (!LocalOffsetAt(UnixSecondsOf(utc), &corrected)) return Invalid();
  if (corrected != offset && !ApplyOffset(local, -corrected, &utc)) return Invalid();
  FromTicks(utc, lpFileTime);
  return TRUE;
}

void GetSystemTimeAsFileTime(LPFILETIME lpSystemTimeAsFileTime) {
  if (lpSystemTimeAsFileTime == nullptr) return;
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  const int64_t ticks_since_1970 =
      std::chrono::duration_cast<std::chrono::duration<int64_t, std::ratio<1, kTicksPerSecond>>>(
          since_epoch)
          .count();
  FromTicks(static_cast<uint64_t>(ticks_since_1970 + kDays1601To1970 * kTicksPerDay),
            lpSystemTimeAsFileTime);
}

LCID GetUserDefaultLCID(void) { return 0x0409; }  // English (United States)

INT SystemTimeToVariantTime(LPSYSTEMTIME lpSystemTime, DOUBLE* pvtime) {
  if (lpSystemTime == nullptr || pvtime == nullptr) return FALSE;
  const SYSTEMTIME& st = *lpSystemTime;
  if (st.wYear < 100 || st.wYear > 9999 || st.wMonth < 1 || st.wMonth > 12 || st.wDay < 1 ||
      st.wDay > 31 || st.wHour > 23 || st.wMinute > 59 || st.wSecond > 59) {
    return FALSE;
  }
  // A day past the end of its month rolls into the next one (Windows reads
  // February 30 as March 1 or 2), which may run past 9999-12-31.
  const int64_t days = DaysFromCivil(st.wYear, st.wMonth, 1) + (st.wDay - 1) + kDays1899To1970;
  if (days >= static_cast<int64_t>(kMaxDate)) return FALSE;
  // Milliseconds are dropped.
  const double fraction = (st.wHour * 3600.0 + st.wMinute * 60.0 + st.wSecond) / 86400.0;
  // Before 1899-12-30 the day counts down while the time still counts up, so
  // the fraction is subtracted: -1.25 is 1899-12-29 06:00.
  *pvtime = days >= 0 ? days + fraction : days - fraction;
  return TRUE;
}

INT VariantTimeToSystemTime(DOUBLE vtime, LPSYSTEMTIME lpSystemTime) {
  if (lpSystemTime == nullptr) return FALSE;
  // Day -657434 is 100-01-01; its times lie between it and the next lower
  // integer, so the range is open at both ends.
  if (!(vtime > kMinDate - 1.0 && vtime < kMaxDate)) return FALSE;
  double whole;
  const double fraction = fabs(modf(vtime, &whole));
  int64_t days = static_cast<int64_t>(whole);
  // Rounded to the nearest second; a time that rounds up to midnight belongs
  // to the next calendar day.
  int64_t seconds = static_cast<int64_t>(floor(fraction * 86400.0 + 0.5));
  if (seconds >= 86400) {
    seconds -= 86400;
    days += 1;
  }
  int64_t year;
  unsigned month, day;
  CivilFromDays(days - kDays1899To1970, &year, &month, &day);
  if (year > 9999) return FALSE;
  lpSystemTime->wYear = static_cast<WORD>(year);
  lpSystemTime->wMonth = static_cast<WORD>(month);
  lpSystemTime->wDay = static_cast<WORD>(day);
  // 1899-12-30 was a Saturday.
  lpSystemTime->wDayOfWeek = static_cast<WORD>(((days + 6) % 7 + 7) % 7);
  lpSystemTime->wHour = static_cast<WORD>(seconds / 3600);
  lpSystemTime->wMinute = static_cast<WORD>(seconds / 60 % 60);
  lpSystemTime->wSecond = static_cast<WORD>(seconds % 60);
  lpSystemTime->wMilliseconds = 0;
  return TRUE;
}

}  // extern "C"
