#include "app/value_readers.h"

#include <arpa/inet.h>

#include <algorithm>
#include <locale>
#include <sstream>

#include "report/icmp_names.h"
#include "report/icmp_types.h"
#include "support/ascii_text.h"
#include "support/ko_time_parse.h"
#include "support/number_text.h"
#include "support/wire.h"

namespace nelo {

namespace {

constexpr size_t U64_MAX_SCANNED = 30;
constexpr size_t U64_MAX_HEX_DIGITS = 16;
constexpr size_t U64_MAX_OCTAL_DIGITS = 22;
constexpr size_t U64_MAX_DECIMAL_CHARS = 20;
constexpr size_t DOTTED_QUAD_PARTS = 4;
constexpr uint32_t BYTE_MAX = 255;
constexpr unsigned IPV4_BITS = 32;
constexpr unsigned IPV6_BITS = 128;
constexpr unsigned HALF_IPV6_BITS = 64;
constexpr size_t PREFIX_LENGTH_DIGITS = 3;
constexpr size_t EPOCH_SECONDS_DIGITS = 12;
constexpr size_t FRACTION_DIGITS = 9;
constexpr int MAX_OFFSET_HOURS = 23;
constexpr int MAX_OFFSET_MINUTES = 59;
constexpr int64_t SECONDS_PER_DAY = 86400;
constexpr size_t ISO_DATE_LENGTH = 10;
constexpr size_t ISO_YEAR_DIGITS = 4;
// A code no unreachable table names, which gives a type its plain name.
constexpr uint8_t NAMELESS_CODE = 255;

// The report's message names of one protocol, and its destination-unreachable type, whose codes
// carry names of their own.
struct message_names {
  bool icmpv6;
  uint8_t unreachable;
  const char* (*name_of)(uint8_t type, uint8_t code);
};
constexpr message_names MESSAGE_NAMES[] = {
    {false, ICMP_UNREACH, icmp_message_name},
    {true, ICMP6_DST_UNREACH, icmpv6_message_name},
};

// The names analysts type, beside the report's own: a value for ICMP and for ICMPv6, or -1 where
// the protocol has no such message.
struct short_name {
  const char* name;
  bool code;
  int icmpv4;
  int icmpv6;
};
constexpr short_name SHORT_NAMES[] = {
    {"echo", false, 8, 128},
    {"echoreply", false, 0, 129},
    {"ping", false, 8, 128},
    {"unreach", false, 3, 1},
    {"unreachable", false, 3, 1},
    {"source-quench", false, 4, -1},
    {"timxceed", false, 11, 3},
    {"paramprob", false, 12, 4},
    {"parameter-problem", false, 12, 4},
    {"timestamp", false, 13, -1},
    {"timestamp-request", false, 13, -1},
    {"mask-request", false, 17, -1},
    {"mask-reply", false, 18, -1},
    {"router-advert", false, 9, 134},
    {"router-solicit", false, 10, 133},
    {"neighbor-solicit", false, -1, 135},
    {"neighbor-advert", false, -1, 136},
    {"too-big", false, -1, 2},
    {"net-unreach", true, 0, -1},
    {"host-unreach", true, 1, 3},
    {"proto-unreach", true, 2, -1},
    {"port-unreach", true, 3, 4},
    {"needfrag", true, 4, -1},
    {"admin-prohibited", true, 13, 1},
    {"no-route", true, -1, 0},
};

// Four decimal numbers of one to three digits, each at most 255, joined by dots.
bool read_dotted_quad(std::string_view t, uint32_t& value) {
  uint32_t result = 0;
  size_t pos = 0;
  for (size_t part = 0; part < DOTTED_QUAD_PARTS; ++part) {
    if (part > 0) {
      if (pos >= t.size() || t[pos] != '.') return false;
      ++pos;
    }
    const size_t start = pos;
    uint32_t byte = 0;
    while (pos < t.size() && is_digit(t[pos]) && pos - start < 3) {
      byte = byte * 10 + static_cast<uint32_t>(t[pos] - '0');
      ++pos;
    }
    if (pos == start || byte > BYTE_MAX) return false;
    result |= byte << (8 * part);
  }
  if (pos != t.size()) return false;
  value = result;
  return true;
}

std::vector<std::string> split_at(std::string_view text, char delimiter) {
  std::vector<std::string> pieces;
  size_t start = 0;
  while (true) {
    const size_t pos = text.find(delimiter, start);
    pieces.emplace_back(text.substr(start, pos == std::string_view::npos ? pos : pos - start));
    if (pos == std::string_view::npos) break;
    start = pos + 1;
  }
  return pieces;
}

// The pieces of a list value: split at every occurrence of the first delimiter (in
// `delimiters` order) that the text holds, trimmed, empty ones dropped.
std::vector<std::string> list_items(std::string_view text, std::string_view delimiters) {
  char delimiter = '\0';
  for (char d : delimiters) {
    if (text.find(d) != std::string_view::npos) {
      delimiter = d;
      break;
    }
  }
  const std::vector<std::string> pieces =
      delimiter != '\0' ? split_at(text, delimiter) : std::vector<std::string>{std::string(text)};
  std::vector<std::string> items;
  for (const std::string& piece : pieces) {
    const std::string_view item = trim_blanks(piece);
    if (!item.empty()) items.emplace_back(item);
  }
  return items;
}

// The "n" of a prefix: one to three decimal digits, at most `limit`.
bool read_prefix_length(std::string_view text, unsigned limit, unsigned& bits) {
  if (text.empty() || text.size() > PREFIX_LENGTH_DIGITS) return false;
  bits = 0;
  for (char c : text) {
    if (!is_digit(c)) return false;
    bits = bits * 10 + static_cast<unsigned>(c - '0');
  }
  return bits <= limit;
}

// "a.b.c.d/n".
bool read_ipv4_prefix(std::string_view item, ipv4_prefix& prefix) {
  const size_t slash = item.find('/');
  uint32_t address = 0;
  unsigned bits = 0;
  if (slash == std::string_view::npos || !read_dotted_quad(item.substr(0, slash), address) ||
      !read_prefix_length(item.substr(slash + 1), IPV4_BITS, bits)) {
    return false;
  }
  // The address's first byte is the value's lowest, so the mask is built byte by byte.
  uint32_t mask = 0;
  for (unsigned byte = 0; byte < IPV4_ADDRESS_SIZE && bits > 8 * byte; ++byte) {
    const unsigned covered = std::min(bits - 8 * byte, 8u);
    mask |= ((BYTE_MAX << (8 - covered)) & BYTE_MAX) << (8 * byte);
  }
  prefix = {address & mask, mask};
  return true;
}

// "x::y", or "x::/n".
bool read_ipv6_prefix(std::string_view item, ipv6_prefix& prefix) {
  const size_t slash = item.find('/');
  unsigned bits = IPV6_BITS;
  if (slash == 0) return false;
  if (slash != std::string_view::npos &&
      !read_prefix_length(item.substr(slash + 1), IPV6_BITS, bits)) {
    return false;
  }
  uint8_t bytes[IPV6_ADDRESS_SIZE] = {};
  if (inet_pton(AF_INET6, std::string(item.substr(0, slash)).c_str(), bytes) != 1) return false;
  const uint64_t all = ~uint64_t{0};
  prefix.mask_high = bits >= HALF_IPV6_BITS ? all : bits == 0 ? 0 : all << (HALF_IPV6_BITS - bits);
  prefix.mask_low = bits <= HALF_IPV6_BITS ? 0 : all << (IPV6_BITS - bits);
  prefix.high = load_be64(bytes) & prefix.mask_high;
  prefix.low = load_be64(bytes + IPV6_ADDRESS_SIZE / 2) & prefix.mask_low;
  return true;
}

void close_run(byte_pattern& pattern, std::string& literal, uint32_t& wildcards) {
  if (literal.empty() && wildcards == 0) return;
  pattern.runs.push_back({literal, wildcards});
  pattern.total_len += literal.size() + wildcards;
  literal.clear();
  wildcards = 0;
}

// A number `parse_u64` reads to its end, without a minus ("-2" would read as a huge value).
bool read_unsigned(std::string_view text, uint64_t& value) {
  const std::string_view t = trim_blanks(text);
  bool whole = false;
  return !t.empty() && t[0] != '-' && parse_u64(t, value, &whole) && whole;
}

bool is_hex_digit(char c) {
  return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

unsigned hex_value(char c) {
  if (is_digit(c)) return static_cast<unsigned>(c - '0');
  return static_cast<unsigned>((c | 0x20) - 'a' + 10);
}

// One hex byte ("4", "4e", "0x4e") or a string of them two digits each ("474e55").
bool read_hex_bytes(std::string_view word, std::string& bytes) {
  if (word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X'))
    word.remove_prefix(2);
  if (word.empty() || !std::all_of(word.begin(), word.end(), is_hex_digit)) return false;
  if (word.size() == 1) {
    bytes.push_back(static_cast<char>(hex_value(word[0])));
    return true;
  }
  if (word.size() % 2 != 0) return false;
  for (size_t i = 0; i < word.size(); i += 2) {
    bytes.push_back(static_cast<char>(hex_value(word[i]) * 16 + hex_value(word[i + 1])));
  }
  return true;
}

// "1733600000" or "1733600000.25": seconds since 1970 and up to nine fraction digits.
bool read_epoch_seconds(std::string_view text, ko::fine_time& bound) {
  const size_t dot = text.find('.');
  const std::string_view whole = text.substr(0, dot);
  const std::string_view fraction =
      dot == std::string_view::npos ? std::string_view() : text.substr(dot + 1);
  if (whole.empty() || whole.size() > EPOCH_SECONDS_DIGITS || fraction.size() > FRACTION_DIGITS ||
      (dot != std::string_view::npos && fraction.empty()) ||
      !std::all_of(whole.begin(), whole.end(), is_digit) ||
      !std::all_of(fraction.begin(), fraction.end(), is_digit)) {
    return false;
  }
  int64_t seconds = 0;
  for (char c : whole) seconds = seconds * 10 + (c - '0');
  uint64_t nanoseconds = 0;
  for (size_t i = 0; i < FRACTION_DIGITS; ++i) {
    nanoseconds =
        nanoseconds * 10 + (i < fraction.size() ? static_cast<unsigned>(fraction[i] - '0') : 0);
  }
  if (seconds > ko::UNIX_SECONDS_MAX) return false;
  const uint64_t ticks = static_cast<uint64_t>(ko::unix_seconds_to_ticks(seconds)) +
                         nanoseconds / ko::NANOSECONDS_PER_TICK;
  if (ticks >= ko::TICKS_LIMIT) return false;
  bound = {ticks, static_cast<uint8_t>(nanoseconds % ko::NANOSECONDS_PER_TICK)};
  return true;
}

// Where the UTC offset of an ISO time starts: a sign after the clock's first ':'
// ("2026-12-08T10:00:00+01:00"), or npos when there is none.
size_t utc_offset_start(std::string_view text) {
  const size_t colon = text.find(':');
  if (colon == std::string_view::npos) return std::string_view::npos;
  return text.find_first_of("+-", colon);
}

// "+hh:mm", "+hhmm" or "+hh", and the same with '-', to at most 23:59.
bool read_utc_offset(std::string_view text, int64_t& seconds) {
  const int sign = text[0] == '-' ? -1 : 1;
  std::string digits;
  for (char c : text.substr(1)) {
    if (c == ':' && digits.size() == 2) continue;
    if (!is_digit(c)) return false;
    digits.push_back(c);
  }
  if (digits.size() != 2 && digits.size() != 4) return false;
  const int hours = (digits[0] - '0') * 10 + (digits[1] - '0');
  const int minutes = digits.size() == 4 ? (digits[2] - '0') * 10 + (digits[3] - '0') : 0;
  if (hours > MAX_OFFSET_HOURS || minutes > MAX_OFFSET_MINUTES) return false;
  seconds = sign * (hours * 3600 + minutes * 60);
  return true;
}

}  // namespace

bool parse_number(std::string_view text, uint32_t& value, bool* whole) {
  value = 0;
  if (read_dotted_quad(lower_text(trim_blanks(text)), value)) {
    if (whole != nullptr) *whole = true;
    return true;
  }
  return parse_plain_number(text, value, whole);
}

bool parse_u64(std::string_view text, uint64_t& value, bool* whole) {
  value = 0;
  if (whole != nullptr) *whole = false;
  if (text.size() > U64_MAX_SCANNED) return false;
  const size_t first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return false;
  const std::string_view s = text.substr(first);
  if (s.find(' ') != std::string_view::npos) return false;

  const size_t n = s.size();
  std::string_view digits;
  std::ios_base& (*base)(std::ios_base&) = std::dec;
  if (n > 2 && (s[1] == 'x' || s[1] == 'X')) {
    digits = s.substr(2);
    base = std::hex;
  } else if (n > 2 && (s[0] == 'x' || s[0] == 'X')) {
    digits = s.substr(1);
    base = std::hex;
  }
  if (base == std::hex) {
    if (digits.size() > U64_MAX_HEX_DIGITS) return false;
  } else if (s[0] == 'o' || s[0] == 'O') {
    digits = s.substr(1);
    if (digits.size() > U64_MAX_OCTAL_DIGITS) return false;
    base = std::oct;
  } else {
    digits = s;
    if (digits.size() > U64_MAX_DECIMAL_CHARS) return false;
  }

  std::istringstream in{std::string(digits)};
  in.imbue(std::locale::classic());
  uint64_t parsed = 0;
  in >> base >> parsed;
  value = parsed;  // 0 when nothing could be read, all ones on overflow
  if (whole != nullptr) {
    // An overflow also fails the stream, but only after every digit was taken.
    const bool read_any = !in.fail() || parsed != 0;
    in.clear();
    *whole = read_any && in.peek() == std::istringstream::traits_type::eof();
  }
  return true;
}

std::vector<std::string> split_words(std::string_view text) {
  std::vector<std::string> words;
  size_t pos = 0;
  while (pos < text.size()) {
    while (pos < text.size() && is_c_space(text[pos])) ++pos;
    const size_t start = pos;
    while (pos < text.size() && !is_c_space(text[pos])) ++pos;
    if (pos > start) words.emplace_back(text.substr(start, pos - start));
  }
  if (words.size() < 2) return words;

  std::vector<std::string> joined;
  for (size_t i = 0; i < words.size(); ++i) {
    const std::string& w = words[i];
    if (w.front() != '"') {
      joined.push_back(w);
      continue;
    }
    if (w.size() >= 2 && w.back() == '"') {
      joined.push_back(w.substr(1, w.size() - 2));
      continue;
    }
    size_t close = i + 1;
    while (close < words.size() && words[close].back() != '"') ++close;
    if (close == words.size()) {
      joined.push_back(w);
      continue;
    }
    std::string group = w.substr(1);
    for (size_t k = i + 1; k <= close; ++k) {
      group += ' ';
      group += k == close ? words[k].substr(0, words[k].size() - 1) : words[k];
    }
    joined.push_back(std::move(group));
    i = close;
  }
  return joined;
}

date_time_text split_date_time(const std::string& value) {
  const size_t blank = value.find(' ');
  if (blank == std::string::npos) return {value, std::string(), false};
  return {value.substr(0, blank), value.substr(blank + 1), true};
}

bool parse_count(std::string_view text, uint32_t& value) {
  bool whole = false;
  const std::string_view t = trim_blanks(text);
  return !t.empty() && t[0] != '-' && parse_number(t, value, &whole) && whole;
}

bool parse_number_list(std::string_view text, uint64_t max_value, std::vector<uint64_t>& values) {
  values.clear();
  for (const std::string& item : list_items(text, LIST_DELIMITERS)) {
    uint64_t value = 0;
    if (!read_unsigned(item, value) || value > max_value) return false;
    values.push_back(value);
  }
  return !values.empty();
}

bool parse_frame_list(std::string_view text, std::vector<frame_range>& frames) {
  frames.clear();
  for (const std::string& item : list_items(text, LIST_DELIMITERS)) {
    const size_t dash = item.find('-', 1);
    frame_range range;
    if (!read_unsigned(std::string_view(item).substr(0, dash), range.first)) return false;
    range.last = range.first;
    if (dash != std::string::npos &&
        !read_unsigned(trim_blanks(std::string_view(item).substr(dash + 1)), range.last)) {
      return false;
    }
    if (range.first < 1 || range.last < range.first) return false;
    frames.push_back(range);
  }
  std::sort(frames.begin(), frames.end(),
            [](const frame_range& a, const frame_range& b) { return a.first < b.first; });
  // Ranges that overlap or touch become one, so that each frame lies in at most one range.
  std::vector<frame_range> merged;
  for (const frame_range& range : frames) {
    if (!merged.empty() && range.first <= merged.back().last + 1) {
      merged.back().last = std::max(merged.back().last, range.last);
    } else {
      merged.push_back(range);
    }
  }
  frames = std::move(merged);
  return !frames.empty();
}

bool parse_address_list(std::string_view text, bool ipv4, std::vector<ipv4_prefix>& v4,
                        std::vector<ipv6_prefix>& v6) {
  v4.clear();
  v6.clear();
  const std::vector<std::string> items = list_items(text, LIST_DELIMITERS);
  for (const std::string& item : items) {
    if (item.find(':') != std::string::npos) {
      ipv6_prefix prefix;
      if (!read_ipv6_prefix(item, prefix)) return false;
      v6.push_back(prefix);
      continue;
    }
    if (!ipv4) return false;
    ipv4_prefix prefix;
    if (item.find('/') != std::string::npos) {
      if (!read_ipv4_prefix(item, prefix)) return false;
      v4.push_back(prefix);
      continue;
    }
    uint32_t address = 0;
    if (!parse_count(item, address)) return false;
    // The address 0 has always meant no filter.
    if (address != 0) v4.push_back({address, ~uint32_t{0}});
  }
  return !items.empty();
}

std::vector<icmp_value_name> icmp_value_names() {
  std::vector<icmp_value_name> names;
  auto add = [&names](std::string_view text, bool code, bool icmpv6, unsigned value) {
    std::string name = lower_text(text);
    std::replace(name.begin(), name.end(), ' ', '-');
    names.push_back({std::move(name), code, icmpv6, static_cast<uint8_t>(value)});
  };
  // The report's names: each type's own, and the bracketed meaning of each unreachable code.
  for (const message_names& protocol : MESSAGE_NAMES) {
    for (unsigned type = 0; type <= BYTE_MAX; ++type) {
      const std::string_view text = protocol.name_of(static_cast<uint8_t>(type), NAMELESS_CODE);
      if (text != UNKNOWN_TYPE_NAME) add(text, false, protocol.icmpv6, type);
    }
    const std::string_view plain = protocol.name_of(protocol.unreachable, NAMELESS_CODE);
    for (unsigned code = 0; code <= BYTE_MAX; ++code) {
      const std::string_view text =
          protocol.name_of(protocol.unreachable, static_cast<uint8_t>(code));
      const size_t open = text.find('[');
      if (text == plain || open == std::string_view::npos || !text.ends_with(']')) continue;
      add(text.substr(open + 1, text.size() - open - 2), true, protocol.icmpv6, code);
    }
  }
  for (const short_name& form : SHORT_NAMES) {
    if (form.icmpv4 >= 0) add(form.name, form.code, false, static_cast<unsigned>(form.icmpv4));
    if (form.icmpv6 >= 0) add(form.name, form.code, true, static_cast<unsigned>(form.icmpv6));
  }
  return names;
}

bool parse_icmp_values(std::string_view text, bool codes, std::vector<icmp_value>& values) {
  values.clear();
  std::vector<icmp_value_name> names;
  for (const std::string& item : list_items(text, LIST_DELIMITERS)) {
    uint64_t number = 0;
    if (is_digit(item[0])) {
      if (!read_unsigned(item, number) || number > BYTE_MAX) return false;
      values.push_back({static_cast<uint8_t>(number), true, true});
      continue;
    }
    if (names.empty()) names = icmp_value_names();
    std::string wanted = lower_text(item);
    std::replace(wanted.begin(), wanted.end(), '_', '-');
    bool known = false;
    for (const icmp_value_name& name : names) {
      if (name.code != codes || name.name != wanted) continue;
      values.push_back({name.value, !name.icmpv6, name.icmpv6});
      known = true;
    }
    if (!known) return false;
  }
  return !values.empty();
}

bool parse_byte_pattern(std::string_view text, bool hex_mode, byte_pattern& pattern) {
  pattern.reset();
  std::string literal;
  uint32_t wildcards = 0;
  for (const std::string& word : split_words(text)) {
    if (word[0] == '?') {
      if (wildcards < UINT32_MAX) ++wildcards;
      continue;
    }
    if (wildcards > 0) close_run(pattern, literal, wildcards);
    if (hex_mode) {
      if (!read_hex_bytes(word, literal)) {
        pattern.reset();
        return false;
      }
      continue;
    }
    uint32_t byte = 0;
    bool whole = false;
    if (!parse_number(word, byte, &whole) || !whole || byte > BYTE_MAX) {
      pattern.reset();
      return false;
    }
    literal.push_back(static_cast<char>(byte));
  }
  // Wildcards after the last literal byte belong to its run; wildcards alone give no run.
  if (literal.empty()) {
    pattern.reset();
    return false;
  }
  close_run(pattern, literal, wildcards);
  return true;
}

bool parse_text_pattern(std::string_view text, byte_pattern& ascii, byte_pattern& utf16le) {
  ascii.reset();
  utf16le.reset();
  if (text.empty()) return false;
  std::string wide;
  for (char c : text) {
    wide.push_back(c);
    wide.push_back('\0');
  }
  uint32_t none = 0;
  std::string narrow(text);
  close_run(ascii, narrow, none);
  close_run(utf16le, wide, none);
  return true;
}

bool parse_time_value(std::string_view text, bool window_end, ko::fine_time& bound) {
  if (text.starts_with('@')) return read_epoch_seconds(text.substr(1), bound);
  int64_t offset_seconds = 0;
  std::string_view local = text;
  if (const size_t sign = utc_offset_start(text); sign != std::string_view::npos) {
    if (!read_utc_offset(text.substr(sign), offset_seconds)) return false;
    local = text.substr(0, sign);
  }
  // An ISO date alone ("2026-12-08"); the month-first forms keep meaning the day's start.
  const bool date_alone = local.size() == ISO_DATE_LENGTH && local[ISO_YEAR_DIGITS] == '-';
  ko::fine_time read;
  if (!ko::parse_time_bound(local, window_end && !date_alone, read)) return false;
  if (date_alone && window_end) {
    // The day's last nanosecond: a whole day on, less one.
    read.ticks += SECONDS_PER_DAY * ko::TICKS_PER_SECOND;
    if (read.sub_tick_ns > 0) {
      --read.sub_tick_ns;
    } else {
      --read.ticks;
      read.sub_tick_ns = ko::NANOSECONDS_PER_TICK - 1;
    }
  }
  const int64_t shift = offset_seconds * static_cast<int64_t>(ko::TICKS_PER_SECOND);
  const int64_t ticks = static_cast<int64_t>(read.ticks) - shift;
  if (ticks <= 0 || static_cast<uint64_t>(ticks) >= ko::TICKS_LIMIT) return false;
  bound = {static_cast<uint64_t>(ticks), read.sub_tick_ns};
  return true;
}

}  // namespace nelo
