// The readers that turn option values into numbers, number lists, frame ranges, address
// prefixes, ICMP types and codes, byte patterns and time bounds. They keep no state and never
// print: each tells its caller whether the whole value was read, and a value of which any part
// cannot be read, or lies outside what the option can mean, is not read at all, so the caller
// can refuse it rather than go on with something the user did not ask for. Every reader copies
// its text before handing it to the C conversions, so no input can make them read past its end.
#ifndef NELO_APP_VALUE_READERS_H_
#define NELO_APP_VALUE_READERS_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "capture/byte_pattern_match.h"
#include "capture/filters.h"
#include "support/ko_time.h"

namespace nelo {

// Bar, comma, semicolon, space: the first of them that occurs in a list value separates it.
inline constexpr char LIST_DELIMITERS[] = "|,; ";

// Reads a 32-bit number. Accepted forms (after trimming blanks, case ignored): "0x41" or "x41"
// hexadecimal, "o101" octal, decimal starting with a sign or digit, 'A' for a character's code,
// and four dot-separated decimal bytes "192.168.1.1", which give the address as the filters
// compare it (first byte lowest: 0x0101a8c0). Numbers convert as a 32-bit unsigned long does:
// "-1" is 4294967295 and a value too large for 32 bits is all ones. False, with `value` 0, for a
// blank text or one of none of these forms. `whole` as for `parse_plain_number`.
bool parse_number(std::string_view text, uint32_t& value, bool* whole = nullptr);

// A count (-min_size, -num_subdirs, -threads): `parse_number` read whole, without a minus.
bool parse_count(std::string_view text, uint32_t& value);

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

// Splits at every occurrence of the first delimiter (in LIST_DELIMITERS order) found in the
// text, trims the pieces and reads each whole with `parse_u64`. False when the list holds no
// item, or an item that is not a number read to its end or is above `max_value`.
bool parse_number_list(std::string_view text, uint64_t max_value, std::vector<uint64_t>& values);

// Reads frame numbers and ranges, separated as in the other lists: each item "n" or "first-last"
// with first at most last, every number "0x10"/"x10" hexadecimal, "o17" octal or decimal, and
// at least 1, since frames count from 1. The ranges come back sorted, with those that touch or
// overlap merged, so that a frame is found by a binary search. False when any item is unread.
bool parse_frame_list(std::string_view text, std::vector<frame_range>& frames);

// Address bytes of a colon-separated IPv6 text, each group high byte first. An empty text gives
// 16 zero bytes; "::" is widened so that the text has eight groups. A text that still does not
// have eight groups gives another size, and one with a group that is not hexadecimal to its end
// gives none; callers must treat any size but 16 as unusable.
std::vector<uint8_t> parse_ipv6(std::string_view text);

// Reads an address filter: items separated as in the other lists, each a prefix ("10.0.0.0/8",
// "fe80::/10": the address's first n bits) or an address, which is a whole-length prefix. An
// IPv4 address is four dotted bytes or, as ever, a number `parse_number` reads whole
// ("0x0701a8c0"); the address 0 adds nothing, as 0 has always meant no filter. An item with a
// ':' is IPv6. False when an item is neither, or is of a family the option does not take
// (`ipv4` false leaves IPv4 items unread). The bits of an address beyond its prefix are ignored.
bool parse_address_list(std::string_view text, bool ipv4, std::vector<ipv4_prefix>& v4,
                        std::vector<ipv6_prefix>& v6);

// Reads -icmp_type (`codes` false) or -icmp_code values: items separated as in the other lists,
// each a number 0 to 255, which applies to ICMP and ICMPv6 alike, or a name, case ignored and
// '_' read as '-': the words of the report's own message names joined by '-' ("echo-request",
// "dst-unreachable", "port-unreachable", "packet-too-big") and the usual short forms
// (`icmp_value_names`), which apply to the protocol whose messages they name. False when any item
// is neither.
bool parse_icmp_values(std::string_view text, bool codes, std::vector<icmp_value>& values);

// One name that -icmp_type or -icmp_code takes, and the value it stands for in one protocol.
struct icmp_value_name {
  std::string name;
  bool code = false;  // a code name, for -icmp_code
  bool icmpv6 = false;
  uint8_t value = 0;
};
// Every such name, built from the report's message names and the short forms, in the order of
// the message tables. A name standing for several values has one entry each.
std::vector<icmp_value_name> icmp_value_names();

// Reads a blank-separated byte list into `pattern` (reset first): "?" words are wildcards, other
// words are bytes, read as hexadecimal in `hex_mode` and by `parse_number` otherwise. In
// `hex_mode` a word of more than two digits is a hex string, two digits a byte ("474e55"), and
// may be followed by '?' words as well. False, with the pattern off, when a word is no byte
// (in hexadecimal mode, a string of an odd length or with a non-hex digit), when a number is
// above 255, or when no literal byte is given.
bool parse_byte_pattern(std::string_view text, bool hex_mode, byte_pattern& pattern);

// Reads -find_text: the text's bytes as they are, and each byte followed by a zero byte, as
// UTF-16LE holds the same ASCII text. False, with both patterns off, for an empty text.
bool parse_text_pattern(std::string_view text, byte_pattern& ascii, byte_pattern& utf16le);

// Reads a bound of the time window: every form `ko::parse_time_bound` reads; those ISO forms
// followed by a UTC offset ("2026-12-08T10:00:00+01:00", "+0100", "-05"); and epoch seconds,
// "@1733600000.25", with up to nine fraction digits. An ISO date alone as the `window_end`
// covers the whole day, to its last nanosecond. False when the value is none of these forms.
bool parse_time_value(std::string_view text, bool window_end, ko::fine_time& bound);

}  // namespace nelo

#endif  // NELO_APP_VALUE_READERS_H_
