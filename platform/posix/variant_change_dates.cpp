// Dates for VariantChangeType: a date printed as M/D/YYYY h:mm:ss AM/PM
// (no time at midnight, no date on day 0) and the scanner that reads the
// date and time forms the automation library accepts in an English (United
// States) locale.
#include <time.h>

#include <string>

#include "platform/posix/variant_change_internal.h"

namespace tessary::variant_change {

namespace {

std::string TwoDigits(unsigned v) {
  std::string s;
  s.push_back(static_cast<char>('0' + v / 10 % 10));
  s.push_back(static_cast<char>('0' + v % 10));
  return s;
}

}  // namespace

HRESULT FormatDate(DATE date, std::string* out) {
  SYSTEMTIME st;
  if (!VariantTimeToSystemTime(date, &st)) return E_INVALIDARG;
  const bool day_zero = st.wYear == 1899 && st.wMonth == 12 && st.wDay == 30;
  const bool midnight = st.wHour == 0 && st.wMinute == 0 && st.wSecond == 0;
  std::string text;
  if (!day_zero) {
    text =
        std::to_string(st.wMonth) + "/" + std::to_string(st.wDay) + "/" + std::to_string(st.wYear);
  }
  if (day_zero || !midnight) {
    if (!text.empty()) text.push_back(' ');
    const unsigned hour12 = st.wHour % 12 == 0 ? 12 : st.wHour % 12;
    text += std::to_string(hour12) + ":" + TwoDigits(st.wMinute) + ":" + TwoDigits(st.wSecond) +
            (st.wHour < 12 ? " AM" : " PM");
  }
  *out = std::move(text);
  return S_OK;
}

namespace {

class DateScanner {
 public:
  explicit DateScanner(const std::string& s) : s_(s) {}

  // Reads the whole text as a date, a time, or both in either order.
  bool Parse(SYSTEMTIME* st) {
    bool have_date = false;
    bool have_time = false;
    SkipBlanks();
    while (pos_ < s_.size()) {
      const size_t start = pos_;
      if (!have_time && ReadTime(st)) {
        have_time = true;
      } else {
        pos_ = start;
        if (have_date || !ReadDate(st)) return false;
        have_date = true;
      }
      SkipBlanks();
      if (pos_ < s_.size() && s_[pos_] == ',') {
        ++pos_;
        SkipBlanks();
      }
    }
    if (!have_date && !have_time) return false;
    if (!have_date) {
      st->wYear = 1899;
      st->wMonth = 12;
      st->wDay = 30;
    }
    if (!have_time) st->wHour = st->wMinute = st->wSecond = 0;
    return true;
  }

 private:
  void SkipBlanks() {
    while (pos_ < s_.size() && IsBlank(s_[pos_])) ++pos_;
  }

  // Up to 9 digits; `*count` receives how many there were.
  bool ReadNumber(unsigned* value, int* count) {
    unsigned v = 0;
    int n = 0;
    while (pos_ < s_.size() && IsDigit(s_[pos_])) {
      if (n == 9) return false;
      v = v * 10 + static_cast<unsigned>(s_[pos_] - '0');
      ++n;
      ++pos_;
    }
    *value = v;
    *count = n;
    return n > 0;
  }

  std::string ReadWord() {
    std::string word;
    while (pos_ < s_.size() &&
           ((s_[pos_] >= 'a' && s_[pos_] <= 'z') || (s_[pos_] >= 'A' && s_[pos_] <= 'Z'))) {
      word.push_back(Lower(s_[pos_++]));
    }
    return word;
  }

  static unsigned MonthFromName(const std::string& word) {
    static const char* const kMonths[12] = {"january",   "february", "march",    "april",
                                            "may",       "june",     "july",     "august",
                                            "september", "october",  "november", "december"};
    if (word.size() < 3) return 0;
    for (unsigned m = 0; m < 12; ++m) {
      if (word == kMonths[m] || (word.size() == 3 && word.compare(0, 3, kMonths[m], 3) == 0) ||
          (m == 8 && word == "sept")) {
        return m + 1;
      }
    }
    return 0;
  }

  // Two-digit years fall in 1930..2029, the system's default window.
  static unsigned FullYear(unsigned year, int digits) {
    if (digits > 2) return year;
    return year < 30 ? 2000 + year : 1900 + year;
  }

  static unsigned CurrentYear() {
    const time_t now = time(nullptr);
    struct tm local;
    if (localtime_r(&now, &local) == nullptr) return 1970;
    return static_cast<unsigned>(local.tm_year + 1900);
  }

