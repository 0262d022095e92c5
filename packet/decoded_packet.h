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
#include "support/wire.h"

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

// How the reports describe one kind of encapsulation a message travelled through. The kinds are
// described in the decoder's table of encapsulations, with how each is found and opened, and a
// decoded layer points at its kind there. Those with an outer IP header are the tunnels a report
// names with their addresses; MPLS, PPPoE and Cisco MetaData carry none.
struct encapsulation_kind {
  std::string_view name;    // the same in the line, JSON and CSV
  bool outer_ip = false;    // an IP header in front of it
  std::string_view id_key;  // the JSON key of its id (VNI, TEID, session), when it has one
  bool pppoe = false;       // its id is the PPPoE session the JSON and CSV show apart
};

// The longest name of a kind.
inline constexpr size_t ENCAPSULATION_NAME_MAX = 7;

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

// What every output form writes of a message itself, read once by the decoder as it finds the
// message, since the filters select by them; the name tables take the type and code as they are.
// Addresses are copied out of the frame (an IPv4 one in the first four bytes), so nothing here
// points into it.
struct message_fields {
  uint8_t type = 0;
  uint8_t code = 0;
  uint8_t hop_limit = 0;
  bool has_id = false;   // the type has an identifier and a sequence number
  bool has_seq = false;  // ... and the sequence number was captured
  // The identifier field, read whatever the type: the identifier filter matches the field.
  uint16_t id = 0;
  uint16_t seq = 0;
  uint8_t source[IPV6_ADDRESS_SIZE] = {};
  uint8_t destination[IPV6_ADDRESS_SIZE] = {};
};

// The datagram an error message quotes, as far as its payload holds it: the protocol, the
// addresses and, for TCP and UDP, the ports of what could not be delivered; for a quoted message
// of the error's own ICMP (a traceroute's probe), its type and, for a type with one, its
// identifier and sequence number. The addresses lie at the fixed places of the quoted header at
// the start of the payload: quoted_addresses finds them.
struct quoted_datagram {
  bool present = false;  // an error whose quoted IP header, of its own IP version, is whole
  uint8_t protocol = 0;
  bool has_ports = false;      // TCP or UDP, with its first 4 bytes captured
  bool has_icmp_type = false;  // ICMP in IPv4 or ICMPv6 in IPv6, with its type captured
  bool has_icmp_id = false;    // ... of a type with an identifier, whose 8 bytes were captured
  uint8_t icmp_type = 0;
  uint16_t source_port = 0;
  uint16_t destination_port = 0;
  uint16_t icmp_id = 0;
  uint16_t icmp_seq = 0;
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
  message_fields message;
  quoted_datagram quoted;
  // What the message says beyond its name; read once the message is kept, so a message the
  // filters drop costs nothing.
  message_details details;
};

// The source and destination of an IP header, in network order.
struct address_pair {
  const uint8_t* source;
  const uint8_t* destination;
};

inline address_pair ip_addresses(const uint8_t* ip, bool ipv6) {
  if (ipv6) return {ip + IPV6_SOURCE_OFFSET, ip + IPV6_DESTINATION_OFFSET};
  return {ip + IPV4_SOURCE_OFFSET, ip + IPV4_DESTINATION_OFFSET};
}

// The addresses of the outer IP header of `layer`, a layer of `packet` with one.
inline address_pair outer_addresses(const decoded_packet& packet, const encapsulation& layer) {
  return ip_addresses(packet.frame.data() + layer.outer_ip, layer.outer_ipv6);
}

// The addresses of the datagram `packet` quotes, when `packet.quoted.present`.
inline address_pair quoted_addresses(const decoded_packet& packet) {
  return ip_addresses(packet.payload.data(), packet.ip.ipv6);
}

// Calls `fn` with each MPLS label `packet` came through, outermost stack and label first. The
// decoder placed every label it counts inside the captured frame.
template <typename Fn>
void for_each_mpls_label(const decoded_packet& packet, Fn fn) {
  for (int i = 0; i < packet.tunnels.count; ++i) {
    const encapsulation& layer = packet.tunnels.layers[i];
    const uint8_t* entry = packet.frame.data() + layer.header;
    for (int label = 0; label < layer.labels; ++label, entry += MPLS_LABEL_ENTRY_SIZE) {
      fn(load_be32(entry) >> MPLS_LABEL_SHIFT);
    }
  }
}

// The PPPoE session `packet` came through, or null.
inline const encapsulation* pppoe_layer(const decoded_packet& packet) {
  for (int i = 0; i < packet.tunnels.count; ++i) {
    if (packet.tunnels.layers[i].kind->pppoe) {
      return &packet.tunnels.layers[i];
    }
  }
  return nullptr;
}

}  // namespace nelo

#endif  // NELO_PACKET_DECODED_PACKET_H_
