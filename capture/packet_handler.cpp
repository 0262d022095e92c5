#include "capture/packet_handler.h"

#include <algorithm>
#include <array>
#include <initializer_list>

#include "capture/encapsulation.h"
#include "capture/filters.h"
#include "capture/link_layer.h"
#include "capture/payload_pipeline.h"
#include "report/payload_digest.h"
#include "report/sink_set.h"
#include "support/wire.h"

namespace nelo {

namespace {

// The last IPv4 field read is the destination address; the last fixed IPv6 one likewise.
constexpr uint32_t IPV4_FIELDS_END = IPV4_DESTINATION_OFFSET + 4;
constexpr uint32_t IPV6_FIELDS_END = IPV6_DESTINATION_OFFSET + 16;

// IPv6 extension headers that may stand between the fixed header and what it carries; the
// authentication header may stand behind an IPv4 header too.
constexpr uint8_t IPV6_HOP_BY_HOP = 0;
constexpr uint8_t IPV6_ROUTING = 43;
constexpr uint8_t IPV6_FRAGMENT = 44;
constexpr uint8_t IP_AUTHENTICATION = 51;
constexpr uint8_t IPV6_DESTINATION_OPTIONS = 60;
constexpr uint32_t IPV6_FRAGMENT_HEADER_SIZE = 8;
constexpr uint32_t IPV6_FRAGMENT_OFFSET_AT = 2;
constexpr uint16_t IPV6_FRAGMENT_OFFSET_MASK = 0xFFF8;

// The protocol behind the IPv4 header at `next.offset`, past any authentication headers, set
// into `next`. False when the fields read are not captured, for a fragment other than the first
// (a later fragment continues the payload of the first and carries no header of its own), and
// for a chain of authentication headers too long or not captured.
bool ipv4_payload(const uint8_t* frame, uint32_t incl_len, next_header& next) {
  const uint32_t ip = next.offset;
  if (incl_len < ip + IPV4_FIELDS_END) return false;
  const uint8_t* header = frame + ip;
  if ((load_be16(header + IPV4_FRAGMENT_OFFSET) & IPV4_FRAGMENT_OFFSET_MASK) != 0) return false;
  uint8_t protocol = header[IPV4_PROTOCOL_OFFSET];
  // The IHL is taken as it stands, even below 5, in front of ICMP: the header position follows
  // the formula. Nothing else is looked for inside a header too short to be one.
  const uint32_t ihl = header[0] & 0x0F;
  if (protocol != IP_PROTOCOL_ICMP && ihl < 5) return false;
  uint32_t at = ip + ihl * 4;
  for (int walked = 0; protocol == IP_AUTHENTICATION; ++walked) {
    if (walked == IPV6_EXTENSION_HEADERS_MAX || incl_len < at + 2) return false;
    protocol = frame[at];
    at += (frame[at + 1] + 2u) * 4;
  }
  next = {carrier::ip_protocol, protocol, 0, at};
  return true;
}

// The protocol behind the IPv6 header at `next.offset` and its extension headers, set into
// `next`. False when the fixed header is not captured, for a fragment other than the first, and
// for a chain that runs past the captured bytes or is too long.
bool ipv6_payload(const uint8_t* frame, uint32_t incl_len, next_header& next) {
  const uint32_t ip = next.offset;
  if (incl_len < ip + IPV6_FIELDS_END) return false;
  uint8_t protocol = frame[ip + IPV6_NEXT_HEADER_OFFSET];
  uint32_t at = ip + IPV6_HEADER_SIZE;
  for (int walked = 0;; ++walked) {
    uint32_t size = 0;
    switch (protocol) {
      case IPV6_HOP_BY_HOP:
      case IPV6_ROUTING:
      case IPV6_DESTINATION_OPTIONS:
      case IP_AUTHENTICATION:
      case IPV6_FRAGMENT:
        break;
      default:
        next = {carrier::ip_protocol, protocol, 0, at};
        return true;
    }
    if (walked == IPV6_EXTENSION_HEADERS_MAX || incl_len < at + 2) return false;
    const uint8_t* ext = frame + at;
    if (protocol == IP_AUTHENTICATION) {
      size = (ext[1] + 2u) * 4;
    } else if (protocol == IPV6_FRAGMENT) {
      // Only the first fragment holds the next header.
      if (incl_len < at + IPV6_FRAGMENT_HEADER_SIZE ||
          (load_be16(ext + IPV6_FRAGMENT_OFFSET_AT) & IPV6_FRAGMENT_OFFSET_MASK) != 0) {
        return false;
      }
      size = IPV6_FRAGMENT_HEADER_SIZE;
    } else {
      size = (ext[1] + 1u) * 8;
    }
    if (incl_len < at + size) return false;
    protocol = ext[0];
    at += size;
  }
}

// Where the ICMP header of a frame lies. Every record is located, and most are dropped here, so
// it stays a few plain fields (the layers of the path are set only as far as `count`): the
// decoded packet is only built for a frame that holds one.
struct icmp_location {
  link_header link;
  bool ipv6 = false;
  encapsulation_path path;
  // Set, with ipv6, as each IP header and then the ICMP header are found; read only once found.
  uint32_t ip_offset;
  uint32_t icmp_offset;
};

bool names_ip(const next_header& next) {
  return next.by == carrier::ether_type &&
         (next.protocol == ETHERTYPE_IPV4 || next.protocol == ETHERTYPE_IPV6);
}

// Reads the IP header `next` names into `at` and sets `next` to what it carries, stepping over a
// UDP header to name its ports. False when the header cannot be read (see the payload readers).
bool enter_ip(const uint8_t* frame, uint32_t incl_len, icmp_location& at, next_header& next) {
  at.ipv6 = next.protocol == ETHERTYPE_IPV6;
  at.ip_offset = next.offset;
  if (!(at.ipv6 ? ipv6_payload(frame, incl_len, next) : ipv4_payload(frame, incl_len, next))) {
    return false;
  }
  if (next.protocol == IP_PROTOCOL_UDP) {
    if (incl_len < next.offset + UDP_HEADER_SIZE) return false;
    const uint8_t* udp = frame + next.offset;
    next = {carrier::udp, load_be16(udp + 2), load_be16(udp), next.offset + UDP_HEADER_SIZE};
  }
  return true;
}

// The message is kept only when its identifier, the last field any stage reads, was captured.
bool found_icmp(uint32_t incl_len, icmp_location& at, const next_header& next) {
  at.icmp_offset = next.offset;
  return incl_len >= at.icmp_offset + ICMP_ID_END;
}

// ICMP counts only in the IP version that carries it: ICMP in IPv4, ICMPv6 in IPv6.
bool names_icmp(const icmp_location& at, const next_header& next) {
  return next.by == carrier::ip_protocol &&
         next.protocol == (at.ipv6 ? IP_PROTOCOL_ICMPV6 : IP_PROTOCOL_ICMP);
}

// Opens the encapsulations from `next` in, up to ENCAPSULATIONS_MAX of them, through the IP
// headers between them, to the first ICMP message; counts a tunnel met and not opened into
// `unopened` when it is given. Out of line: plain traffic never gets here, and keeping the loop
// out of the record path keeps that path as short as it was without it.
[[gnu::noinline]] bool locate_through_tunnels(const uint8_t* frame, uint32_t incl_len,
                                              icmp_location& at, next_header next,
                                              unopened_tally* unopened) {
  for (;;) {
    if (names_ip(next)) {
      if (!enter_ip(frame, incl_len, at, next)) return false;
      if (names_icmp(at, next)) return found_icmp(incl_len, at, next);
    }
    if (!may_be_encapsulation(next) || at.path.count == ENCAPSULATIONS_MAX) return false;
    encapsulation& layer = at.path.layers[at.path.count];
    layer = {};
    layer.outer_ip = at.ip_offset;
    layer.outer_ipv6 = at.ipv6;
    layer.header = next.offset;
    unopened_tunnel kind = unopened_tunnel::none;
    switch (open_encapsulation(frame, incl_len, next, layer, kind)) {
      case open_result::opened:
        ++at.path.count;
        break;
      case open_result::unopened:
        if (unopened != nullptr) unopened->count(kind);
        return false;
      case open_result::not_open:
        return false;
    }
  }
}

// The protocols an IP header may name in front of an ICMP message: the message itself, UDP and
// the headers walked on the way (all but the encapsulations, which their own table names).
constexpr std::array<bool, 256> make_walked(uint8_t icmp, std::initializer_list<uint8_t> walked) {
  std::array<bool, 256> protocols{};
  protocols[icmp] = true;
  protocols[IP_PROTOCOL_UDP] = true;
  for (const uint8_t protocol : walked) protocols[protocol] = true;
  return protocols;
}
constexpr std::array<bool, 256> IPV4_WALKED = make_walked(IP_PROTOCOL_ICMP, {IP_AUTHENTICATION});
constexpr std::array<bool, 256> IPV6_WALKED = make_walked(
    IP_PROTOCOL_ICMPV6,
    {IPV6_HOP_BY_HOP, IPV6_ROUTING, IPV6_FRAGMENT, IP_AUTHENTICATION, IPV6_DESTINATION_OPTIONS});

bool leads_somewhere(const std::array<bool, 256>& walked, uint8_t protocol) {
  return walked[protocol] || ENCAPSULATION_IP_PROTOCOL_ROWS[protocol] != 0;
}

// UDP leads somewhere only from or to a port that names an encapsulation.
bool udp_leads_somewhere(const uint8_t* frame, uint32_t incl_len, uint32_t udp) {
  if (incl_len < udp + UDP_HEADER_SIZE) return false;
  return port_names_encapsulation(load_be16(frame + udp)) ||
         port_names_encapsulation(load_be16(frame + udp + 2));
}

// Walks the frame from its network header in, through IP headers and the encapsulations they
// carry, up to the first ICMP message in the IP version of the header in front of it. Almost
// every record is IP whose protocol leads neither to ICMP nor to a tunnel, and ICMP straight
// behind an IPv4 header is most of the rest: both are settled here with a few reads, and only
// what may lead further is walked.
bool locate_icmp(const capture_record& record, icmp_location& at, unopened_tally* unopened) {
  if (!strip_link_header(record, at.link)) return false;
  const uint8_t* frame = record.bytes;
  const uint32_t incl_len = record.captured_len;
  const uint32_t ip = at.link.network_offset;
  if (at.link.ether_type == ETHERTYPE_IPV4) {
    if (incl_len < ip + IPV4_FIELDS_END) return false;
    const uint8_t* header = frame + ip;
    const uint8_t protocol = header[IPV4_PROTOCOL_OFFSET];
    if (protocol == IP_PROTOCOL_ICMP) {
      // A later fragment continues the payload of the first; it carries no ICMP header. The IHL
      // is taken as it stands, even below 5: the header position follows the formula.
      if ((load_be16(header + IPV4_FRAGMENT_OFFSET) & IPV4_FRAGMENT_OFFSET_MASK) != 0) {
        return false;
      }
      at.ip_offset = ip;
      at.icmp_offset = ip + (header[0] & 0x0Fu) * 4;
      return incl_len >= at.icmp_offset + ICMP_ID_END;
    }
    if (protocol == IP_PROTOCOL_UDP) {
      if (!udp_leads_somewhere(frame, incl_len, ip + (header[0] & 0x0Fu) * 4)) return false;
    } else if (!leads_somewhere(IPV4_WALKED, protocol)) {
      return false;
    }
  } else if (at.link.ether_type == ETHERTYPE_IPV6) {
    if (incl_len < ip + IPV6_FIELDS_END) return false;
    const uint8_t protocol = frame[ip + IPV6_NEXT_HEADER_OFFSET];
    if (protocol == IP_PROTOCOL_UDP) {
      if (!udp_leads_somewhere(frame, incl_len, ip + IPV6_HEADER_SIZE)) return false;
    } else if (!leads_somewhere(IPV6_WALKED, protocol)) {
      return false;
    }
  }
  const next_header next{carrier::ether_type, at.link.ether_type, 0, ip};
  return locate_through_tunnels(frame, incl_len, at, next, unopened);
}

void fill_packet(const capture_record& record, const icmp_location& at, decoded_packet& packet) {
  const uint32_t incl_len = record.captured_len;
  const uint32_t header_end =
      std::min(at.icmp_offset + static_cast<uint32_t>(ICMP_HEADER_SIZE), incl_len);
  packet.record = &record;
  packet.frame = byte_span(record.bytes, incl_len);
  packet.ip.bytes = packet.frame.subspan(at.ip_offset);
  packet.ip.ipv6 = at.ipv6;
  packet.icmp = packet.frame.subspan(at.icmp_offset, header_end - at.icmp_offset);
  packet.headers = packet.frame.first(header_end);
  // A frame cut inside the ICMP header has no payload.
  packet.payload = packet.frame.subspan(header_end);
  packet.link.vlan_count = at.link.vlan_count;
  std::copy(at.link.vlan_ids, at.link.vlan_ids + MAX_VLAN_TAGS, packet.link.vlan_ids);
  packet.tunnels.count = at.path.count;
  std::copy(at.path.layers, at.path.layers + at.path.count, packet.tunnels.layers);
}

}  // namespace

bool decode_packet(const capture_record& record, decoded_packet& packet) {
  icmp_location at;
  if (!locate_icmp(record, at, nullptr)) return false;
  fill_packet(record, at, packet);
  return true;
}

int handle_packet(const capture_record& record, packet_ctx* ctx) {
  if (ctx == nullptr) return 0;
  icmp_location at;
  if (!locate_icmp(record, at, &ctx->unopened)) return 0;
  decoded_packet packet;
  fill_packet(record, at, packet);
  if (!packet_passes_filters(packet, *ctx->filters)) return 0;
  if (!packet_passes_icmp_checks(packet, *ctx->filters)) return 0;
  if (ctx->pipeline != nullptr && ctx->pipeline->take(packet)) return 1;
  sink_set& sinks = *ctx->sinks;
  sinks.write_message(packet, digest_payload(packet, sinks.need()));
  return 1;
}

}  // namespace nelo
