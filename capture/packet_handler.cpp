#include "capture/packet_handler.h"

#include <algorithm>

#include "capture/filters.h"
#include "report/dumps.h"
#include "report/packet_report.h"
#include "support/run_control.h"
#include "support/wire.h"

namespace nelo {

namespace {

// Ethernet + the fixed IPv6 header + the ICMPv6 header.
constexpr uint32_t IPV6_HEADERS_LEN = IPV6_ICMP_OFFSET + ICMP_HEADER_SIZE;
// The last IPv4 field read is the destination address.
constexpr uint32_t IPV4_FIELDS_END = IPV4_DESTINATION_OFFSET + 4;
constexpr uint32_t IPV6_FIELDS_END = IPV6_ICMP_OFFSET + ICMP_ID_END;

}  // namespace

bool decode_packet(const uint8_t* record, decoded_packet& packet) {
  const uint32_t incl_len = load_le32(record + 8);
  const uint8_t* frame = record + PCAP_RECORD_HEADER_SIZE;
  if (incl_len < ETH_HEADER_SIZE) return false;

  uint32_t icmp_offset = 0;
  uint32_t header_len = 0;
  const uint16_t ether_type = load_be16(frame + ETH_TYPE_OFFSET);
  if (ether_type == ETHERTYPE_IPV4) {
    if (incl_len < IPV4_FIELDS_END || frame[IPV4_PROTOCOL_OFFSET] != IP_PROTOCOL_ICMP) return false;
    // The IHL is taken as it stands, even below 5: the header position follows the formula.
    const uint32_t ihl = frame[ETH_HEADER_SIZE] & 0x0F;
    icmp_offset = ETH_HEADER_SIZE + ihl * 4;
    header_len = icmp_offset + ICMP_HEADER_SIZE;
    if (incl_len < icmp_offset + ICMP_ID_END) return false;
    packet.ipv6 = false;
  } else if (ether_type == ETHERTYPE_IPV6) {
    if (incl_len < IPV6_FIELDS_END || frame[IPV6_NEXT_HEADER_OFFSET] != IP_PROTOCOL_ICMPV6)
      return false;
    icmp_offset = IPV6_ICMP_OFFSET;
    header_len = IPV6_HEADERS_LEN;
    packet.ipv6 = true;
  } else {
    return false;
  }

  packet.record = record;
  packet.frame = frame;
  packet.icmp = frame + icmp_offset;
  // A frame cut inside the ICMP header has no payload; the pointer is never read then.
  packet.payload = frame + std::min(header_len, incl_len);
  packet.incl_len = incl_len;
  packet.hdr_len = static_cast<int32_t>(std::min(header_len, incl_len));
  packet.payload_len = incl_len > header_len ? static_cast<int32_t>(incl_len - header_len) : 0;
  return true;
}

int handle_packet(uint64_t frame_number, const uint8_t* record, packet_ctx* ctx) {
  if (ctx == nullptr || record == nullptr) return 0;
  decoded_packet packet;
  if (!decode_packet(record, packet)) return 0;
  if (!packet_passes_filters(frame_number, packet, ctx)) return 0;
  if (!packet_passes_icmp_checks(packet, *ctx)) return 0;
  write_packet_report(frame_number, packet, ctx);
  dump_packet(packet, *ctx);
  if (ctx->out != nullptr && ctx->out->fail()) request_stop_for_write_failure();
  return 1;
}

}  // namespace nelo
