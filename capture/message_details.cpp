#include "capture/message_details.h"

#include <algorithm>
#include <limits>

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
constexpr uint8_t ICMP6_MLD_QUERY = 130;
constexpr uint8_t ICMP6_MLD_REPORT = 131;
constexpr uint8_t ICMP6_MLD_DONE = 132;
constexpr uint8_t ICMP6_ROUTER_SOLICITATION = 133;
constexpr uint8_t ICMP6_ROUTER_ADVERTISEMENT = 134;
constexpr uint8_t ICMP6_MLD2_REPORT = 143;
constexpr size_t HEADER_REST = 4;  // bytes 4 to 7 of the header, where the errors put their field
constexpr size_t TIMES_SIZE = 12;
// Where the options of each neighbor discovery message begin in its payload: behind the target
// (and a redirect's destination), or a router advertisement's reachable time and retransmit timer.
constexpr size_t NS_NA_OPTIONS_AT = IPV6_ADDRESS_SIZE;
constexpr size_t REDIRECT_OPTIONS_AT = 2 * IPV6_ADDRESS_SIZE;
constexpr size_t RA_OPTIONS_AT = 8;
constexpr size_t RA_HOP_LIMIT_AT = 4;  // in the header, then the flags and the router lifetime
constexpr size_t RA_FLAGS_AT = 5;
constexpr size_t RA_LIFETIME_AT = 6;
constexpr size_t MLD2_RECORD_COUNT_AT = 6;  // in the header
constexpr uint8_t ND_OPTION_SOURCE_LL = 1;
constexpr uint8_t ND_OPTION_TARGET_LL = 2;
constexpr uint8_t ND_OPTION_MTU = 5;
constexpr size_t ND_MTU_OPTION_SIZE = 8;
constexpr size_t ND_MTU_AT = 4;
constexpr size_t ND_LL_ADDRESS_AT = 2;
constexpr size_t IPV6_PAYLOAD_LENGTH_AT = 4;

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

// The payload as far as the IPv6 datagram claims it: an Ethernet trailer holds no options. A
// datagram made of fragments, or one whose claim does not fit, keeps every byte captured; the
// offsets of the record reach no further than 64 KiB.
byte_span datagram_payload(const decoded_packet& packet) {
  const byte_span payload = packet.payload;
  const byte_span ip = packet.ip.bytes;
  const size_t whole = std::min<size_t>(payload.size(), std::numeric_limits<uint16_t>::max());
  if (!packet.fragments.frames.empty() || payload.empty()) return payload.first(whole);
  // Both reach to the end of the frame's captured bytes.
  const size_t payload_at = ip.size() - payload.size();
  const size_t end = IPV6_HEADER_SIZE + load_be16(ip.data() + IPV6_PAYLOAD_LENGTH_AT);
  if (end == IPV6_HEADER_SIZE || end < payload_at || end > ip.size()) return payload.first(whole);
  return payload.first(std::min(whole, end - payload_at));
}

// Walks the neighbor discovery options from `at` of `payload`: the first link-layer address of
// each kind, a router advertisement's MTU and prefixes. An option of length 0 or one that runs
// past the message ends the walk; it and a prefix option of the wrong size or prefix length are
// counted as damaged.
void read_nd_options(byte_span payload, size_t at, message_details& out) {
  if (payload.size() <= at) return;
  const byte_span options = payload.subspan(at);
  size_t whole = 0;
  uint16_t prefixes = 0;
  while (whole < options.size()) {
    const size_t size = nd_option_size(options, whole);
    if (size == 0) {
      ++out.damaged;
      break;
    }
    const uint8_t* option = &options[whole];
    const auto address_at = static_cast<uint16_t>(at + whole + ND_LL_ADDRESS_AT);
    const auto address_size = static_cast<uint16_t>(size - ND_LL_ADDRESS_AT);
    const bool link_address = option[0] == ND_OPTION_SOURCE_LL || option[0] == ND_OPTION_TARGET_LL;
    if (link_address && address_size > ND_LINK_ADDRESS_MAX) {
      ++out.damaged;
    } else if (option[0] == ND_OPTION_SOURCE_LL && !(out.has & message_details::SOURCE_LL)) {
      out.source_ll_at = address_at;
      out.source_ll_size = address_size;
      out.has |= message_details::SOURCE_LL;
    } else if (option[0] == ND_OPTION_TARGET_LL && !(out.has & message_details::TARGET_LL)) {
      out.target_ll_at = address_at;
      out.target_ll_size = address_size;
      out.has |= message_details::TARGET_LL;
    } else if (option[0] == ND_OPTION_MTU && size == ND_MTU_OPTION_SIZE &&
               !(out.has & message_details::LINK_MTU)) {
      out.mtu = load_be32(option + ND_MTU_AT);
      out.has |= message_details::LINK_MTU;
    } else if (option[0] == ND_OPTION_PREFIX) {
      if (size == ND_PREFIX_OPTION_SIZE && option[2] <= ND_PREFIX_LENGTH_MAX) {
        ++prefixes;
      } else {
        ++out.damaged;
      }
    }
    whole += size;
  }
  if (prefixes > 0) {
    out.items_at = static_cast<uint16_t>(at);
    out.items_size = static_cast<uint16_t>(whole);
    out.item_count = prefixes;
    out.has |= message_details::PREFIXES;
  }
}

