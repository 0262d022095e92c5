#include "capture/packet_handler.h"

#include <gtest/gtest.h>

#include "helpers/pcap_builder.h"

namespace nelo {
namespace {

using testing::bytes;

const uint8_t V4_A[4] = {192, 0, 2, 10};
const uint8_t V4_B[4] = {198, 51, 100, 7};
const uint8_t V6_A[16] = {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
const uint8_t V6_B[16] = {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};

bytes record_of(const bytes& frame, int64_t incl_len = -1) {
  bytes r = testing::pcap_record({.frame = frame, .incl_len = incl_len});
  if (incl_len >= 0) r.resize(16 + static_cast<size_t>(incl_len));
  return r;
}

struct position_case {
  const char* name;
  bytes frame;
  int64_t incl_len;
  bool ipv6;
  ptrdiff_t icmp_offset;
  int32_t hdr_len;
  int32_t payload_len;
};

TEST(DecodePacket, FindsTheIcmpHeaderAndPayload) {
  const position_case cases[] = {
      {"ipv4 ihl 5", testing::ipv4_icmp_frame(V4_A, V4_B, 8, 0, 1, bytes(56, 0xaa)), -1, false, 34,
       42, 56},
      {"ipv4 with options", testing::ipv4_icmp_frame(V4_A, V4_B, 8, 0, 1, bytes(10), 64, bytes(4)),
       -1, false, 38, 46, 10},
      {"ipv6", testing::ipv6_icmp_frame(V6_A, V6_B, 128, 0, 1, bytes(56)), -1, true, 54, 62, 56},
      {"ethernet padding counts as payload",
       [] {
         bytes f = testing::ipv4_icmp_frame(V4_A, V4_B, 8, 0, 1, {});
         f.resize(60, 0);
         return f;
       }(),
       -1, false, 34, 42, 18},
      {"capture ends inside the icmp header", testing::ipv4_icmp_frame(V4_A, V4_B, 8, 0, 1, {}), 40,
       false, 34, 40, 0},
      {"ipv6 capture ends after the identifier",
       testing::ipv6_icmp_frame(V6_A, V6_B, 128, 0, 1, {}), 60, true, 54, 60, 0},
  };
  for (const position_case& c : cases) {
    const bytes record = record_of(c.frame, c.incl_len);
    decoded_packet p;
    ASSERT_TRUE(decode_packet(record.data(), p)) << c.name;
    EXPECT_EQ(p.ipv6, c.ipv6) << c.name;
    EXPECT_EQ(p.frame, record.data() + 16) << c.name;
    EXPECT_EQ(p.icmp - p.frame, c.icmp_offset) << c.name;
    EXPECT_EQ(p.hdr_len, c.hdr_len) << c.name;
    EXPECT_EQ(p.payload_len, c.payload_len) << c.name;
    if (c.payload_len > 0) {
      EXPECT_EQ(p.payload - p.frame, c.hdr_len) << c.name;
    }
  }
}

TEST(DecodePacket, DropsEverythingThatIsNotIcmpOnEthernet) {
  bytes vlan = testing::ipv4_icmp_frame(V4_A, V4_B, 8, 0, 1, bytes(8));
  vlan[12] = 0x81;
  vlan[13] = 0x00;
  const struct {
    const char* name;
    bytes frame;
    int64_t incl_len;
  } cases[] = {
      {"tcp over ipv4", testing::ipv4_tcp_frame(V4_A, V4_B), -1},
      {"arp", testing::ether_frame(0x0806, bytes(28)), -1},
      {"vlan tagged icmp", vlan, -1},
      {"icmpv6 behind hop-by-hop options",
       testing::ipv6_icmp_frame(V6_A, V6_B, 128, 0, 1, {}, 64, 0), -1},
      {"ipv4 cut before the identifier", testing::ipv4_icmp_frame(V4_A, V4_B, 8, 0, 1, {}), 39},
      {"ipv6 cut before the identifier", testing::ipv6_icmp_frame(V6_A, V6_B, 128, 0, 1, {}), 59},
      {"ethernet header only", testing::ether_frame(0x0800, {}), -1},
      {"runt", bytes{1, 2, 3}, -1},
      {"ipv4 header length 0 leaves the addresses short",
       [] {
         bytes f = testing::ipv4_icmp_frame(V4_A, V4_B, 8, 0, 1, {});
         f[14] = 0x40;
         return f;
       }(),
       30},
  };
  for (const auto& c : cases) {
    const bytes record = record_of(c.frame, c.incl_len);
    decoded_packet p;
    EXPECT_FALSE(decode_packet(record.data(), p)) << c.name;
  }
}

TEST(HandlePacket, MissingArgumentsAndDroppedPacketsReturnZero) {
  packet_ctx ctx;
  const bytes tcp = record_of(testing::ipv4_tcp_frame(V4_A, V4_B));
  EXPECT_EQ(handle_packet(1, nullptr, &ctx), 0);
  EXPECT_EQ(handle_packet(1, tcp.data(), nullptr), 0);
  EXPECT_EQ(handle_packet(1, tcp.data(), &ctx), 0);
}

}  // namespace
}  // namespace nelo
