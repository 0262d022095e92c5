// The calendar value: ticks, Unix seconds and UTC fields kept in step. The calendar arithmetic is
// integer arithmetic of our own, so neither the time zone nor the locale of the machine can
// change a result.
#include "support/ko_time.h"

#include <sys/time.h>

namespace ko {

namespace {

constexpr int64_t SECONDS_PER_DAY = 86400;
constexpr int64_t SECONDS_PER_COMMON_YEAR = 31536000;
// 388 days: the leap years from year 1 to 1600, which the year estimate must not count.
constexpr int64_t LEAP_SECONDS_BEFORE_1601 = 33523200;
constexpr int64_t LEAP_DAYS_BEFORE_1601 = 388;
constexpr int64_t FIRST_YEAR = 1601;
constexpr uint16_t FIRST_VALID_YEAR = 1900;
constexpr uint16_t LAST_VALID_YEAR = 3000;

// Day of the year (0-based) on which month index m ends; index 0 is the sentinel.
constexpr int16_t MONTH_LAST_DAY[2][13] = {
    {-1, 30, 58, 89, 119, 150, 180, 211, 242, 272, 303, 333, 364},
    {-1, 30, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334, 365},
};

bool is_leap_year(int64_t year) {
  return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

}  // namespace

bool time::set_ticks(uint64_t t) {
  m_valid = false;
  if (t == 0) return false;
  m_ticks = t;
  if (t >= TICKS_LIMIT) return false;
  // The first second of 1970 names no instant. Unsigned, an earlier count wraps far from 0.
  if ((t - TICKS_1601_TO_1970) / TICKS_PER_SECOND == 0) return false;
  ticks_to_systemtime(t, m_utc);
  m_valid = m_utc.year >= FIRST_VALID_YEAR && m_utc.year <= LAST_VALID_YEAR;
  return m_valid;
}

bool ticks_to_systemtime(uint64_t t, _windows_systemtime& st) {
  st = _windows_systemtime{};
  if (t >= TICKS_LIMIT) return false;

  const int64_t s = static_cast<int64_t>(t / TICKS_PER_SECOND);
  const int64_t y = s / SECONDS_PER_COMMON_YEAR;
  const int64_t b = y + (FIRST_YEAR - 1);
  const int64_t leaps = b / 400 + b / 4 - b / 100;
  int64_t r = s + LEAP_SECONDS_BEFORE_1601 - y * SECONDS_PER_COMMON_YEAR - leaps * SECONDS_PER_DAY;
  int64_t year = y + FIRST_YEAR;
  if (r < 0) {
    // The 365-day estimate ran one year too far.
    year = b;
    r += SECONDS_PER_COMMON_YEAR;
    if (is_leap_year(b)) r += SECONDS_PER_DAY;
  }
  const int64_t day_of_year = r / SECONDS_PER_DAY;
  const int64_t second_of_day = r - day_of_year * SECONDS_PER_DAY;
  const int16_t* last_day = MONTH_LAST_DAY[is_leap_year(year) ? 1 : 0];
  // Within 1601 to 3000 the day always falls in a month; beyond it, the last month is taken
  // rather than reading past the table.
  int month = 12;
  for (int m = 1; m <= 12; ++m) {
    if (last_day[m] >= day_of_year) {
      month = m;
      break;
    }
  }
  st.year = static_cast<uint16_t>(year);
  st.month = static_cast<uint16_t>(month);
  st.day = static_cast<uint16_t>(day_of_year - last_day[month - 1]);
  st.hour = static_cast<uint16_t>(second_of_day / 3600);
  st.minute = static_cast<uint16_t>((second_of_day % 3600) / 60);
  st.second = static_cast<uint16_t>(second_of_day % 60);
  st.milliseconds = static_cast<uint16_t>(t % TICKS_PER_SECOND / TICKS_PER_MILLISECOND);
  return true;
}

time time_now() {
  timeval now{};
  gettimeofday(&now, nullptr);
  const uint64_t ticks = static_cast<uint64_t>(unix_seconds_to_ticks(now.tv_sec)) +
                         static_cast<uint64_t>(now.tv_usec) * TICKS_PER_MICROSECOND;
  return time(ticks);
}

// Ticks of `st`, or false when the record names no instant we can count: month outside 1 to 12,
// day 0, a year before 1601, or an instant outside 0 to 2^63 - 1 ticks.
bool systemtime_to_ticks(const _windows_systemtime& st, uint64_t& ticks) {
  ticks = 0;
  if (st.month < 1 || st.month > 12 || st.day == 0 || st.year < FIRST_YEAR) return false;
  const int64_t y = st.year;
  int64_t days = (y - FIRST_YEAR) * 365 +
                 ((y - 1) / 4 - (y - 1) / 100 + (y - 1) / 400 - LEAP_DAYS_BEFORE_1601);
  days += MONTH_LAST_DAY[0][st.month - 1] + st.day;
  if (st.month >= 3 && is_leap_year(y)) ++days;
  // Every field is at most 65535, so the seconds stay near 2^41: the only risk is the last step.
  const int64_t seconds = ((days * 24 + st.hour) * 60 + st.minute) * 60 + st.second;
  const int64_t fraction = static_cast<int64_t>(st.milliseconds) * TICKS_PER_MILLISECOND;
  constexpr int64_t TICKS_MAX = INT64_MAX;
  if (seconds < 0 || seconds > (TICKS_MAX - fraction) / static_cast<int64_t>(TICKS_PER_SECOND)) {
    return false;
  }
  ticks = static_cast<uint64_t>(seconds * static_cast<int64_t>(TICKS_PER_SECOND) + fraction);
  return true;
}

uint64_t systemtime_to_ticks(const _windows_systemtime& st) {
  uint64_t ticks;
  return systemtime_to_ticks(st, ticks) ? ticks : 0;
}

}  // namespace ko
