// Extraction of printable text from raw bytes, for the strings form of the dumps: runs of
// printable ASCII, and runs of UTF-16LE units whose high byte is zero. The results are copies
// owned by the caller's vector.
#ifndef NELO_REPORT_STRING_EXTRACT_H_
#define NELO_REPORT_STRING_EXTRACT_H_

#include <cstdint>
#include <string>
#include <vector>

#include "packet/decoded_packet.h"

namespace nelo {

// The shortest run the dumps report.
inline constexpr int32_t MIN_STRING_LENGTH = 5;

// Clears `strings`, then appends, in order of position, every run of bytes 0x20..0x7e in the
// `len` bytes at `data` that has at least `min_len` characters once its leading blanks are
// dropped (trailing blanks are kept; a `min_len` below 1 counts as 1). Returns false only when
// `data` is null or `len` is below 1.
bool extract_ascii_strings(const uint8_t* data, int32_t len, int32_t min_len,
                           std::vector<std::string>& strings);

// The same rule over 2-byte little-endian units: a unit is a character when its second byte is 0
// and its first is printable. A unit that is not a character moves the walk on by one byte only,
// so text starting at an odd offset is found too. The strings hold the single-byte characters.
bool extract_utf16_strings(const uint8_t* data, uint32_t len, int32_t min_len,
                           std::vector<std::string>& strings);

// Sets `strings` to what the strings forms of the data show of a message: the ASCII runs, then
// the UTF-16 ones, of its payload when the payload is dumped, else of its headers.
void message_strings(const decoded_packet& packet, bool payload_dumped,
                     std::vector<std::string>& strings);

}  // namespace nelo

#endif  // NELO_REPORT_STRING_EXTRACT_H_
