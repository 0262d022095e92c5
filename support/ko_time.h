// The calendar value. `ko::time` holds one instant as a count of 100-ns ticks since 1601-01-01
// 00:00:00 UTC (the one source of truth) and as broken-down UTC fields, with a `valid` flag. The
// calendar arithmetic is our own integer arithmetic: nothing here consults the machine's time
// zone or locale, so the same capture prints the same text everywhere. Its text forms are in
// ko_time_format.h and ko_time_parse.h, the run timer's stamps in ko_stopwatch.h.
#ifndef NELO_SUPPORT_KO_TIME_H_
#define NELO_SUPPORT_KO_TIME_H_

#include <compare>
#include <cstdint>

namespace ko {

struct _windows_systemtime {
  uint16_t year = 0;
  uint16_t month = 0;  // 1 to 12
  uint16_t day = 0;    // 1 to 31
  uint16_t hour = 0;
  uint16_t minute = 0;
  uint16_t second = 0;
  uint16_t milliseconds = 0;  // truncated from the tick count
};

inline constexpr uint64_t TICKS_PER_SECOND = 10000000;
inline constexpr uint64_t TICKS_PER_MILLISECOND = 10000;
inline constexpr uint64_t TICKS_PER_MICROSECOND = 10;
inline constexpr uint64_t NANOSECONDS_PER_TICK = 100;
inline constexpr uint64_t NANOSECONDS_PER_SECOND = 1000000000;
inline constexpr uint64_t TICKS_1601_TO_1970 = 116444736000000000ULL;
// Tick counts from here on name no instant.
inline constexpr uint64_t TICKS_LIMIT = 1ULL << 63;

// Month names as the date text writes and reads them; index 0 is January.
inline constexpr const char* MONTH_ABBREVIATIONS[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// The whole seconds since 1970-01-01 (negative before it) whose signed tick count does not
// overflow.
inline constexpr int64_t UNIX_SECONDS_MIN = INT64_MIN / static_cast<int64_t>(TICKS_PER_SECOND);
inline constexpr int64_t UNIX_SECONDS_MAX =
    (INT64_MAX - static_cast<int64_t>(TICKS_1601_TO_1970)) / static_cast<int64_t>(TICKS_PER_SECOND);

// The signed tick count of `seconds` since 1970-01-01; `seconds` must lie in the range above.
constexpr int64_t unix_seconds_to_ticks(int64_t seconds) {
  return seconds * static_cast<int64_t>(TICKS_PER_SECOND) +
         static_cast<int64_t>(TICKS_1601_TO_1970);
}

// An instant to the nanosecond: a tick count and the nanoseconds below the tick (0 to 99), as
// captures with nanosecond stamps hold them. Instants order by ticks, then by nanoseconds.
struct fine_time {
  uint64_t ticks = 0;
  uint8_t sub_tick_ns = 0;
  friend constexpr auto operator<=>(const fine_time&, const fine_time&) = default;
};

class time {
 public:
  time() = default;
  // The instant `ticks` after 1601-01-01, as `set_ticks` makes it.
  explicit time(uint64_t ticks) { set_ticks(ticks); }

  // Recomputes every form from `t`; returns `valid`: false for 0 (the fields then stay as they
  // were), for counts of 2^63 or more, for the first second of 1970, and outside 1900 to 3000.
  bool set_ticks(uint64_t t);

  uint64_t ticks() const { return m_ticks; }
  const _windows_systemtime& utc() const { return m_utc; }
  bool valid() const { return m_valid; }

 private:
  uint64_t m_ticks = 0;
  _windows_systemtime m_utc{};
  bool m_valid = false;
};

// Breaks a tick count into UTC fields. False, with every field 0, for counts of 2^63 or more.
bool ticks_to_systemtime(uint64_t t, _windows_systemtime& st);

// The current clock.
time time_now();

// Tick count of a calendar record; days past the end of a month carry into the next. False, with
// `ticks` 0, for a month outside 1 to 12, a day of 0, a year before 1601, or a count that would
// not fit in 63 bits.
bool systemtime_to_ticks(const _windows_systemtime& st, uint64_t& ticks);
// The same count, 0 (the value every caller treats as failure) where the form above is false.
// The date-and-time readers fail on such a record instead of handing it on.
uint64_t systemtime_to_ticks(const _windows_systemtime& st);

}  // namespace ko

#endif  // NELO_SUPPORT_KO_TIME_H_
