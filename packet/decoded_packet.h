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

#include "packet/capture_record.h"
#include "packet/protocol_fields.h"

namespace nelo {

using byte_span = std::span<const uint8_t>;

// What the link layer carried that the report shows: the VLAN ids of a tagged frame.
struct link_layer_tags {
  uint8_t vlan_count = 0;
  uint16_t vlan_ids[MAX_VLAN_TAGS] = {};
};

// The IP header that carries the ICMP message, from its first byte to the end of the captured
// bytes; the decoder only makes one whose bytes reach through the addresses and the hop limit.
struct ip_layer {
  byte_span bytes;
  bool ipv6 = false;
};

struct decoded_packet {
  const capture_record* record = nullptr;
  byte_span frame;  // every captured byte of the frame, link header included
  link_layer_tags link;
  ip_layer ip;
  // The ICMP header as far as captured (at most its 8 bytes); the decoder only makes one whose
  // bytes reach through the identifier.
  byte_span icmp;
  // The headers in front of the payload (link, IP and ICMP) as far as captured: what a header
  // dump shows, the payload's dump offsets following on from its size.
  byte_span headers;
  byte_span payload;  // the ICMP payload behind the 8-byte header; empty when none was captured
};

}  // namespace nelo

#endif  // NELO_PACKET_DECODED_PACKET_H_
