// Packet selection filters, cheapest first: the pattern search runs only for packets that
// passed everything else.
#include "capture/filters.h"

#include <algorithm>
#include <type_traits>

#include "capture/byte_pattern_match.h"
#include "support/wire.h"

namespace nelo {
namespace {

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

// One end's filter, with its IPv4 and IPv6 items: on when either holds an item, and passing an
// address only under an item of the address's own version.
template <typename Address>
bool end_holds(const std::vector<ipv4_prefix>& v4, const std::vector<ipv6_prefix>& v6,
               Address address) {
  if constexpr (std::is_same_v<Address, uint32_t>) {
    return holds(v4, address);
  } else {
    return holds(v6, address);
  }
}

// Without tracked replies each filter looks at its own end of the packet; with them, at either.
template <typename Address>
bool addresses_pass(const filter_settings& filters, Address src, Address dst) {
  const bool src_on = !filters.src_ip.empty() || !filters.src_ipv6.empty();
  const bool dst_on = !filters.dst_ip.empty() || !filters.dst_ipv6.empty();
  auto src_holds = [&](Address a) { return end_holds(filters.src_ip, filters.src_ipv6, a); };
  auto dst_holds = [&](Address a) { return end_holds(filters.dst_ip, filters.dst_ipv6, a); };
  if (filters.track_replies) {
    if (dst_on && !dst_holds(dst) && !dst_holds(src)) return false;
    if (src_on && !src_holds(src) && !src_holds(dst)) return false;
  } else {
    if (dst_on && !dst_holds(dst)) return false;
    if (src_on && !src_holds(src)) return false;
  }
  return true;
}

bool packet_addresses_pass(const decoded_packet& packet, const filter_settings& filters) {
  if (filters.src_ip.empty() && filters.dst_ip.empty() && filters.src_ipv6.empty() &&
      filters.dst_ipv6.empty()) {
    return true;
  }
  const message_fields& message = packet.message;
  if (packet.ip.ipv6) {
    return addresses_pass(filters, +message.source, +message.destination);
  }
  return addresses_pass(filters, load_le32(message.source), load_le32(message.destination));
}

bool came_through(const decoded_packet& packet, const tunnel_endpoints& endpoints) {
  for (int i = 0; i < packet.tunnels.count; ++i) {
    const encapsulation& layer = packet.tunnels.layers[i];
    if (!layer.kind->outer_ip) continue;
    const address_pair ends = outer_addresses(packet, layer);
    if (layer.outer_ipv6) {
      if (holds(endpoints.ipv6, ends.source) || holds(endpoints.ipv6, ends.destination)) {
        return true;
      }
    } else if (holds(endpoints.ipv4, load_le32(ends.source)) ||
               holds(endpoints.ipv4, load_le32(ends.destination))) {
      return true;
    }
  }
  return false;
}

bool in_frame_ranges(const std::vector<frame_range>& ranges, uint64_t frame) {
  // The first range that ends at or after the frame is the only one that can hold it.
  const auto range = std::lower_bound(ranges.begin(), ranges.end(), frame,
                                      [](const frame_range& r, uint64_t f) { return r.last < f; });
  return range != ranges.end() && range->first <= frame;
}

bool listed(const std::vector<icmp_value>& values, uint8_t field, bool ipv6) {
  return std::any_of(values.begin(), values.end(), [field, ipv6](const icmp_value& v) {
    return v.value == field && (ipv6 ? v.icmpv6 : v.icmpv4);
  });
}

}  // namespace

// decode_packet fills a packet only when its captured bytes reach through both addresses and the
// ICMP identifier, so no check here needs a length of its own.
bool selects_messages(const filter_settings& filters) {
  return !filters.reassemble || filters.min_size != 0 || !filters.src_ip.empty() ||
         !filters.dst_ip.empty() || !filters.src_ipv6.empty() || !filters.dst_ipv6.empty() ||
         filters.track_replies || filters.tunnel_ip.on() || !filters.icmpv4 || !filters.icmpv6 ||
         !filters.icmp_types.empty() || !filters.icmp_codes.empty() || !filters.icmp_ids.empty() ||
         !filters.frames.empty() || filters.pattern.on() || filters.pattern_utf16.on() ||
         filters.start_time.ticks != 0 || filters.stop_time.ticks != 0;
}

bool packet_passes_filters(const decoded_packet& packet, const filter_settings& filters) {
  const capture_record& record = *packet.record;
  if (!(packet.ip.ipv6 ? filters.icmpv6 : filters.icmpv4)) return false;
  if (filters.min_size > record.wire_len) return false;
  if (!filters.frames.empty() && !in_frame_ranges(filters.frames, record.frame_number)) {
    return false;
  }
  if (!in_time_window(record, filters)) return false;

  if (!packet_addresses_pass(packet, filters)) return false;
  if (filters.tunnel_ip.on() && !came_through(packet, filters.tunnel_ip)) return false;

  if (!filters.pattern.on()) return true;
  const auto length = static_cast<uint32_t>(packet.frame.size());
  return match_byte_pattern(packet.frame.data(), length, filters.pattern) ||
         (filters.pattern_utf16.on() &&
          match_byte_pattern(packet.frame.data(), length, filters.pattern_utf16));
}

bool packet_passes_icmp_checks(const decoded_packet& packet, const filter_settings& filters) {
  if (filters.icmp_types.empty() && filters.icmp_codes.empty() && filters.icmp_ids.empty())
    return true;
  if (!filters.icmp_types.empty() &&
      !listed(filters.icmp_types, packet.message.type, packet.ip.ipv6)) {
    return false;
  }
  if (!filters.icmp_codes.empty() &&
      !listed(filters.icmp_codes, packet.message.code, packet.ip.ipv6)) {
    return false;
  }
  if (!filters.icmp_ids.empty() && !filters.icmp_ids.contains(packet.message.id)) {
    return false;
  }
  return true;
}

}  // namespace nelo
