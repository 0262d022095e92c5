// The search behind the byte-pattern filter: literal bytes with runs of wildcards between and
// after them, matched in place over a packet's captured bytes without allocating.
#ifndef NELO_CAPTURE_BYTE_PATTERN_MATCH_H_
#define NELO_CAPTURE_BYTE_PATTERN_MATCH_H_

#include <cstdint>

#include "report/packet.h"

namespace nelo {

// True when `pattern` occurs in the `length` bytes at `data`; *offset (when given) receives the
// first matching start, or 0 when there is none. No match for a null `data`, a pattern without
// runs, or a pattern whose total length exceeds `length`. Every literal must lie within the
// data; the wildcards after the last literal need not (the total-length test is their only
// limit). Case-sensitive, byte for byte; cost at most `length` times the literal bytes.
bool match_byte_pattern(const uint8_t* data, uint32_t length, const byte_pattern& pattern,
                        uint64_t* offset = nullptr);

}  // namespace nelo

#endif  // NELO_CAPTURE_BYTE_PATTERN_MATCH_H_
