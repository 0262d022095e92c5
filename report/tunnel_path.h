// The tunnels a message came through as the report line, CSV and the summary name them, and a
// memo of the last path written, since a capture's tunnelled messages mostly share their tunnels.
#ifndef NELO_REPORT_TUNNEL_PATH_H_
#define NELO_REPORT_TUNNEL_PATH_H_

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "packet/decoded_packet.h"
#include "packet/protocol_fields.h"
#include "report/address_text.h"

namespace nelo {

// The separator between tunnels, and a whole path.
inline constexpr size_t TUNNEL_PATH_SEPARATOR_MAX = 3;
inline constexpr size_t TUNNEL_PATH_MAX =
    ENCAPSULATIONS_MAX *
    (TUNNEL_PATH_SEPARATOR_MAX + ENCAPSULATION_NAME_MAX + 1 + 2 * IPV6_TEXT_MAX + 1);

// Writes the tunnels of `packet` that have an outer IP header, outermost first, as the report
// line names them after "via": "vxlan 10.99.0.1>10.99.0.2 / gre 2001:db8::1>2001:db8::2";
// nothing when there is none. At most TUNNEL_PATH_MAX bytes; returns the end.
char* put_tunnel_path(char* p, const decoded_packet& packet);

// The path text of the last message written, with what it was made from: comparing a tunnel's
// outer addresses costs a fraction of writing them as text, IPv6 ones above all.
class tunnel_path_memo {
 public:
  // Writes what put_tunnel_path writes for `packet`; returns the end.
  char* put(char* p, const decoded_packet& packet) {
    if (!holds(packet)) remember(packet);
    std::memcpy(p, m_text, m_size);
    return p + m_size;
  }

 private:
  // What the text of one tunnel with an outer IP header depends on. The source and destination
  // lie side by side in both IP versions, so they are compared as one.
  struct tunnel_ends {
    const encapsulation_kind* kind;
    bool ipv6;
    uint8_t addresses[2 * IPV6_ADDRESS_SIZE];
  };

  static_assert(IPV4_DESTINATION_OFFSET == IPV4_SOURCE_OFFSET + IPV4_ADDRESS_SIZE &&
                IPV6_DESTINATION_OFFSET == IPV6_SOURCE_OFFSET + IPV6_ADDRESS_SIZE);
  static const uint8_t* addresses_of(const decoded_packet& packet, const encapsulation& layer) {
    return outer_addresses(packet, layer).source;
  }

  bool holds(const decoded_packet& packet) const {
    const tunnel_ends* ends = m_ends;
    const tunnel_ends* const ends_end = m_ends + m_count;
    for (int i = 0; i < packet.tunnels.count; ++i) {
      const encapsulation& layer = packet.tunnels.layers[i];
      if (!layer.kind->outer_ip) continue;
      if (ends == ends_end || ends->kind != layer.kind || ends->ipv6 != layer.outer_ipv6) {
        return false;
      }
      const uint8_t* addresses = addresses_of(packet, layer);
      // Sizes known here, so that each compare is a few loads rather than a call.
      if (layer.outer_ipv6 ? std::memcmp(ends->addresses, addresses, 2 * IPV6_ADDRESS_SIZE) != 0
                           : std::memcmp(ends->addresses, addresses, 2 * IPV4_ADDRESS_SIZE) != 0) {
        return false;
      }
      ++ends;
    }
    return ends == ends_end;
  }

  void remember(const decoded_packet& packet);

  tunnel_ends m_ends[ENCAPSULATIONS_MAX];
  // Before any message: the path of tunnels none of which has an outer IP header, whose text is
  // empty.
  int m_count = 0;
  size_t m_size = 0;
  char m_text[TUNNEL_PATH_MAX];
};

}  // namespace nelo

#endif  // NELO_REPORT_TUNNEL_PATH_H_
