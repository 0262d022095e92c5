// The encapsulations nelo opens between the link layer and the ICMP message: tunnels with an
// outer IP header (IP in IP, GRE and ERSPAN, VXLAN, Geneve, GTP-U, MPLS in UDP, Teredo) and the
// layers that have none (MPLS, PPPoE, Cisco MetaData). Each is recognised by the number the
// header in front of it gives (an EtherType, an IP protocol or a UDP port), checked within the
// captured bytes, and opened to the header it carries. Adding one is one small function and one
// row in the table of encapsulation.cpp. The tunnels nelo meets but does not open (encrypted or
// carrying control traffic) are named, so that a walk can count them.
#ifndef NELO_CAPTURE_ENCAPSULATION_H_
#define NELO_CAPTURE_ENCAPSULATION_H_

#include <array>
#include <cstdint>

#include "packet/decoded_packet.h"

namespace nelo {

// How the header in front names the next one.
enum class carrier : uint8_t { ether_type, ip_protocol, udp };

// The next header of a frame: what names it, and where it starts.
struct next_header {
  carrier by = carrier::ether_type;
  uint16_t protocol = 0;     // the EtherType, the IP protocol, or the UDP destination port
  uint16_t source_port = 0;  // UDP only
  uint32_t offset = 0;
  // Where the datagram that carries it ends by its own length field (UDP), or 0 when no such
  // field bounds it: what a tunnel opened by port carries must fit in it.
  uint32_t end = 0;
};

inline constexpr uint16_t ETHERTYPE_MPLS = 0x8847;
inline constexpr uint16_t ETHERTYPE_MPLS_MULTICAST = 0x8848;
inline constexpr uint32_t UDP_HEADER_SIZE = 8;

// Why a frame met in an encapsulation was not decoded: a tunnel nelo does not open, a header
// nelo opens that is damaged or implausible, or a frame deeper than ENCAPSULATIONS_MAX.
enum class unopened_tunnel : uint8_t {
  none,
  esp,
  l2tp,
  gtp_prime,
  capwap,
  lisp,
  ayiya,
  pim_register,
  nsh,
  damaged_gre,
  damaged_erspan,
  damaged_vxlan,
  damaged_geneve,
  damaged_gtpu,
  damaged_mpls,
  damaged_teredo,
  damaged_pppoe,
  too_deep,
};
inline constexpr int UNOPENED_TUNNEL_KINDS = 17;

// What the end-of-file note says of the frames of the kind: "in esp tunnels", "with damaged GRE
// headers".
const char* unopened_tunnel_phrase(unopened_tunnel kind);

// Frames not decoded, per kind, with the order the kinds were first met in.
struct unopened_tally {
  uint64_t frames[UNOPENED_TUNNEL_KINDS + 1] = {};
  unopened_tunnel order[UNOPENED_TUNNEL_KINDS] = {};
  int met = 0;

  void count(unopened_tunnel kind) {
    if (frames[static_cast<int>(kind)]++ == 0) order[met++] = kind;
  }
};

enum class open_result : uint8_t {
  opened,    // `at` now names the header carried, and the layer says what carried it
  not_open,  // no encapsulation nelo opens, a control message, or a header not captured whole
  unopened,  // a tunnel of a kind nelo does not open
  damaged,   // a header nelo opens that is damaged, or carries what cannot be there
};

// The IP protocols and UDP ports that any encapsulation is known by, made from the table.
// For each IP protocol, the index of its row plus one (0 for none).
extern const std::array<uint8_t, 256> ENCAPSULATION_IP_PROTOCOL_ROWS;
extern const std::array<uint64_t, 65536 / 64> ENCAPSULATION_PORTS;

inline bool port_names_encapsulation(uint16_t port) {
  return (ENCAPSULATION_PORTS[port / 64] >> (port % 64) & 1) != 0;
}

// True when `at` may name an encapsulation: a lookup or two, inline, for the protocols of plain
// traffic, which is almost every record.
inline bool may_be_encapsulation(const next_header& at) {
  switch (at.by) {
    case carrier::ip_protocol:
      return at.protocol < ENCAPSULATION_IP_PROTOCOL_ROWS.size() &&
             ENCAPSULATION_IP_PROTOCOL_ROWS[at.protocol] != 0;
    case carrier::udp:
      return port_names_encapsulation(at.protocol) || port_names_encapsulation(at.source_port);
    case carrier::ether_type:
      break;
  }
  return true;
}

// Opens the encapsulation `at` names in the first `len` bytes of `frame`, reading nothing past
// them. On `opened`, sets `at` to the header inside and the type and identifiers of `layer`
// (its outer_ip and outer_ipv6 are the caller's); on `unopened` and `damaged`, sets `kind`.
open_result open_encapsulation(const uint8_t* frame, uint32_t len, next_header& at,
                               encapsulation& layer, unopened_tunnel& kind);

}  // namespace nelo

#endif  // NELO_CAPTURE_ENCAPSULATION_H_