  static bool SetDate(unsigned year, unsigned month, unsigned day, SYSTEMTIME* st) {
    // Month and day in the wrong order are read the other way round, as the
    // system does when only that reading makes a date.
    if (month > 12 && day <= 12) {
      const unsigned t = month;
      month = day;
      day = t;
    }
    if (year < 100 || year > 9999 || month < 1 || month > 12 || day < 1) return false;
    static const unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    const unsigned last = month == 2 && leap ? 29 : kDays[month - 1];
    if (day > last) return false;
    st->wYear = static_cast<WORD>(year);
    st->wMonth = static_cast<WORD>(month);
    st->wDay = static_cast<WORD>(day);
    return true;
  }

  bool ReadDate(SYSTEMTIME* st) {
    unsigned a, b, c;
    int da, db, dc;
    if (pos_ < s_.size() && !IsDigit(s_[pos_])) {
      // "January 2, 2003", "Jan 2 2003"
      const unsigned month = MonthFromName(ReadWord());
      if (month == 0) return false;
      if (pos_ < s_.size() && s_[pos_] == '.') ++pos_;
      SkipBlanks();
      if (!ReadNumber(&b, &db)) return false;
      SkipBlanks();
      if (pos_ < s_.size() && s_[pos_] == ',') ++pos_;
      SkipBlanks();
      if (!ReadNumber(&c, &dc)) return SetDate(CurrentYear(), month, b, st);
      return SetDate(FullYear(c, dc), month, b, st);
    }
    if (!ReadNumber(&a, &da)) return false;
    if (pos_ < s_.size() && (s_[pos_] == '/' || s_[pos_] == '-' || s_[pos_] == '.')) {
      const char sep = s_[pos_++];
      if (!ReadNumber(&b, &db)) return false;
      if (pos_ < s_.size() && s_[pos_] == sep) {
        ++pos_;
        if (!ReadNumber(&c, &dc)) return false;
        // A leading four-digit number is the year: 2003-01-02, 2003/1/2.
        if (da > 2) return SetDate(a, b, c, st);
        return SetDate(FullYear(c, dc), a, b, st);
      }
      // "1.5" is a number, never a date.
      if (sep == '.') return false;
      // Two numbers: month and day of this year, or month and a long year.
      if (db > 2) return SetDate(b, a, 1, st);
      return SetDate(CurrentYear(), a, b, st);
    }
    // "2 January 2003"
    SkipBlanks();
    const unsigned month = MonthFromName(ReadWord());
    if (month == 0) return false;
    SkipBlanks();
    if (pos_ < s_.size() && s_[pos_] == ',') ++pos_;
    SkipBlanks();
    if (!ReadNumber(&c, &dc)) return SetDate(CurrentYear(), month, a, st);
    return SetDate(FullYear(c, dc), month, a, st);
  }

  // h[:mm[:ss]] with an optional AM/PM; a bare number is not a time.
  bool ReadTime(SYSTEMTIME* st) {
    unsigned h, m = 0, sec = 0;
    int dh, dm, ds;
    if (!ReadNumber(&h, &dh)) return false;
    bool colon = false;
    if (pos_ < s_.size() && s_[pos_] == ':') {
      ++pos_;
      colon = true;
      if (!ReadNumber(&m, &dm)) return false;
      if (pos_ < s_.size() && s_[pos_] == ':') {
        ++pos_;
        if (!ReadNumber(&sec, &ds)) return false;
      }
    }
    const size_t before_marker = pos_;
    SkipBlanks();
    const std::string word = ReadWord();
    int half = 0;  // 1 = AM, 2 = PM
    if (word == "am" || word == "a") {
      half = 1;
    } else if (word == "pm" || word == "p") {
      half = 2;
    } else {
      pos_ = before_marker;
    }
    if (!colon && half == 0) return false;
    if (m > 59 || sec > 59) return false;
    if (half != 0) {
      if (h > 12) return false;
      if (h == 12) h = 0;
      if (half == 2) h += 12;
    } else if (h > 23) {
      return false;
    }
    st->wHour = static_cast<WORD>(h);
    st->wMinute = static_cast<WORD>(m);
    st->wSecond = static_cast<WORD>(sec);
    return true;
  }

  const std::string& s_;
  size_t pos_ = 0;
};

}  // namespace

HRESULT TextToDate(BSTR text, DATE* out) {
  std::string ascii;
  if (!ToAscii(text, &ascii)) return DISP_E_TYPEMISMATCH;
  SYSTEMTIME st = {};
  DateScanner scanner(ascii);
  if (!scanner.Parse(&st)) return DISP_E_TYPEMISMATCH;
  if (!SystemTimeToVariantTime(&st, out)) return DISP_E_TYPEMISMATCH;
  return S_OK;
}

}  // namespace tessary::variant_change
