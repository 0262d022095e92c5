#include "support/number_text.h"

#include <cerrno>
#include <cstdlib>
#include <string>

#include "support/ascii_text.h"

namespace nelo {

uint32_t to_ulong32(const char* text, int base) {
  errno = 0;
  char* end = nullptr;
  const unsigned long long raw = std::strtoull(text, &end, base);
  if (errno == ERANGE) return UINT32_MAX;
  const char* p = text;
  while (is_c_space(*p)) ++p;
  const bool negative = *p == '-';
  const unsigned long long magnitude = negative ? 0ULL - raw : raw;
  if (magnitude > UINT32_MAX) return UINT32_MAX;
  return static_cast<uint32_t>(raw);
}

bool parse_plain_number(std::string_view text, uint32_t& value) {
  value = 0;
  const std::string_view t = trim_blanks(text);
  if (t.empty()) return false;
  // The conversions read the text as given; the copy supplies the terminator they need.
  const std::string raw(text);
  const char lead = lower_ascii(t[0]);
  if (t.size() >= 2 && lower_ascii(t[1]) == 'x') {
    value = to_ulong32(raw.c_str() + 2, 16);
  } else if (lead == 'x') {
    value = to_ulong32(raw.c_str() + 1, 16);
  } else if (lead == 'o') {
    value = to_ulong32(raw.c_str() + 1, 8);
  } else if (raw[0] == '-' || raw[0] == '+' || is_digit(raw[0])) {
    value = to_ulong32(raw.c_str(), 10);
  } else if (t.size() == 3 && t[0] == '\'' && t[2] == '\'') {
    value = static_cast<unsigned char>(t[1]);
  } else {
    return false;
  }
  return true;
}

}  // namespace nelo
