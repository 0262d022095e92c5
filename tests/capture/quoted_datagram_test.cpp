#include "capture/quoted_datagram.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "helpers/pcap_builder.h"

namespace nelo {
namespace {

using testing::bytes;
using testing::cat;

// An IPv4 header saying it is `ihl` words long (20 bytes at least are there) carrying `protocol`
// from 10.0.0.1 to 10.0.0.2, then `rest`.
bytes quoted_ipv4(uint8_t ihl, uint8_t protocol, const bytes& rest) {
  bytes header = {static_cast<uint8_t>(0x40 | ihl), 0, 0, 0, 0, 0, 0, 0, 64, protocol, 0, 0};
  header = cat(header, {10, 0, 0, 1, 10, 0, 0, 2});
  header.resize(std::max<size_t>(ihl * 4u, header.size()), 0);
  return cat(header, rest);
}

// An IPv6 header carrying `next` from ::1 to ::2, then `rest`.
bytes quoted_ipv6(uint8_t next, const bytes& rest) {
  bytes header = {0x60, 0, 0, 0, 0, 0, next, 64};
  header.resize(8 + 15, 0);
  header.push_back(1);
  header.resize(8 + 31, 0);
  header.push_back(2);
  return cat(header, rest);
}

// The quoted header is read only when it was captured whole, and its ports, or the type,
// identifier and sequence number of a quoted message of the error's own ICMP, only when their
// bytes behind a header of sound length, and behind IPv6 extension headers, were.
TEST(QuotedDatagram, HeaderAndWhatItCarriesAreReadOnlyAsFarAsCaptured) {
  const bytes ports = {0x14, 0xe9, 0x00, 0x35};       // 5353 to 53
  const bytes echo = {8, 0, 0, 0, 0x37, 0x01, 0, 5};  // identifier 0x3701, sequence 5
  const bytes echo6 = {128, 0, 0, 0, 0x37, 0x01, 0, 5};
  const bytes bare = quoted_ipv4(5, 17, {});
  bytes other_version = quoted_ipv4(5, 17, ports);
  other_version[0] = 0x65;
  const bytes options = {17, 0, 1, 4, 0, 0, 0, 0};     // destination options, then UDP
  const bytes hop_by_hop = {43, 0, 1, 4, 0, 0, 0, 0};  // then routing
  const bytes routing = {6, 0, 0, 0, 0, 0, 0, 0};      // then TCP
  const bytes first_fragment = {17, 0, 0, 1, 0, 0, 0, 9};
  const bytes later_fragment = {17, 0, 0x05, 0xa9, 0, 0, 0, 9};
  const struct {
    const char* name;
    bool ipv6;
    bytes payload;
    bool read;
    int protocol;
    bool has_ports;
    int icmp_type = -1;  // -1: none read
    bool has_icmp_id = false;
  } rows[] = {
      {"UDP with its ports", false, quoted_ipv4(5, 17, ports), true, 17, true},
      {"TCP behind options", false, quoted_ipv4(6, 6, ports), true, 6, true},
      {"a header of exactly 20 bytes", false, bare, true, 17, false},
      {"a header cut by one byte", false, bytes(bare.begin(), bare.end() - 1), false, 0, false},
      {"ports cut by one byte", false, quoted_ipv4(5, 17, {0x14, 0xe9, 0x00}), true, 17, false},
      {"a protocol without ports", false, quoted_ipv4(5, 47, ports), true, 47, false},
      {"an echo request", false, quoted_ipv4(5, 1, echo), true, 1, false, 8, true},
      {"an echo request cut in its sequence number", false,
       quoted_ipv4(5, 1, bytes(echo.begin(), echo.end() - 1)), true, 1, false, 8, false},
      {"ICMPv6 in IPv4", false, quoted_ipv4(5, 58, echo6), true, 58, false},
      {"an ICMP type without identifier", false, quoted_ipv4(5, 1, {3, 3, 0, 0, 0, 0, 0, 0}), true,
       1, false, 3, false},
      {"an IPv6 echo request", true, quoted_ipv6(58, echo6), true, 58, false, 128, true},
      {"a header length below the fixed header", false, quoted_ipv4(4, 17, ports), true, 17, false},
      {"another IP version", false, other_version, false, 0, false},
      {"IPv6 UDP", true, quoted_ipv6(17, ports), true, 17, true},
      {"IPv6 UDP behind destination options", true, quoted_ipv6(60, cat(options, ports)), true, 17,
       true},
      {"IPv6 TCP behind hop-by-hop and routing", true,
       quoted_ipv6(0, cat(cat(hop_by_hop, routing), ports)), true, 6, true},
      {"IPv6 first fragment", true, quoted_ipv6(44, cat(first_fragment, ports)), true, 17, true},
      {"IPv6 later fragment", true, quoted_ipv6(44, cat(later_fragment, ports)), true, 17, false},
      {"IPv6 extension header cut", true,
       quoted_ipv6(60, bytes(options.begin(), options.end() - 1)), true, 60, false},
  };
  const uint8_t a[4] = {192, 0, 2, 1}, b[4] = {192, 0, 2, 2};
  const uint8_t a6[16] = {0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  const uint8_t b6[16] = {0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};
  for (const auto& r : rows) {
    const testing::decoded_frame f(r.ipv6 ? testing::ipv6_icmp_frame(a6, b6, 1, 4, 0, r.payload)
                                          : testing::ipv4_icmp_frame(a, b, 3, 3, 0, r.payload),
                                   0, record_time::shown, 0);
    const quoted_datagram& quoted = f.packet.quoted;
    ASSERT_EQ(quoted.present, r.read) << r.name;
    if (!r.read) continue;
    EXPECT_EQ(quoted.protocol, r.protocol) << r.name;
    EXPECT_EQ(quoted.has_ports, r.has_ports) << r.name;
    const address_pair ends = quoted_addresses(f.packet);
    EXPECT_EQ(ends.source[r.ipv6 ? 15 : 3], 1) << r.name;
    EXPECT_EQ(ends.destination[r.ipv6 ? 15 : 3], 2) << r.name;
    if (r.has_ports) {
      EXPECT_EQ(quoted.source_port, 5353) << r.name;
      EXPECT_EQ(quoted.destination_port, 53) << r.name;
    }
    EXPECT_EQ(quoted.has_icmp_type ? quoted.icmp_type : -1, r.icmp_type) << r.name;
    EXPECT_EQ(quoted.has_icmp_id, r.has_icmp_id) << r.name;
    if (r.has_icmp_id) {
      EXPECT_EQ(quoted.icmp_id, 0x3701) << r.name;
      EXPECT_EQ(quoted.icmp_seq, 5) << r.name;
    }
  }
}

}  // namespace
}  // namespace nelo
