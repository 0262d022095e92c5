#include "capture/packet_handler.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <initializer_list>

#include "capture/encapsulation.h"
#include "capture/filters.h"
#include "capture/link_layer.h"
#include "capture/message_details.h"
#include "capture/payload_pipeline.h"
#include "capture/quoted_datagram.h"
#include "report/icmp_types.h"
#include "report/payload_digest.h"
#include "report/sink_set.h"
#include "support/wire.h"

namespace nelo {

namespace {

// The last IPv4 field read is the destination address; the last fixed IPv6 one likewise.
constexpr uint32_t IPV4_FIELDS_END = IPV4_DESTINATION_OFFSET + 4;
constexpr uint32_t IPV6_FIELDS_END = IPV6_DESTINATION_OFFSET + 16;
constexpr uint32_t IPV4_TOTAL_LENGTH_AT = 2;
constexpr uint32_t IPV4_IDENTIFICATION_AT = 4;
constexpr uint16_t IPV4_MORE_FRAGMENTS = 0x2000;
// The flags and offset of any fragment, the first included.
constexpr uint16_t IPV4_FRAGMENTED = IPV4_MORE_FRAGMENTS | IPV4_FRAGMENT_OFFSET_MASK;
constexpr uint32_t IPV4_FRAGMENT_UNIT = 8;
constexpr uint32_t IPV6_PAYLOAD_LENGTH_AT = 4;

// IPv6 extension headers that may stand between the fixed header and what it carries; the
// authentication header may stand behind an IPv4 header too.
constexpr uint8_t IPV6_HOP_BY_HOP = 0;
constexpr uint8_t IPV6_ROUTING = 43;
constexpr uint8_t IPV6_FRAGMENT = 44;
constexpr uint8_t IP_AUTHENTICATION = 51;
constexpr uint8_t IPV6_DESTINATION_OPTIONS = 60;
constexpr uint32_t IPV6_FRAGMENT_HEADER_SIZE = 8;
constexpr uint32_t IPV6_FRAGMENT_OFFSET_AT = 2;
constexpr uint32_t IPV6_FRAGMENT_ID_AT = 4;
constexpr uint16_t IPV6_FRAGMENT_OFFSET_MASK = 0xFFF8;
constexpr uint16_t IPV6_MORE_FRAGMENTS = 0x0001;

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
constexpr std::initializer_list<uint8_t> IPV6_EXTENSION_HEADERS = {
    IPV6_HOP_BY_HOP, IPV6_ROUTING, IPV6_FRAGMENT, IP_AUTHENTICATION, IPV6_DESTINATION_OPTIONS};
constexpr std::array<bool, 256> IPV6_WALKED =
    make_walked(IP_PROTOCOL_ICMPV6, IPV6_EXTENSION_HEADERS);

constexpr std::array<bool, 256> IPV6_EXTENSIONS = [] {
  std::array<bool, 256> protocols{};
  for (const uint8_t protocol : IPV6_EXTENSION_HEADERS) protocols[protocol] = true;
  return protocols;
}();

bool leads_somewhere(const std::array<bool, 256>& walked, uint8_t protocol) {
  return walked[protocol] || ENCAPSULATION_IP_PROTOCOL_ROWS[protocol] != 0;
}

// UDP leads somewhere only from or to a port that names an encapsulation.
bool udp_leads_somewhere(const uint8_t* frame, uint32_t incl_len, uint32_t udp) {
  if (incl_len < udp + UDP_HEADER_SIZE) return false;
  return port_names_encapsulation(load_be16(frame + udp)) ||
         port_names_encapsulation(load_be16(frame + udp + 2));
}

// How the decoder meets fragments: as a reader without reassembly would (a first fragment is
// read as if it were whole, the others dropped), gathered into whole datagrams, or refused (a
// datagram just made whole that calls itself a fragment again).
enum class fragment_mode : uint8_t { first_only, gather, refuse };

// What reading an IP header found.
enum class ip_step : uint8_t { failed, carried, fragment };

// Fills in `fragment` what any fragment of a datagram says about it; false when it shows no
// protocol that may lead to ICMP. Only a first fragment shows UDP's ports: one whose ports
// name no encapsulation is marked unread, so the rest of its datagram is dropped as it comes.
bool may_lead_to_icmp(const uint8_t* frame, uint32_t incl_len, const std::array<bool, 256>& walked,
                      ip_fragment& fragment) {
  if (!leads_somewhere(walked, fragment.protocol)) return false;
  if (fragment.protocol == IP_PROTOCOL_UDP && fragment.offset == 0 &&
      fragment.length >= UDP_HEADER_SIZE) {
    fragment.unread = !udp_leads_somewhere(frame, incl_len, fragment.header_end);
  }
  return true;
}

// The IPv4 fragment whose header is at `ip`, into `fragment`. Its data is what the total length
// claims, as far as captured: an Ethernet trailer is no part of it.
bool ipv4_fragment(const uint8_t* frame, uint32_t incl_len, uint32_t ip, ip_fragment& fragment) {
  const uint8_t* header = frame + ip;
  const uint32_t header_size = (header[0] & 0x0Fu) * 4;
  const uint32_t total = load_be16(header + IPV4_TOTAL_LENGTH_AT);
  if (header_size < 20 || total < header_size || incl_len < ip + header_size) return false;
  const uint16_t flags = load_be16(header + IPV4_FRAGMENT_OFFSET);
  fragment = {};
  fragment.key[0] = 4;
  fragment.key[1] = header[IPV4_PROTOCOL_OFFSET];
  std::copy_n(header + IPV4_IDENTIFICATION_AT, 2, fragment.key.begin() + 2);
  std::copy_n(header + IPV4_SOURCE_OFFSET, 2 * IPV4_ADDRESS_SIZE, fragment.key.begin() + 6);
  fragment.header_end = ip + header_size;
  fragment.length = std::min(ip + total, incl_len) - fragment.header_end;
  fragment.claimed = ip + total - fragment.header_end;
  fragment.offset = (flags & IPV4_FRAGMENT_OFFSET_MASK) * IPV4_FRAGMENT_UNIT;
  fragment.data_max = IP_DATAGRAM_MAX - header_size;
  fragment.protocol = header[IPV4_PROTOCOL_OFFSET];
  fragment.more = (flags & IPV4_MORE_FRAGMENTS) != 0;
  return may_lead_to_icmp(frame, incl_len, IPV4_WALKED, fragment);
}

// The IPv6 fragment whose Fragment header is at `at` behind the IPv6 header at `ip`.
bool ipv6_fragment(const uint8_t* frame, uint32_t incl_len, uint32_t ip, uint32_t at,
                   ip_fragment& fragment) {
  const uint8_t* ext = frame + at;
  const uint32_t header_end = at + IPV6_FRAGMENT_HEADER_SIZE;
  const uint32_t end = ip + IPV6_HEADER_SIZE + load_be16(frame + ip + IPV6_PAYLOAD_LENGTH_AT);
  // The headers in front of the Fragment header stay in every fragment; they count against the
  // largest payload too.
  const uint32_t unfragmentable = at - ip - IPV6_HEADER_SIZE;
  if (end < header_end || unfragmentable > IP_DATAGRAM_MAX) return false;
  fragment = {};
  fragment.key[0] = 6;
  std::copy_n(ext + IPV6_FRAGMENT_ID_AT, 4, fragment.key.begin() + 2);
  std::copy_n(frame + ip + IPV6_SOURCE_OFFSET, 2 * IPV6_ADDRESS_SIZE, fragment.key.begin() + 6);
  const uint16_t offset_flags = load_be16(ext + IPV6_FRAGMENT_OFFSET_AT);
  fragment.header_end = header_end;
  fragment.length = std::min(end, incl_len) - header_end;
  fragment.claimed = end - header_end;
  fragment.offset = offset_flags & IPV6_FRAGMENT_OFFSET_MASK;
  fragment.data_max = IP_DATAGRAM_MAX - unfragmentable;
  fragment.protocol = ext[0];
  fragment.more = (offset_flags & IPV6_MORE_FRAGMENTS) != 0;
  return may_lead_to_icmp(frame, incl_len, IPV6_WALKED, fragment);
}

// Walks the authentication headers that may follow an IPv4 header, from `next`, setting `next`
// to what they carry. False for a chain too long or not captured.
bool ipv4_extensions(const uint8_t* frame, uint32_t incl_len, next_header& next) {
  uint8_t protocol = static_cast<uint8_t>(next.protocol);
  uint32_t at = next.offset;
  for (int walked = 0; protocol == IP_AUTHENTICATION; ++walked) {
    if (walked == IPV6_EXTENSION_HEADERS_MAX || incl_len < at + 2) return false;
    protocol = frame[at];
    at += (frame[at + 1] + 2u) * 4;
  }
  next = {carrier::ip_protocol, protocol, 0, at};
  return true;
}

// The protocol behind the IPv4 header at `next.offset`, past any authentication headers, set
// into `next`; or the fragment it is, set into `fragment`. Failed when the fields read are not
// captured, for a chain of authentication headers too long or not captured, and for a fragment
// that cannot lead to ICMP; without reassembly, for a fragment other than the first (a later
// fragment continues the payload of the first and carries no header of its own).
ip_step ipv4_payload(const uint8_t* frame, uint32_t incl_len, next_header& next, fragment_mode mode,
                     ip_fragment& fragment) {
  const uint32_t ip = next.offset;
  if (incl_len < ip + IPV4_FIELDS_END) return ip_step::failed;
  const uint8_t* header = frame + ip;
  const uint16_t flags = load_be16(header + IPV4_FRAGMENT_OFFSET);
  if (mode != fragment_mode::first_only && (flags & IPV4_FRAGMENTED) != 0) {
    if (mode == fragment_mode::refuse) return ip_step::failed;
    return ipv4_fragment(frame, incl_len, ip, fragment) ? ip_step::fragment : ip_step::failed;
  }
  if ((flags & IPV4_FRAGMENT_OFFSET_MASK) != 0) return ip_step::failed;
  const uint8_t protocol = header[IPV4_PROTOCOL_OFFSET];
  // The IHL is taken as it stands, even below 5, in front of ICMP: the header position follows
  // the formula. Nothing else is looked for inside a header too short to be one.
  const uint32_t ihl = header[0] & 0x0F;
  if (protocol != IP_PROTOCOL_ICMP && ihl < 5) return ip_step::failed;
  next = {carrier::ip_protocol, protocol, 0, ip + ihl * 4};
  return ipv4_extensions(frame, incl_len, next) ? ip_step::carried : ip_step::failed;
}

// Walks the IPv6 extension headers from `next`, behind the IPv6 header at `ip`, setting `next`
// to what they carry; or meets a Fragment header that `mode` gathers, set into `fragment`.
// Failed for a chain that runs past the captured bytes or is too long, and for a fragment that
// `mode` does not read.
ip_step ipv6_extensions(const uint8_t* frame, uint32_t incl_len, uint32_t ip, next_header& next,
                        fragment_mode mode, ip_fragment& fragment) {
  auto protocol = static_cast<uint8_t>(next.protocol);
  uint32_t at = next.offset;
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
        return ip_step::carried;
    }
    if (walked == IPV6_EXTENSION_HEADERS_MAX || incl_len < at + 2) return ip_step::failed;
    const uint8_t* ext = frame + at;
    if (protocol == IP_AUTHENTICATION) {
      size = (ext[1] + 2u) * 4;
    } else if (protocol == IPV6_FRAGMENT) {
      if (incl_len < at + IPV6_FRAGMENT_HEADER_SIZE) return ip_step::failed;
      const uint16_t offset_flags = load_be16(ext + IPV6_FRAGMENT_OFFSET_AT);
      const bool first = (offset_flags & IPV6_FRAGMENT_OFFSET_MASK) == 0;
      // An atomic fragment (the first and the last at once) is a whole datagram.
      const bool whole = first && (offset_flags & IPV6_MORE_FRAGMENTS) == 0;
      if (mode == fragment_mode::first_only ? !first : !whole) {
        if (mode != fragment_mode::gather) return ip_step::failed;
        return ipv6_fragment(frame, incl_len, ip, at, fragment) ? ip_step::fragment
                                                                : ip_step::failed;
      }
      size = IPV6_FRAGMENT_HEADER_SIZE;
    } else {
      size = (ext[1] + 1u) * 8;
    }
    if (incl_len < at + size) return ip_step::failed;
    protocol = ext[0];
    at += size;
  }
}

