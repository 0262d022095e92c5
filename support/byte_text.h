// The characters bytes are shown with: lowercase hexadecimal digits and the printable ASCII range.
#ifndef NELO_SUPPORT_BYTE_TEXT_H_
#define NELO_SUPPORT_BYTE_TEXT_H_

#include <cstdint>

namespace nelo {

inline constexpr char HEX_DIGITS_LOWER[] = "0123456789abcdef";
inline constexpr uint8_t FIRST_PRINTABLE_BYTE = 0x20;
inline constexpr uint8_t LAST_PRINTABLE_BYTE = 0x7e;

inline bool is_printable_byte(uint8_t b) {
  return b >= FIRST_PRINTABLE_BYTE && b <= LAST_PRINTABLE_BYTE;
}

// The four hex digits of `value` at `p`; returns the end.
inline char* put_hex4(char* p, uint16_t value) {
  p[0] = HEX_DIGITS_LOWER[(value >> 12) & 0xF];
  p[1] = HEX_DIGITS_LOWER[(value >> 8) & 0xF];
  p[2] = HEX_DIGITS_LOWER[(value >> 4) & 0xF];
  p[3] = HEX_DIGITS_LOWER[value & 0xF];
  return p + 4;
}

}  // namespace nelo

#endif  // NELO_SUPPORT_BYTE_TEXT_H_
