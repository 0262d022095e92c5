// The link layers nelo reads: each strips its own header and names the network protocol behind
// it by EtherType, so nothing after the network header knows which link layer carried it.
// Adding a link type is one small function and one row in the table of link_layer.cpp.
#ifndef NELO_CAPTURE_LINK_LAYER_H_
#define NELO_CAPTURE_LINK_LAYER_H_

#include <cstdint>

#include "packet/capture_record.h"
#include "packet/protocol_fields.h"
#include "support/wire.h"

namespace nelo {

// Link types as capture files number them.
inline constexpr uint32_t LINKTYPE_NULL = 0;
inline constexpr uint32_t LINKTYPE_ETHERNET = 1;
inline constexpr uint32_t LINKTYPE_PPP = 9;
inline constexpr uint32_t LINKTYPE_PPP_HDLC = 50;
inline constexpr uint32_t LINKTYPE_RAW = 101;
inline constexpr uint32_t LINKTYPE_C_HDLC = 104;
inline constexpr uint32_t LINKTYPE_LOOP = 108;
inline constexpr uint32_t LINKTYPE_LINUX_SLL = 113;
inline constexpr uint32_t LINKTYPE_IPV4 = 228;
inline constexpr uint32_t LINKTYPE_IPV6 = 229;
inline constexpr uint32_t LINKTYPE_LINUX_SLL2 = 276;

// PPP, as a link type and inside tunnels: the HDLC-like address and control bytes that may stand
// in front of the protocol, and the protocols nelo reads.
inline constexpr uint8_t PPP_ADDRESS = 0xFF;
inline constexpr uint8_t PPP_CONTROL = 0x03;
inline constexpr uint16_t PPP_IPV4 = 0x0021;
inline constexpr uint16_t PPP_IPV6 = 0x0057;
inline constexpr uint32_t PPP_PROTOCOL_SIZE = 2;

// Where the network header of a frame starts and what it is.
struct link_header {
  uint32_t network_offset = 0;
  uint16_t ether_type = 0;  // ETHERTYPE_IPV4, ETHERTYPE_IPV6 or whatever the link layer named
  uint8_t vlan_count = 0;
  uint16_t vlan_ids[MAX_VLAN_TAGS] = {};
};

// True for the link types whose frames nelo decodes.
bool link_type_decoded(uint32_t link_type);

inline constexpr uint32_t ETHERNET_HEADER_SIZE = 14;
inline constexpr uint32_t ETHERNET_TYPE_OFFSET = 12;
inline constexpr uint32_t VLAN_TAG_SIZE = 4;
inline constexpr uint16_t VLAN_ID_MASK = 0x0FFF;
inline constexpr uint16_t ETHERTYPE_VLAN = 0x8100;
inline constexpr uint16_t ETHERTYPE_QINQ = 0x88A8;
inline constexpr uint16_t ETHERTYPE_QINQ_OLD = 0x9100;

inline bool is_vlan_tag(uint16_t ether_type) {
  return ether_type == ETHERTYPE_VLAN || ether_type == ETHERTYPE_QINQ ||
         ether_type == ETHERTYPE_QINQ_OLD;
}

// Ethernet II with up to MAX_VLAN_TAGS tags in front of the EtherType.
inline bool strip_ethernet(const uint8_t* frame, uint32_t len, link_header& link) {
  if (len < ETHERNET_HEADER_SIZE) return false;
  uint32_t type_at = ETHERNET_TYPE_OFFSET;
  uint16_t ether_type = load_be16(frame + type_at);
  while (is_vlan_tag(ether_type)) {
    // A tag: 2 bytes of tag control (the VLAN id in its low 12 bits), then the next EtherType.
    if (link.vlan_count == MAX_VLAN_TAGS || len < type_at + 2 + VLAN_TAG_SIZE) return false;
    link.vlan_ids[link.vlan_count++] = load_be16(frame + type_at + 2) & VLAN_ID_MASK;
    type_at += VLAN_TAG_SIZE;
    ether_type = load_be16(frame + type_at);
  }
  link.ether_type = ether_type;
  link.network_offset = type_at + 2;
  return true;
}

// Strips the link header of a record of any link type but Ethernet (see strip_link_header).
bool strip_other_link_header(const capture_record& record, link_header& link);

// Strips the link header of `record`. False for a link type nelo does not decode and for a
// frame whose captured bytes do not hold the whole link header; reads nothing past them.
// Ethernet is inline: it is almost every record of almost every capture.
inline bool strip_link_header(const capture_record& record, link_header& link) {
  if (record.link_type == LINKTYPE_ETHERNET) {
    return strip_ethernet(record.bytes, record.captured_len, link);
  }
  return strip_other_link_header(record, link);
}

}  // namespace nelo

#endif  // NELO_CAPTURE_LINK_LAYER_H_
