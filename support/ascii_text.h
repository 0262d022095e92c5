// Character and text helpers for option values, dates and file names. They look at ASCII only
// and never at the locale, so no text reads differently on a machine with another language.
#ifndef NELO_SUPPORT_ASCII_TEXT_H_
#define NELO_SUPPORT_ASCII_TEXT_H_

#include <string>
#include <string_view>

namespace nelo {

inline constexpr std::string_view TEXT_BLANKS = " \t\r\n";

inline bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

inline char lower_ascii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

inline char upper_ascii(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// The blanks the C conversions skip: space, tab, line feed, vertical tab, form feed, return.
inline bool is_c_space(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

// `text` without the characters of `blanks` at either end.
inline std::string_view trim_blanks(std::string_view text, std::string_view blanks = TEXT_BLANKS) {
  const size_t first = text.find_first_not_of(blanks);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

inline std::string lower_text(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = lower_ascii(c);
  return out;
}

}  // namespace nelo

#endif  // NELO_SUPPORT_ASCII_TEXT_H_