ip_step ipv6_payload(const uint8_t* frame, uint32_t incl_len, next_header& next, fragment_mode mode,
                     ip_fragment& fragment) {
  const uint32_t ip = next.offset;
  if (incl_len < ip + IPV6_FIELDS_END) return ip_step::failed;
  const uint8_t protocol = frame[ip + IPV6_NEXT_HEADER_OFFSET];
  next = {carrier::ip_protocol, protocol, 0, ip + static_cast<uint32_t>(IPV6_HEADER_SIZE)};
  // Most IPv6 headers carry their payload straight behind them: no chain to walk.
  if (!IPV6_EXTENSIONS[protocol]) return ip_step::carried;
  return ipv6_extensions(frame, incl_len, ip, next, mode, fragment);
}

bool names_ip(const next_header& next) {
  return next.by == carrier::ether_type &&
         (next.protocol == ETHERTYPE_IPV4 || next.protocol == ETHERTYPE_IPV6);
}

// Steps over a UDP header in `next` to name its ports. False when it is not captured.
bool step_over_udp(const uint8_t* frame, uint32_t incl_len, next_header& next) {
  if (next.by != carrier::ip_protocol || next.protocol != IP_PROTOCOL_UDP) return true;
  if (incl_len < next.offset + UDP_HEADER_SIZE) return false;
  const uint8_t* udp = frame + next.offset;
  // A length below the header's own (0 for an IPv6 jumbogram) bounds nothing.
  const uint32_t length = load_be16(udp + 4);
  next = {carrier::udp, load_be16(udp + 2), load_be16(udp), next.offset + UDP_HEADER_SIZE,
          length >= UDP_HEADER_SIZE ? next.offset + length : 0};
  return true;
}

