// Packet selection filters, cheapest first: the pattern search runs only for packets that
// passed everything else.
#include "capture/filters.h"

#include <algorithm>
#include <cstring>

#include "capture/byte_pattern_match.h"
#include "support/wire.h"

namespace nelo {
namespace {

constexpr uint64_t LOW_BYTE_MASK = 0xff;

bool in_time_window(const capture_record& record, const filter_settings& filters) {
  const bool start_on = filters.start_time.ticks != 0;
  const bool stop_on = filters.stop_time.ticks != 0;
  if (!start_on && !stop_on) return true;
  // A record without a time cannot be placed in any window.
  if (record.time == record_time::absent) return false;
  const ko::fine_time stamp{record.ticks, record.sub_tick_ns};
  if (start_on && stamp < filters.start_time) return false;
  if (stop_on && stamp > filters.stop_time) return false;
  return true;
}

bool holds(const std::vector<ipv4_prefix>& items, uint32_t address) {
  for (const ipv4_prefix& item : items) {
    if ((address & item.mask) == item.address) return true;
  }
  return false;
}

bool holds(const std::vector<ipv6_prefix>& items, const uint8_t* address) {
  const uint64_t high = load_be64(address);
  const uint64_t low = load_be64(address + IPV6_ADDRESS_SIZE / 2);
  for (const ipv6_prefix& item : items) {
    if ((high & item.mask_high) == item.high && (low & item.mask_low) == item.low) return true;
  }
  return false;
}

// Without tracked replies each filter looks at its own end of the packet; with them, at either.
bool addresses_pass(const auto& src_items, const auto& dst_items, auto src, auto dst,
                    bool track_replies) {
  if (track_replies) {
    if (!dst_items.empty() && !holds(dst_items, dst) && !holds(dst_items, src)) return false;
    if (!src_items.empty() && !holds(src_items, src) && !holds(src_items, dst)) return false;
  } else {
    if (!dst_items.empty() && !holds(dst_items, dst)) return false;
    if (!src_items.empty() && !holds(src_items, src)) return false;
  }
  return true;
}

bool ipv4_addresses_pass(const decoded_packet& packet, const filter_settings& filters) {
  if (!filters.src_ipv6.empty() || !filters.dst_ipv6.empty()) return false;
  if (filters.src_ip.empty() && filters.dst_ip.empty()) return true;
  return addresses_pass(
      filters.src_ip, filters.dst_ip, load_le32(packet.ip.bytes.data() + IPV4_SOURCE_OFFSET),
      load_le32(packet.ip.bytes.data() + IPV4_DESTINATION_OFFSET), filters.track_replies);
}

bool ipv6_addresses_pass(const decoded_packet& packet, const filter_settings& filters) {
  if (!filters.src_ip.empty() || !filters.dst_ip.empty()) return false;
  if (filters.src_ipv6.empty() && filters.dst_ipv6.empty()) return true;
  return addresses_pass(filters.src_ipv6, filters.dst_ipv6,
                        packet.ip.bytes.data() + IPV6_SOURCE_OFFSET,
                        packet.ip.bytes.data() + IPV6_DESTINATION_OFFSET, filters.track_replies);
}

bool came_through(const decoded_packet& packet, const tunnel_endpoint& endpoint) {
  const size_t size = endpoint.ipv6 ? IPV6_ADDRESS_SIZE : IPV4_ADDRESS_SIZE;
  for (int i = 0; i < packet.tunnels.count; ++i) {
    const encapsulation& layer = packet.tunnels.layers[i];
    if (!tunnel_has_outer_ip(layer.type) || layer.outer_ipv6 != endpoint.ipv6) continue;
    const uint8_t* ip = packet.frame.data() + layer.outer_ip;
    const uint8_t* src = ip + (endpoint.ipv6 ? IPV6_SOURCE_OFFSET : IPV4_SOURCE_OFFSET);
    const uint8_t* dst = ip + (endpoint.ipv6 ? IPV6_DESTINATION_OFFSET : IPV4_DESTINATION_OFFSET);
    if (std::memcmp(src, endpoint.address, size) == 0 ||
        std::memcmp(dst, endpoint.address, size) == 0) {
      return true;
    }
  }
  return false;
}

bool listed_low_byte(const std::vector<uint64_t>& values, uint8_t field) {
  return std::any_of(values.begin(), values.end(),
                     [field](uint64_t v) { return (v & LOW_BYTE_MASK) == field; });
}

}  // namespace

// decode_packet fills a packet only when its captured bytes reach through both addresses and the
// ICMP identifier, so no check here needs a length of its own.
bool packet_passes_filters(const decoded_packet& packet, const filter_settings& filters) {
  const capture_record& record = *packet.record;
  if (filters.min_size > record.wire_len) return false;
  if (!filters.frames.empty() && !filters.frames.contains(record.frame_number)) return false;
  if (!in_time_window(record, filters)) return false;

  const bool addresses_pass =
      packet.ip.ipv6 ? ipv6_addresses_pass(packet, filters) : ipv4_addresses_pass(packet, filters);
  if (!addresses_pass) return false;
  if (filters.tunnel_ip.on && !came_through(packet, filters.tunnel_ip)) return false;

  if (!filters.pattern.on()) return true;
  return match_byte_pattern(packet.frame.data(), static_cast<uint32_t>(packet.frame.size()),
                            filters.pattern);
}

bool packet_passes_icmp_checks(const decoded_packet& packet, const filter_settings& filters) {
  if (filters.icmp_types.empty() && filters.icmp_codes.empty() && filters.icmp_ids.empty())
    return true;
  if (!filters.icmp_types.empty() &&
      !listed_low_byte(filters.icmp_types, packet.icmp[ICMP_TYPE_OFFSET])) {
    return false;
  }
  if (!filters.icmp_codes.empty() &&
      !listed_low_byte(filters.icmp_codes, packet.icmp[ICMP_CODE_OFFSET])) {
    return false;
  }
  if (!filters.icmp_ids.empty() &&
      !filters.icmp_ids.contains(load_be16(packet.icmp.data() + ICMP_ID_OFFSET))) {
    return false;
  }
  return true;
}

}  // namespace nelo
