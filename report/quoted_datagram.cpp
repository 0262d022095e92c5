#include "report/quoted_datagram.h"

#include "support/wire.h"

namespace nelo {

namespace {

constexpr size_t QUOTED_IPV4_MIN = 20;
constexpr size_t QUOTED_IPV6_SIZE = 40;
constexpr size_t PORTS_SIZE = 4;

}  // namespace

bool read_quoted_datagram(const decoded_packet& packet, quoted_datagram& quoted) {
  const uint8_t* q = packet.payload.data();
  const size_t len = packet.payload.size();
  const bool ipv6 = packet.ip.ipv6;
  size_t ports_at = 0;
  const uint8_t version = len > 0 ? q[0] >> 4 : 0;
  if (!ipv6 && len >= QUOTED_IPV4_MIN && version == 4) {
    quoted.protocol = q[IPV4_PROTOCOL_OFFSET];
    ports_at = (q[0] & 0x0F) * 4u;
  } else if (ipv6 && len >= QUOTED_IPV6_SIZE && version == 6) {
    quoted.protocol = q[IPV6_NEXT_HEADER_OFFSET];
    ports_at = QUOTED_IPV6_SIZE;
  } else {
    return false;
  }
  quoted.ipv6 = ipv6;
  quoted.source = q + (ipv6 ? IPV6_SOURCE_OFFSET : IPV4_SOURCE_OFFSET);
  quoted.destination = q + (ipv6 ? IPV6_DESTINATION_OFFSET : IPV4_DESTINATION_OFFSET);
  // An IPv4 header length below the fixed header is damage: its "ports" would be its addresses.
  quoted.has_ports = (quoted.protocol == IP_PROTOCOL_TCP || quoted.protocol == IP_PROTOCOL_UDP) &&
                     ports_at >= (ipv6 ? QUOTED_IPV6_SIZE : QUOTED_IPV4_MIN) &&
                     len >= ports_at + PORTS_SIZE;
  if (quoted.has_ports) {
    quoted.source_port = load_be16(q + ports_at);
    quoted.destination_port = load_be16(q + ports_at + 2);
  }
  return true;
}

}  // namespace nelo
