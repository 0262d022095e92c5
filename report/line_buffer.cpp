#include "report/line_buffer.h"

#include "support/ko_time.h"

namespace nelo {

char* put_utc_time(char* p, const capture_record& record) {
  constexpr int FRACTION_DIGITS = 9;
  ko::time value;
  if (record.time != record_time::shown || !value.set_ticks(record.ticks)) return p;
  const ko::_windows_systemtime& utc = value.utc();
  p = put_digits(p, utc.year, 4);
  *p++ = '-';
  p = put_digits(p, utc.month, 2);
  *p++ = '-';
  p = put_digits(p, utc.day, 2);
  *p++ = 'T';
  p = put_digits(p, utc.hour, 2);
  *p++ = ':';
  p = put_digits(p, utc.minute, 2);
  *p++ = ':';
  p = put_digits(p, utc.second, 2);
  // Every time has nine fraction digits, whatever the capture holds, so that times of captures
  // of different resolutions sort as text.
  const uint64_t fraction =
      (record.ticks % ko::TICKS_PER_SECOND) * ko::NANOSECONDS_PER_TICK + record.sub_tick_ns;
  *p++ = '.';
  p = put_digits(p, fraction, FRACTION_DIGITS);
  *p++ = 'Z';
  return p;
}

}  // namespace nelo