// Reads the IP header `next` names into `at` and sets `next` to what it carries, stepping over a
// UDP header to name its ports.
ip_step enter_ip(const uint8_t* frame, uint32_t incl_len, decode_point& at, next_header& next,
                 fragment_mode mode, ip_fragment& fragment) {
  at.ipv6 = next.protocol == ETHERTYPE_IPV6;
  at.ip_offset = next.offset;
  const ip_step step = at.ipv6 ? ipv6_payload(frame, incl_len, next, mode, fragment)
                               : ipv4_payload(frame, incl_len, next, mode, fragment);
  if (step != ip_step::carried) return step;
  return step_over_udp(frame, incl_len, next) ? ip_step::carried : ip_step::failed;
}

// What the walk through a frame found.
enum class located : uint8_t { nothing, icmp, fragment };

// The message is kept only when its identifier, the last field any stage reads, was captured.
located found_icmp(uint32_t incl_len, decode_point& at, const next_header& next) {
  at.icmp_offset = next.offset;
  return incl_len >= at.icmp_offset + ICMP_ID_END ? located::icmp : located::nothing;
}

// ICMP counts only in the IP version that carries it: ICMP in IPv4, ICMPv6 in IPv6.
bool names_icmp(const decode_point& at, const next_header& next) {
  return next.by == carrier::ip_protocol &&
         next.protocol == (at.ipv6 ? IP_PROTOCOL_ICMPV6 : IP_PROTOCOL_ICMP);
}

