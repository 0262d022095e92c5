// The readers that turn option values into numbers, number lists, address prefixes, IPv6
// address bytes and byte patterns. They keep no state and never print: a value that cannot be
// read gives false, an empty result or 0, and the option concerned stays off. What a reader could
// not read whole it tells its caller, who decides what to say. Every reader copies its text
// before handing it to the C conversions, so no input can make them read past its end.
#ifndef NELO_APP_VALUE_READERS_H_
#define NELO_APP_VALUE_READERS_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "capture/byte_pattern_match.h"
#include "capture/filters.h"

namespace nelo {

// Bar, comma, semicolon, space: the first of them that occurs in a list value separates it.
inline constexpr char LIST_DELIMITERS[] = "|,; ";

// A word that a reader could not read whole (it read nothing, or stopped before the word's end),
// and what the reader made of it: "read as 12", "item left out", "byte 0", "pattern off".
struct unread_word {
  std::string word;
  std::string outcome;
};
using unread_words = std::vector<unread_word>;

// Reads a 32-bit number. Accepted forms (after trimming blanks, case ignored): "0x41" or "x41"
// hexadecimal, "o101" octal, decimal starting with a sign or digit, 'A' for a character's code,
// and four dot-separated decimal bytes "192.168.1.1", which give the address as the filters
// compare it (first byte lowest: 0x0101a8c0). Numbers convert as a 32-bit unsigned long does:
// "-1" is 4294967295 and a value too large for 32 bits is all ones. False, with `value` 0, for a
// blank text or one of none of these forms. `whole` as for `parse_plain_number`.
bool parse_number(std::string_view text, uint32_t& value, bool* whole = nullptr);

// Reads a 64-bit number: "0x..."/"x..." hexadecimal (at most 16 digits), "o..." octal (at most
// 22), otherwise decimal (at most 20 characters). False, with `value` 0, for an empty text, one
// with a blank inside or after it, or one longer than 30 characters. A text of the right shape
// whose digits cannot be read is true with `value` 0. `whole`, when given, tells whether the
// digits were read to the end of the text.
bool parse_u64(std::string_view text, uint64_t& value, bool* whole = nullptr);

// Splits at runs of whitespace; when there are two words or more, a group of words from one
// starting with '"' to the next one ending with '"' becomes one word, joined by single blanks and
// without the outer quotes. An unterminated group is left as it was.
std::vector<std::string> split_words(std::string_view text);

// A "date[ time]" option value split at its first blank: the date text before it and the time
// text after it. Without a blank the whole value is the date and there is no time text.
struct date_time_text {
  std::string date;
  std::string clock;
  bool has_clock = false;

  // The time text as the date readers take it: `fallback` when the value has none.
  const char* clock_or(const char* fallback) const { return has_clock ? clock.c_str() : fallback; }
};
date_time_text split_date_time(const std::string& value);

// Splits at every occurrence of the first delimiter (in `delimiters` order) found in the text,
// trims the pieces and reads each with `parse_u64`; unreadable pieces, and values above
// `max_value` ("-1" is read as the largest value), are skipped. Pieces not read whole or skipped
// are added to `unread` when it is given.
std::vector<uint64_t> parse_number_list(std::string_view text, std::string_view delimiters,
                                        unread_words* unread = nullptr,
                                        uint64_t max_value = UINT64_MAX);

// Reads frame numbers: each word "0x10"/"x10" hexadecimal, "o17" octal or signed decimal, as a
// 32-bit signed long (clamped). Words of none of these forms are skipped, and so are numbers
// below 1, since frames count from 1.
// The words are separated as in the other lists, by the first of '|', ',' and ';' that occurs,
// or else by blanks. Words not read whole are added to `unread` when it is given.
std::vector<uint64_t> parse_frame_list(std::string_view text, unread_words* unread = nullptr);

// Address bytes of a colon-separated IPv6 text, each group high byte first. An empty text gives
// 16 zero bytes; "::" is widened so that the text has eight groups. A text that still does not
// have eight groups gives another size, and one with a group that is not hexadecimal to its end
// gives none; callers must treat any size but 16 as unusable.
std::vector<uint8_t> parse_ipv6(std::string_view text);

// Read an address filter: items separated as in the other lists, each a prefix ("10.0.0.0/8",
// "fe80::/10": the address's first n bits) or an address, which is a whole-length prefix. An
// IPv4 item that is no prefix is read by `parse_number` ("192.168.1.7", "0x0701a8c0"); one read
// as 0 adds nothing, as 0 has always meant no filter. An IPv6 item must give 16 bytes by
// `parse_ipv6` and a prefix length of at most 128, or it is left out. Items not read whole are
// added to `unread` when it is given. The bits of an address beyond its prefix are ignored.
std::vector<ipv4_prefix> parse_ipv4_prefixes(std::string_view text, unread_words* unread = nullptr);
std::vector<ipv6_prefix> parse_ipv6_prefixes(std::string_view text, unread_words* unread = nullptr);

// Reads a blank-separated byte list into `pattern` (reset first): "?" words are wildcards, other
// words are bytes, read as hexadecimal in `hex_mode` and with `parse_number` otherwise (an
// unreadable word gives the byte 0). False, with the pattern off, when nothing usable remains.
// Byte words not read whole, and the whole text when the pattern stays off, are added to
// `unread` when it is given.
bool parse_byte_pattern(std::string_view text, bool hex_mode, byte_pattern& pattern,
                        unread_words* unread = nullptr);

}  // namespace nelo

#endif  // NELO_APP_VALUE_READERS_H_
