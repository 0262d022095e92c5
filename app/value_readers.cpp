#include "app/value_readers.h"

#include "support/ascii_text.h"
#include "support/number_text.h"
#include "support/wire.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <locale>
#include <sstream>

namespace nelo {

namespace {

constexpr size_t U64_MAX_SCANNED = 30;
constexpr size_t U64_MAX_HEX_DIGITS = 16;
constexpr size_t U64_MAX_OCTAL_DIGITS = 22;
constexpr size_t U64_MAX_DECIMAL_CHARS = 20;
constexpr size_t IPV6_COLONS = 7;
constexpr size_t DOTTED_QUAD_PARTS = 4;
constexpr uint32_t BYTE_MAX = 255;
constexpr unsigned IPV4_BITS = 32;
constexpr unsigned IPV6_BITS = 128;
constexpr unsigned HALF_IPV6_BITS = 64;
constexpr size_t PREFIX_LENGTH_DIGITS = 3;
// LIST_DELIMITERS without its final blank, in the same order.
constexpr char NON_BLANK_LIST_DELIMITERS[] = "|,;";

// The same for a 32-bit signed long: out-of-range values clamp to its limits. `end` receives
// where the conversion stopped.
int32_t to_long32(const char* text, int base, const char*& end) {
  errno = 0;
  char* stop = nullptr;
  const long long raw = std::strtoll(text, &stop, base);
  end = stop;
  if (raw > INT32_MAX) return INT32_MAX;
  if (raw < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(raw);
}

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
  const std::vector<uint8_t> bytes = parse_ipv6(item.substr(0, slash));
  if (bytes.size() != IPV6_ADDRESS_SIZE) return false;
  const uint64_t all = ~uint64_t{0};
  prefix.mask_high = bits >= HALF_IPV6_BITS ? all : bits == 0 ? 0 : all << (HALF_IPV6_BITS - bits);
  prefix.mask_low = bits <= HALF_IPV6_BITS ? 0 : all << (IPV6_BITS - bits);
  prefix.high = load_be64(bytes.data()) & prefix.mask_high;
  prefix.low = load_be64(bytes.data() + IPV6_ADDRESS_SIZE / 2) & prefix.mask_low;
  return true;
}

void note_unread(unread_words* unread, std::string_view word, std::string outcome) {
  if (unread != nullptr) unread->push_back({std::string(word), std::move(outcome)});
}

// True when a conversion that began at `start` read something and stopped only at `end`.
bool read_to_end(const char* start, const char* stop, const char* end) {
  return stop != start && stop == end;
}

void close_run(byte_pattern& pattern, std::string& literal, uint32_t& wildcards) {
  if (literal.empty() && wildcards == 0) return;
  pattern.runs.push_back({literal, wildcards});
  pattern.total_len += literal.size() + wildcards;
  literal.clear();
  wildcards = 0;
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

std::vector<uint64_t> parse_number_list(std::string_view text, std::string_view delimiters,
                                        unread_words* unread, uint64_t max_value) {
  std::vector<uint64_t> values;
  for (const std::string& item : list_items(text, delimiters)) {
    uint64_t value = 0;
    bool whole = false;
    if (!parse_u64(item, value, &whole) || value > max_value) {
      note_unread(unread, item, "item left out");
      continue;
    }
    values.push_back(value);
    if (!whole) note_unread(unread, item, "read as " + std::to_string(value));
  }
  return values;
}

std::vector<uint64_t> parse_frame_list(std::string_view text, unread_words* unread) {
  // Blanks separate only when none of the other delimiters occurs; split_words then also takes
  // tabs and runs of blanks, as frame lists always have.
  std::vector<std::string> words;
  if (text.find_first_of(NON_BLANK_LIST_DELIMITERS) == std::string_view::npos) {
    words = split_words(text);
  } else {
    for (char d : std::string_view(NON_BLANK_LIST_DELIMITERS)) {
      if (text.find(d) != std::string_view::npos) {
        words = split_at(text, d);
        break;
      }
    }
  }

  std::vector<uint64_t> frames;
  for (const std::string& word : words) {
    const std::string w = lower_text(trim_blanks(word));
    if (w.empty()) continue;
    const char* const end = w.c_str() + w.size();
    const char* stop = nullptr;
    int32_t number = 0;
    bool whole = false;
    // The forms are "0x10", "x10" and "o17"; the reading skips whatever stands before the
    // marker, so a word with anything else there was not read whole.
    if (const size_t x = w.find('x'); x != std::string::npos) {
      number = to_long32(w.c_str() + x + 1, 16, stop);
      whole = (x == 0 || w.compare(0, x, "0") == 0) && read_to_end(w.c_str() + x + 1, stop, end);
    } else if (const size_t o = w.find('o'); o != std::string::npos) {
      number = to_long32(w.c_str() + o + 1, 8, stop);
      whole = o == 0 && read_to_end(w.c_str() + o + 1, stop, end);
    } else if (w[0] == '-' || w[0] == '+' || is_digit(w[0])) {
      number = to_long32(w.c_str(), 10, stop);
      whole = read_to_end(w.c_str(), stop, end);
    } else {
      note_unread(unread, trim_blanks(word), "item left out");
      continue;
    }
    if (number < 1) {
      note_unread(unread, trim_blanks(word), "item left out");
      continue;
    }
    frames.push_back(static_cast<uint64_t>(number));
    if (!whole) note_unread(unread, trim_blanks(word), "read as " + std::to_string(number));
  }
  return frames;
}

std::vector<uint8_t> parse_ipv6(std::string_view text) {
  std::vector<uint8_t> bytes;
  if (text.empty()) return std::vector<uint8_t>(16, 0);
  std::string full(text);
  const size_t colons = static_cast<size_t>(std::count(full.begin(), full.end(), ':'));
  if (colons < IPV6_COLONS) {
    if (const size_t gap = full.find("::"); gap != std::string::npos)
      full.replace(gap, 2, std::string(2 + IPV6_COLONS - colons, ':'));
  }
  for (const std::string& group : split_at(full, ':')) {
    const char* stop = group.c_str();
    const uint32_t word = group.empty() ? 0 : to_ulong32(group.c_str(), 16, &stop);
    if (!group.empty() && !read_to_end(group.c_str(), stop, group.c_str() + group.size())) {
      return {};
    }
    bytes.push_back(static_cast<uint8_t>(word >> 8));
    bytes.push_back(static_cast<uint8_t>(word));
  }
  return bytes;
}

std::vector<ipv4_prefix> parse_ipv4_prefixes(std::string_view text, unread_words* unread) {
  std::vector<ipv4_prefix> prefixes;
  for (const std::string& item : list_items(text, LIST_DELIMITERS)) {
    ipv4_prefix prefix;
    if (read_ipv4_prefix(item, prefix)) {
      prefixes.push_back(prefix);
      continue;
    }
    uint32_t address = 0;
    bool whole = false;
    parse_number(item, address, &whole);
    if (!whole) note_unread(unread, item, "read as " + std::to_string(address));
    // The address 0 has always meant no filter.
    if (address != 0) prefixes.push_back({address, ~uint32_t{0}});
  }
  return prefixes;
}

std::vector<ipv6_prefix> parse_ipv6_prefixes(std::string_view text, unread_words* unread) {
  std::vector<ipv6_prefix> prefixes;
  for (const std::string& item : list_items(text, LIST_DELIMITERS)) {
    ipv6_prefix prefix;
    if (read_ipv6_prefix(item, prefix)) {
      prefixes.push_back(prefix);
    } else {
      note_unread(unread, item, "item left out");
    }
  }
  return prefixes;
}

bool parse_byte_pattern(std::string_view text, bool hex_mode, byte_pattern& pattern,
                        unread_words* unread) {
  pattern.reset();
  const std::vector<std::string> words = split_words(text);
  if (words.empty()) {
    note_unread(unread, text, "pattern off");
    return false;
  }

  std::string literal;
  uint32_t wildcards = 0;
  for (const std::string& word : words) {
    if (word.empty()) continue;
    if (word[0] == '?') {
      if (wildcards < UINT32_MAX) ++wildcards;
      continue;
    }
    if (wildcards > 0) close_run(pattern, literal, wildcards);
    uint32_t byte = 0;
    bool whole = false;
    if (hex_mode) {
      const char* stop = word.c_str();
      byte = to_ulong32(word.c_str(), 16, &stop);
      whole = read_to_end(word.c_str(), stop, word.c_str() + word.size());
    } else if (!parse_number(word, byte, &whole)) {
      byte = 0;
    }
    literal.push_back(static_cast<char>(byte & 0xff));
    if (!whole) note_unread(unread, word, "byte " + std::to_string(byte & 0xff));
  }
  // Wildcards after the last literal byte belong to its run; wildcards alone give no run.
  if (!literal.empty()) close_run(pattern, literal, wildcards);

  if (pattern.total_len == 0) {
    pattern.reset();
    note_unread(unread, text, "pattern off");
    return false;
  }
  return true;
}

}  // namespace nelo