// Opens the encapsulations from `next` in, up to ENCAPSULATIONS_MAX of them, through the IP
// headers between them, to the first ICMP message or the first fragment; counts a tunnel met
// and not opened into `unopened` when it is given. Out of line: plain traffic never gets here,
// and keeping the loop out of the record path keeps that path as short as it was without it.
[[gnu::noinline]] located locate_through_tunnels(const uint8_t* frame, uint32_t incl_len,
                                                 decode_point& at, next_header next,
                                                 unopened_tally* unopened, fragment_mode mode,
                                                 ip_fragment& fragment) {
  for (;;) {
    if (names_ip(next)) {
      switch (enter_ip(frame, incl_len, at, next, mode, fragment)) {
        case ip_step::failed:
          return located::nothing;
        case ip_step::fragment:
          return located::fragment;
        case ip_step::carried:
          break;
      }
      if (names_icmp(at, next)) return found_icmp(incl_len, at, next);
    }
    if (!may_be_encapsulation(next)) return located::nothing;
    if (at.path.count == ENCAPSULATIONS_MAX) {
      // One more that would open is a frame too deep to decode, which the end of the file says.
      encapsulation beyond{};
      unopened_tunnel ignored = unopened_tunnel::none;
      if (unopened != nullptr &&
          open_encapsulation(frame, incl_len, next, beyond, ignored) == open_result::opened) {
        unopened->count(unopened_tunnel::too_deep);
      }
      return located::nothing;
    }
    encapsulation& layer = at.path.layers[at.path.count];
    layer = {};
    layer.outer_ip = at.ip_offset;
    layer.outer_ipv6 = at.ipv6;
    layer.header = next.offset;
    unopened_tunnel kind = unopened_tunnel::none;
    switch (open_encapsulation(frame, incl_len, next, layer, kind)) {
      case open_result::opened:
        ++at.path.count;
        // Every IP layer inside a tunnel is read as the outermost one is.
        if (mode == fragment_mode::refuse) mode = fragment_mode::gather;
        break;
      case open_result::unopened:
      case open_result::damaged:
        if (unopened != nullptr) unopened->count(kind);
        return located::nothing;
      case open_result::not_open:
        return located::nothing;
    }
  }
}

