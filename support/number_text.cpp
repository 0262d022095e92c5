#include "support/number_text.h"

#include <cerrno>
#include <cstdlib>
#include <string>

#include "support/ascii_text.h"

namespace nelo {

uint32_t to_ulong32(const char* text, int base, const char** end) {
  errno = 0;
  char* stop = nullptr;
  const unsigned long long raw = std::strtoull(text, &stop, base);
  if (end != nullptr) *end = stop;
  if (errno == ERANGE) return UINT32_MAX;
  const char* p = text;
  while (is_c_space(*p)) ++p;
  const bool negative = *p == '-';
  const unsigned long long magnitude = negative ? 0ULL - raw : raw;
  if (magnitude > UINT32_MAX) return UINT32_MAX;
  return static_cast<uint32_t>(raw);
}

bool parse_plain_number(std::string_view text, uint32_t& value, bool* whole) {
  value = 0;
  if (whole != nullptr) *whole = false;
  const std::string_view t = trim_blanks(text);
  if (t.empty()) return false;
  // The conversions read the text as given; the copy supplies the terminator they need.
  const std::string raw(text);
  const char lead = lower_ascii(t[0]);
  const char* start = nullptr;
  int base = 10;
  if (t.size() >= 2 && lower_ascii(t[1]) == 'x') {
    start = raw.c_str() + 2;
    base = 16;
  } else if (lead == 'x') {
    start = raw.c_str() + 1;
    base = 16;
  } else if (lead == 'o') {
    start = raw.c_str() + 1;
    base = 8;
  } else if (raw[0] == '-' || raw[0] == '+' || is_digit(raw[0])) {
    start = raw.c_str();
  } else if (t.size() == 3 && t[0] == '\'' && t[2] == '\'') {
    value = static_cast<unsigned char>(t[1]);
    if (whole != nullptr) *whole = true;
    return true;
  } else {
    return false;
  }
  const char* end = start;
  value = to_ulong32(start, base, &end);
  if (whole != nullptr) {
    *whole = end != start && trim_blanks(std::string_view(end)).empty();
  }
  return true;
}

}  // namespace nelo
