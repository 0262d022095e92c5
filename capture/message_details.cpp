#include "capture/message_details.h"

#include <algorithm>

#include "capture/message_extensions.h"
#include "report/icmp_types.h"
#include "support/wire.h"

namespace nelo {

namespace {

constexpr uint8_t ICMP_FRAG_NEEDED = 4;  // the destination unreachable code that gives an MTU
constexpr uint8_t ICMP6_PACKET_TOO_BIG = 2;
constexpr uint8_t ICMP6_NEIGHBOR_SOLICITATION = 135;
constexpr uint8_t ICMP6_NEIGHBOR_ADVERTISEMENT = 136;
constexpr uint8_t ICMP6_REDIRECT = 137;
constexpr size_t HEADER_REST = 4;  // bytes 4 to 7 of the header, where the errors put their field
constexpr size_t TIMES_SIZE = 12;

void copy_address(byte_span from, size_t at, uint8_t* to, size_t size) {
  std::copy_n(from.data() + at, size, to);
}

void read_icmp(byte_span icmp, byte_span payload, uint8_t type, uint8_t code,
               message_details& out) {
  const bool whole_header = icmp.size() >= ICMP_HEADER_SIZE;
  if (type == ICMP_UNREACH && code == ICMP_FRAG_NEEDED && whole_header) {
    out.mtu = load_be16(icmp.data() + ICMP_ID_END);
    out.has |= message_details::MTU;
  } else if (type == ICMP_REDIRECT && whole_header) {
    copy_address(icmp, HEADER_REST, out.gateway, IPV4_ADDRESS_SIZE);
    out.has |= message_details::GATEWAY;
  } else if (type == ICMP_PARAMPROB && whole_header) {
    out.pointer = icmp[HEADER_REST];
    out.has |= message_details::POINTER;
  } else if ((type == ICMP_TSTAMP || type == ICMP_TSTAMPREPLY) && payload.size() >= TIMES_SIZE) {
    out.originate = load_be32(payload.data());
    out.receive = load_be32(payload.data() + 4);
    out.transmit = load_be32(payload.data() + 8);
    out.has |= message_details::TIMES;
  } else if (type == ICMP_MASKREPLY && payload.size() >= IPV4_ADDRESS_SIZE) {
    copy_address(payload, 0, out.mask, IPV4_ADDRESS_SIZE);
    out.has |= message_details::MASK;
  }
}

void read_icmpv6(byte_span icmp, byte_span payload, uint8_t type, message_details& out) {
  const bool whole_header = icmp.size() >= ICMP_HEADER_SIZE;
  if (type == ICMP6_PACKET_TOO_BIG && whole_header) {
    out.mtu = load_be32(icmp.data() + HEADER_REST);
    out.has |= message_details::MTU;
  } else if (type == ICMP6_PARAM_PROB && whole_header) {
    out.pointer = load_be32(icmp.data() + HEADER_REST);
    out.has |= message_details::POINTER;
  } else if (type == ICMP6_NEIGHBOR_SOLICITATION || type == ICMP6_NEIGHBOR_ADVERTISEMENT ||
             type == ICMP6_REDIRECT) {
    if (payload.size() >= IPV6_ADDRESS_SIZE) {
      copy_address(payload, 0, out.target, IPV6_ADDRESS_SIZE);
      out.has |= message_details::TARGET;
    }
    if (type == ICMP6_REDIRECT && payload.size() >= 2 * IPV6_ADDRESS_SIZE) {
      copy_address(payload, IPV6_ADDRESS_SIZE, out.destination, IPV6_ADDRESS_SIZE);
      out.has |= message_details::DESTINATION;
    }
  }
}

}  // namespace

void read_message_details(decoded_packet& packet) {
  message_details& out = packet.details;
  out.has = 0;
  const uint8_t type = packet.icmp[ICMP_TYPE_OFFSET];
  const uint8_t code = packet.icmp[ICMP_CODE_OFFSET];
  if (packet.ip.ipv6) {
    read_icmpv6(packet.icmp, packet.payload, type, out);
  } else {
    read_icmp(packet.icmp, packet.payload, type, code, out);
  }
  read_message_extensions(packet, type, out);
}

}  // namespace nelo
