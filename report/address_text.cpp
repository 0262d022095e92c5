// Address text for the report columns.
#include "report/address_text.h"

#include "packet/protocol_fields.h"
#include "support/byte_text.h"
#include "support/wire.h"

namespace nelo {

namespace {

constexpr size_t IPV6_GROUP_COUNT = 8;

// Decimal text of one byte value, no leading zeros.
char* put_byte_decimal(char* p, uint8_t v) {
  if (v >= 100) {
    *p++ = static_cast<char>('0' + v / 100);
    *p++ = static_cast<char>('0' + v / 10 % 10);
  } else if (v >= 10) {
    *p++ = static_cast<char>('0' + v / 10);
  }
  *p++ = static_cast<char>('0' + v % 10);
  return p;
}

// Lower-case hex text of one group, no leading zeros ("0" for zero).
char* put_group_hex(char* p, uint16_t v) {
  int shift = 12;
  while (shift > 0 && (v >> shift) == 0) shift -= 4;
  for (; shift >= 0; shift -= 4) *p++ = HEX_DIGITS_LOWER[(v >> shift) & 0xF];
  return p;
}

}  // namespace

size_t ip_to_text(const uint8_t* bytes, char* out) {
  char* p = out;
  for (size_t i = 0; i < IPV4_ADDRESS_SIZE; ++i) {
    if (i != 0) *p++ = '.';
    p = put_byte_decimal(p, bytes[i]);
  }
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