// The records of an MLDv2 report, as many of those its header counts as are whole.
void read_mld2_records(byte_span icmp, byte_span payload, message_details& out) {
  const uint16_t claimed = load_be16(icmp.data() + MLD2_RECORD_COUNT_AT);
  size_t whole = 0;
  uint16_t count = 0;
  for (size_t size; count < claimed && (size = mld_record_size(payload, whole)) > 0;
       whole += size) {
    ++count;
  }
  out.damaged = static_cast<uint16_t>(claimed - count);
  if (count > 0) {
    out.items_at = 0;
    out.items_size = static_cast<uint16_t>(whole);
    out.item_count = count;
    out.has |= message_details::RECORDS;
  }
}

// What neighbor discovery and MLD messages say; the others, echoes above all, cost one comparison.
void read_discovery(const decoded_packet& packet, uint8_t type, message_details& out) {
  if (type < ICMP6_MLD_QUERY || type > ICMP6_MLD2_REPORT) return;
  const byte_span icmp = packet.icmp;
  const byte_span payload = datagram_payload(packet);
  const bool whole_header = icmp.size() >= ICMP_HEADER_SIZE;
  switch (type) {
    case ICMP6_ROUTER_SOLICITATION:
      read_nd_options(payload, 0, out);
      break;
    case ICMP6_ROUTER_ADVERTISEMENT:
      if (whole_header) {
        out.hop_limit = icmp[RA_HOP_LIMIT_AT];
        out.router_flags = icmp[RA_FLAGS_AT];
        out.router_lifetime = load_be16(icmp.data() + RA_LIFETIME_AT);
        out.has |= message_details::ROUTER;
      }
      read_nd_options(payload, RA_OPTIONS_AT, out);
      break;
    case ICMP6_NEIGHBOR_SOLICITATION:
    case ICMP6_NEIGHBOR_ADVERTISEMENT:
      read_nd_options(payload, NS_NA_OPTIONS_AT, out);
      break;
    case ICMP6_REDIRECT:
      read_nd_options(payload, REDIRECT_OPTIONS_AT, out);
      break;
    case ICMP6_MLD_QUERY:
    case ICMP6_MLD_REPORT:
    case ICMP6_MLD_DONE:
      if (payload.size() >= IPV6_ADDRESS_SIZE) {
        copy_address(payload, 0, out.group, IPV6_ADDRESS_SIZE);
        out.has |= message_details::GROUP;
      }
      break;
    case ICMP6_MLD2_REPORT:
      if (whole_header) read_mld2_records(icmp, payload, out);
      break;
    default:
      break;
  }
  if (out.damaged > 0) out.has |= message_details::DAMAGED;
}

}  // namespace

void read_message_details(decoded_packet& packet) {
  message_details& out = packet.details;
  out.has = 0;
  out.damaged = 0;
  out.damage = extension_damage::none;
  const uint8_t type = packet.icmp[ICMP_TYPE_OFFSET];
  const uint8_t code = packet.icmp[ICMP_CODE_OFFSET];
  // An echo says nothing beyond its name, and echoes are the bulk of most captures.
  if (packet.ip.ipv6 ? type == ICMP6_ECHO_REQUEST || type == ICMP6_ECHO_REPLY
                     : type == ICMP_ECHO || type == ICMP_ECHOREPLY) {
    return;
  }
  if (packet.ip.ipv6) {
    read_icmpv6(packet.icmp, packet.payload, type, out);
    read_discovery(packet, type, out);
  } else {
    read_icmp(packet.icmp, packet.payload, type, code, out);
  }
  read_message_extensions(packet, type, out);
}

}  // namespace nelo
