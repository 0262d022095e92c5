#include "report/quoted_datagram.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "helpers/pcap_builder.h"

namespace nelo {
namespace {

using testing::bytes;

// An IPv4 header saying it is `ihl` words long (20 bytes at least are there) carrying `protocol`
// from 10.0.0.1 to 10.0.0.2, then `rest`.
bytes quoted_ipv4(uint8_t ihl, uint8_t protocol, const bytes& rest) {
  bytes header = {static_cast<uint8_t>(0x40 | ihl),
                  0,
                  0,
                  0,
                  0,
                  0,
                  0,
                  0,
                  64,
                  protocol,
                  0,
                  0,
                  10,
                  0,
                  0,
                  1,
                  10,
                  0,
                  0,
                  2};
  header.resize(std::max<size_t>(ihl * 4u, header.size()), 0);
  header.insert(header.end(), rest.begin(), rest.end());
  return header;
}

// The quoted header is read only when it was captured whole, and its ports only when the four
// bytes behind a header of sound length were.
TEST(QuotedDatagram, HeaderAndPortsAreReadOnlyAsFarAsCaptured) {
  const bytes ports = {0x14, 0xe9, 0x00, 0x35};  // 5353 to 53
  const bytes bare = quoted_ipv4(5, 17, {});
  bytes other_version = quoted_ipv4(5, 17, ports);
  other_version[0] = 0x65;
  const struct {
    const char* name;
    bytes payload;
    bool read;
    bool has_ports;
  } rows[] = {
      {"UDP with its ports", quoted_ipv4(5, 17, ports), true, true},
      {"TCP behind options", quoted_ipv4(6, 6, ports), true, true},
      {"a header of exactly 20 bytes", bare, true, false},
      {"a header cut by one byte", bytes(bare.begin(), bare.end() - 1), false, false},
      {"ports cut by one byte", quoted_ipv4(5, 17, {0x14, 0xe9, 0x00}), true, false},
      {"a protocol without ports", quoted_ipv4(5, 1, ports), true, false},
      {"a header length below the fixed header", quoted_ipv4(4, 17, ports), true, false},
      {"another IP version", other_version, false, false},
  };
  const uint8_t a[4] = {192, 0, 2, 1}, b[4] = {192, 0, 2, 2};
  for (const auto& r : rows) {
    const testing::decoded_frame f(testing::ipv4_icmp_frame(a, b, 3, 3, 0, r.payload), 0,
                                   record_time::shown, 0);
    quoted_datagram quoted;
    ASSERT_EQ(read_quoted_datagram(f.packet, quoted), r.read) << r.name;
    if (!r.read) continue;
    EXPECT_EQ(quoted.has_ports, r.has_ports) << r.name;
    EXPECT_EQ(quoted.source[3], 1) << r.name;
    EXPECT_EQ(quoted.destination[3], 2) << r.name;
    if (r.has_ports) {
      EXPECT_EQ(quoted.source_port, 5353) << r.name;
      EXPECT_EQ(quoted.destination_port, 53) << r.name;
    }
  }
}

}  // namespace
}  // namespace nelo
