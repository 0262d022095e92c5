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

constexpr uint32_t PPP_PROTOCOL_SIZE = 2;
constexpr uint8_t PPP_ADDRESS = 0xFF;
constexpr uint8_t PPP_CONTROL = 0x03;
constexpr uint16_t PPP_IPV4 = 0x0021;
constexpr uint16_t PPP_IPV6 = 0x0057;

constexpr uint32_t C_HDLC_HEADER_SIZE = 4;
constexpr uint32_t C_HDLC_TYPE_OFFSET = 2;

constexpr uint8_t IP_VERSION_4 = 4;
constexpr uint8_t IP_VERSION_6 = 6;

using strip_function = bool (*)(const uint8_t* frame, uint32_t len, link_header& link);

bool strip_sll(const uint8_t* frame, uint32_t len, link_header& link) {
  if (len < SLL_HEADER_SIZE) return false;
  link.ether_type = load_be16(frame + SLL_PROTOCOL_OFFSET);
  link.network_offset = SLL_HEADER_SIZE;
  return true;
}

bool strip_sll2(const uint8_t* frame, uint32_t len, link_header& link) {
  if (len < SLL2_HEADER_SIZE) return false;
  link.ether_type = load_be16(frame + SLL2_PROTOCOL_OFFSET);
  link.network_offset = SLL2_HEADER_SIZE;
  return true;
}

// The IP version nibble names the protocol; the network header is the frame's first byte.
bool strip_raw(const uint8_t* frame, uint32_t len, link_header& link) {
  if (len < 1) return false;
  const uint8_t version = frame[0] >> 4;
  if (version == IP_VERSION_4) {
    link.ether_type = ETHERTYPE_IPV4;
  } else if (version == IP_VERSION_6) {
    link.ether_type = ETHERTYPE_IPV6;
  } else {
    return false;
  }
  link.network_offset = 0;
  return true;
}

bool strip_ipv4(const uint8_t*, uint32_t, link_header& link) {
  link.ether_type = ETHERTYPE_IPV4;
  link.network_offset = 0;
  return true;
}

bool strip_ipv6(const uint8_t*, uint32_t, link_header& link) {
  link.ether_type = ETHERTYPE_IPV6;
  link.network_offset = 0;
  return true;
}

bool family_to_ether_type(uint32_t family, link_header& link) {
  if (family == BSD_AF_INET) {
    link.ether_type = ETHERTYPE_IPV4;
  } else if (family == BSD_AF_INET6_NETBSD || family == BSD_AF_INET6_FREEBSD ||
             family == BSD_AF_INET6_DARWIN) {
    link.ether_type = ETHERTYPE_IPV6;
  } else {
    return false;
  }
  link.network_offset = NULL_HEADER_SIZE;
  return true;
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
  if (protocol == PPP_IPV4) {
    link.ether_type = ETHERTYPE_IPV4;
  } else if (protocol == PPP_IPV6) {
    link.ether_type = ETHERTYPE_IPV6;
  } else {
    return false;
  }
  link.network_offset = at + PPP_PROTOCOL_SIZE;
  return true;
}

bool strip_c_hdlc(const uint8_t* frame, uint32_t len, link_header& link) {
  if (len < C_HDLC_HEADER_SIZE) return false;
  link.ether_type = load_be16(frame + C_HDLC_TYPE_OFFSET);
  link.network_offset = C_HDLC_HEADER_SIZE;
  return true;
}

struct link_layer {
  uint32_t link_type;
  strip_function strip;
};

constexpr link_layer LINK_LAYERS[] = {
    {LINKTYPE_ETHERNET, strip_ethernet}, {LINKTYPE_LINUX_SLL2, strip_sll2},
    {LINKTYPE_LINUX_SLL, strip_sll},     {LINKTYPE_RAW, strip_raw},
    {LINKTYPE_IPV4, strip_ipv4},         {LINKTYPE_IPV6, strip_ipv6},
    {LINKTYPE_NULL, strip_null},         {LINKTYPE_LOOP, strip_loop},
    {LINKTYPE_PPP, strip_ppp},           {LINKTYPE_PPP_HDLC, strip_ppp},
    {LINKTYPE_C_HDLC, strip_c_hdlc},
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
