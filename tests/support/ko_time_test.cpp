// Tests of the time value and the date and time text, checked against an independent day count
// and against tick counts worked out by hand.
#include "support/ko_time.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "support/ko_stopwatch.h"
#include "support/ko_time_format.h"
#include "support/ko_time_parse.h"

namespace {

constexpr uint64_t TICKS_PER_DAY = 864000000000ULL;
constexpr int64_t DAYS_1601_TO_1970 = 134774;

// Days since 1970-01-01 of a proleptic Gregorian date (era-based, no tables).
int64_t days_from_civil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  return era * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy - 719468;
}

int64_t days_in_month(int64_t y, int64_t m) {
  constexpr int64_t lengths[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && y % 4 == 0 && (y % 100 != 0 || y % 400 == 0) ? 29 : lengths[m - 1];
}

uint64_t ticks_of(int64_t y, int64_t mo, int64_t d, int64_t h = 0, int64_t mi = 0, int64_t s = 0,
                  int64_t ms = 0) {
  const int64_t days = days_from_civil(y, mo, d) + DAYS_1601_TO_1970;
  return static_cast<uint64_t>(((days * 24 + h) * 60 + mi) * 60 + s) * ko::TICKS_PER_SECOND +
         static_cast<uint64_t>(ms) * 10000;
}

std::string date_text(const ko::time& t) {
  char date[10], clock[12];
  if (!ko::write_date_time_utc(t, date, clock)) return " ";
  return std::string(date, 10) + " " + std::string(clock, 12);
}

TEST(KoTime, TickCountsGiveTheReportsDateAndTimeText) {
  const struct {
    uint64_t ticks;
    const char* text;
  } rows[] = {
      {ko::TICKS_1601_TO_1970 + ko::TICKS_PER_SECOND, "1970-01-01 00:00:01.000"},
      {132444736009999990ULL, "2020-09-13 12:26:40.999"},  // milliseconds truncated
      {137919572470000000ULL, "2038-01-19 03:14:07.000"},
      {0, " "},
  };
  for (const auto& r : rows) EXPECT_EQ(date_text(ko::time(r.ticks)), r.text) << r.ticks;
}

TEST(KoTime, RangeBoundariesOfTicksAndBrokenDownFields) {
  ko::time t;
  EXPECT_FALSE(t.set_ticks(ko::TICKS_1601_TO_1970 + 9999999));  // first second of 1970
  EXPECT_TRUE(t.set_ticks(ko::TICKS_1601_TO_1970 + 10000000));
  EXPECT_FALSE(t.set_ticks(0));
  EXPECT_EQ(t.ticks(), ko::TICKS_1601_TO_1970 + 10000000);  // 0 leaves the value alone
  EXPECT_TRUE(t.set_ticks(ticks_of(1900, 1, 1)));
  EXPECT_FALSE(t.set_ticks(ticks_of(1899, 12, 31, 23, 59, 59, 999)));
  EXPECT_TRUE(t.set_ticks(ticks_of(3000, 12, 31, 23, 59, 59, 999)));
  EXPECT_FALSE(t.set_ticks(ticks_of(3001, 1, 1)));

  // Far beyond 3000 the year estimate is off, but nothing is read outside the month table.
  ko::_windows_systemtime st;
  EXPECT_FALSE(ko::ticks_to_systemtime(1ULL << 63, st));
  ASSERT_TRUE(ko::ticks_to_systemtime((1ULL << 63) - 1, st));
  EXPECT_LE(st.month, 12);
  ASSERT_TRUE(ko::ticks_to_systemtime(9999999, st));
  EXPECT_EQ(st.milliseconds, 999);
}

TEST(KoTime, EveryDayFrom1601To3000MatchesAnIndependentCalendar) {
  ko::_windows_systemtime st;
  int64_t y = 1601, m = 1, d = 1;
  for (int64_t day = days_from_civil(1601, 1, 1); y <= 3000; ++day) {
    const uint64_t start = static_cast<uint64_t>(day + DAYS_1601_TO_1970) * TICKS_PER_DAY;
    // The first and the last tick of the day, where a wrong year or month boundary shows.
    for (const uint64_t t : {start, start + TICKS_PER_DAY - 1}) {
      ASSERT_TRUE(ko::ticks_to_systemtime(t, st));
      ASSERT_EQ(st.year, y) << t;
      ASSERT_EQ(st.month, m) << t;
      ASSERT_EQ(st.day, d) << t;
    }
    ASSERT_EQ(st.hour * 10000 + st.minute * 100 + st.second, 235959);
    st.milliseconds = 0;
    ASSERT_EQ(ko::systemtime_to_ticks(st), start + TICKS_PER_DAY - 10000000);
    if (++d > days_in_month(y, m)) {
      d = 1;
      m = m % 12 + 1;
      y += m == 1;
    }
  }
}

TEST(KoTime, TimeStampsCountWholeSecondsSince1900InBothOrders) {
  const uint64_t t = ticks_of(2020, 9, 13, 12, 26, 40);
  const uint64_t a = ko::time_stamp_from_ticks(t);
  const uint64_t b = ko::time_stamp_from_ticks(t + 25000000);  // 2.5 s later
  EXPECT_EQ(ko::elapsed_seconds(a, b), 2.0);
  EXPECT_EQ(ko::elapsed_seconds(b, a), 2.0);
  EXPECT_EQ(ko::time_stamp_from_ticks(1ULL << 63), 0u);
}

TEST(KoTimeText, CustomFormatsFollowTheirTokens) {
  const ko::time t(ticks_of(2020, 9, 13, 12, 26, 40) + 9999999);
  const struct {
    const char *date_format, *time_format, *date, *clock;
  } rows[] = {
      {"mm/dd/yyyy", "hh:mm", "09/13/2020", "12:26"},
      {"mmm dd, yyyy", "hh:mm:ss", "Sep 13, 2020", "12:26:40"},
      {"yyyy", "hh:mm:ss", "09/13/2020", "12:26:40"},
      {"dd, mmm yyyy", "", "13 Sep 2020", ""},
      {"", "hh:mm:ss", "", "12:26:40"},
  };
  for (const auto& r : rows) {
    std::string date = "old", clock = "old";
    EXPECT_TRUE(ko::format_date_time_custom(date, clock, t, r.date_format, r.time_format));
    EXPECT_EQ(date + "|" + clock, std::string(r.date) + "|" + r.clock) << r.date_format;
  }
  std::string date = "old", clock = "old";
  EXPECT_FALSE(ko::format_date_time_custom(date, clock, ko::time(), "mm/dd/yyyy", "hh:mm"));
  EXPECT_TRUE(date.empty() && clock.empty());
}

TEST(KoTimeText, WindowBoundsKeepEveryFractionDigit) {
  const uint64_t t = ticks_of(2026, 12, 6, 20, 57, 3);
  const struct {
    const char* text;
    bool window_end;
    bool ok;
    ko::fine_time bound;
  } rows[] = {
      {"2026-12-06T20:57:03.494Z", false, true, {t + 4940000}},
      {"2026-12-06T20:57:03.355818123Z", false, true, {t + 3558181, 23}},
      {"12/06/2026 20:57:03.355818123", true, true, {t + 3558181, 23}},
      // Between two nanoseconds a bound moves inward: a start to the later, an end to the earlier.
      {"2026-12-06T20:57:03.3558181234Z", false, true, {t + 3558181, 24}},
      {"2026-12-06 20:57:03.3558181234", true, true, {t + 3558181, 23}},
      {"12/06/2026 20:57:03.9999999990001", false, true, {t + ko::TICKS_PER_SECOND}},
      {"12/06/2026 20:57:0.35e1", false, true, {t + 5000000}},  // as the decimal reader reads it
      {" 2026-12-06T20:57Z ", false, true, {ticks_of(2026, 12, 6, 20, 57)}},
      {"2026-12-06", true, true, {ticks_of(2026, 12, 6, 23, 59, 59)}},
      {"2026-12-6", false, false, {}},
      {"2026-13-06", false, false, {}},
      {"2026-12-06 24:00", false, false, {}},
      {"2026-12-06T20:57:03.", false, false, {}},
      {"2026-12-06T20:57:03+01:00", false, false, {}},
      {"1600-12-31", false, false, {}},
      {"12/06/2026 20", false, false, {}},
  };
  for (const auto& r : rows) {
    ko::fine_time bound;
    ASSERT_EQ(ko::parse_time_bound(r.text, r.window_end, bound), r.ok) << r.text;
    EXPECT_EQ(bound.ticks, r.bound.ticks) << r.text;
    EXPECT_EQ(bound.sub_tick_ns, r.bound.sub_tick_ns) << r.text;
  }
}

TEST(KoTimeText, DateAndTimeTextGivesTheExpectedTickCounts) {
  const struct {
    const char *date, *clock;
    bool ok;
    uint64_t ticks;
  } rows[] = {
      {"01/15/2020", "12:30:15", true, 132235650150000000ULL},
      {"1/15/2020", "10:30:15.25", true, 132235578152500000ULL},
      {"1/15/2020", "10:30:1.5e1", true, ticks_of(2020, 1, 15, 10, 30, 15)},  // as strtod reads it
      {"1/15/2020", "10:30:\r15", true, ticks_of(2020, 1, 15, 10, 30, 15)},   // C blanks lead
      {"1/15/2020", "10:75", true, ticks_of(2020, 1, 15, 11, 15)},
      {"1/15/2020", nullptr, true, ticks_of(2020, 1, 15)},
      {"1/15/30", "", true, ticks_of(2030, 1, 15)},
      {"1/15/31", "", true, ticks_of(1931, 1, 15)},
      {"15/jan/2020", "", true, ticks_of(2020, 1, 15)},
      {"06-Dec-2026", "", true, ticks_of(2026, 12, 6)},
      {"02/30/2021", "", true, 132591168000000000ULL},
      {"03/02/2021", "", true, 132591168000000000ULL},
      {"02/29/2000", "", true, 125963424000000000ULL - TICKS_PER_DAY},
      {"1/15/2020", " 1:30 PM\r\n", true, ticks_of(2020, 1, 15, 13, 30)},
      {"1/15/2020", "13:30pm", true, ticks_of(2020, 1, 16, 1, 30)},  // carries as before
      {"1/1/1601", "", true, 0},  // converts to 0: callers cannot tell it from a failure
      {"0/15/2020", "", false, 0},
      {nullptr, "10:00", false, 0},
      {"1/15/5", "", false, 0},  // a one-digit year is a full year, before 1601
      {"1/15/20201", "", true, ticks_of(2020, 1, 15)},  // four year digits are read
      {"1/15/2020", "10", false, 0},
      {"1/15/2020", "99999999999:30", false, 0},
  };
  for (const auto& r : rows) {
    const std::string label = std::string(r.date ? r.date : "-") + "|" + (r.clock ? r.clock : "-");
    ko::_windows_systemtime st{};
    ASSERT_EQ(ko::parse_date_time(r.date, r.clock, st), r.ok) << label;
    EXPECT_EQ(ko::systemtime_to_ticks(st), r.ticks) << label;  // failure leaves `st` alone
  }
  ko::_windows_systemtime st{};
  ASSERT_TRUE(ko::parse_date_time("1/15/2020", "10:75", st));
  EXPECT_EQ(st.minute, 75);  // kept as written, carried only by the conversion

  // Each field may hold 31 characters and no more.
  const std::string f31 = std::string(30, '0') + "1", f32 = "0" + f31;
  for (const auto& [field, ok] : {std::pair{f31, true}, std::pair{f32, false}}) {
    for (const std::string& clock : {field + ":30", "1:" + field, "1:30:" + field}) {
      EXPECT_EQ(ko::parse_date_time("1/15/2020", clock.c_str(), st), ok) << clock;
    }
  }
}

TEST(KoTimeText, OrderedDatesReadEachFieldByItsLetter) {
  const struct {
    const char *date, *order;
    char separator;
    bool ok;
    uint64_t ticks;
  } rows[] = {
      {"2020//01/15", "YMD", '/', true, ticks_of(2020, 1, 15)},
      {"0x7e4/1/15", "YMD", '/', true, ticks_of(2020, 1, 15)},
      {"jan-15-2020", "MonDY", '-', true, ticks_of(2020, 1, 15)},
      {"15-January-2020", "DMonY", '-', false, 0},
      {"2020/13/15", "YMD", '/', false, 0},
      // Records that cannot be converted fail instead of handing on a count of 0.
      {"2020/00/15", "YMD", '/', false, 0},
      {"1600/01/15", "YMD", '/', false, 0},
  };
  for (const auto& r : rows) {
    ko::_windows_systemtime st{};
    ASSERT_EQ(ko::parse_date_time_ordered(r.date, "08:00", r.order, r.separator, st), r.ok)
        << r.date << " " << r.order;
    EXPECT_EQ(ko::systemtime_to_ticks(st), r.ok ? r.ticks + 8 * 36000000000ULL : 0) << r.date;
  }
  uint32_t day, month, year;
  EXPECT_TRUE(ko::parse_date_ordered("2020/00/00", "YMD", '/', day, month, year));
  EXPECT_EQ(month, 0u);  // the date reader alone lets a month of 0 through
  EXPECT_FALSE(ko::parse_date_ordered("2020/01/zz", "YMD", '/', day, month, year));
  EXPECT_EQ(ko::month_from_name("sEp"), 9);
  EXPECT_EQ(ko::month_from_name("Ja"), -1);
}

}  // namespace
