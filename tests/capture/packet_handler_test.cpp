#include "capture/packet_handler.h"

#include <gtest/gtest.h>

#include "capture/link_layer.h"
#include "helpers/pcap_builder.h"

namespace nelo {
namespace {

using testing::bytes;

const uint8_t V4_A[4] = {192, 0, 2, 10};
const uint8_t V4_B[4] = {198, 51, 100, 7};
const uint8_t V6_A[16] = {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
const uint8_t V6_B[16] = {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};
constexpr size_t ETHERNET = 14;

capture_record record_of(const bytes& frame, uint32_t link_type = LINKTYPE_ETHERNET,
                         int64_t incl_len = -1) {
  capture_record r;
  r.frame_number = 1;
  r.link_type = link_type;
  r.bytes = frame.data();
  r.captured_len = static_cast<uint32_t>(incl_len >= 0 ? incl_len : frame.size());
  r.wire_len = static_cast<uint32_t>(frame.size());
  return r;
}

bytes concat(bytes a, const bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The IP packet of an Ethernet frame built by the helper, without its Ethernet header.
bytes ip_packet(const bytes& frame) {
  return bytes(frame.begin() + ETHERNET, frame.end());
}

const bytes V4_ECHO = testing::ipv4_icmp_frame(V4_A, V4_B, 8, 0, 1, bytes(56, 0xaa));
const bytes V6_ECHO = testing::ipv6_icmp_frame(V6_A, V6_B, 128, 0, 1, bytes(56, 0xbb));

// An Ethernet frame with VLAN tags (EtherType, tag control) between the MACs and the EtherType.
bytes tagged(const bytes& frame, std::initializer_list<std::pair<uint16_t, uint16_t>> tags) {
  bytes out(frame.begin(), frame.begin() + 12);
  for (const auto& [type, control] : tags) {
    out.insert(out.end(), {static_cast<uint8_t>(type >> 8), static_cast<uint8_t>(type),
                           static_cast<uint8_t>(control >> 8), static_cast<uint8_t>(control)});
  }
  out.insert(out.end(), frame.begin() + 12, frame.end());
  return out;
}

struct position_case {
  const char* name;
  bytes frame;
  uint32_t link_type;
  int64_t incl_len;
  bool ipv6;
  ptrdiff_t network_offset;
  ptrdiff_t icmp_offset;
  int32_t hdr_len;
  int32_t payload_len;
};

void expect_positions(const position_case& c) {
  const capture_record record = record_of(c.frame, c.link_type, c.incl_len);
  decoded_packet p;
  ASSERT_TRUE(decode_packet(record, p)) << c.name;
  EXPECT_EQ(p.ipv6, c.ipv6) << c.name;
  EXPECT_EQ(p.frame, c.frame.data()) << c.name;
  EXPECT_EQ(p.network - p.frame, c.network_offset) << c.name;
  EXPECT_EQ(p.icmp - p.frame, c.icmp_offset) << c.name;
  EXPECT_EQ(p.hdr_len, c.hdr_len) << c.name;
  EXPECT_EQ(p.payload_len, c.payload_len) << c.name;
  if (c.payload_len > 0) {
    EXPECT_EQ(p.payload - p.frame, c.hdr_len) << c.name;
  }
}

TEST(DecodePacket, FindsTheIcmpHeaderAndPayloadOnEthernet) {
  const position_case cases[] = {
      {"ipv4 ihl 5", V4_ECHO, 1, -1, false, 14, 34, 42, 56},
      {"ipv4 with options", testing::ipv4_icmp_frame(V4_A, V4_B, 8, 0, 1, bytes(10), 64, bytes(4)),
       1, -1, false, 14, 38, 46, 10},
      {"ipv6", V6_ECHO, 1, -1, true, 14, 54, 62, 56},
      {"ethernet padding counts as payload",
       [] {
         bytes f = testing::ipv4_icmp_frame(V4_A, V4_B, 8, 0, 1, {});
         f.resize(60, 0);
         return f;
       }(),
       1, -1, false, 14, 34, 42, 18},
      {"capture ends inside the icmp header", V4_ECHO, 1, 40, false, 14, 34, 40, 0},
      {"ipv6 capture ends after the identifier", V6_ECHO, 1, 60, true, 14, 54, 60, 0},
      {"first ipv4 fragment",
       [] {
         bytes f = V4_ECHO;
         f[ETHERNET + 6] = 0x20;  // more fragments, offset 0
         return f;
       }(),
       1, -1, false, 14, 34, 42, 56},
  };
  for (const position_case& c : cases) expect_positions(c);
}

TEST(DecodePacket, StripsEveryLinkLayerItReads) {
  const bytes v4 = ip_packet(V4_ECHO);
  const bytes v6 = ip_packet(V6_ECHO);
  const bytes sll = {0, 0, 3, 4, 0, 6, 1, 2, 3, 4, 5, 6, 0, 0};
  const bytes sll2_v4 = {0x08, 0x00, 0, 0, 0, 0, 0, 1, 0, 4, 0, 6, 1, 2, 3, 4, 5, 6, 0, 0};
  const position_case cases[] = {
      {"one vlan tag", tagged(V4_ECHO, {{0x8100, 100}}), LINKTYPE_ETHERNET, -1, false, 18, 38, 46,
       56},
      {"two vlan tags", tagged(V6_ECHO, {{0x88a8, 10}, {0x8100, 20}}), LINKTYPE_ETHERNET, -1, true,
       22, 62, 70, 56},
      {"old q-in-q tag", tagged(V4_ECHO, {{0x9100, 7}}), LINKTYPE_ETHERNET, -1, false, 18, 38, 46,
       56},
      {"linux cooked v1", concat(concat(sll, {0x08, 0x00}), v4), LINKTYPE_LINUX_SLL, -1, false, 16,
       36, 44, 56},
      {"linux cooked v2", concat(sll2_v4, v4), LINKTYPE_LINUX_SLL2, -1, false, 20, 40, 48, 56},
      {"raw ipv4", v4, LINKTYPE_RAW, -1, false, 0, 20, 28, 56},
      {"raw ipv6", v6, LINKTYPE_RAW, -1, true, 0, 40, 48, 56},
      {"ipv4 link type", v4, LINKTYPE_IPV4, -1, false, 0, 20, 28, 56},
      {"ipv6 link type", v6, LINKTYPE_IPV6, -1, true, 0, 40, 48, 56},
      {"null little-endian ipv4", concat({2, 0, 0, 0}, v4), LINKTYPE_NULL, -1, false, 4, 24, 32,
       56},
      {"null big-endian ipv6 (freebsd)", concat({0, 0, 0, 28}, v6), LINKTYPE_NULL, -1, true, 4, 44,
       52, 56},
      {"null ipv6 (darwin)", concat({30, 0, 0, 0}, v6), LINKTYPE_NULL, -1, true, 4, 44, 52, 56},
      {"openbsd loopback ipv6", concat({0, 0, 0, 24}, v6), LINKTYPE_LOOP, -1, true, 4, 44, 52, 56},
      {"ppp with address and control", concat({0xff, 0x03, 0x00, 0x21}, v4), LINKTYPE_PPP, -1,
       false, 4, 24, 32, 56},
      {"ppp in hdlc framing without them", concat({0x00, 0x57}, v6), LINKTYPE_PPP_HDLC, -1, true, 2,
       42, 50, 56},
      {"cisco hdlc", concat({0x0f, 0x00, 0x86, 0xdd}, v6), LINKTYPE_C_HDLC, -1, true, 4, 44, 52,
       56},
  };
  for (const position_case& c : cases) expect_positions(c);

  decoded_packet p;
  const bytes two_tags = tagged(V4_ECHO, {{0x88a8, 0x2abc}, {0x8100, 0x0005}});
  ASSERT_TRUE(decode_packet(record_of(two_tags), p));
  ASSERT_EQ(p.vlan_count, 2);
  EXPECT_EQ(p.vlan_ids[0], 0xabc);  // priority bits are not part of the id
  EXPECT_EQ(p.vlan_ids[1], 5);
}

// An IPv6 ICMPv6 frame with the given extension headers (type, body without its next-header
// byte) between the fixed header and the ICMPv6 header.
bytes with_extensions(uint8_t icmp_type, const std::vector<std::pair<uint8_t, bytes>>& chain) {
  bytes frame = testing::ipv6_icmp_frame(V6_A, V6_B, icmp_type, 0, 1, bytes(16, 0xcc));
  bytes headers;
  for (size_t i = 0; i < chain.size(); ++i) {
    headers.push_back(i + 1 < chain.size() ? chain[i + 1].first : 58);
    headers.insert(headers.end(), chain[i].second.begin(), chain[i].second.end());
  }
  if (!chain.empty()) frame[ETHERNET + 6] = chain.front().first;
  frame.insert(frame.begin() + ETHERNET + 40, headers.begin(), headers.end());
  return frame;
}

const bytes HOP_BY_HOP_ROUTER_ALERT = {0, 5, 2, 0, 0, 1, 0};  // length 0: 8 bytes
const bytes ROUTING_24 = {2, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
const bytes AUTHENTICATION_12 = {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};  // length 1: 12 bytes
const bytes FIRST_FRAGMENT = {0, 0x00, 0x01, 0, 0, 0, 7};           // offset 0, more follow
const bytes LATER_FRAGMENT = {0, 0x05, 0x78, 0, 0, 0, 7};           // offset 175

TEST(DecodePacket, WalksIpv6ExtensionHeadersToTheIcmpv6Header) {
  const std::vector<std::pair<uint8_t, bytes>> eight(8, {0, HOP_BY_HOP_ROUTER_ALERT});
  const position_case cases[] = {
      {"mld report behind a router alert", with_extensions(143, {{0, HOP_BY_HOP_ROUTER_ALERT}}), 1,
       -1, true, 14, 62, 70, 16},
      {"echo behind a routing header", with_extensions(128, {{43, ROUTING_24}}), 1, -1, true, 14,
       78, 86, 16},
      {"destination options, authentication, first fragment",
       with_extensions(
           128, {{60, HOP_BY_HOP_ROUTER_ALERT}, {51, AUTHENTICATION_12}, {44, FIRST_FRAGMENT}}),
       1, -1, true, 14, 82, 90, 16},
      {"eight headers", with_extensions(128, eight), 1, -1, true, 14, 118, 126, 16},
  };
  for (const position_case& c : cases) expect_positions(c);
}

TEST(DecodePacket, DropsEverythingThatIsNotIcmp) {
  std::vector<std::pair<uint8_t, bytes>> nine(9, {0, HOP_BY_HOP_ROUTER_ALERT});
  bytes later_v4_fragment = V4_ECHO;
  later_v4_fragment[ETHERNET + 7] = 0xb9;  // offset 185 x 8
  bytes udp_behind_options = with_extensions(128, {{60, HOP_BY_HOP_ROUTER_ALERT}});
  udp_behind_options[ETHERNET + 40] = 17;
  const struct {
    const char* name;
    bytes frame;
    uint32_t link_type;
    int64_t incl_len;
  } cases[] = {
      {"tcp over ipv4", testing::ipv4_tcp_frame(V4_A, V4_B), 1, -1},
      {"arp", testing::ether_frame(0x0806, bytes(28)), 1, -1},
      {"three vlan tags", tagged(V4_ECHO, {{0x8100, 1}, {0x8100, 2}, {0x8100, 3}}), 1, -1},
      {"later ipv4 fragment", later_v4_fragment, 1, -1},
      {"later ipv6 fragment", with_extensions(128, {{44, LATER_FRAGMENT}}), 1, -1},
      {"nine extension headers", with_extensions(128, nine), 1, -1},
      {"extension chain ending in udp", udp_behind_options, 1, -1},
      {"extension header cut by the capture", with_extensions(128, {{43, ROUTING_24}}), 1, 70},
      {"ipv4 cut before the identifier", V4_ECHO, 1, 39},
      {"ipv6 cut before the identifier", V6_ECHO, 1, 59},
      {"ethernet header only", testing::ether_frame(0x0800, {}), 1, -1},
      {"runt", bytes{1, 2, 3}, 1, -1},
      {"ipv4 header length 0 leaves the addresses short",
       [] {
         bytes f = testing::ipv4_icmp_frame(V4_A, V4_B, 8, 0, 1, {});
         f[14] = 0x40;
         return f;
       }(),
       1, 30},
      {"raw frame of ip version 5", bytes(40, 0x50), LINKTYPE_RAW, -1},
      {"null header of an unknown family", concat({7, 0, 0, 0}, ip_packet(V4_ECHO)), 0, -1},
      {"ppp carrying another protocol", concat({0xc0, 0x21}, ip_packet(V4_ECHO)), 9, -1},
      {"cooked v1 header cut", bytes(15, 0), LINKTYPE_LINUX_SLL, -1},
      {"a link type nelo does not read", ip_packet(V4_ECHO), 147, -1},
  };
  for (const auto& c : cases) {
    decoded_packet p;
    EXPECT_FALSE(decode_packet(record_of(c.frame, c.link_type, c.incl_len), p)) << c.name;
  }
}

TEST(HandlePacket, MissingContextAndDroppedPacketsReturnZero) {
  packet_ctx ctx;
  const bytes tcp = testing::ipv4_tcp_frame(V4_A, V4_B);
  EXPECT_EQ(handle_packet(record_of(V4_ECHO), nullptr), 0);
  EXPECT_EQ(handle_packet(record_of(tcp), &ctx), 0);
}

}  // namespace
}  // namespace nelo
