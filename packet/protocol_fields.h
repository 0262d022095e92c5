// The protocol numbers and header field offsets every packet stage reads by: the decoder to find
// an ICMP message, the filters to select it, the report line and JSON to show it.
#ifndef NELO_PACKET_PROTOCOL_FIELDS_H_
#define NELO_PACKET_PROTOCOL_FIELDS_H_

#include <cstddef>
#include <cstdint>

namespace nelo {

// Network protocols as the link layers name them.
inline constexpr uint16_t ETHERTYPE_IPV4 = 0x0800;
inline constexpr uint16_t ETHERTYPE_IPV6 = 0x86DD;

// Fields of the network header, as offsets from its first byte.
inline constexpr size_t IPV4_FRAGMENT_OFFSET = 6;  // flags and fragment offset, big-endian
inline constexpr uint16_t IPV4_FRAGMENT_OFFSET_MASK = 0x1FFF;
inline constexpr size_t IPV4_TTL_OFFSET = 8;
inline constexpr size_t IPV4_PROTOCOL_OFFSET = 9;
inline constexpr size_t IPV4_SOURCE_OFFSET = 12;
inline constexpr size_t IPV4_DESTINATION_OFFSET = 16;
inline constexpr size_t IPV4_ADDRESS_SIZE = 4;
inline constexpr uint8_t IP_PROTOCOL_ICMP = 1;
inline constexpr uint8_t IP_PROTOCOL_TCP = 6;
inline constexpr uint8_t IP_PROTOCOL_UDP = 17;
inline constexpr size_t IPV6_HEADER_SIZE = 40;
inline constexpr size_t IPV6_NEXT_HEADER_OFFSET = 6;
inline constexpr size_t IPV6_HOP_LIMIT_OFFSET = 7;
inline constexpr size_t IPV6_SOURCE_OFFSET = 8;
inline constexpr size_t IPV6_DESTINATION_OFFSET = 24;
inline constexpr size_t IPV6_ADDRESS_SIZE = 16;
inline constexpr uint8_t IP_PROTOCOL_ICMPV6 = 58;

// Fields of the ICMP and ICMPv6 header, as offsets from its first byte.
inline constexpr size_t ICMP_HEADER_SIZE = 8;
inline constexpr size_t ICMP_TYPE_OFFSET = 0;
inline constexpr size_t ICMP_CODE_OFFSET = 1;
inline constexpr size_t ICMP_ID_OFFSET = 4;
// The identifier (bytes 4 and 5) is the last ICMP field any stage reads.
inline constexpr size_t ICMP_ID_END = 6;

// An MPLS label stack entry: the label in its top 20 bits, the bottom-of-stack bit, the TTL.
inline constexpr size_t MPLS_LABEL_ENTRY_SIZE = 4;
inline constexpr uint32_t MPLS_LABEL_SHIFT = 12;
inline constexpr uint32_t MPLS_BOTTOM_OF_STACK = 0x100;
// The most labels of one stack that are walked.
inline constexpr uint8_t MPLS_LABELS_MAX = 8;

// VLAN tags kept of one frame.
inline constexpr size_t MAX_VLAN_TAGS = 8;

}  // namespace nelo

#endif  // NELO_PACKET_PROTOCOL_FIELDS_H_
