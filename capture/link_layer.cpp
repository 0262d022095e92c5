#include "capture/link_layer.h"

#include "support/wire.h"

namespace nelo {

namespace {

constexpr uint32_t SLL_HEADER_SIZE = 16;
constexpr uint32_t SLL_PROTOCOL_OFFSET = 14;
constexpr uint32_t SLL2_HEADER_SIZE = 20;
constexpr uint32_t SLL2_PROTOCOL_OFFSET = 0;

constexpr uint32_t NULL_HEADER_SIZE = 4;
// Address families a BSD loopback header carries: AF_INET everywhere, AF_INET6 as the BSDs
// number it (NetBSD and OpenBSD 24, FreeBSD 28, Darwin 30).
constexpr uint32_t BSD_AF_INET = 2;
constexpr uint32_t BSD_AF_INET6_NETBSD = 24;
constexpr uint32_t BSD_AF_INET6_FREEBSD = 28;
constexpr uint32_t BSD_AF_INET6_DARWIN = 30;

constexpr uint32_t C_HDLC_HEADER_SIZE = 4;
constexpr uint32_t C_HDLC_TYPE_OFFSET = 2;

constexpr uint8_t IP_VERSION_4 = 4;
constexpr uint8_t IP_VERSION_6 = 6;

using strip_function = bool (*)(const uint8_t* frame, uint32_t len, link_header& link);

// Where a link header names the network protocol in its own numbering: IPv4 or IPv6 is handed
// on, anything else is not decoded.
bool set_ip_protocol(bool ipv4, bool ipv6, uint32_t network_offset, link_header& link) {
  if (!ipv4 && !ipv6) return false;
  link.ether_type = ipv4 ? ETHERTYPE_IPV4 : ETHERTYPE_IPV6;
  link.network_offset = network_offset;
  return true;
}

// A header of fixed size with the EtherType at a fixed place in it (Linux cooked, Cisco HDLC).
template <uint32_t HEADER_SIZE, uint32_t TYPE_OFFSET>
bool strip_fixed(const uint8_t* frame, uint32_t len, link_header& link) {
  if (len < HEADER_SIZE) return false;
  link.ether_type = load_be16(frame + TYPE_OFFSET);
  link.network_offset = HEADER_SIZE;
  return true;
}

// No link header: the link type alone names the protocol.
template <uint16_t ETHER_TYPE>
bool strip_none(const uint8_t*, uint32_t, link_header& link) {
  link.ether_type = ETHER_TYPE;
  link.network_offset = 0;
  return true;
}

// The IP version nibble names the protocol; the network header is the frame's first byte.
bool strip_raw(const uint8_t* frame, uint32_t len, link_header& link) {
  if (len < 1) return false;
  const uint8_t version = frame[0] >> 4;
  return set_ip_protocol(version == IP_VERSION_4, version == IP_VERSION_6, 0, link);
}

bool family_to_ether_type(uint32_t family, link_header& link) {
  const bool ipv6 = family == BSD_AF_INET6_NETBSD || family == BSD_AF_INET6_FREEBSD ||
                    family == BSD_AF_INET6_DARWIN;
  return set_ip_protocol(family == BSD_AF_INET, ipv6, NULL_HEADER_SIZE, link);
}

// The family is in the byte order of the machine that wrote the capture. Every family value is
// small, so a value with bits in its upper half was written in the other order.
bool strip_null(const uint8_t* frame, uint32_t len, link_header& link) {
  if (len < NULL_HEADER_SIZE) return false;
  uint32_t family = load_le32(frame);
  if ((family & 0xFFFF0000u) != 0) family = load_be32(frame);
  return family_to_ether_type(family, link);
}

bool strip_loop(const uint8_t* frame, uint32_t len, link_header& link) {
  if (len < NULL_HEADER_SIZE) return false;
  return family_to_ether_type(load_be32(frame), link);
}

// PPP, with or without the HDLC-like address and control bytes in front of the protocol.
bool strip_ppp(const uint8_t* frame, uint32_t len, link_header& link) {
  uint32_t at = 0;
  if (len >= 2 && frame[0] == PPP_ADDRESS && frame[1] == PPP_CONTROL) at = 2;
  if (len < at + PPP_PROTOCOL_SIZE) return false;
  const uint16_t protocol = load_be16(frame + at);
  return set_ip_protocol(protocol == PPP_IPV4, protocol == PPP_IPV6, at + PPP_PROTOCOL_SIZE, link);
}

struct link_layer {
  uint32_t link_type;
  strip_function strip;
};

constexpr link_layer LINK_LAYERS[] = {
    {LINKTYPE_ETHERNET, strip_ethernet},
    {LINKTYPE_LINUX_SLL2, strip_fixed<SLL2_HEADER_SIZE, SLL2_PROTOCOL_OFFSET>},
    {LINKTYPE_LINUX_SLL, strip_fixed<SLL_HEADER_SIZE, SLL_PROTOCOL_OFFSET>},
    {LINKTYPE_RAW, strip_raw},
    {LINKTYPE_IPV4, strip_none<ETHERTYPE_IPV4>},
    {LINKTYPE_IPV6, strip_none<ETHERTYPE_IPV6>},
    {LINKTYPE_NULL, strip_null},
    {LINKTYPE_LOOP, strip_loop},
    {LINKTYPE_PPP, strip_ppp},
    {LINKTYPE_PPP_HDLC, strip_ppp},
    {LINKTYPE_C_HDLC, strip_fixed<C_HDLC_HEADER_SIZE, C_HDLC_TYPE_OFFSET>},
};

strip_function find_strip(uint32_t link_type) {
  for (const link_layer& layer : LINK_LAYERS) {
    if (layer.link_type == link_type) return layer.strip;
  }
  return nullptr;
}

}  // namespace

bool link_type_decoded(uint32_t link_type) {
  return find_strip(link_type) != nullptr;
}

bool strip_other_link_header(const capture_record& record, link_header& link) {
  const strip_function strip = find_strip(record.link_type);
  return strip != nullptr && strip(record.bytes, record.captured_len, link);
}

}  // namespace nelo
