// Address text for the report columns.
#include "report/address_text.h"

#include <array>
#include <cstring>

#include "packet/protocol_fields.h"
#include "support/byte_text.h"
#include "support/wire.h"

namespace nelo {

namespace {

constexpr size_t IPV6_GROUP_COUNT = 8;

// The decimal text of every byte value, no leading zeros, with a dot behind it and its length
// without the dot: a report line holds two addresses or more, and each byte is one copy.
struct byte_decimal {
  char text[4];
  uint8_t size;
};

constexpr std::array<byte_decimal, 256> make_byte_decimals() {
  std::array<byte_decimal, 256> table{};
  for (int v = 0; v < 256; ++v) {
    byte_decimal& d = table[v];
    if (v >= 100) d.text[d.size++] = static_cast<char>('0' + v / 100);
    if (v >= 10) d.text[d.size++] = static_cast<char>('0' + v / 10 % 10);
    d.text[d.size] = static_cast<char>('0' + v % 10);
    d.text[d.size + 1] = '.';
    d.size += 1;
  }
  return table;
}

constexpr std::array<byte_decimal, 256> BYTE_DECIMALS = make_byte_decimals();

// The lower-case hex text of every byte value, in two digits and without a leading zero, so a
// group is written with one or two copies.
struct byte_hex {
  char digits[2];
  char shortest[2];
  uint8_t shortest_size;
};

constexpr std::array<byte_hex, 256> make_byte_hexes() {
  std::array<byte_hex, 256> table{};
  for (int v = 0; v < 256; ++v) {
    byte_hex& h = table[v];
    h.digits[0] = HEX_DIGITS_LOWER[v >> 4];
    h.digits[1] = HEX_DIGITS_LOWER[v & 0xF];
    h.shortest_size = v >= 16 ? 2 : 1;
    h.shortest[0] = h.digits[2 - h.shortest_size];
    h.shortest[1] = h.digits[1];
  }
  return table;
}

constexpr std::array<byte_hex, 256> BYTE_HEXES = make_byte_hexes();

// Lower-case hex text of one group, no leading zeros ("0" for zero). Each copy is of two
// characters, of which only the text's are kept: never more than 4 past `p`.
char* put_group_hex(char* p, uint16_t v) {
  const byte_hex& high = BYTE_HEXES[v >> 8];
  const byte_hex& low = BYTE_HEXES[v & 0xFF];
  if ((v >> 8) == 0) {
    std::memcpy(p, low.shortest, 2);
    return p + low.shortest_size;
  }
  std::memcpy(p, high.shortest, 2);
  p += high.shortest_size;
  std::memcpy(p, low.digits, 2);
  return p + 2;
}

}  // namespace

size_t ip_to_text(const uint8_t* bytes, char* out) {
  // Each of the first three bytes is copied whole with its dot (up to 4 characters, never past
  // the 12th); the last one without, so nothing is written past IPV4_TEXT_MAX.
  char* p = out;
  for (size_t i = 0; i + 1 < IPV4_ADDRESS_SIZE; ++i) {
    const byte_decimal& d = BYTE_DECIMALS[bytes[i]];
    std::memcpy(p, d.text, sizeof d.text);
    p += d.size + 1;
  }
  const byte_decimal& last = BYTE_DECIMALS[bytes[IPV4_ADDRESS_SIZE - 1]];
  std::memcpy(p, last.text, sizeof last.text - 1);
  p += last.size;
  return static_cast<size_t>(p - out);
}

size_t ipv6_to_text(const uint8_t* bytes, char* out) {
  uint16_t groups[IPV6_GROUP_COUNT];
  for (size_t i = 0; i < IPV6_GROUP_COUNT; ++i) groups[i] = load_be16(bytes + 2 * i);

  // The compressed run is the first zero group and the zero groups directly behind it.
  size_t run_begin = IPV6_GROUP_COUNT;
  for (size_t i = 0; i < IPV6_GROUP_COUNT; ++i) {
    if (groups[i] == 0) {
      run_begin = i;
      break;
    }
  }
  size_t run_end = run_begin;
  while (run_end < IPV6_GROUP_COUNT && groups[run_end] == 0) ++run_end;

  char* p = out;
  for (size_t i = 0; i < run_begin; ++i) {
    if (i != 0) *p++ = ':';
    p = put_group_hex(p, groups[i]);
  }
  if (run_begin == IPV6_GROUP_COUNT) return static_cast<size_t>(p - out);
  *p++ = ':';
  *p++ = ':';
  for (size_t i = run_end; i < IPV6_GROUP_COUNT; ++i) {
    if (i != run_end) *p++ = ':';
    p = put_group_hex(p, groups[i]);
  }
  return static_cast<size_t>(p - out);
}

}  // namespace nelo
