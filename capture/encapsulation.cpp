#include "capture/encapsulation.h"

#include <array>
#include <string_view>

#include "capture/link_layer.h"
#include "support/wire.h"

namespace nelo {

namespace {

// Protocol types that GRE and Geneve give in EtherType numbering.
constexpr uint16_t ETHERTYPE_TRANSPARENT_BRIDGING = 0x6558;
constexpr uint16_t ETHERTYPE_PPP = 0x880B;
constexpr uint16_t ETHERTYPE_ERSPAN_1_2 = 0x88BE;
constexpr uint16_t ETHERTYPE_ERSPAN_3 = 0x22EB;
constexpr uint16_t ETHERTYPE_PPPOE_SESSION = 0x8864;
constexpr uint16_t ETHERTYPE_CISCO_METADATA = 0x8909;
constexpr uint16_t ETHERTYPE_NSH = 0x894F;

constexpr uint8_t IP_PROTOCOL_IPV4 = 4;
constexpr uint8_t IP_PROTOCOL_IPV6 = 41;
constexpr uint8_t IP_PROTOCOL_GRE = 47;
constexpr uint8_t IP_PROTOCOL_ESP = 50;
constexpr uint8_t IP_PROTOCOL_PIM = 103;
constexpr uint8_t IP_PROTOCOL_L2TP = 115;

constexpr uint16_t PORT_VXLAN = 4789;
constexpr uint16_t PORT_GENEVE = 6081;
constexpr uint16_t PORT_GTP_U = 2152;
constexpr uint16_t PORT_MPLS_UDP = 6635;
constexpr uint16_t PORT_TEREDO = 3544;
constexpr uint16_t PORT_L2TP = 1701;
constexpr uint16_t PORT_GTP_PRIME = 3386;
constexpr uint16_t PORT_CAPWAP_CONTROL = 5246;
constexpr uint16_t PORT_CAPWAP_DATA = 5247;
constexpr uint16_t PORT_LISP = 4341;
constexpr uint16_t PORT_AYIYA = 5072;

constexpr uint8_t IP_VERSION_4 = 4;
constexpr uint8_t IP_VERSION_6 = 6;

// GRE: flags and version in the first two bytes, then the protocol type (RFC 2784, 2890; the
// routing field of RFC 1701; version 1 is PPTP's, RFC 2637).
constexpr uint32_t GRE_BASE_SIZE = 4;
constexpr uint32_t GRE_FIELD_SIZE = 4;
constexpr uint16_t GRE_CHECKSUM = 0x8000;
constexpr uint16_t GRE_ROUTING = 0x4000;
constexpr uint16_t GRE_KEY = 0x2000;
constexpr uint16_t GRE_SEQUENCE = 0x1000;
constexpr uint16_t GRE_ACKNOWLEDGEMENT = 0x0080;
constexpr uint16_t GRE_VERSION_MASK = 0x0007;
constexpr uint32_t GRE_SRE_HEADER_SIZE = 4;

constexpr uint32_t ERSPAN_2_HEADER_SIZE = 8;
constexpr uint32_t ERSPAN_3_HEADER_SIZE = 12;
constexpr uint32_t ERSPAN_3_PLATFORM_SIZE = 8;
constexpr uint32_t ERSPAN_SESSION_AT = 2;
constexpr uint16_t ERSPAN_SESSION_MASK = 0x03FF;
constexpr uint32_t ERSPAN_3_FLAGS_AT = 10;
constexpr uint16_t ERSPAN_3_PLATFORM_FLAG = 0x0001;

constexpr uint32_t VXLAN_HEADER_SIZE = 8;
constexpr uint8_t VXLAN_VNI_VALID = 0x08;
constexpr uint32_t VNI_AT = 4;  // VXLAN and Geneve alike

constexpr uint32_t GENEVE_BASE_SIZE = 8;
constexpr uint8_t GENEVE_OPTIONS_MASK = 0x3F;
constexpr uint32_t GENEVE_PROTOCOL_AT = 2;

constexpr uint32_t GTP_U_BASE_SIZE = 8;
constexpr uint32_t GTP_U_OPTIONAL_SIZE = 4;
constexpr uint8_t GTP_VERSION_1 = 1;
constexpr uint8_t GTP_G_PDU = 255;
constexpr uint8_t GTP_OPTIONAL_FLAGS = 0x07;  // E, S and PN: any brings the 4 optional bytes
constexpr uint8_t GTP_EXTENSION_FLAG = 0x04;
constexpr uint32_t GTP_TEID_AT = 4;
constexpr uint32_t GTP_NEXT_EXTENSION_AT = 11;
// A chain longer than this is not a GTP-U header a sender would write.
constexpr int GTP_EXTENSIONS_MAX = 16;

constexpr uint16_t TEREDO_AUTHENTICATION = 0x0001;
constexpr uint16_t TEREDO_ORIGIN = 0x0000;
constexpr uint32_t TEREDO_AUTHENTICATION_FIXED =
    4 + 8 + 1;  // indicator, lengths; nonce; confirmation
constexpr uint32_t TEREDO_ORIGIN_SIZE = 8;

constexpr uint32_t PPPOE_HEADER_SIZE = 6;
constexpr uint8_t PPPOE_VERSION_TYPE = 0x11;
constexpr uint8_t PPPOE_SESSION_DATA = 0x00;
constexpr uint32_t PPPOE_SESSION_AT = 2;

constexpr uint32_t CISCO_METADATA_SIZE = 6;  // version, length, option type, tag
constexpr uint32_t ETHERTYPE_SIZE = 2;

// An Ethernet pseudowire's control word starts with four zero bits (RFC 4385); what starts
// otherwise behind a label stack is IP by its version, or a channel nelo does not read.
constexpr uint32_t PW_CONTROL_WORD_SIZE = 4;
constexpr uint8_t PW_CONTROL_WORD_NIBBLE = 0;

// The ERSPAN version each GRE protocol type carries.
constexpr uint8_t ERSPAN_2_VERSION = 1;
constexpr uint8_t ERSPAN_3_VERSION = 2;

constexpr uint32_t VXLAN_RESERVED_AT = 7;
constexpr uint8_t GTP_PROTOCOL_TYPE = 0x10;  // GTP, not GTP'
constexpr uint32_t GTP_LENGTH_AT = 2;

constexpr uint32_t IPV4_MIN_HEADER_SIZE = 20;
constexpr uint32_t IPV4_TOTAL_LENGTH_AT = 2;
constexpr uint32_t IPV4_TTL_AT = 8;
constexpr uint32_t IPV6_PAYLOAD_LENGTH_AT = 4;
constexpr uint32_t IPV6_HOP_LIMIT_AT = 7;

constexpr uint8_t PIM_TYPE_MASK = 0x0F;
constexpr uint8_t PIM_REGISTER = 1;

uint32_t load_be24(const uint8_t* p) {
  return (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2];
}

open_result to_ether_type(uint16_t ether_type, uint32_t offset, next_header& at) {
  at = {carrier::ether_type, ether_type, 0, offset};
  return open_result::opened;
}

// An IP header at `offset` that a sender could have written inside a datagram ending at `end`
// (0: unbounded): its length fits, its header is whole and its hop limit has not run out. What
// is not captured far enough to tell is left to the decoder, which reads nothing it lacks.
bool plausible_ip(const uint8_t* frame, uint32_t len, uint32_t offset, uint32_t end) {
  if (len <= offset) return true;
  const uint32_t room = end > offset ? end - offset : (end == 0 ? UINT32_MAX : 0);
  const uint8_t version = frame[offset] >> 4;
  if (version == IP_VERSION_4) {
    if (len < offset + IPV4_MIN_HEADER_SIZE) return true;
    const uint32_t header = (frame[offset] & 0x0Fu) * 4;
    const uint32_t total = load_be16(frame + offset + IPV4_TOTAL_LENGTH_AT);
    return header >= IPV4_MIN_HEADER_SIZE && total >= header && total <= room &&
           frame[offset + IPV4_TTL_AT] != 0;
  }
  if (version == IP_VERSION_6) {
    if (len < offset + IPV6_HEADER_SIZE) return true;
    const uint32_t total = IPV6_HEADER_SIZE + load_be16(frame + offset + IPV6_PAYLOAD_LENGTH_AT);
    return total <= room && frame[offset + IPV6_HOP_LIMIT_AT] != 0;
  }
  return false;
}

// Opens IP of the version `ether_type` names at `offset` when it is plausible (see above).
open_result to_plausible_ip(const uint8_t* frame, uint32_t len, uint16_t ether_type,
                            uint32_t offset, uint32_t end, next_header& at) {
  if (!plausible_ip(frame, len, offset, end)) return open_result::damaged;
  return to_ether_type(ether_type, offset, at);
}

// An Ethernet frame inside a tunnel, stripped like a top-level one; its VLAN tags are not the
// frame's and are not kept. Inside a tunnel opened by port (`end` set), the IP it carries must
// be plausible.
open_result inner_ethernet(const uint8_t* frame, uint32_t len, uint32_t offset, next_header& at,
                           uint32_t end = 0) {
  link_header inner;
  if (offset > len || !strip_ethernet(frame + offset, len - offset, inner)) {
    return open_result::not_open;
  }
  const uint32_t network = offset + inner.network_offset;
  if (end != 0 && (inner.ether_type == ETHERTYPE_IPV4 || inner.ether_type == ETHERTYPE_IPV6)) {
    return to_plausible_ip(frame, len, inner.ether_type, network, end, at);
  }
  return to_ether_type(inner.ether_type, network, at);
}

// A header that carries IP without naming its version; `unknown` is what any other version is.
open_result inner_ip(const uint8_t* frame, uint32_t len, uint32_t offset, next_header& at,
                     uint32_t end, open_result unknown) {
  if (len <= offset) return open_result::not_open;
  const uint8_t version = frame[offset] >> 4;
  if (version == IP_VERSION_4) return to_plausible_ip(frame, len, ETHERTYPE_IPV4, offset, end, at);
  if (version == IP_VERSION_6) return to_plausible_ip(frame, len, ETHERTYPE_IPV6, offset, end, at);
  return unknown;
}

open_result open_ipv4_inside(const uint8_t*, uint32_t, next_header& at, encapsulation&) {
  return to_ether_type(ETHERTYPE_IPV4, at.offset, at);
}

open_result open_ipv6_inside(const uint8_t*, uint32_t, next_header& at, encapsulation&) {
  return to_ether_type(ETHERTYPE_IPV6, at.offset, at);
}

// The size of a GRE header with the fields its flags announce, 0 when it is not captured whole,
// or UINT32_MAX when its flags are not those of any GRE version. Sets the key of version 0.
uint32_t gre_header_size(const uint8_t* frame, uint32_t len, uint32_t h, uint16_t flags,
                         encapsulation& layer) {
  uint32_t size = GRE_BASE_SIZE;
  switch (flags & GRE_VERSION_MASK) {
    case 0:
      if ((flags & (GRE_CHECKSUM | GRE_ROUTING)) != 0) size += GRE_FIELD_SIZE;
      if ((flags & GRE_KEY) != 0) {
        if (len < h + size + GRE_FIELD_SIZE) return 0;
        layer.key = load_be32(frame + h + size);
        layer.has_key = true;
        size += GRE_FIELD_SIZE;
      }
      if ((flags & GRE_SEQUENCE) != 0) size += GRE_FIELD_SIZE;
      if ((flags & GRE_ROUTING) != 0) {
        // Source route entries up to the empty one; each is at least its 4-byte header, so the
        // captured bytes bound the walk.
        for (;;) {
          if (len < h + size + GRE_SRE_HEADER_SIZE) return 0;
          const uint8_t* sre = frame + h + size;
          const uint16_t family = load_be16(sre);
          const uint8_t length = sre[3];
          size += GRE_SRE_HEADER_SIZE + length;
          if (family == 0 && length == 0) break;
        }
      }
      break;
    case 1:
      // PPTP: the key (payload length and call id) is always there.
      if ((flags & GRE_KEY) == 0) return UINT32_MAX;
      size += GRE_FIELD_SIZE;
      if ((flags & GRE_SEQUENCE) != 0) size += GRE_FIELD_SIZE;
      if ((flags & GRE_ACKNOWLEDGEMENT) != 0) size += GRE_FIELD_SIZE;
      break;
    default:
      return UINT32_MAX;
  }
  return len < h + size ? 0 : size;
}

// PPP in GRE and PPPoE: the protocol may be compressed to one byte, as the peers agree; in GRE
// the address and control bytes may stand in front of it.
open_result inner_ppp(const uint8_t* frame, uint32_t len, uint32_t offset, next_header& at,
                      bool framed = true) {
  if (framed && len >= offset + 2 && frame[offset] == PPP_ADDRESS &&
      frame[offset + 1] == PPP_CONTROL) {
    offset += 2;
  }
  if (len <= offset) return open_result::not_open;
  uint16_t protocol = frame[offset];
  uint32_t size = 1;
  // A protocol's first byte is even; an odd one is the whole protocol, compressed.
  if ((protocol & 1) == 0) {
    if (len < offset + PPP_PROTOCOL_SIZE) return open_result::not_open;
    protocol = load_be16(frame + offset);
    size = PPP_PROTOCOL_SIZE;
  }
  if (protocol == PPP_IPV4) return to_ether_type(ETHERTYPE_IPV4, offset + size, at);
  if (protocol == PPP_IPV6) return to_ether_type(ETHERTYPE_IPV6, offset + size, at);
  return open_result::not_open;
}

// A kind with an outer IP header, with the JSON key of its id when it has one; and a layer without
// one.
constexpr encapsulation_kind tunnel(std::string_view name, std::string_view id_key = {}) {
  return {name, true, id_key, false};
}
constexpr encapsulation_kind shim(std::string_view name) {
  return {name, false, {}, false};
}

// ERSPAN is found by the protocol type of the GRE header in front, and named alone.
constexpr encapsulation_kind ERSPAN = tunnel("erspan", "session");

open_result open_erspan(const uint8_t* frame, uint32_t len, uint32_t body, uint16_t protocol,
                        bool sequenced, next_header& at, encapsulation& layer) {
  layer.kind = &ERSPAN;
  // Type I has no header of its own: GRE without a sequence number carries the frame.
  if (protocol == ETHERTYPE_ERSPAN_1_2 && !sequenced) return inner_ethernet(frame, len, body, at);
  uint32_t size = protocol == ETHERTYPE_ERSPAN_3 ? ERSPAN_3_HEADER_SIZE : ERSPAN_2_HEADER_SIZE;
  if (len < body + size) return open_result::not_open;
  const uint8_t version = protocol == ETHERTYPE_ERSPAN_3 ? ERSPAN_3_VERSION : ERSPAN_2_VERSION;
  if ((frame[body] >> 4) != version) return open_result::damaged;
  layer.id = load_be16(frame + body + ERSPAN_SESSION_AT) & ERSPAN_SESSION_MASK;
  layer.has_id = true;
  if (protocol == ETHERTYPE_ERSPAN_3 &&
      (load_be16(frame + body + ERSPAN_3_FLAGS_AT) & ERSPAN_3_PLATFORM_FLAG) != 0) {
    size += ERSPAN_3_PLATFORM_SIZE;
  }
  return inner_ethernet(frame, len, body + size, at);
}

open_result open_gre(const uint8_t* frame, uint32_t len, next_header& at, encapsulation& layer) {
  const uint32_t h = at.offset;
  if (len < h + GRE_BASE_SIZE) return open_result::not_open;
  const uint16_t flags = load_be16(frame + h);
  const uint16_t protocol = load_be16(frame + h + 2);
  const uint32_t size = gre_header_size(frame, len, h, flags, layer);
  if (size == 0) return open_result::not_open;
  if (size == UINT32_MAX) return open_result::damaged;
  const uint32_t body = h + size;
  switch (protocol) {
    case ETHERTYPE_TRANSPARENT_BRIDGING:
      return inner_ethernet(frame, len, body, at);
    case ETHERTYPE_PPP:
      return inner_ppp(frame, len, body, at);
    case ETHERTYPE_ERSPAN_1_2:
    case ETHERTYPE_ERSPAN_3:
      return open_erspan(frame, len, body, protocol, (flags & GRE_SEQUENCE) != 0, at, layer);
    case ETHERTYPE_CISCO_METADATA:
      // In GRE the protocol carried comes first, then the metadata.
      if (len < body + ETHERTYPE_SIZE + CISCO_METADATA_SIZE) return open_result::not_open;
      return to_ether_type(load_be16(frame + body), body + ETHERTYPE_SIZE + CISCO_METADATA_SIZE,
                           at);
    default:
      return to_ether_type(protocol, body, at);
  }
}

open_result open_vxlan(const uint8_t* frame, uint32_t len, next_header& at, encapsulation& layer) {
  const uint32_t h = at.offset;
  if (len < h + VXLAN_HEADER_SIZE) return open_result::not_open;
  if ((frame[h] & VXLAN_VNI_VALID) == 0 || frame[h + VXLAN_RESERVED_AT] != 0) {
    return open_result::damaged;
  }
  layer.id = load_be24(frame + h + VNI_AT);
  layer.has_id = true;
  return inner_ethernet(frame, len, h + VXLAN_HEADER_SIZE, at, at.end);
}

open_result open_geneve(const uint8_t* frame, uint32_t len, next_header& at, encapsulation& layer) {
  const uint32_t h = at.offset;
  if (len < h + GENEVE_BASE_SIZE) return open_result::not_open;
  const uint32_t size = GENEVE_BASE_SIZE + (frame[h] & GENEVE_OPTIONS_MASK) * 4u;
  if ((frame[h] >> 6) != 0 || (at.end != 0 && at.end < h + size)) return open_result::damaged;
  layer.id = load_be24(frame + h + VNI_AT);
  layer.has_id = true;
  const uint16_t protocol = load_be16(frame + h + GENEVE_PROTOCOL_AT);
  if (protocol == ETHERTYPE_TRANSPARENT_BRIDGING) {
    return inner_ethernet(frame, len, h + size, at, at.end);
  }
  if (protocol == ETHERTYPE_IPV4 || protocol == ETHERTYPE_IPV6) {
    return to_plausible_ip(frame, len, protocol, h + size, at.end, at);
  }
  return open_result::not_open;
}

open_result open_gtp_u(const uint8_t* frame, uint32_t len, next_header& at, encapsulation& layer) {
  const uint32_t h = at.offset;
  if (len < h + GTP_U_BASE_SIZE) return open_result::not_open;
  const uint8_t flags = frame[h];
  // The length counts what follows the mandatory header, up to the end of the UDP datagram.
  const uint32_t claimed = h + GTP_U_BASE_SIZE + load_be16(frame + h + GTP_LENGTH_AT);
  if ((flags >> 5) != GTP_VERSION_1 || (flags & GTP_PROTOCOL_TYPE) == 0 ||
      (at.end != 0 && claimed != at.end)) {
    return open_result::damaged;
  }
  // Echo and error messages are the tunnel's own control traffic.
  if (frame[h + 1] != GTP_G_PDU) return open_result::not_open;
  layer.id = load_be32(frame + h + GTP_TEID_AT);
  layer.has_id = true;
  uint32_t size = GTP_U_BASE_SIZE;
  if ((flags & GTP_OPTIONAL_FLAGS) != 0) {
    size += GTP_U_OPTIONAL_SIZE;
    if (len < h + size) return open_result::not_open;
    if ((flags & GTP_EXTENSION_FLAG) != 0) {
      // Each extension header gives its length in 4-byte units and ends with the next one's type.
      uint8_t next = frame[h + GTP_NEXT_EXTENSION_AT];
      for (int walked = 0; next != 0; ++walked) {
        if (len <= h + size) return open_result::not_open;
        if (walked == GTP_EXTENSIONS_MAX || frame[h + size] == 0) return open_result::damaged;
        size += frame[h + size] * 4u;
        if (len < h + size) return open_result::not_open;
        next = frame[h + size - 1];
      }
    }
  }
  return inner_ip(frame, len, h + size, at, at.end, open_result::damaged);
}

// A label stack up to its bottom, then IP by its version, or an Ethernet pseudowire behind its
// control word; any other channel is not opened.
open_result open_label_stack(const uint8_t* frame, uint32_t len, next_header& at,
                             encapsulation& layer) {
  const uint32_t h = at.offset;
  for (uint8_t count = 1; count <= MPLS_LABELS_MAX; ++count) {
    const uint32_t end = h + count * MPLS_LABEL_ENTRY_SIZE;
    if (len < end) return open_result::not_open;
    if ((load_be32(frame + end - MPLS_LABEL_ENTRY_SIZE) & MPLS_BOTTOM_OF_STACK) != 0) {
      layer.labels = count;
      if (len > end && (frame[end] >> 4) == PW_CONTROL_WORD_NIBBLE) {
        return inner_ethernet(frame, len, end + PW_CONTROL_WORD_SIZE, at, at.end);
      }
      return inner_ip(frame, len, end, at, at.end, open_result::not_open);
    }
  }
  return open_result::damaged;
}

// IPv6 behind the optional authentication and origin indication headers; anything else on the
// port is a Teredo control message or not Teredo at all.
open_result open_teredo(const uint8_t* frame, uint32_t len, next_header& at, encapsulation&) {
  uint32_t p = at.offset;
  if (len >= p + 4 && load_be16(frame + p) == TEREDO_AUTHENTICATION) {
    p += TEREDO_AUTHENTICATION_FIXED + frame[p + 2] + frame[p + 3];
  }
  if (len >= p + 2 && load_be16(frame + p) == TEREDO_ORIGIN) p += TEREDO_ORIGIN_SIZE;
  if (len <= p || (frame[p] >> 4) != IP_VERSION_6) return open_result::not_open;
  return to_plausible_ip(frame, len, ETHERTYPE_IPV6, p, at.end, at);
}

open_result open_pppoe(const uint8_t* frame, uint32_t len, next_header& at, encapsulation& layer) {
  const uint32_t h = at.offset;
  if (len < h + PPPOE_HEADER_SIZE) return open_result::not_open;
  // Every session frame has code 0; the discovery stage has an EtherType of its own.
  if (frame[h] != PPPOE_VERSION_TYPE || frame[h + 1] != PPPOE_SESSION_DATA) {
    return open_result::damaged;
  }
  layer.id = load_be16(frame + h + PPPOE_SESSION_AT);
  layer.has_id = true;
  return inner_ppp(frame, len, h + PPPOE_HEADER_SIZE, at, false);
}

// In Ethernet the metadata comes first, then the EtherType of what it carries.
open_result open_cisco_metadata(const uint8_t* frame, uint32_t len, next_header& at,
                                encapsulation&) {
  const uint32_t h = at.offset;
  if (len < h + CISCO_METADATA_SIZE + ETHERTYPE_SIZE) return open_result::not_open;
  return to_ether_type(load_be16(frame + h + CISCO_METADATA_SIZE),
                       h + CISCO_METADATA_SIZE + ETHERTYPE_SIZE, at);
}

open_result count_only(const uint8_t*, uint32_t, next_header&, encapsulation&) {
  return open_result::unopened;
}

// PIM carries packets only in a register message; its other messages are routing control.
open_result count_pim_register(const uint8_t* frame, uint32_t len, next_header& at,
                               encapsulation&) {
  if (len <= at.offset || (frame[at.offset] & PIM_TYPE_MASK) != PIM_REGISTER) {
    return open_result::not_open;
  }
  return open_result::unopened;
}

using open_function = open_result (*)(const uint8_t* frame, uint32_t len, next_header& at,
                                      encapsulation& layer);

struct encapsulation_row {
  carrier by;
  uint16_t first;  // the protocol number, or the first of a range of ports
  uint16_t last;
  bool either_port;  // UDP: the source port counts too
  open_function open;
  // How the outputs name what it opens (none for a tunnel that is only counted); a layer opened
  // here points at it.
  encapsulation_kind kind;
  // What a frame it does not decode is counted as: a damaged header, or a tunnel only counted.
  unopened_tunnel not_decoded;
};

using enum carrier;
using enum unopened_tunnel;

// Every encapsulation nelo opens or counts. The first row that matches decides: a UDP tunnel is
// known by its destination port before either port names a tunnel that is only counted.
constexpr encapsulation_row ENCAPSULATIONS[] = {
    {ip_protocol, IP_PROTOCOL_IPV4, IP_PROTOCOL_IPV4, false, open_ipv4_inside, tunnel("ipip"),
     none},
    {ip_protocol, IP_PROTOCOL_IPV6, IP_PROTOCOL_IPV6, false, open_ipv6_inside, tunnel("ip6ip"),
     none},
    {ip_protocol, IP_PROTOCOL_GRE, IP_PROTOCOL_GRE, false, open_gre, tunnel("gre"), damaged_gre},
    {udp, PORT_VXLAN, PORT_VXLAN, false, open_vxlan, tunnel("vxlan", "vni"), damaged_vxlan},
    {udp, PORT_GENEVE, PORT_GENEVE, false, open_geneve, tunnel("geneve", "vni"), damaged_geneve},
    {udp, PORT_GTP_U, PORT_GTP_U, false, open_gtp_u, tunnel("gtpu", "teid"), damaged_gtpu},
    {udp, PORT_MPLS_UDP, PORT_MPLS_UDP, false, open_label_stack, tunnel("mplsudp"), damaged_mpls},
    {udp, PORT_TEREDO, PORT_TEREDO, true, open_teredo, tunnel("teredo"), damaged_teredo},
    {ether_type, ETHERTYPE_MPLS, ETHERTYPE_MPLS_MULTICAST, false, open_label_stack, shim("mpls"),
     damaged_mpls},
    {ether_type,
     ETHERTYPE_PPPOE_SESSION,
     ETHERTYPE_PPPOE_SESSION,
     false,
     open_pppoe,
     {"pppoe", false, "session", true},
     damaged_pppoe},
    {ether_type, ETHERTYPE_CISCO_METADATA, ETHERTYPE_CISCO_METADATA, false, open_cisco_metadata,
     shim("cmd"), none},
    {ip_protocol, IP_PROTOCOL_ESP, IP_PROTOCOL_ESP, false, count_only, {}, esp},
    {ip_protocol, IP_PROTOCOL_L2TP, IP_PROTOCOL_L2TP, false, count_only, {}, l2tp},
    {udp, PORT_L2TP, PORT_L2TP, true, count_only, {}, l2tp},
    {udp, PORT_GTP_PRIME, PORT_GTP_PRIME, true, count_only, {}, gtp_prime},
    {udp, PORT_CAPWAP_CONTROL, PORT_CAPWAP_DATA, true, count_only, {}, capwap},
    {udp, PORT_LISP, PORT_LISP, true, count_only, {}, lisp},
    {udp, PORT_AYIYA, PORT_AYIYA, true, count_only, {}, ayiya},
    {ip_protocol, IP_PROTOCOL_PIM, IP_PROTOCOL_PIM, false, count_pim_register, {}, pim_register},
    {ether_type, ETHERTYPE_NSH, ETHERTYPE_NSH, false, count_only, {}, nsh},
};

static_assert(ERSPAN.name.size() <= ENCAPSULATION_NAME_MAX && [] {
  for (const encapsulation_row& row : ENCAPSULATIONS) {
    if (row.kind.name.size() > ENCAPSULATION_NAME_MAX) return false;
  }
  return true;
}());

bool in_row(const encapsulation_row& row, uint16_t number) {
  return number >= row.first && number <= row.last;
}

bool matches(const encapsulation_row& row, const next_header& at) {
  if (row.by != at.by) return false;
  return in_row(row, at.protocol) || (row.either_port && in_row(row, at.source_port));
}

// The row of each IP protocol, plus one (0: none), so a tunnel behind an IP header is found with
// one lookup.
constexpr std::array<uint8_t, 256> make_ip_protocol_rows() {
  std::array<uint8_t, 256> rows{};
  for (size_t i = std::size(ENCAPSULATIONS); i-- > 0;) {
    const encapsulation_row& row = ENCAPSULATIONS[i];
    if (row.by != carrier::ip_protocol) continue;
    for (uint32_t n = row.first; n <= row.last && n < rows.size(); ++n) {
      rows[n] = static_cast<uint8_t>(i + 1);
    }
  }
  return rows;
}

constexpr std::array<uint64_t, 65536 / 64> make_ports() {
  std::array<uint64_t, 65536 / 64> ports{};
  for (const encapsulation_row& row : ENCAPSULATIONS) {
    if (row.by != carrier::udp) continue;
    for (uint32_t n = row.first; n <= row.last; ++n) ports[n / 64] |= uint64_t{1} << (n % 64);
  }
  return ports;
}

}  // namespace

// Plain traffic is turned away with these before the table is walked.
constexpr std::array<uint8_t, 256> ENCAPSULATION_IP_PROTOCOL_ROWS = make_ip_protocol_rows();
constexpr std::array<uint64_t, 65536 / 64> ENCAPSULATION_PORTS = make_ports();

const char* unopened_tunnel_phrase(unopened_tunnel kind) {
  constexpr const char* PHRASES[] = {"",
                                     "in esp tunnels",
                                     "in l2tp tunnels",
                                     "in gtp-prime tunnels",
                                     "in capwap tunnels",
                                     "in lisp tunnels",
                                     "in ayiya tunnels",
                                     "in pim register tunnels",
                                     "in nsh tunnels",
                                     "with damaged GRE headers",
                                     "with damaged ERSPAN headers",
                                     "with damaged VXLAN headers",
                                     "with damaged Geneve headers",
                                     "with damaged GTP-U headers",
                                     "with damaged MPLS headers",
                                     "with damaged Teredo headers",
                                     "with damaged PPPoE headers",
                                     "beyond 8 encapsulations"};
  static_assert(std::size(PHRASES) == UNOPENED_TUNNEL_KINDS + 1);
  return PHRASES[static_cast<int>(kind)];
}

open_result open_encapsulation(const uint8_t* frame, uint32_t len, next_header& at,
                               encapsulation& layer, unopened_tunnel& kind) {
  const encapsulation_row* found = nullptr;
  if (at.by == carrier::ip_protocol) {
    if (at.protocol < ENCAPSULATION_IP_PROTOCOL_ROWS.size() &&
        ENCAPSULATION_IP_PROTOCOL_ROWS[at.protocol] != 0) {
      found = &ENCAPSULATIONS[ENCAPSULATION_IP_PROTOCOL_ROWS[at.protocol] - 1];
    }
  } else {
    for (const encapsulation_row& row : ENCAPSULATIONS) {
      if (matches(row, at)) {
        found = &row;
        break;
      }
    }
  }
  if (found == nullptr) return open_result::not_open;
  layer.kind = &found->kind;
  const open_result result = found->open(frame, len, at, layer);
  if (result == open_result::unopened || result == open_result::damaged) {
    // ERSPAN is found inside GRE, with no row of its own.
    kind = layer.kind == &ERSPAN ? unopened_tunnel::damaged_erspan : found->not_decoded;
  }
  return result;
}

}  // namespace nelo
