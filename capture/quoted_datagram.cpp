#include "capture/quoted_datagram.h"

#include "report/icmp_types.h"
#include "support/wire.h"

namespace nelo {

namespace {

constexpr size_t QUOTED_IPV4_MIN = 20;
constexpr size_t QUOTED_IPV6_SIZE = 40;
constexpr size_t PORTS_SIZE = 4;

// The IPv6 extension headers that may stand between the quoted header and what it carries, and
// the most walked, as for the message itself.
constexpr uint8_t IPV6_HOP_BY_HOP = 0;
constexpr uint8_t IPV6_ROUTING = 43;
constexpr uint8_t IPV6_FRAGMENT = 44;
constexpr uint8_t IP_AUTHENTICATION = 51;
constexpr uint8_t IPV6_DESTINATION_OPTIONS = 60;
constexpr int EXTENSION_HEADERS_MAX = 8;
constexpr size_t FRAGMENT_HEADER_SIZE = 8;
constexpr uint16_t FRAGMENT_OFFSET_MASK = 0xFFF8;

// Walks the extension headers from `at` as far as they were captured, setting `protocol` to
// what they carry and `at` to where it starts; false when what they carry has no header of its
// own here (a later fragment) or the walk stops short, `protocol` then naming the header
// reached.
bool walk_quoted_extensions(const uint8_t* q, size_t len, uint8_t& protocol, size_t& at) {
  for (int walked = 0; walked < EXTENSION_HEADERS_MAX; ++walked) {
    size_t size = 0;
    switch (protocol) {
      case IPV6_HOP_BY_HOP:
      case IPV6_ROUTING:
      case IPV6_DESTINATION_OPTIONS:
        if (len < at + 2) return false;
        size = (q[at + 1] + 1u) * 8;
        break;
      case IP_AUTHENTICATION:
        if (len < at + 2) return false;
        size = (q[at + 1] + 2u) * 4;
        break;
      case IPV6_FRAGMENT:
        if (len < at + FRAGMENT_HEADER_SIZE) return false;
        size = FRAGMENT_HEADER_SIZE;
        if ((load_be16(q + at + 2) & FRAGMENT_OFFSET_MASK) != 0) {
          protocol = q[at];
          return false;
        }
        break;
      default:
        return true;
    }
    if (len < at + size) return false;
    protocol = q[at];
    at += size;
  }
  return false;
}

}  // namespace

void read_quoted_datagram(decoded_packet& packet) {
  quoted_datagram& quoted = packet.quoted;
  quoted = {};
  const bool ipv6 = packet.ip.ipv6;
  const uint8_t* q = packet.payload.data();
  const size_t len = packet.payload.size();
  size_t ports_at = 0;
  const uint8_t version = len > 0 ? q[0] >> 4 : 0;
  if (!ipv6 && len >= QUOTED_IPV4_MIN && version == 4) {
    quoted.protocol = q[IPV4_PROTOCOL_OFFSET];
    ports_at = (q[0] & 0x0F) * 4u;
  } else if (ipv6 && len >= QUOTED_IPV6_SIZE && version == 6) {
    quoted.protocol = q[IPV6_NEXT_HEADER_OFFSET];
    ports_at = QUOTED_IPV6_SIZE;
    // No ports where the walk stopped short of them: a length past the payload stands in.
    if (!walk_quoted_extensions(q, len, quoted.protocol, ports_at)) ports_at = len;
  } else {
    return;
  }
  quoted.present = true;
  // An IPv4 header length below the fixed header is damage: its "ports" would be its addresses.
  if (ports_at < (ipv6 ? QUOTED_IPV6_SIZE : QUOTED_IPV4_MIN)) return;
  if (quoted.protocol == IP_PROTOCOL_TCP || quoted.protocol == IP_PROTOCOL_UDP) {
    quoted.has_ports = len >= ports_at + PORTS_SIZE;
    if (quoted.has_ports) {
      quoted.source_port = load_be16(q + ports_at);
      quoted.destination_port = load_be16(q + ports_at + 2);
    }
  } else if (quoted.protocol == (ipv6 ? IP_PROTOCOL_ICMPV6 : IP_PROTOCOL_ICMP) && len > ports_at) {
    quoted.has_icmp_type = true;
    quoted.icmp_type = q[ports_at + ICMP_TYPE_OFFSET];
    quoted.has_icmp_id =
        icmp_has_identifier(ipv6, quoted.icmp_type) && len >= ports_at + ICMP_HEADER_SIZE;
    if (quoted.has_icmp_id) {
      quoted.icmp_id = load_be16(q + ports_at + ICMP_ID_OFFSET);
      quoted.icmp_seq = load_be16(q + ports_at + ICMP_ID_END);
    }
  }
}

}  // namespace nelo
