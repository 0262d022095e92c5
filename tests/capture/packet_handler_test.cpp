#include "capture/packet_handler.h"

#include <gtest/gtest.h>

#include <sstream>

#include "capture/link_layer.h"
#include "helpers/pcap_builder.h"
#include "report/sink_set.h"

namespace nelo {
namespace {

using testing::bytes;
using testing::record_of;

const uint8_t V4_A[4] = {192, 0, 2, 10};
const uint8_t V4_B[4] = {198, 51, 100, 7};
const uint8_t V6_A[16] = {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
const uint8_t V6_B[16] = {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};
constexpr size_t ETHERNET = 14;

const bytes V4_ECHO = testing::ipv4_icmp_frame(V4_A, V4_B, 8, 0, 1, bytes(56, 0xaa));
const bytes V6_ECHO = testing::ipv6_icmp_frame(V6_A, V6_B, 128, 0, 1, bytes(56, 0xbb));
const bytes V4 = bytes(V4_ECHO.begin() + ETHERNET, V4_ECHO.end());  // without Ethernet
const bytes V6 = bytes(V6_ECHO.begin() + ETHERNET, V6_ECHO.end());

using vlan_tags = std::vector<std::pair<uint16_t, uint16_t>>;

// `count` tags with the ids 1, 2, ...: the outermost of type `outer`, the others 802.1Q.
vlan_tags stack_of(uint16_t count, uint16_t outer) {
  vlan_tags tags = {{outer, 1}};
  for (uint16_t id = 2; id <= count; ++id) tags.push_back({0x8100, id});
  return tags;
}

// An Ethernet frame with VLAN tags (EtherType, tag control) between the MACs and the EtherType.
bytes tagged(const bytes& frame, const vlan_tags& tags) {
  bytes out(frame.begin(), frame.begin() + 12);
  for (const auto& [type, control] : tags) {
    out.insert(out.end(), {static_cast<uint8_t>(type >> 8), static_cast<uint8_t>(type),
                           static_cast<uint8_t>(control >> 8), static_cast<uint8_t>(control)});
  }
  out.insert(out.end(), frame.begin() + 12, frame.end());
  return out;
}

bytes changed(bytes frame, size_t at, uint8_t value) {
  frame[at] = value;
  return frame;
}

struct position_case {
  const char* name;
  uint32_t link_type;
  bytes frame;
  bool ipv6;
  ptrdiff_t network_offset, icmp_offset;
  int64_t incl_len = -1;
  int32_t hdr_len = -1;      // -1: the whole ICMP header, 8 bytes from icmp_offset
  int32_t payload_len = -1;  // -1: the rest of the frame
};

void expect_positions(const position_case& c) {
  const int32_t hdr_len = c.hdr_len >= 0 ? c.hdr_len : static_cast<int32_t>(c.icmp_offset + 8);
  const int32_t payload_len =
      c.payload_len >= 0 ? c.payload_len : static_cast<int32_t>(c.frame.size()) - hdr_len;
  decoded_packet p;
  ASSERT_TRUE(decode_packet(record_of(c.frame, c.link_type, c.incl_len), p)) << c.name;
  EXPECT_EQ(p.ip.ipv6, c.ipv6) << c.name;
  EXPECT_EQ(p.frame.data(), c.frame.data()) << c.name;
  EXPECT_EQ(p.ip.bytes.data() - p.frame.data(), c.network_offset) << c.name;
  EXPECT_EQ(p.icmp.data() - p.frame.data(), c.icmp_offset) << c.name;
  EXPECT_EQ(p.headers.data(), p.frame.data()) << c.name;
  EXPECT_EQ(static_cast<int32_t>(p.headers.size()), hdr_len) << c.name;
  EXPECT_EQ(static_cast<int32_t>(p.payload.size()), payload_len) << c.name;
  if (payload_len > 0) {
    EXPECT_EQ(p.payload.data() - p.frame.data(), hdr_len) << c.name;
  }
}

TEST(DecodePacket, FindsTheIcmpHeaderAndPayloadOnEveryLinkLayerItReads) {
  const bytes v4_options = testing::ipv4_icmp_frame(V4_A, V4_B, 8, 0, 1, bytes(10), 64, bytes(4));
  bytes padded = testing::ipv4_icmp_frame(V4_A, V4_B, 8, 0, 1, {});
  padded.resize(60, 0);
  const bytes sll = {0, 0, 3, 4, 0, 6, 1, 2, 3, 4, 5, 6, 0, 0, 0x08, 0x00};
  const bytes sll2 = {0x08, 0x00, 0, 0, 0, 0, 0, 1, 0, 4, 0, 6, 1, 2, 3, 4, 5, 6, 0, 0};
  const position_case cases[] = {
      {"ipv4 ihl 5", LINKTYPE_ETHERNET, V4_ECHO, false, 14, 34},
      {"ipv4 with options", LINKTYPE_ETHERNET, v4_options, false, 14, 38},
      {"ipv6", LINKTYPE_ETHERNET, V6_ECHO, true, 14, 54},
      {"ethernet padding counts as payload", LINKTYPE_ETHERNET, padded, false, 14, 34},
      {"capture ends inside the icmp header", LINKTYPE_ETHERNET, V4_ECHO, false, 14, 34, 40, 40, 0},
      {"ipv6 capture ends after the identifier", LINKTYPE_ETHERNET, V6_ECHO, true, 14, 54, 60, 60,
       0},
      // More fragments, offset 0.
      {"first ipv4 fragment", LINKTYPE_ETHERNET, changed(V4_ECHO, 20, 0x20), false, 14, 34},
      {"one vlan tag", LINKTYPE_ETHERNET, tagged(V4_ECHO, {{0x8100, 100}}), false, 18, 38},
      {"two vlan tags", LINKTYPE_ETHERNET, tagged(V6_ECHO, {{0x88a8, 10}, {0x8100, 20}}), true, 22,
       62},
      {"old q-in-q tag", LINKTYPE_ETHERNET, tagged(V4_ECHO, {{0x9100, 7}}), false, 18, 38},
      {"eight vlan tags", LINKTYPE_ETHERNET, tagged(V4_ECHO, stack_of(8, 0x88a8)), false, 46, 66},
      {"linux cooked v1", LINKTYPE_LINUX_SLL, testing::cat(sll, V4), false, 16, 36},
      {"linux cooked v2", LINKTYPE_LINUX_SLL2, testing::cat(sll2, V4), false, 20, 40},
      {"raw ipv4", LINKTYPE_RAW, V4, false, 0, 20},
      {"raw ipv6", LINKTYPE_RAW, V6, true, 0, 40},
      {"ipv4 link type", LINKTYPE_IPV4, V4, false, 0, 20},
      {"ipv6 link type", LINKTYPE_IPV6, V6, true, 0, 40},
      {"null little-endian ipv4", LINKTYPE_NULL, testing::cat({2, 0, 0, 0}, V4), false, 4, 24},
      {"null big-endian ipv6 (freebsd)", LINKTYPE_NULL, testing::cat({0, 0, 0, 28}, V6), true, 4,
       44},
      {"null ipv6 (darwin)", LINKTYPE_NULL, testing::cat({30, 0, 0, 0}, V6), true, 4, 44},
      {"openbsd loopback ipv6", LINKTYPE_LOOP, testing::cat({0, 0, 0, 24}, V6), true, 4, 44},
      {"ppp with address and control", LINKTYPE_PPP, testing::cat({0xff, 3, 0, 0x21}, V4), false, 4,
       24},
      {"ppp in hdlc framing without them", LINKTYPE_PPP_HDLC, testing::cat({0, 0x57}, V6), true, 2,
       42},
      {"cisco hdlc", LINKTYPE_C_HDLC, testing::cat({0x0f, 0x00, 0x86, 0xdd}, V6), true, 4, 44},
  };
  for (const position_case& c : cases) expect_positions(c);

  decoded_packet p;
  const bytes two_tags = tagged(V4_ECHO, {{0x88a8, 0x2abc}, {0x8100, 0x0005}});
  ASSERT_TRUE(decode_packet(record_of(two_tags, LINKTYPE_ETHERNET), p));
  ASSERT_EQ(p.link.vlan_count, 2);
  EXPECT_EQ(p.link.vlan_ids[0], 0xabc);  // priority bits are not part of the id
  EXPECT_EQ(p.link.vlan_ids[1], 5);
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

const bytes ROUTER_ALERT = {0, 5, 2, 0, 0, 1, 0};  // length 0: 8 bytes
const bytes ROUTING_24 = {2, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
const bytes AUTHENTICATION_12 = {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};  // length 1: 12 bytes
const bytes FIRST_FRAGMENT = {0, 0x00, 0x01, 0, 0, 0, 7};           // offset 0, more follow
const bytes LATER_FRAGMENT = {0, 0x05, 0x78, 0, 0, 0, 7};           // offset 175

TEST(DecodePacket, WalksIpv6ExtensionHeadersToTheIcmpv6Header) {
  const std::vector<std::pair<uint8_t, bytes>> eight(8, {0, ROUTER_ALERT});
  const position_case cases[] = {
      {"mld report behind a router alert", 1, with_extensions(143, {{0, ROUTER_ALERT}}), true, 14,
       62},
      {"echo behind a routing header", 1, with_extensions(128, {{43, ROUTING_24}}), true, 14, 78},
      {"destination options, authentication, first fragment", 1,
       with_extensions(128, {{60, ROUTER_ALERT}, {51, AUTHENTICATION_12}, {44, FIRST_FRAGMENT}}),
       true, 14, 82},
      {"eight headers", 1, with_extensions(128, eight), true, 14, 118},
  };
  for (const position_case& c : cases) expect_positions(c);
}

TEST(DecodePacket, DropsEverythingThatIsNotIcmp) {
  const std::vector<std::pair<uint8_t, bytes>> nine(9, {0, ROUTER_ALERT});
  const bytes no_ihl = changed(testing::ipv4_icmp_frame(V4_A, V4_B, 8, 0, 1, {}), 14, 0x40);
  const struct {
    const char* name;
    bytes frame;
    uint32_t link_type;
    int64_t incl_len;
  } cases[] = {
      {"tcp over ipv4", changed(V4_ECHO, ETHERNET + 9, 6), 1, -1},  // the protocol field
      {"arp", testing::ether_frame(0x0806, bytes(28)), 1, -1},
      {"nine vlan tags", tagged(V4_ECHO, stack_of(9, 0x8100)), 1, -1},
      // Held in 16 bytes, so that a read past the tag's control field would leave the buffer.
      {"vlan tag cut by the capture",
       [] {
         const bytes whole = tagged(V4_ECHO, {{0x8100, 100}});
         return bytes(whole.begin(), whole.begin() + 16);
       }(),
       1, -1},
      {"later ipv4 fragment", changed(V4_ECHO, ETHERNET + 7, 0xb9), 1, -1},  // offset 185 x 8
      {"later ipv6 fragment", with_extensions(128, {{44, LATER_FRAGMENT}}), 1, -1},
      {"nine extension headers", with_extensions(128, nine), 1, -1},
      {"extension chain ending in udp",
       changed(with_extensions(128, {{60, ROUTER_ALERT}}), ETHERNET + 40, 17), 1, -1},
      {"extension header cut by the capture", with_extensions(128, {{43, ROUTING_24}}), 1, 70},
      {"ipv4 cut before the identifier", V4_ECHO, 1, 39},
      {"ipv6 cut before the identifier", V6_ECHO, 1, 59},
      {"ethernet header only", testing::ether_frame(0x0800, {}), 1, -1},
      {"runt", bytes{1, 2, 3}, 1, -1},
      {"ipv4 header length 0 leaves the addresses short", no_ihl, 1, 30},
      {"raw frame of ip version 5", bytes(40, 0x50), LINKTYPE_RAW, -1},
      {"null header of an unknown family", testing::cat({7, 0, 0, 0}, V4), 0, -1},
      {"ppp carrying another protocol", testing::cat({0xc0, 0x21}, V4), 9, -1},
      {"cooked v1 header cut", bytes(15, 0), LINKTYPE_LINUX_SLL, -1},
      {"a link type nelo does not read", V4, 147, -1},
  };
  for (const auto& c : cases) {
    decoded_packet p;
    EXPECT_FALSE(decode_packet(record_of(c.frame, c.link_type, c.incl_len), p)) << c.name;
  }
  const filter_settings filters;
  const output_settings output;
  std::ostringstream out;
  sink_set sinks(output, {&out});
  packet_ctx ctx{&filters, &sinks};
  EXPECT_EQ(handle_packet(record_of(V4_ECHO, 1), nullptr), 0);
  EXPECT_EQ(handle_packet(record_of(cases[0].frame, 1), &ctx), 0);
}

}  // namespace
}  // namespace nelo
