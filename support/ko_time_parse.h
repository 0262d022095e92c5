// Date and time text read into a calendar record (`ko::_windows_systemtime`), for the time
// options. The readers, their decimal reader included, are our own, so the locale of the
// machine cannot change what a text means. A reader that fails leaves its output record alone.
#ifndef NELO_SUPPORT_KO_TIME_PARSE_H_
#define NELO_SUPPORT_KO_TIME_PARSE_H_

#include <cstdint>
#include <string_view>

#include "support/ko_time.h"

namespace ko {

// Reads "mm/dd/yy[yy]" or "dd-Mon-yyyy" style dates and "hh:mm[:ss[.fff]][ am|pm]" times; with
// pm 12 hours are added to the hour, except to 12, and with am the hour 12 is 0.
// Minutes and hours are not range-checked (they carry in the tick count). `parse_time` fails on a
// field longer than 31 characters, an empty minute, a suffix that cuts a field short of its start,
// or a field too large for a 32-bit count. The record keeps the seconds' fraction rounded to the
// millisecond. Both date-and-time readers fail on a record that `systemtime_to_ticks` cannot count.
bool parse_date_time(const char* date_text, const char* time_text, _windows_systemtime& st);
bool parse_date(const char* text, uint32_t& day, uint32_t& month, uint32_t& year);
bool parse_time(const char* text, uint32_t& hour, uint32_t& minute, double& seconds);
// Reads a bound of the time window: a date and time as `parse_date_time` reads them (the value
// split at its first blank), or the report's own form, ISO 8601 in UTC: "yyyy-mm-dd", optionally
// followed by 'T' or a blank and "hh:mm", "hh:mm:ss" or "hh:mm:ss.fffffffff" (any number of
// fraction digits), optionally followed by 'Z', every field range-checked. An ISO date alone is
// 00:00:00, or 23:59:59 for the `window_end`. Every fraction digit counts: the bound is the
// instant given to the nanosecond, and one that falls between two nanoseconds is the next of
// them for a start and the one before for the `window_end`. False when the value is none of
// these forms or names no instant a tick count can hold.
bool parse_time_bound(std::string_view value, bool window_end, fine_time& bound);
// 1 to 12 from the first three letters of a month name, or -1.
int month_from_name(std::string_view text);
bool parse_date_time_ordered(const char* date_text, const char* time_text, std::string_view order,
                             char separator, _windows_systemtime& st);
bool parse_date_ordered(const char* text, std::string_view order, char separator, uint32_t& day,
                        uint32_t& month, uint32_t& year);

}  // namespace ko

#endif  // NELO_SUPPORT_KO_TIME_PARSE_H_