// Goes on from `next` through the encapsulations, as the run's context has it read: without one,
// as without reassembly and counting no tunnel.
located walk_on(const capture_record& record, decode_point& at, const next_header& next,
                packet_ctx* ctx, ip_fragment& fragment) {
  if (ctx == nullptr) {
    return locate_through_tunnels(record.bytes, record.captured_len, at, next, nullptr,
                                  fragment_mode::first_only, fragment);
  }
  const fragment_mode mode =
      ctx->filters->reassemble ? fragment_mode::gather : fragment_mode::first_only;
  return locate_through_tunnels(record.bytes, record.captured_len, at, next, &ctx->unopened, mode,
                                fragment);
}

// Walks the frame from its network header in, through IP headers and the encapsulations they
// carry, up to the first ICMP message in the IP version of the header in front of it, or the
// first fragment the run gathers. Almost every record is IP whose protocol leads neither to ICMP
// nor to a tunnel, and whole ICMP straight behind an IPv4 header is most of the rest: both are
// settled here with a few reads. An outer IP header that is neither a fragment nor followed by
// extension headers is read here too, so the walk starts behind it; anything else is walked
// from the network header.
located locate_icmp(const capture_record& record, decode_point& at, packet_ctx* ctx,
                    ip_fragment& fragment) {
  if (!strip_link_header(record, at.link)) return located::nothing;
  const uint8_t* frame = record.bytes;
  const uint32_t incl_len = record.captured_len;
  const uint32_t ip = at.link.network_offset;
  if (at.link.ether_type == ETHERTYPE_IPV4) {
    if (incl_len < ip + IPV4_FIELDS_END) return located::nothing;
    const uint8_t* header = frame + ip;
    const uint8_t protocol = header[IPV4_PROTOCOL_OFFSET];
    if (protocol != IP_PROTOCOL_ICMP && !leads_somewhere(IPV4_WALKED, protocol)) {
      return located::nothing;
    }
    const bool fragmented = (load_be16(header + IPV4_FRAGMENT_OFFSET) & IPV4_FRAGMENTED) != 0;
    // The IHL is taken as it stands, even below 5, in front of ICMP: the header position follows
    // the formula.
    const uint32_t ihl = header[0] & 0x0Fu;
    const uint32_t behind = ip + ihl * 4;
    if (protocol == IP_PROTOCOL_ICMP && !fragmented) {
      at.ip_offset = ip;
      at.icmp_offset = behind;
      return incl_len >= behind + ICMP_ID_END ? located::icmp : located::nothing;
    }
    if (!fragmented && protocol != IP_AUTHENTICATION) {
      // A fragment holds no UDP ports of its own until its datagram is whole.
      if (protocol == IP_PROTOCOL_UDP && !udp_leads_somewhere(frame, incl_len, behind)) {
        return located::nothing;
      }
      // Nothing but ICMP is looked for behind a header too short to be one (see ipv4_payload).
      if (ihl < 5) return located::nothing;
      at.ip_offset = ip;
      next_header next{carrier::ip_protocol, protocol, 0, behind};
      // A UDP header was found captured above.
      step_over_udp(frame, incl_len, next);
      return walk_on(record, at, next, ctx, fragment);
    }
  } else if (at.link.ether_type == ETHERTYPE_IPV6) {
    if (incl_len < ip + IPV6_FIELDS_END) return located::nothing;
    const uint8_t protocol = frame[ip + IPV6_NEXT_HEADER_OFFSET];
    const uint32_t behind = ip + IPV6_HEADER_SIZE;
    if (protocol == IP_PROTOCOL_UDP) {
      if (!udp_leads_somewhere(frame, incl_len, behind)) return located::nothing;
    } else if (!leads_somewhere(IPV6_WALKED, protocol)) {
      return located::nothing;
    }
    if (!IPV6_EXTENSIONS[protocol]) {
      at.ipv6 = true;
      at.ip_offset = ip;
      next_header next{carrier::ip_protocol, protocol, 0, behind};
      if (protocol == IP_PROTOCOL_ICMPV6) return found_icmp(incl_len, at, next);
      step_over_udp(frame, incl_len, next);
      return walk_on(record, at, next, ctx, fragment);
    }
  }
  return walk_on(record, at, {carrier::ether_type, at.link.ether_type, 0, ip}, ctx, fragment);
}

