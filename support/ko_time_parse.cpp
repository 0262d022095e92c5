// Date and time text read into calendar records. Every reader here is our own, the decimal one
// included, so the locale of the machine cannot change what a text means.
#include "support/ko_time_parse.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <string>

#include "support/ascii_text.h"
#include "support/number_text.h"

namespace ko {

namespace {

using nelo::is_c_space;
using nelo::is_digit;
using nelo::lower_ascii;
using nelo::trim_blanks;
using nelo::upper_ascii;

constexpr int TWO_DIGIT_YEAR_PIVOT = 30;  // 00-30 are 2000-2030, 31-99 are 1931-1999
constexpr size_t DATE_TEXT_LIMIT = 512;
constexpr size_t TIME_FIELD_LIMIT = 31;
// A time field must convert to a whole number without overflow; anything this large is hostile.
constexpr double TIME_FIELD_MAGNITUDE_LIMIT = 2147483648.0;
constexpr size_t MONTH_NAME_LENGTH = 3;
constexpr size_t NANOSECOND_DIGITS = 9;

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

// Fills `st` from the fields read when they name an instant a tick count can hold; leaves it
// alone and returns false otherwise.
bool store_date_time(_windows_systemtime& st, uint32_t day, uint32_t month, uint32_t year,
                     uint32_t hour, uint32_t minute, double seconds) {
  _windows_systemtime parsed{};
  parsed.year = static_cast<uint16_t>(year);
  parsed.month = static_cast<uint16_t>(month);
  parsed.day = static_cast<uint16_t>(day);
  parsed.hour = static_cast<uint16_t>(hour);
  parsed.minute = static_cast<uint16_t>(minute);
  const double whole = std::trunc(seconds);
  parsed.second = truncate_to_u16(whole);
  parsed.milliseconds = truncate_to_u16((seconds - whole) * 1000.0 + 0.5);
  uint64_t ticks;
  if (!systemtime_to_ticks(parsed, ticks)) return false;
  st = parsed;
  return true;
}

// The fraction of a second to the nanosecond, every digit of it counted: the calendar record
// keeps only milliseconds.
struct second_fraction {
  uint32_t nanoseconds = 0;
  bool finer = false;  // a digit after the ninth is not 0
};

second_fraction read_fraction_digits(std::string_view digits) {
  second_fraction fraction;
  auto scale = static_cast<uint32_t>(NANOSECONDS_PER_SECOND);
  for (size_t i = 0; i < digits.size(); ++i) {
    const auto digit = static_cast<uint32_t>(digits[i] - '0');
    if (i < NANOSECOND_DIGITS) {
      scale /= 10;
      fraction.nanoseconds += digit * scale;
    } else if (digit != 0) {
      fraction.finer = true;
    }
  }
  return fraction;
}

// The fraction of a seconds field: from its own digits when it is plain decimal ("15",
// "15.355818"), else from the value the decimal reader made of it ("1.5e1"), to the nearest
// nanosecond.
second_fraction fraction_of_seconds(std::string_view field, double seconds) {
  size_t pos = 0;
  while (pos < field.size() && is_c_space(field[pos])) ++pos;
  while (pos < field.size() && is_digit(field[pos])) ++pos;
  if (pos == field.size()) return {};
  if (field[pos] == '.') {
    const size_t first = pos + 1;
    size_t end = first;
    while (end < field.size() && is_digit(field[end])) ++end;
    if (end == field.size()) return read_fraction_digits(field.substr(first));
  }
  const double part = seconds - std::trunc(seconds);
  if (!(part > 0.0)) return {};
  const auto nanoseconds = static_cast<uint32_t>(std::llround(part * NANOSECONDS_PER_SECOND));
  return {std::min(nanoseconds, static_cast<uint32_t>(NANOSECONDS_PER_SECOND - 1)), false};
}

// The fields of a time text as `parse_time` reads them, with the seconds' fraction to the
// nanosecond.
struct clock_fields {
  uint32_t hour = 0;
  uint32_t minute = 0;
  double seconds = 0.0;
  second_fraction fraction;
};

bool read_clock(const char* text, clock_fields& clock_out) {
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
  uint32_t hour = truncate_to_u32(hour_value);
  // On the 12-hour clock 12 comes before 1: 12:30am is half past midnight, 12:30pm half past noon.
  constexpr uint32_t NOON = 12;
  if (meridiem == 'a' && hour == NOON) {
    hour = 0;
  } else if (meridiem == 'p' && hour != NOON) {
    hour += NOON;
  }
  clock_out = {hour, truncate_to_u32(minute_value), second_value,
               fraction_of_seconds(second_text, second_value)};
  return true;
}

// Shared tail of the date-and-time readers: the time text, then the record, which must be one
// that converts to a tick count.
bool finish_date_time(const char* time_text, uint32_t day, uint32_t month, uint32_t year,
                      _windows_systemtime& st, second_fraction& fraction) {
  clock_fields clock;
  if (time_text != nullptr && time_text[0] != '\0') {
    if (!read_clock(time_text, clock)) return false;
  }
  if (!store_date_time(st, day, month, year, clock.hour, clock.minute, clock.seconds)) {
    return false;
  }
  fraction = clock.fraction;
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

bool parse_date_time(const char* date_text, const char* time_text, _windows_systemtime& st) {
  if (date_text == nullptr || date_text[0] == '\0') return false;
  uint32_t day = 0;
  uint32_t month = 0;
  uint32_t year = 0;
  if (!parse_date(date_text, day, month, year)) return false;
  second_fraction unused;
  return finish_date_time(time_text, day, month, year, st, unused);
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
  clock_fields clock;
  const bool read = read_clock(text, clock);
  hour = clock.hour;
  minute = clock.minute;
  seconds = clock.seconds;
  return read;
}

namespace {

// The report's own form, ISO 8601 in UTC, with every field range-checked.
bool read_iso_date_time(std::string_view text, bool end_of_day, _windows_systemtime& st,
                        second_fraction& fraction) {
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
  second_fraction parsed_fraction;
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
        const size_t first = pos;
        while (pos < t.size() && is_digit(t[pos])) ++pos;
        if (pos == first) return false;
        parsed_fraction = read_fraction_digits(t.substr(first, pos - first));
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
  if (!store_date_time(st, day, month, year, hour, minute, second)) return false;
  fraction = parsed_fraction;
  return true;
}

}  // namespace

bool parse_time_bound(std::string_view value, bool window_end, fine_time& bound) {
  const size_t blank = value.find(' ');
  const std::string date(value.substr(0, blank));
  const std::string clock(blank == std::string_view::npos ? "" : value.substr(blank + 1));
  _windows_systemtime st{};
  second_fraction fraction;
  uint32_t day = 0;
  uint32_t month = 0;
  uint32_t year = 0;
  // The ISO form starts with a four-digit year, which the month-first reader never accepts, so
  // no value reads both ways.
  const bool read = parse_date(date.c_str(), day, month, year)
                        ? finish_date_time(clock.c_str(), day, month, year, st, fraction)
                        : read_iso_date_time(value, window_end, st, fraction);
  if (!read) return false;
  st.milliseconds = 0;
  uint64_t ticks = 0;
  if (!systemtime_to_ticks(st, ticks)) return false;
  uint64_t nanoseconds = fraction.nanoseconds;
  // A bound between two nanoseconds moves inward, so that the window holds exactly the stamps
  // that lie within the instants given.
  if (fraction.finer && !window_end) ++nanoseconds;
  ticks += nanoseconds / NANOSECONDS_PER_TICK;
  if (ticks >= TICKS_LIMIT) return false;
  bound = {ticks, static_cast<uint8_t>(nanoseconds % NANOSECONDS_PER_TICK)};
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
  second_fraction unused;
  return finish_date_time(time_text, day, month, year, st, unused);
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

}  // namespace ko
