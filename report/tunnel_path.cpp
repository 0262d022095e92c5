#include "report/tunnel_path.h"

#include <cstring>
#include <string_view>

#include "report/line_buffer.h"

namespace nelo {

namespace {

constexpr std::string_view TUNNEL_SEPARATOR = " / ";
static_assert(TUNNEL_SEPARATOR.size() <= TUNNEL_PATH_SEPARATOR_MAX);

}  // namespace

char* put_tunnel_path(char* p, const decoded_packet& packet) {
  bool first = true;
  for (int i = 0; i < packet.tunnels.count; ++i) {
    const encapsulation& layer = packet.tunnels.layers[i];
    if (!layer.kind->outer_ip) continue;
    if (!first) p = put_text(p, TUNNEL_SEPARATOR);
    first = false;
    p = put_text(p, layer.kind->name);
    *p++ = ' ';
    const address_pair ends = outer_addresses(packet, layer);
    p += layer.outer_ipv6 ? ipv6_to_text(ends.source, p) : ip_to_text(ends.source, p);
    *p++ = '>';
    p += layer.outer_ipv6 ? ipv6_to_text(ends.destination, p) : ip_to_text(ends.destination, p);
  }
  return p;
}

void tunnel_path_memo::remember(const decoded_packet& packet) {
  m_count = 0;
  for (int i = 0; i < packet.tunnels.count; ++i) {
    const encapsulation& layer = packet.tunnels.layers[i];
    if (!layer.kind->outer_ip) continue;
    tunnel_ends& ends = m_ends[m_count++];
    ends.kind = layer.kind;
    ends.ipv6 = layer.outer_ipv6;
    const size_t size = 2 * (layer.outer_ipv6 ? IPV6_ADDRESS_SIZE : IPV4_ADDRESS_SIZE);
    std::memcpy(ends.addresses, addresses_of(packet, layer), size);
  }
  m_size = static_cast<size_t>(put_tunnel_path(m_text, packet) - m_text);
}

}  // namespace nelo