// Walks a whole datagram on from its fragmentable part, as the decoder would have walked it in
// one frame. Another Fragment header in the same IP layer is refused: a datagram is made whole
// once.
located locate_in_whole(const reassembled_datagram& whole, decode_point& at,
                        unopened_tally* unopened, ip_fragment& fragment) {
  const uint8_t* frame = whole.record.bytes;
  const uint32_t incl_len = whole.record.captured_len;
  next_header next = whole.next;
  const ip_step step =
      at.ipv6
          ? ipv6_extensions(frame, incl_len, at.ip_offset, next, fragment_mode::refuse, fragment)
          : (ipv4_extensions(frame, incl_len, next) ? ip_step::carried : ip_step::failed);
  if (step != ip_step::carried || !step_over_udp(frame, incl_len, next)) return located::nothing;
  if (names_icmp(at, next)) return found_icmp(incl_len, at, next);
  return locate_through_tunnels(frame, incl_len, at, next, unopened, fragment_mode::refuse,
                                fragment);
}

[[gnu::always_inline]] inline void fill_packet(const capture_record& record, const decode_point& at,
                                               decoded_packet& packet) {
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

  // The fields the filters select by; the decoder guarantees the bytes through the identifier.
  message_fields& message = packet.message;
  const uint8_t* ip = record.bytes + at.ip_offset;
  const uint8_t* icmp = record.bytes + at.icmp_offset;
  // Copies of a fixed size, which the compiler makes a move or two rather than a call.
  if (at.ipv6) {
    std::memcpy(message.source, ip + IPV6_SOURCE_OFFSET, IPV6_ADDRESS_SIZE);
    std::memcpy(message.destination, ip + IPV6_DESTINATION_OFFSET, IPV6_ADDRESS_SIZE);
  } else {
    std::memcpy(message.source, ip + IPV4_SOURCE_OFFSET, IPV4_ADDRESS_SIZE);
    std::memcpy(message.destination, ip + IPV4_DESTINATION_OFFSET, IPV4_ADDRESS_SIZE);
  }
  message.hop_limit = ip[at.ipv6 ? IPV6_HOP_LIMIT_OFFSET : IPV4_TTL_OFFSET];
  message.type = icmp[ICMP_TYPE_OFFSET];
  message.code = icmp[ICMP_CODE_OFFSET];
  message.id = load_be16(icmp + ICMP_ID_OFFSET);
  message.has_id = icmp_has_identifier(at.ipv6, message.type);
  message.has_seq = message.has_id && packet.icmp.size() >= ICMP_HEADER_SIZE;
  if (message.has_seq) message.seq = load_be16(icmp + ICMP_ID_END);
}

// What only a kept message needs: what it says beyond its name and what it quotes.
void read_kept_message(decoded_packet& packet) {
  read_message_details(packet);
  if (icmp_quotes_datagram(packet.ip.ipv6, packet.message.type)) read_quoted_datagram(packet);
}

// Filters the decoded `packet`, reads its details, then hands it to the pipeline or writes it.
// Returns 1 when kept.
[[gnu::always_inline]] inline int pass_on(decoded_packet& packet, packet_ctx& ctx) {
  if (!packet_passes_filters(packet, *ctx.filters)) return 0;
  if (!packet_passes_icmp_checks(packet, *ctx.filters)) return 0;
  read_kept_message(packet);
  if (packet.details.damage != extension_damage::none) ctx.extensions.count(packet.details.damage);
  if (ctx.pipeline != nullptr && ctx.pipeline->take(packet)) return 1;
  sink_set& sinks = *ctx.sinks;
  sinks.write_message(packet, digest_payload(packet, sinks.need()));
  return 1;
}

