// Text of the IPv4 and IPv6 addresses shown in the report's address columns.
// The formatters read the address bytes as they stand in the packet (network order) and write
// into caller-owned buffers, so the per-packet path allocates nothing.
#ifndef NELO_REPORT_ADDRESS_TEXT_H_
#define NELO_REPORT_ADDRESS_TEXT_H_

#include <cstddef>
#include <cstdint>

namespace nelo {

// Longest texts the formatters can produce ("255.255.255.255", eight full groups).
inline constexpr size_t IPV4_TEXT_MAX = 15;
inline constexpr size_t IPV6_TEXT_MAX = 39;

// Writes the four bytes at `bytes` as dotted decimal ("10.0.0.1": no leading zeros, no padding)
// to `out`, which must have room for IPV4_TEXT_MAX characters. No terminating NUL is written.
// Returns the length of the text; the bytes after it, up to IPV4_TEXT_MAX, may be overwritten.
size_t ip_to_text(const uint8_t* bytes, char* out);

// Writes the sixteen bytes at `bytes` as eight colon-separated groups of lower-case hex without
// leading zeros to `out`, which must have room for IPV6_TEXT_MAX characters. The FIRST run of
// zero groups (even a single group) is written as "::"; any zero group after it is written "0",
// even when a later run is longer. This deliberately differs from the recommended canonical
// form, which compresses the longest run: the report's columns have always looked like this and
// scripts compare them. No terminating NUL is written. Returns the number of characters written.
size_t ipv6_to_text(const uint8_t* bytes, char* out);

}  // namespace nelo

#endif  // NELO_REPORT_ADDRESS_TEXT_H_
