// ICMP and ICMPv6 message types by name, and which of them carry an identifier (and a sequence
// number) in bytes 4 to 7 of their header.
#ifndef NELO_REPORT_ICMP_TYPES_H_
#define NELO_REPORT_ICMP_TYPES_H_

#include <cstdint>

namespace nelo {

inline constexpr uint8_t ICMP_ECHOREPLY = 0;
inline constexpr uint8_t ICMP_UNREACH = 3;
inline constexpr uint8_t ICMP_SOURCEQUENCH = 4;
inline constexpr uint8_t ICMP_REDIRECT = 5;
inline constexpr uint8_t ICMP_ECHO = 8;
inline constexpr uint8_t ICMP_TIMXCEED = 11;
inline constexpr uint8_t ICMP_PARAMPROB = 12;
inline constexpr uint8_t ICMP_TSTAMP = 13;
inline constexpr uint8_t ICMP_TSTAMPREPLY = 14;
inline constexpr uint8_t ICMP_MASKREQ = 17;
inline constexpr uint8_t ICMP_MASKREPLY = 18;
inline constexpr uint8_t ICMP_EXT_ECHO_REQUEST = 42;
inline constexpr uint8_t ICMP_EXT_ECHO_REPLY = 43;

inline constexpr uint8_t ICMP6_DST_UNREACH = 1;
inline constexpr uint8_t ICMP6_TIME_EXCEEDED = 3;
inline constexpr uint8_t ICMP6_PARAM_PROB = 4;
inline constexpr uint8_t ICMP6_ECHO_REQUEST = 128;
inline constexpr uint8_t ICMP6_ECHO_REPLY = 129;
inline constexpr uint8_t ICMP6_EXT_ECHO_REQUEST = 160;
inline constexpr uint8_t ICMP6_EXT_ECHO_REPLY = 161;

// Echo, timestamp and address-mask messages (ICMPv6: echo only) carry an identifier and a
// sequence number.
inline bool icmp_has_identifier(bool ipv6, uint8_t type) {
  if (ipv6) return type == ICMP6_ECHO_REQUEST || type == ICMP6_ECHO_REPLY;
  return type == ICMP_ECHOREPLY || type == ICMP_ECHO || type == ICMP_TSTAMP ||
         type == ICMP_TSTAMPREPLY || type == ICMP_MASKREQ || type == ICMP_MASKREPLY;
}

// Error messages quote the start of the datagram that caused them: destination unreachable,
// source quench, redirect, time exceeded and parameter problem; ICMPv6 types 1 to 4.
inline bool icmp_quotes_datagram(bool ipv6, uint8_t type) {
  if (ipv6) return type >= ICMP6_DST_UNREACH && type <= ICMP6_PARAM_PROB;
  return (type >= ICMP_UNREACH && type <= ICMP_REDIRECT) || type == ICMP_TIMXCEED ||
         type == ICMP_PARAMPROB;
}

}  // namespace nelo

#endif  // NELO_REPORT_ICMP_TYPES_H_
