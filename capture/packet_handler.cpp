#include "capture/packet_handler.h"

#include <algorithm>

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

// IPv6 extension headers that may stand between the fixed header and ICMPv6.
constexpr uint8_t IPV6_HOP_BY_HOP = 0;
constexpr uint8_t IPV6_ROUTING = 43;
constexpr uint8_t IPV6_FRAGMENT = 44;
constexpr uint8_t IPV6_AUTHENTICATION = 51;
constexpr uint8_t IPV6_DESTINATION_OPTIONS = 60;
constexpr uint32_t IPV6_FRAGMENT_HEADER_SIZE = 8;
constexpr uint32_t IPV6_FRAGMENT_OFFSET_AT = 2;
constexpr uint16_t IPV6_FRAGMENT_OFFSET_MASK = 0xFFF8;

// Returned when a frame holds no ICMP header to decode.
constexpr uint32_t NO_ICMP = UINT32_MAX;

// Offset of the ICMP header behind an IPv4 header at `ip`, or NO_ICMP when the frame holds none.
uint32_t ipv4_icmp_offset(const uint8_t* frame, uint32_t ip, uint32_t incl_len) {
  if (incl_len < ip + IPV4_FIELDS_END) return NO_ICMP;
  const uint8_t* header = frame + ip;
  if (header[IPV4_PROTOCOL_OFFSET] != IP_PROTOCOL_ICMP) return NO_ICMP;
  // A later fragment continues the payload of the first; it carries no ICMP header.
  if ((load_be16(header + IPV4_FRAGMENT_OFFSET) & IPV4_FRAGMENT_OFFSET_MASK) != 0) return NO_ICMP;
  // The IHL is taken as it stands, even below 5: the header position follows the formula.
  const uint32_t ihl = header[0] & 0x0F;
  return ip + ihl * 4;
}

// Offset of the ICMPv6 header behind an IPv6 header at `ip`, walking its extension headers, or
// NO_ICMP when the chain ends in another protocol, runs past the captured bytes or is too long.
uint32_t ipv6_icmp_offset(const uint8_t* frame, uint32_t ip, uint32_t incl_len) {
  if (incl_len < ip + IPV6_FIELDS_END) return NO_ICMP;
  uint8_t next = frame[ip + IPV6_NEXT_HEADER_OFFSET];
  uint32_t at = ip + IPV6_HEADER_SIZE;
  for (int walked = 0; next != IP_PROTOCOL_ICMPV6; ++walked) {
    if (walked == IPV6_EXTENSION_HEADERS_MAX || incl_len < at + 2) return NO_ICMP;
    const uint8_t* ext = frame + at;
    uint32_t size = 0;
    switch (next) {
      case IPV6_HOP_BY_HOP:
      case IPV6_ROUTING:
      case IPV6_DESTINATION_OPTIONS:
        size = (ext[1] + 1u) * 8;
        break;
      case IPV6_AUTHENTICATION:
        size = (ext[1] + 2u) * 4;
        break;
      case IPV6_FRAGMENT:
        // Only the first fragment holds the ICMPv6 header.
        if (incl_len < at + IPV6_FRAGMENT_HEADER_SIZE ||
            (load_be16(ext + IPV6_FRAGMENT_OFFSET_AT) & IPV6_FRAGMENT_OFFSET_MASK) != 0) {
          return NO_ICMP;
        }
        size = IPV6_FRAGMENT_HEADER_SIZE;
        break;
      default:
        return NO_ICMP;
    }
    if (incl_len < at + size) return NO_ICMP;
    next = ext[0];
    at += size;
  }
  return at;
}

}  // namespace

namespace {

// Where the ICMP header of a frame lies. Every record is located, and most are dropped here, so
// it stays a few plain fields: the decoded packet is only built for a frame that holds one.
struct icmp_location {
  link_header link;
  uint32_t icmp_offset = NO_ICMP;
  bool ipv6 = false;
};

bool locate_icmp(const capture_record& record, icmp_location& at) {
  if (!strip_link_header(record, at.link)) return false;
  const uint8_t* frame = record.bytes;
  const uint32_t incl_len = record.captured_len;
  const uint32_t ip = at.link.network_offset;
  if (at.link.ether_type == ETHERTYPE_IPV4) {
    at.icmp_offset = ipv4_icmp_offset(frame, ip, incl_len);
  } else if (at.link.ether_type == ETHERTYPE_IPV6) {
    at.icmp_offset = ipv6_icmp_offset(frame, ip, incl_len);
    at.ipv6 = true;
  }
  return at.icmp_offset != NO_ICMP && incl_len >= at.icmp_offset + ICMP_ID_END;
}

void fill_packet(const capture_record& record, const icmp_location& at, decoded_packet& packet) {
  const uint32_t incl_len = record.captured_len;
  const uint32_t header_end =
      std::min(at.icmp_offset + static_cast<uint32_t>(ICMP_HEADER_SIZE), incl_len);
  packet.record = &record;
  packet.frame = byte_span(record.bytes, incl_len);
  packet.ip.bytes = packet.frame.subspan(at.link.network_offset);
  packet.ip.ipv6 = at.ipv6;
  packet.icmp = packet.frame.subspan(at.icmp_offset, header_end - at.icmp_offset);
  packet.headers = packet.frame.first(header_end);
  // A frame cut inside the ICMP header has no payload.
  packet.payload = packet.frame.subspan(header_end);
  packet.link.vlan_count = at.link.vlan_count;
  std::copy(at.link.vlan_ids, at.link.vlan_ids + MAX_VLAN_TAGS, packet.link.vlan_ids);
}

}  // namespace

bool decode_packet(const capture_record& record, decoded_packet& packet) {
  icmp_location at;
  if (!locate_icmp(record, at)) return false;
  fill_packet(record, at, packet);
  return true;
}

int handle_packet(const capture_record& record, packet_ctx* ctx) {
  if (ctx == nullptr) return 0;
  icmp_location at;
  if (!locate_icmp(record, at)) return 0;
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
