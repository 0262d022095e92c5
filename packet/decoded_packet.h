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
#include "packet/message_details.h"
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

// How the reports describe one kind of encapsulation a message travelled through. Each kind is
// one row below, and a decoded layer points at its row, so a new encapsulation is its opening
// function and one row here. Those with an outer IP header are the tunnels a report names with
// their addresses; MPLS, PPPoE and Cisco MetaData carry none.
struct encapsulation_kind {
  std::string_view name;    // the same in the line, JSON and CSV
  bool outer_ip;            // an IP header in front of it
  std::string_view id_key;  // the JSON key of its id (VNI, TEID, session), when it has one
};

// The longest name of a kind.
inline constexpr size_t ENCAPSULATION_NAME_MAX = 7;

namespace encapsulation_kinds {
inline constexpr encapsulation_kind IPIP{"ipip", true, {}};    // IPv4 inside IPv4 or IPv6
inline constexpr encapsulation_kind IP6IP{"ip6ip", true, {}};  // IPv6 inside IPv4 or IPv6
inline constexpr encapsulation_kind GRE{"gre", true, {}};
inline constexpr encapsulation_kind ERSPAN{"erspan", true, "session"};  // in GRE, named alone
inline constexpr encapsulation_kind VXLAN{"vxlan", true, "vni"};
inline constexpr encapsulation_kind GENEVE{"geneve", true, "vni"};
inline constexpr encapsulation_kind GTPU{"gtpu", true, "teid"};
inline constexpr encapsulation_kind MPLSUDP{"mplsudp", true, {}};  // an MPLS stack in UDP
inline constexpr encapsulation_kind TEREDO{"teredo", true, {}};
inline constexpr encapsulation_kind MPLS{"mpls", false, {}};
inline constexpr encapsulation_kind PPPOE{"pppoe", false, "session"};
inline constexpr encapsulation_kind CISCO_METADATA{"cmd", false, {}};

inline constexpr const encapsulation_kind* ALL[] = {&IPIP,   &IP6IP,  &GRE,   &ERSPAN,
                                                    &VXLAN,  &GENEVE, &GTPU,  &MPLSUDP,
                                                    &TEREDO, &MPLS,   &PPPOE, &CISCO_METADATA};
}  // namespace encapsulation_kinds

static_assert([] {
  for (const encapsulation_kind* kind : encapsulation_kinds::ALL) {
    if (kind->name.size() > ENCAPSULATION_NAME_MAX) return false;
  }
  return true;
}());

// One encapsulation, placed by offsets into the frame, so that a copy of the frame carries it
// unchanged.
struct encapsulation {
  uint32_t outer_ip;  // the IP header in front of it (only for those with an outer IP header)
  uint32_t header;    // its own header: for MPLS the first label, for PPPoE the session header
  uint32_t key;       // of GRE version 0, when has_key
  uint32_t id;        // VNI, TEID, ERSPAN session or PPPoE session, when has_id
  const encapsulation_kind* kind;
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
  // What the message says beyond its name; read once the message is kept, so a message the
  // filters drop costs nothing.
  message_details details;
};

}  // namespace nelo

#endif  // NELO_PACKET_DECODED_PACKET_H_
