// Date and time text of a `ko::time`: the report's fixed columns and the run header's formats.
#include "support/ko_time_format.h"

#include <cstddef>

namespace ko {

namespace {

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

}  // namespace

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
  put_digits(clock + 9, st.milliseconds, 3);
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

  if (time_format.find("hh:mm") != npos) {
    append_digits(clock, st.hour, 2);
    clock += ':';
    append_digits(clock, st.minute, 2);
  }
  if (time_format.find("ss") != npos) {
    clock += ':';
    append_digits(clock, st.second, 2);
  }
  return true;
}
}  // namespace ko
