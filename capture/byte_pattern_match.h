// The byte pattern of the pattern filter, and the search behind it: literal bytes with runs of
// wildcards between and after them, matched in place over a packet's captured bytes without
// allocating.
#ifndef NELO_CAPTURE_BYTE_PATTERN_MATCH_H_
#define NELO_CAPTURE_BYTE_PATTERN_MATCH_H_

#include <cstdint>
#include <string>
#include <vector>

namespace nelo {

// One run of a byte pattern: literal bytes followed by `wildcards` bytes of any value. Only the
// first run may lack a literal (wildcards before the first literal byte). Counts are 32-bit so
// that long runs of wildcards are never wrapped.
struct pattern_run {
  std::string literal;
  uint32_t wildcards = 0;
};

struct byte_pattern {
  std::vector<pattern_run> runs;
  uint64_t total_len = 0;  // sum of literal lengths and wildcard counts; 0 means off

  bool on() const { return total_len > 0; }
  void reset() {
    runs.clear();
    total_len = 0;
  }
};

// True when `pattern` occurs in the `length` bytes at `data`; *offset (when given) receives the
// first matching start, or 0 when there is none. No match for a null `data`, a pattern without
// runs, or a pattern whose total length exceeds `length`. Every literal must lie within the
// data; the wildcards after the last literal need not (the total-length test is their only
// limit). Case-sensitive, byte for byte; cost at most `length` times the literal bytes.
bool match_byte_pattern(const uint8_t* data, uint32_t length, const byte_pattern& pattern,
                        uint64_t* offset = nullptr);

}  // namespace nelo

#endif  // NELO_CAPTURE_BYTE_PATTERN_MATCH_H_