// Reports the message of a datagram made whole, or as far as it came, with how it arrived.
int pass_on_whole(const reassembled_datagram& whole, const decode_point& at, packet_ctx& ctx) {
  decoded_packet packet;
  fill_packet(whole.record, at, packet);
  packet.fragments = {whole.fragments, whole.kept_frames, whole.overlap, whole.oversized,
                      whole.incomplete};
  return pass_on(packet, ctx);
}

// Reports the datagrams just given up, in turn. A fragment inside one of them is not gathered:
// what it belongs to never arrived whole.
int pass_on_given_up(packet_ctx& ctx) {
  int kept = 0;
  for (const std::unique_ptr<reassembled_datagram>& part : ctx.given_up) {
    decode_point at = part->point;
    ip_fragment inner;
    if (locate_in_whole(*part, at, &ctx.unopened, inner) == located::icmp) {
      kept += pass_on_whole(*part, at, ctx);
    }
  }
  ctx.given_up.clear();
  return kept;
}

// Adds a fragment; once its datagram is whole, walks on through it, gathering the fragments of
// inner datagrams in turn (each lies behind one more encapsulation, so this ends). Out of line:
// only fragments come here.
[[gnu::noinline]] int gather(const capture_record& record, const decode_point& at,
                             const ip_fragment& fragment, packet_ctx& ctx) {
  std::unique_ptr<reassembled_datagram> whole =
      ctx.reassembly.add(record, at, fragment, ctx.given_up, 0,
                         ctx.keep_frames ? std::span<const capture_record>(&record, 1)
                                         : std::span<const capture_record>());
  int kept = pass_on_given_up(ctx);
  while (whole != nullptr) {
    decode_point inner_at = whole->point;
    ip_fragment inner;
    switch (locate_in_whole(*whole, inner_at, &ctx.unopened, inner)) {
      case located::nothing:
        return kept;
      case located::icmp:
        return kept + pass_on_whole(*whole, inner_at, ctx);
      case located::fragment:
        // A datagram inside a reassembled one came in the frames of the outer one.
        whole = ctx.reassembly.add(whole->record, inner_at, inner, ctx.given_up, whole->uncounted,
                                   whole->kept_frames);
        kept += pass_on_given_up(ctx);
        break;
    }
  }
  return kept;
}

// Decodes `record` and passes on what it holds: its own message, or the message of the datagram
// it completes.
int handle_record(const capture_record& record, packet_ctx& ctx) {
  decode_point at;
  ip_fragment fragment;
  switch (locate_icmp(record, at, &ctx, fragment)) {
    case located::nothing:
      return 0;
    case located::icmp: {
      decoded_packet packet;
      fill_packet(record, at, packet);
      return pass_on(packet, ctx);
    }
    case located::fragment:
      return gather(record, at, fragment, ctx);
  }
  return 0;
}

// While datagrams wait, every record's time may give some up: their messages come first. Out of
// line, so that a walk with none pending pays one test a record.
[[gnu::noinline]] int handle_while_pending(const capture_record& record, packet_ctx& ctx) {
  int kept = 0;
  if (ctx.reassembly.note_time(record)) {
    // One at a time, so that no more than one given-up datagram is held at once.
    while (ctx.reassembly.give_up_next_expired(ctx.given_up)) kept += pass_on_given_up(ctx);
  }
  return kept + handle_record(record, ctx);
}

}  // namespace

bool decode_packet(const capture_record& record, decoded_packet& packet) {
  decode_point at;
  ip_fragment fragment;
  if (locate_icmp(record, at, nullptr, fragment) != located::icmp) {
    return false;
  }
  fill_packet(record, at, packet);
  read_kept_message(packet);
  return true;
}

int handle_packet(const capture_record& record, packet_ctx* ctx) {
  if (ctx == nullptr) return 0;
  if (ctx->reassembly.pending()) return handle_while_pending(record, *ctx);
  return handle_record(record, *ctx);
}

uint64_t finish_reassembly(packet_ctx& ctx, bool report) {
  // One at a time, so that no more than one given-up datagram is held at once.
  while (ctx.reassembly.give_up_oldest(ctx.given_up)) {
    if (report) {
      pass_on_given_up(ctx);
    } else {
      ctx.given_up.clear();
    }
  }
  return ctx.reassembly.incomplete();
}

}  // namespace nelo
