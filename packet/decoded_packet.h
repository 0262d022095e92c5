// One decoded ICMP or ICMPv6 message with its layers: the link layer as far as the report shows
// it, the IP header that carries the message, the ICMP header and the payload. Every layer is a
// byte span of its own, so no stage computes one layer's place from another's: the payload may
// lie in the frame, or in a buffer the decoder owns (a payload no single frame holds), and the
// stages after the decoder read it the same way. The spans are valid as long as the record and
// any buffer of the decoder they point into.
#ifndef NELO_PACKET_DECODED_PACKET_H_
#define NELO_PACKET_DECODED_PACKET_H_

#include <cstdint>
#include <span>
#include <string_view>

#include "packet/capture_record.h"
#include "packet/protocol_fields.h"

namespace nelo {

using byte_span = std::span<const uint8_t>;

// What the link layer carried that the report shows: the VLAN ids of a tagged frame.
struct link_layer_tags {
  uint8_t vlan_count = 0;
  uint16_t vlan_ids[MAX_VLAN_TAGS] = {};
};

// The IP header that carries the ICMP message (the innermost one of a tunnelled message), from its
// first byte to the end of the captured bytes; the decoder only makes one whose bytes reach through
// the addresses and the hop limit.
struct ip_layer {
  byte_span bytes;
  bool ipv6 = false;
};

// The encapsulations a message travelled through. Those with an outer IP header are the
// tunnels a report names; MPLS, PPPoE and Cisco MetaData carry none.
enum class tunnel_type : uint8_t {
  ipip,   // IPv4 inside IPv4 or IPv6
  ip6ip,  // IPv6 inside IPv4 or IPv6
  gre,
  erspan,  // in GRE, named alone
  vxlan,
  geneve,
  gtpu,
  mplsudp,  // an MPLS stack in UDP
  teredo,
  mpls,
  pppoe,
  cisco_metadata,
};

// The name a report gives each tunnel type, the same in the line and in JSON.
inline constexpr std::string_view TUNNEL_TYPE_NAMES[] = {"ipip",   "ip6ip",  "gre",   "erspan",
                                                         "vxlan",  "geneve", "gtpu",  "mplsudp",
                                                         "teredo", "mpls",   "pppoe", "cmd"};

constexpr std::string_view tunnel_type_name(tunnel_type type) {
  return TUNNEL_TYPE_NAMES[static_cast<uint8_t>(type)];
}

constexpr bool tunnel_has_outer_ip(tunnel_type type) {
  return type < tunnel_type::mpls;
}

// One encapsulation, placed by offsets into the frame, so that a copy of the frame carries it
// unchanged.
struct encapsulation {
  uint32_t outer_ip;  // the IP header in front of it (only for those with an outer IP header)
  uint32_t header;    // its own header: for MPLS the first label, for PPPoE the session header
  uint32_t key;       // of GRE version 0, when has_key
  uint32_t id;        // VNI, TEID, ERSPAN session or PPPoE session, when has_id
  tunnel_type type;
  bool outer_ipv6;
  bool has_key;
  bool has_id;
  uint8_t labels;  // of an MPLS stack, from `header` on
};

// The most encapsulations opened in one frame; VLAN tags are counted apart.
inline constexpr int ENCAPSULATIONS_MAX = 8;

// Outermost first; only the first `count` layers are set.
struct encapsulation_path {
  uint8_t count = 0;
  encapsulation layers[ENCAPSULATIONS_MAX];
};

// How a message that arrived in fragments was put together; empty for a message in one frame.
struct fragment_trail {
  std::span<const uint64_t> frames;  // of the fragments, in the order they arrived
  // The same frames whole, each with its record, when the run writes the frames of its messages
  // (-write_capture); else empty. For a datagram inside a reassembled one, the frames of each
  // outer datagram in turn.
  std::span<const capture_record> frame_records;
  bool overlap = false;     // a fragment brought other bytes for a place already filled
  bool oversized = false;   // the fragments reached past the largest datagram, and were cut there
  bool incomplete = false;  // given up before every fragment came: the payload stops at a gap
};

struct decoded_packet {
  const capture_record* record = nullptr;
  byte_span frame;  // every captured byte of the frame, link header included
  link_layer_tags link;
  encapsulation_path tunnels;
  ip_layer ip;
  // The ICMP header as far as captured (at most its 8 bytes); the decoder only makes one whose
  // bytes reach through the identifier.
  byte_span icmp;
  // The headers in front of the payload (link, IP and ICMP) as far as captured: what a header
  // dump shows, the payload's dump offsets following on from its size.
  byte_span headers;
  byte_span payload;  // the ICMP payload behind the 8-byte header; empty when none was captured
  fragment_trail fragments;
};

}  // namespace nelo

#endif  // NELO_PACKET_DECODED_PACKET_H_
