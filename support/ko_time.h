// Time values and date and time text.
// `ko::time` holds one instant as a count of 100-ns ticks since 1601-01-01 00:00:00 UTC (the one
// source of truth), as Unix seconds and as broken-down UTC fields, with a `valid` flag. The
// calendar arithmetic is our own integer arithmetic: nothing here consults the machine's time
// zone or locale, so the same capture prints the same text everywhere.
#ifndef NELO_SUPPORT_KO_TIME_H_
#define NELO_SUPPORT_KO_TIME_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace ko {

// Encodings of a raw time value; these two are the ones this tool converts.
enum class type_time : uint32_t {
  filetime = 0x1,
  unix_time = 0x8,
};

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
inline constexpr uint64_t TICKS_1601_TO_1970 = 116444736000000000ULL;

// The whole seconds since 1970-01-01 (negative before it) whose tick count fits in 63 bits.
inline constexpr int64_t UNIX_SECONDS_MIN = INT64_MIN / static_cast<int64_t>(TICKS_PER_SECOND);
inline constexpr int64_t UNIX_SECONDS_MAX =
    (INT64_MAX - static_cast<int64_t>(TICKS_1601_TO_1970)) / static_cast<int64_t>(TICKS_PER_SECOND);

// The signed tick count of `seconds` since 1970-01-01; `seconds` must lie in the range above.
constexpr int64_t unix_seconds_to_ticks(int64_t seconds) {
  return seconds * static_cast<int64_t>(TICKS_PER_SECOND) +
         static_cast<int64_t>(TICKS_1601_TO_1970);
}

class time {
 public:
  time() = default;
  // From a pcap record's seconds and microseconds; only `unix_time` yields a value.
  time(int32_t seconds, int32_t microseconds, type_time kind);
  // `filetime`: a raw tick count; `unix_time`: whole seconds (signed).
  time(uint64_t raw, type_time kind);

  // Recomputes every form from `t`; returns `valid`.
  bool set_ticks(uint64_t t);
  // Moves a valid value by `count` microseconds; does nothing to an invalid one.
  void add_microseconds(int32_t count);
  uint16_t milliseconds(bool round) const;

  uint64_t ticks() const { return m_ticks; }
  int64_t unix_seconds() const { return m_unix_seconds; }
  const _windows_systemtime& utc() const { return m_utc; }
  uint64_t microseconds() const { return m_microseconds; }
  uint64_t nanoseconds() const { return m_nanoseconds; }
  bool valid() const { return m_valid; }

 private:
  // Both constructors' way from Unix seconds to the value: seconds outside the tick range leave
  // it zero, and a pre-1970 instant keeps its tick count but is never valid.
  void set_unix_seconds(int64_t seconds);

  int64_t m_unix_seconds = 0;
  uint64_t m_ticks = 0;
  _windows_systemtime m_utc{};
  uint64_t m_microseconds = 0;
  uint64_t m_nanoseconds = 0;
  bool m_valid = false;
};

// Breaks a tick count into UTC fields. False, with every output 0, for counts of 2^63 or more.
bool ticks_to_systemtime(uint64_t t, _windows_systemtime& st, uint64_t& microseconds,
                         uint64_t& nanoseconds);

// The current clock as a `filetime` value.
time time_now();
// The current clock to the whole second, as an NTP-layout stamp (big-endian words).
uint64_t time_stamp_now();
// The stamp of a tick count: 8 bytes in memory, seconds since 1900 then the fraction of the
// second in units of 2^-32, each a big-endian word. 0 for counts of 2^63 or more.
uint64_t time_stamp_from_ticks(uint64_t ticks);
// Absolute difference of two stamps in seconds.
double elapsed_seconds(uint64_t a, uint64_t b);

// The report's fixed forms: "yyyy-mm-dd" (10 characters) and "hh:mm:ss.mmm" (12 characters),
// milliseconds truncated. Writes nothing and returns false for an invalid value.
bool write_date_time_utc(const time& value, char (&date)[10], char (&clock)[12]);
// Date text in `date_format` (e.g. "mm/dd/yyyy") and time text in `time_format` (e.g.
// "hh:mm:ss.xxx"); false and both empty when the value is not valid.
bool format_date_time_custom(std::string& date, std::string& clock, const time& value,
                             std::string_view date_format, std::string_view time_format);

// Reads "mm/dd/yy[yy]" or "dd-Mon-yyyy" style dates and "hh:mm[:ss[.fff]][ am|pm]" times; with
// pm 12 hours are added to the hour, except to 12, and with am the hour 12 is 0.
// Minutes and hours are not range-checked (they carry in the tick count). `parse_time` fails on a
// field longer than 31 characters, an empty minute, a suffix that cuts a field short of its start,
// or a field too large for a 32-bit count. Both date-and-time readers leave `st` alone on failure.
bool parse_date_time(const char* date_text, const char* time_text, _windows_systemtime& st);
bool parse_date(const char* text, uint32_t& day, uint32_t& month, uint32_t& year);
bool parse_time(const char* text, uint32_t& hour, uint32_t& minute, double& seconds);
// Reads the report's own form, ISO 8601 in UTC: "yyyy-mm-dd", optionally followed by 'T' or a
// blank and "hh:mm", "hh:mm:ss" or "hh:mm:ss.fff" (any number of fraction digits, rounded to
// the millisecond), optionally followed by 'Z'. A date alone is 00:00:00, or 23:59:59 with
// `end_of_day`. Unlike the readers above, every field is range-checked. Leaves `st` alone on
// failure.
bool parse_iso_date_time(std::string_view text, bool end_of_day, _windows_systemtime& st);
// 1 to 12 from the first three letters of a month name, or -1.
int month_from_name(std::string_view text);
bool parse_date_time_ordered(const char* date_text, const char* time_text, std::string_view order,
                             char separator, _windows_systemtime& st);
bool parse_date_ordered(const char* text, std::string_view order, char separator, uint32_t& day,
                        uint32_t& month, uint32_t& year);
// Tick count of a calendar record; days past the end of a month carry into the next. Returns 0
// (the value every caller treats as failure) for a month outside 1 to 12, a day of 0, a year
// before 1601, or a count that would not fit in 63 bits. Both date-and-time readers fail on such
// a record instead of handing it on.
uint64_t systemtime_to_ticks(const _windows_systemtime& st);

}  // namespace ko

#endif  // NELO_SUPPORT_KO_TIME_H_
