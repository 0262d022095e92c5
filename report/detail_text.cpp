#include "report/detail_text.h"

#include "support/byte_text.h"

namespace nelo {

namespace {

struct flag_letter {
  uint8_t bit;
  char letter;
};

// Managed address configuration, other configuration, home agent (RFC 6275), proxy (RFC 4389).
constexpr flag_letter ROUTER_FLAGS[] = {{0x80, 'M'}, {0x40, 'O'}, {0x20, 'H'}, {0x04, 'P'}};
// On-link, autonomous address configuration, router address (RFC 6275).
constexpr flag_letter PREFIX_FLAGS[] = {{0x80, 'L'}, {0x40, 'A'}, {0x20, 'R'}};

// The default router preference of RFC 4191, two bits of the flags.
constexpr uint8_t PREFERENCE_SHIFT = 3;
constexpr std::string_view PREFERENCES[] = {"medium", "high", "reserved", "low"};

template <size_t N>
char* put_letters(char* p, uint8_t flags, const flag_letter (&table)[N]) {
  static_assert(N <= FLAG_LETTERS_MAX);
  for (const flag_letter& flag : table) {
    if (flags & flag.bit) *p++ = flag.letter;
  }
  return p;
}

}  // namespace

char* put_link_address(char* p, const uint8_t* bytes, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    if (i > 0) *p++ = ':';
    *p++ = HEX_DIGITS_LOWER[bytes[i] >> 4];
    *p++ = HEX_DIGITS_LOWER[bytes[i] & 0xF];
  }
  return p;
}

char* put_router_flags(char* p, uint8_t flags) {
  return put_letters(p, flags, ROUTER_FLAGS);
}

char* put_prefix_flags(char* p, uint8_t flags) {
  return put_letters(p, flags, PREFIX_FLAGS);
}

std::string_view router_preference(uint8_t flags) {
  return PREFERENCES[(flags >> PREFERENCE_SHIFT) & 3];
}

char* put_prefix(char* p, const prefix_option& prefix) {
  p += ipv6_to_text(prefix.prefix, p);
  *p++ = '/';
  return put_number(p, prefix.length);
}

}  // namespace nelo
