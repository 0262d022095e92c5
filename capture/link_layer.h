// The link layers nelo reads: each strips its own header and names the network protocol behind
// it by EtherType, so nothing after the network header knows which link layer carried it.
// Adding a link type is one small function and one row in the table of link_layer.cpp.
#ifndef NELO_CAPTURE_LINK_LAYER_H_
#define NELO_CAPTURE_LINK_LAYER_H_

#include <cstdint>

#include "report/packet.h"

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

// Where the network header of a frame starts and what it is.
struct link_header {
  uint32_t network_offset = 0;
  uint16_t ether_type = 0;  // ETHERTYPE_IPV4, ETHERTYPE_IPV6 or whatever the link layer named
  uint8_t vlan_count = 0;
  uint16_t vlan_ids[MAX_VLAN_TAGS] = {};
};

// True for the link types whose frames nelo decodes.
bool link_type_decoded(uint32_t link_type);

// Strips the link header of `record`. False for a link type nelo does not decode and for a
// frame whose captured bytes do not hold the whole link header; reads nothing past them.
bool strip_link_header(const capture_record& record, link_header& link);

}  // namespace nelo

#endif  // NELO_CAPTURE_LINK_LAYER_H_
