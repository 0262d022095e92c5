// Time values and date and time text: ticks, Unix seconds and UTC fields kept in step, and the
// conversions to and from text. All calendar arithmetic is done here in integers and every text
// reader is our own, so neither the time zone nor the locale of the machine can change a result.
#include "support/ko_time.h"

#include "support/ascii_text.h"
#include "support/number_text.h"

#include <sys/time.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>

#include "support/wire.h"

namespace ko {

namespace {

using nelo::is_c_space;
using nelo::is_digit;
using nelo::lower_ascii;
using nelo::trim_blanks;
using nelo::upper_ascii;

constexpr int64_t SECONDS_PER_DAY = 86400;
constexpr int64_t SECONDS_PER_COMMON_YEAR = 31536000;
// 388 days: the leap years from year 1 to 1600, which the year estimate must not count.
constexpr int64_t LEAP_SECONDS_BEFORE_1601 = 33523200;
constexpr int64_t LEAP_DAYS_BEFORE_1601 = 388;
constexpr int64_t FIRST_YEAR = 1601;
constexpr uint64_t TICKS_LIMIT = 1ULL << 63;
constexpr uint64_t TICKS_PER_MILLISECOND = 10000;
constexpr uint64_t TICKS_PER_MICROSECOND = 10;
constexpr uint64_t NANOSECONDS_PER_TICK = 100;
constexpr uint64_t TICKS_1601_TO_1900 = 94354848000000000ULL;
constexpr uint16_t FIRST_VALID_YEAR = 1900;
constexpr uint16_t LAST_VALID_YEAR = 3000;
constexpr int TWO_DIGIT_YEAR_PIVOT = 30;  // 00-30 are 2000-2030, 31-99 are 1931-1999
constexpr size_t DATE_TEXT_LIMIT = 512;
constexpr size_t TIME_FIELD_LIMIT = 31;
// A time field must convert to a whole number without overflow; anything this large is hostile.
constexpr double TIME_FIELD_MAGNITUDE_LIMIT = 2147483648.0;
constexpr size_t MONTH_NAME_LENGTH = 3;

// Day of the year (0-based) on which month index m ends; index 0 is the sentinel.
constexpr int16_t MONTH_LAST_DAY[2][13] = {
    {-1, 30, 58, 89, 119, 150, 180, 211, 242, 272, 303, 333, 364},
    {-1, 30, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334, 365},
};

constexpr const char* MONTH_ABBREVIATIONS[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

bool is_leap_year(int64_t year) {
  return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

// Writes `value` as exactly `width` decimal digits (zero-filled, high digits dropped).
void put_digits(char* out, uint64_t value, size_t width) {
  for (size_t i = width; i > 0; --i) {
    out[i - 1] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
}

void append_digits(std::string& out, uint64_t value, size_t width) {
  char buffer[20];
  put_digits(buffer, value, width);
  out.append(buffer, width);
}

// Decimal floating-point text as the C conversion reads it (blanks, sign, digits, point,
// exponent), without the locale's decimal point. Reads nothing past `text`.
double read_decimal(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && is_c_space(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  constexpr uint64_t MANTISSA_LIMIT = 100000000000000000ULL;  // keeps 17 significant digits
  uint64_t mantissa = 0;
  int64_t exponent = 0;
  bool any_digit = false;
  for (; i < text.size() && is_digit(text[i]); ++i) {
    any_digit = true;
    if (mantissa < MANTISSA_LIMIT) {
      mantissa = mantissa * 10 + static_cast<uint64_t>(text[i] - '0');
    } else {
      ++exponent;
    }
  }
  if (i < text.size() && text[i] == '.') {
    for (++i; i < text.size() && is_digit(text[i]); ++i) {
      any_digit = true;
      if (mantissa < MANTISSA_LIMIT) {
        mantissa = mantissa * 10 + static_cast<uint64_t>(text[i] - '0');
        --exponent;
      }
    }
  }
  if (!any_digit) return 0.0;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    size_t j = i + 1;
    bool exponent_negative = false;
    if (j < text.size() && (text[j] == '+' || text[j] == '-')) exponent_negative = text[j++] == '-';
    if (j < text.size() && is_digit(text[j])) {
      constexpr int64_t EXPONENT_CAP = 100000;  // far beyond any double, far below overflow
      int64_t written = 0;
      for (; j < text.size() && is_digit(text[j]); ++j) {
        if (written < EXPONENT_CAP) written = written * 10 + (text[j] - '0');
      }
      exponent += exponent_negative ? -written : written;
    }
  }
  double result = static_cast<double>(mantissa);
  // Exact powers of ten up to 1e22 keep short fractions such as 15.25 exact.
  constexpr int64_t EXACT_POWER_LIMIT = 22;
  if (exponent < 0 && -exponent <= EXACT_POWER_LIMIT) {
    result /= std::pow(10.0, static_cast<double>(-exponent));
  } else if (exponent != 0) {
    result *= std::pow(10.0, static_cast<double>(exponent));
  }
  return negative ? -result : result;
}

// A time field read with `read_decimal` and truncated toward zero; false when the value is not
// a finite number a 32-bit field can hold after truncation.
bool read_time_field(std::string_view field, double& value) {
  value = read_decimal(field);
  return std::isfinite(value) && std::fabs(value) < TIME_FIELD_MAGNITUDE_LIMIT;
}

uint32_t truncate_to_u32(double value) {
  return static_cast<uint32_t>(static_cast<int64_t>(value));
}

uint16_t truncate_to_u16(double value) {
  return static_cast<uint16_t>(static_cast<int64_t>(value));
}

// Ticks of `st`, or false when the record names no instant we can count: month outside 1 to 12,
// day 0, a year before 1601, or an instant outside 0 to 2^63 - 1 ticks.
bool convert_systemtime(const _windows_systemtime& st, uint64_t& ticks) {
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

void fill_systemtime(_windows_systemtime& st, uint32_t day, uint32_t month, uint32_t year,
                     uint32_t hour, uint32_t minute, double seconds) {
  st = _windows_systemtime{};
  st.year = static_cast<uint16_t>(year);
  st.month = static_cast<uint16_t>(month);
  st.day = static_cast<uint16_t>(day);
  st.hour = static_cast<uint16_t>(hour);
  st.minute = static_cast<uint16_t>(minute);
  const double whole = std::trunc(seconds);
  st.second = truncate_to_u16(whole);
  st.milliseconds = truncate_to_u16((seconds - whole) * 1000.0 + 0.5);
}

// Shared tail of both date-and-time readers: the time text, then the record, which must be one
// that converts to a tick count.
bool finish_date_time(const char* time_text, uint32_t day, uint32_t month, uint32_t year,
                      _windows_systemtime& st) {
  uint32_t hour = 0;
  uint32_t minute = 0;
  double seconds = 0.0;
  if (time_text != nullptr && time_text[0] != '\0') {
    if (!parse_time(time_text, hour, minute, seconds)) return false;
  }
  _windows_systemtime parsed;
  fill_systemtime(parsed, day, month, year, hour, minute, seconds);
  uint64_t ticks;
  if (!convert_systemtime(parsed, ticks)) return false;
  st = parsed;
  return true;
}

int two_digit_year(uint32_t value) {
  constexpr int CENTURY_2000 = 2000;
  constexpr int CENTURY_1900 = 1900;
  return static_cast<int>(value) +
         (static_cast<int>(value) <= TWO_DIGIT_YEAR_PIVOT ? CENTURY_2000 : CENTURY_1900);
}

// The whole field, any case, as "jan" to "dec"; 0 when it is none of them.
uint32_t month_from_whole_name(std::string_view field) {
  if (field.size() != MONTH_NAME_LENGTH) return 0;
  for (uint32_t m = 0; m < 12; ++m) {
    bool same = true;
    for (size_t i = 0; i < MONTH_NAME_LENGTH; ++i) {
      if (lower_ascii(field[i]) != lower_ascii(MONTH_ABBREVIATIONS[m][i])) same = false;
    }
    if (same) return m + 1;
  }
  return 0;
}

// Splits a date text at one separator character, one field per call.
class field_reader {
 public:
  field_reader(std::string_view text, char separator) : m_text(text), m_separator(separator) {}

  // False when the text is used up.
  bool next(std::string_view& field) {
    if (m_done) return false;
    size_t end = m_text.find(m_separator, m_pos);
    if (end == std::string_view::npos) {
      field = m_text.substr(m_pos);
      m_done = true;
    } else {
      field = m_text.substr(m_pos, end - m_pos);
      m_pos = end + 1;
      if (m_pos >= m_text.size()) m_done = true;
    }
    return true;
  }

 private:
  std::string_view m_text;
  char m_separator;
  size_t m_pos = 0;
  bool m_done = false;
};

}  // namespace

time::time(int32_t seconds, int32_t microseconds, type_time kind) {
  if (seconds == 0 || kind != type_time::unix_time) return;
  set_unix_seconds(seconds);
  add_microseconds(microseconds);
}

time::time(uint64_t raw, type_time kind) {
  if (kind == type_time::filetime) {
    set_ticks(raw);
  } else if (kind == type_time::unix_time) {
    set_unix_seconds(static_cast<int64_t>(raw));
  }
}

void time::set_unix_seconds(int64_t seconds) {
  if (seconds < UNIX_SECONDS_MIN || seconds > UNIX_SECONDS_MAX) return;
  m_ticks = static_cast<uint64_t>(unix_seconds_to_ticks(seconds));
  // set_ticks leaves the Unix seconds at `seconds`; before 1970 they stay 0.
  if (seconds >= 0) set_ticks(m_ticks);
}

bool time::set_ticks(uint64_t t) {
  m_valid = false;
  if (t == 0) return false;
  m_ticks = t;
  if (t >= TICKS_LIMIT) return false;
  m_unix_seconds = static_cast<int64_t>((t - TICKS_1601_TO_1970) / TICKS_PER_SECOND);
  if (m_unix_seconds == 0) return false;
  ticks_to_systemtime(t, m_utc, m_microseconds, m_nanoseconds);
  m_valid = m_utc.year >= FIRST_VALID_YEAR && m_utc.year <= LAST_VALID_YEAR;
  return m_valid;
}

void time::add_microseconds(int32_t count) {
  if (!m_valid) return;
  const int64_t delta = static_cast<int64_t>(count) * static_cast<int64_t>(TICKS_PER_MICROSECOND);
  set_ticks(m_ticks + static_cast<uint64_t>(delta));
}

uint16_t time::milliseconds(bool round) const {
  uint16_t result = m_utc.milliseconds;
  constexpr uint64_t HALF_MILLISECOND_US = 500;
  if (round &&
      m_microseconds - static_cast<uint64_t>(m_utc.milliseconds) * 1000 >= HALF_MILLISECOND_US) {
    ++result;
  }
  return result;
}

bool ticks_to_systemtime(uint64_t t, _windows_systemtime& st, uint64_t& microseconds,
                         uint64_t& nanoseconds) {
  st = _windows_systemtime{};
  microseconds = 0;
  nanoseconds = 0;
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
  const uint64_t fraction = t % TICKS_PER_SECOND;
  st.milliseconds = static_cast<uint16_t>(fraction / TICKS_PER_MILLISECOND);
  microseconds = fraction / TICKS_PER_MICROSECOND;
  nanoseconds = fraction * NANOSECONDS_PER_TICK;
  return true;
}

time time_now() {
  timeval now{};
  gettimeofday(&now, nullptr);
  const uint64_t ticks = static_cast<uint64_t>(unix_seconds_to_ticks(now.tv_sec)) +
                         static_cast<uint64_t>(now.tv_usec) * TICKS_PER_MICROSECOND;
  return time(ticks, type_time::filetime);
}

uint64_t time_stamp_from_ticks(uint64_t ticks) {
  if (ticks >= TICKS_LIMIT) return 0;
  const uint32_t seconds = static_cast<uint32_t>((ticks - TICKS_1601_TO_1900) / TICKS_PER_SECOND);
  uint8_t bytes[8] = {static_cast<uint8_t>(seconds >> 24),
                      static_cast<uint8_t>(seconds >> 16),
                      static_cast<uint8_t>(seconds >> 8),
                      static_cast<uint8_t>(seconds),
                      0,
                      0,
                      0,
                      0};
  uint64_t stamp;
  std::memcpy(&stamp, bytes, sizeof stamp);
  return stamp;
}

uint64_t time_stamp_now() {
  timeval now{};
  gettimeofday(&now, nullptr);
  const time value(static_cast<uint64_t>(static_cast<int64_t>(now.tv_sec)), type_time::unix_time);
  return time_stamp_from_ticks(value.ticks());
}

double elapsed_seconds(uint64_t a, uint64_t b) {
  auto read_stamp = [](uint64_t stamp) {
    uint8_t bytes[8];
    std::memcpy(bytes, &stamp, sizeof bytes);
    constexpr double FRACTION_UNIT = 1.0 / 4294967296.0;
    return static_cast<double>(nelo::load_be32(bytes)) +
           static_cast<double>(nelo::load_be32(bytes + 4)) * FRACTION_UNIT;
  };
  const double x = read_stamp(a);
  const double y = read_stamp(b);
  return x > y ? x - y : y - x;
}

bool write_date_time_utc(const time& value, char (&date)[10], char (&clock)[12]) {
  if (!value.valid()) return false;
  const _windows_systemtime& st = value.utc();
  put_digits(date, st.year, 4);
  date[4] = '-';
  put_digits(date + 5, st.month, 2);
  date[7] = '-';
  put_digits(date + 8, st.day, 2);
  put_digits(clock, st.hour, 2);
  clock[2] = ':';
  put_digits(clock + 3, st.minute, 2);
  clock[5] = ':';
  put_digits(clock + 6, st.second, 2);
  clock[8] = '.';
  put_digits(clock + 9, value.milliseconds(false), 3);
  return true;
}

bool format_date_time_custom(std::string& date, std::string& clock, const time& value,
                             std::string_view date_format, std::string_view time_format) {
  date.clear();
  clock.clear();
  if (!value.valid()) return false;
  const _windows_systemtime& st = value.utc();
  constexpr auto npos = std::string_view::npos;

  if (!date_format.empty()) {
    char separator = '/';
    bool blank_mode = false;
    if (date_format.find('/') != npos) {
      separator = '/';
    } else if (date_format.find('-') != npos) {
      separator = '-';
    } else if (date_format.find(' ') != npos) {
      separator = ' ';
      blank_mode = true;
    }
    const size_t year_pos = date_format.find("yy");
    const size_t month_pos = date_format.find("mm");
    const size_t day_pos = date_format.find("dd");

    std::string month;
    bool comma = false;
    if (date_format.find("mmm") != npos) {
      if (st.month >= 1 && st.month <= 12) month = MONTH_ABBREVIATIONS[st.month - 1];
    } else {
      append_digits(month, st.month, 2);
    }
    if (blank_mode && day_pos != npos && month_pos != npos && day_pos > month_pos &&
        date_format.find(',', day_pos) != npos) {
      comma = true;
    }
    std::string day;
    append_digits(day, st.day, 2);
    std::string year;
    if (date_format.find("yyyy") == npos && year_pos != npos) {
      append_digits(year, st.year % 100, 2);
    } else {
      append_digits(year, st.year, 4);
    }

    if (year_pos == npos || month_pos == npos || day_pos == npos) {
      date = month + "/" + day + "/" + year;
    } else {
      std::string middle;
      if (month_pos < day_pos) {
        middle = month + separator + day;
        if (comma) middle += ',';
      } else {
        middle = day + separator + month;
      }
      date = year_pos == 0 ? year + separator + middle : middle + separator + year;
    }
  }

  if (time_format.empty()) return true;
  if (time_format.find("hh:mm") != npos) {
    append_digits(clock, st.hour, 2);
    clock += ':';
    append_digits(clock, st.minute, 2);
  }
  if (time_format.find("ss") != npos) {
    clock += ':';
    append_digits(clock, st.second, 2);
  }
  const size_t fraction_pos = time_format.find("xxx");
  if (fraction_pos != npos) {
    const size_t width = time_format.rfind('x') - fraction_pos + 1;
    constexpr size_t MILLI_DIGITS = 3;
    constexpr size_t MICRO_DIGITS = 6;
    constexpr size_t NANO_DIGITS = 9;
    uint64_t digits = 0;
    size_t scale_down = 0;
    if (width == MILLI_DIGITS) {
      digits = value.milliseconds(false);
    } else if (width <= MICRO_DIGITS) {
      digits = value.microseconds();
      scale_down = MICRO_DIGITS - width;
    } else if (width <= NANO_DIGITS) {
      digits = value.nanoseconds();
      scale_down = NANO_DIGITS - width;
    }
    if (width <= NANO_DIGITS) {
      for (size_t i = 0; i < scale_down; ++i) digits /= 10;
      clock += '.';
      append_digits(clock, digits, width);
    }
  }
  return true;
}

bool parse_date_time(const char* date_text, const char* time_text, _windows_systemtime& st) {
  if (date_text == nullptr || date_text[0] == '\0') return false;
  uint32_t day = 0;
  uint32_t month = 0;
  uint32_t year = 0;
  if (!parse_date(date_text, day, month, year)) return false;
  return finish_date_time(time_text, day, month, year, st);
}

bool parse_date(const char* text, uint32_t& day, uint32_t& month, uint32_t& year) {
  day = month = year = 0;
  if (text == nullptr) return false;
  const std::string_view date(text, strnlen(text, DATE_TEXT_LIMIT));
  constexpr auto npos = std::string_view::npos;
  char separator;
  if (date.find('-') != npos) {
    separator = '-';
  } else if (date.find('/') != npos) {
    separator = '/';
  } else {
    return false;
  }
  const size_t first_sep = date.find(separator);
  const size_t second_sep = date.find(separator, first_sep + 1);
  if (second_sep == npos) return false;
  const std::string_view first = date.substr(0, first_sep);
  const std::string_view second = date.substr(first_sep + 1, second_sep - first_sep - 1);
  std::string_view third = date.substr(second_sep + 1);
  constexpr size_t FIRST_FIELD_LIMIT = 2;
  constexpr size_t SECOND_FIELD_LIMIT = 3;
  if (first.size() > FIRST_FIELD_LIMIT || second.size() > SECOND_FIELD_LIMIT || third.empty()) {
    return false;
  }
  third = third.substr(0, std::min(third.find(' '), third.size()));

  // The first field is too short for a month name, so only digits can make it.
  if (first.empty() || !is_digit(first[0])) return false;
  auto leading_digits = [](std::string_view field) {
    uint32_t value = 0;
    for (size_t i = 0; i < field.size() && is_digit(field[i]); ++i) {
      value = value * 10 + static_cast<uint32_t>(field[i] - '0');
    }
    return value;
  };
  const uint32_t first_value = leading_digits(first);
  if (!second.empty() && is_digit(second[0])) {
    month = first_value;
    day = leading_digits(second);
  } else {
    const int named = month_from_name(second);
    if (named < 0) return false;
    day = first_value;
    month = static_cast<uint32_t>(named);
  }

  if (third.empty() || !is_digit(third[0])) return false;
  constexpr size_t YEAR_DIGITS_READ = 4;
  const uint32_t year_value = leading_digits(third.substr(0, YEAR_DIGITS_READ));
  year = third.size() == 2 ? static_cast<uint32_t>(two_digit_year(year_value)) : year_value;

  return month >= 1 && month <= 12 && day >= 1 && day <= 31;
}

bool parse_time(const char* text, uint32_t& hour, uint32_t& minute, double& seconds) {
  hour = 0;
  minute = 0;
  seconds = 0.0;
  if (text == nullptr) return false;
  std::string clock(trim_blanks(text));
  for (char& c : clock) c = lower_ascii(c);
  constexpr auto npos = std::string::npos;

  const size_t first_colon = clock.find(':');
  if (first_colon == npos) return false;
  const size_t second_colon = clock.find(':', first_colon + 1);
  size_t suffix = npos;
  const size_t m = clock.find('m', first_colon + 1);
  char meridiem = '\0';  // 'a' or 'p' with an am or pm suffix
  if (m != npos) {
    meridiem = clock[m - 1];
    suffix = m - 1;
    if (suffix > 0 && clock[suffix - 1] == ' ') --suffix;
  }

  // Each field must lie inside the text: a suffix before a colon leaves nothing to read.
  const std::string_view view(clock);
  auto field = [&view](size_t begin, size_t end, size_t min_size, std::string_view& out) {
    if (end < begin || end - begin < min_size || end - begin > TIME_FIELD_LIMIT) return false;
    out = view.substr(begin, end - begin);
    return true;
  };

  std::string_view hour_text;
  if (!field(0, first_colon, 0, hour_text)) return false;
  const size_t minute_end =
      second_colon != npos ? second_colon : (suffix != npos ? suffix : clock.size());
  std::string_view minute_text;
  if (!field(first_colon + 1, minute_end, 1, minute_text)) return false;
  std::string_view second_text;
  if (second_colon != npos) {
    const size_t second_end = suffix != npos ? suffix : clock.size();
    if (!field(second_colon + 1, second_end, 0, second_text)) return false;
  }

  double hour_value;
  double minute_value;
  double second_value = 0.0;
  if (!read_time_field(hour_text, hour_value) || !read_time_field(minute_text, minute_value)) {
    return false;
  }
  if (second_colon != npos && !read_time_field(second_text, second_value)) return false;
  hour = truncate_to_u32(hour_value);
  // On the 12-hour clock 12 comes before 1: 12:30am is half past midnight, 12:30pm half past noon.
  constexpr uint32_t NOON = 12;
  if (meridiem == 'a' && hour == NOON) {
    hour = 0;
  } else if (meridiem == 'p' && hour != NOON) {
    hour += NOON;
  }
  minute = truncate_to_u32(minute_value);
  seconds = second_value;
  return true;
}

bool parse_iso_date_time(std::string_view text, bool end_of_day, _windows_systemtime& st) {
  const std::string_view t = trim_blanks(text);
  size_t pos = 0;
  // Exactly `width` digits at `pos`, as a number; false when they are not there.
  auto digits = [&t, &pos](size_t width, uint32_t& value) {
    value = 0;
    for (size_t end = pos + width; pos < end; ++pos) {
      if (pos >= t.size() || !is_digit(t[pos])) return false;
      value = value * 10 + static_cast<uint32_t>(t[pos] - '0');
    }
    return true;
  };
  auto skip = [&t, &pos](char c) {
    if (pos >= t.size() || t[pos] != c) return false;
    ++pos;
    return true;
  };
  constexpr size_t YEAR_WIDTH = 4;
  constexpr size_t FIELD_WIDTH = 2;
  uint32_t year, month, day;
  if (!digits(YEAR_WIDTH, year) || !skip('-') || !digits(FIELD_WIDTH, month) || !skip('-') ||
      !digits(FIELD_WIDTH, day)) {
    return false;
  }
  constexpr uint32_t LAST_HOUR = 23;
  constexpr uint32_t LAST_MINUTE = 59;
  uint32_t hour = 0;
  uint32_t minute = 0;
  uint32_t second = 0;
  double fraction = 0.0;
  if (pos == t.size()) {
    if (end_of_day) {
      hour = LAST_HOUR;
      minute = second = LAST_MINUTE;
    }
  } else {
    if (t[pos] != 'T' && t[pos] != 't' && t[pos] != ' ') return false;
    ++pos;
    if (!digits(FIELD_WIDTH, hour) || !skip(':') || !digits(FIELD_WIDTH, minute)) return false;
    if (skip(':')) {
      if (!digits(FIELD_WIDTH, second)) return false;
      if (skip('.')) {
        double scale = 0.1;
        const size_t first = pos;
        for (; pos < t.size() && is_digit(t[pos]); ++pos, scale /= 10) {
          fraction += scale * (t[pos] - '0');
        }
        if (pos == first) return false;
      }
    }
    // The report's times are UTC, which is what a trailing Z says.
    if (pos < t.size() && (t[pos] == 'Z' || t[pos] == 'z')) ++pos;
    if (pos != t.size()) return false;
  }
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > LAST_HOUR || minute > LAST_MINUTE ||
      second > LAST_MINUTE) {
    return false;
  }
  _windows_systemtime parsed;
  fill_systemtime(parsed, day, month, year, hour, minute, second + fraction);
  uint64_t ticks;
  if (!convert_systemtime(parsed, ticks)) return false;
  st = parsed;
  return true;
}

int month_from_name(std::string_view text) {
  if (text.size() < MONTH_NAME_LENGTH) return -1;
  const int month = static_cast<int>(month_from_whole_name(text.substr(0, MONTH_NAME_LENGTH)));
  return month == 0 ? -1 : month;
}

bool parse_date_time_ordered(const char* date_text, const char* time_text, std::string_view order,
                             char separator, _windows_systemtime& st) {
  if (date_text == nullptr || date_text[0] == '\0') return false;
  uint32_t day = 0;
  uint32_t month = 0;
  uint32_t year = 0;
  if (!parse_date_ordered(date_text, order, separator, day, month, year)) return false;
  return finish_date_time(time_text, day, month, year, st);
}

bool parse_date_ordered(const char* text, std::string_view order, char separator, uint32_t& day,
                        uint32_t& month, uint32_t& year) {
  day = month = year = 0;
  constexpr size_t FIELD_COUNT = 3;
  if (order.size() < FIELD_COUNT || text == nullptr) return false;
  const size_t name_pos = order.find("Mon");
  std::string fields;
  for (size_t i = 0; i < order.size(); ++i) {
    if (i + 2 < order.size() && upper_ascii(order[i]) == 'M' && upper_ascii(order[i + 1]) == 'O' &&
        upper_ascii(order[i + 2]) == 'N') {
      fields += 'M';
      i += 2;
    } else {
      fields += upper_ascii(order[i]);
    }
  }
  // With "Mon" first the first field is the name; anywhere else it is the second.
  const size_t name_field =
      name_pos == std::string_view::npos ? FIELD_COUNT : (name_pos == 0 ? 0 : 1);

  field_reader reader(text, separator);
  constexpr int SECOND_FIELD_READS = 3;
  for (size_t index = 0; index < FIELD_COUNT; ++index) {
    std::string_view field;
    if (!reader.next(field)) return false;
    if (index == 1) {
      for (int reads = 1; field.empty() && reads < SECOND_FIELD_READS; ++reads) {
        if (!reader.next(field)) return false;
      }
    } else if (index == 2) {
      while (field.empty()) {
        if (!reader.next(field)) return false;
      }
    }
    if (index == name_field) {
      month = month_from_whole_name(field);
      if (month == 0) return false;
      continue;
    }
    if (index >= fields.size()) return false;
    uint32_t number;
    const char kind = fields[index];
    if (kind != 'Y' && kind != 'M' && kind != 'D') return false;
    if (!nelo::parse_plain_number(field, number)) return false;
    if (kind == 'Y') year = number;
    if (kind == 'M') month = number;
    if (kind == 'D') day = number;
  }
  constexpr uint32_t LAST_TWO_DIGIT_YEAR = 99;
  if (year <= LAST_TWO_DIGIT_YEAR) year = static_cast<uint32_t>(two_digit_year(year));
  return month <= 12 && day <= 31;
}

uint64_t systemtime_to_ticks(const _windows_systemtime& st) {
  uint64_t ticks;
  return convert_systemtime(st, ticks) ? ticks : 0;
}

}  // namespace ko
