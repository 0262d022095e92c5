#include "report/line_buffer.h"

#include <cstring>

#include "support/ko_time.h"
#include "support/ko_time_format.h"

namespace nelo {

const utc_second_memo::text* utc_second_memo::of(uint64_t ticks) {
  const uint64_t second = ticks / ko::TICKS_PER_SECOND;
  if (second != m_second) {
    // Whether a time is valid, and its fields but the milliseconds, depend on its second alone.
    char clock[12];
    m_valid = ko::write_date_time_utc(ko::time(second * ko::TICKS_PER_SECOND), m_text.date, clock);
    std::memcpy(m_text.clock, clock, sizeof m_text.clock);
    m_second = second;
  }
  return m_valid ? &m_text : nullptr;
}

char* put_utc_time(char* p, const capture_record& record, utc_second_memo& seconds) {
  constexpr int FRACTION_DIGITS = 9;
  if (record.time != record_time::shown) return p;
  const utc_second_memo::text* second = seconds.of(record.ticks);
  if (second == nullptr) return p;
  std::memcpy(p, second->date, sizeof second->date);
  p += sizeof second->date;
  *p++ = 'T';
  std::memcpy(p, second->clock, sizeof second->clock);
  p += sizeof second->clock;
  // Every time has nine fraction digits, whatever the capture holds, so that times of captures
  // of different resolutions sort as text.
  const uint64_t fraction =
      (record.ticks % ko::TICKS_PER_SECOND) * ko::NANOSECONDS_PER_TICK + record.sub_tick_ns;
  *p++ = '.';
  p = put_digits(p, fraction, FRACTION_DIGITS);
  *p++ = 'Z';
  return p;
}

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
