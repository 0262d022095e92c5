#include "capture/encapsulation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "app/file_walk.h"
#include "capture/filters.h"
#include "capture/packet_handler.h"
#include "helpers/pcap_builder.h"
#include "report/packet_report.h"
#include "report/sink_set.h"

namespace nelo {
namespace {

using testing::bytes;
using testing::ether_frame;

bytes cat(std::initializer_list<bytes> parts) {
  bytes out;
  for (const bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

bytes be16(size_t v) {
  return {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
}

const uint8_t INNER4_SRC[4] = {10, 0, 0, 1}, INNER4_DST[4] = {10, 0, 0, 2};
const uint8_t INNER6_SRC[16] = {0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
const uint8_t INNER6_DST[16] = {0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};

bytes without_ethernet(const bytes& frame) {
  return bytes(frame.begin() + 14, frame.end());
}

// The innermost messages. Every frame built here ends in one, so its ICMP header starts
// ICMP_SIZE bytes before the end of the frame.
constexpr size_t ICMP_SIZE = 8 + 8;
const bytes ICMP4 =
    without_ethernet(testing::ipv4_icmp_frame(INNER4_SRC, INNER4_DST, 8, 0, 7, bytes(8, 'x')));
const bytes ICMP6 =
    without_ethernet(testing::ipv6_icmp_frame(INNER6_SRC, INNER6_DST, 128, 0, 7, bytes(8, 'y')));

// An outer IPv4 header from 192.0.2.1 to 198.51.100.1.
bytes ip4(uint8_t protocol, const bytes& body, uint8_t version_ihl = 0x45, uint16_t fragment = 0) {
  return cat({{version_ihl, 0},
              be16(20 + body.size()),
              {0, 0},
              be16(fragment),
              {64, protocol, 0, 0, 192, 0, 2, 1, 198, 51, 100, 1},
              body});
}

const bytes OUTER6_SRC = {0x20, 1, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
const bytes OUTER6_DST = {0x20, 1, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};

bytes ip6(uint8_t next_header, const bytes& body) {
  return cat({{0x60, 0, 0, 0}, be16(body.size()), {next_header, 64}, OUTER6_SRC, OUTER6_DST, body});
}

bytes udp(uint16_t dst, const bytes& body, uint16_t src = 50000) {
  return cat({be16(src), be16(dst), be16(8 + body.size()), {0, 0}, body});
}

bytes over_udp(uint16_t dst, const bytes& body, uint16_t src = 50000) {
  return ether_frame(0x0800, ip4(17, udp(dst, body, src)));
}

bytes gre(uint16_t flags, uint16_t protocol, const std::vector<bytes>& fields, const bytes& body) {
  bytes out = cat({be16(flags), be16(protocol)});
  for (const bytes& field : fields) out = cat({out, field});
  return cat({out, body});
}

bytes mpls(int labels, const bytes& body, uint16_t ether_type = 0x8847) {
  bytes stack;
  for (int i = 1; i <= labels; ++i)
    stack = cat({stack, {0, 1, static_cast<uint8_t>(i == labels), 64}});
  return ether_frame(ether_type, cat({stack, body}));
}

bytes nested_ipip(int layers) {
  bytes packet = ICMP4;
  for (int i = 0; i < layers; ++i) packet = ip4(4, packet);
  return ether_frame(0x0800, packet);
}

capture_record record_of(const bytes& frame, size_t captured) {
  capture_record r;
  r.frame_number = 1;
  r.link_type = 1;
  r.bytes = frame.data();
  r.captured_len = static_cast<uint32_t>(captured);
  r.wire_len = static_cast<uint32_t>(frame.size());
  return r;
}

// -1 when the frame does not decode, else how many encapsulations it was found behind; the
// message found must be the one at the end of the frame.
int layers_of(const bytes& frame, decoded_packet& p) {
  if (!decode_packet(record_of(frame, frame.size()), p)) return -1;
  EXPECT_EQ(p.icmp.data() + ICMP_SIZE, frame.data() + frame.size());
  return p.tunnels.count;
}

const bytes CSUM = {0xc5, 0xc5, 0, 0}, KEY = {0x6b, 0x65, 0x79, 0x21}, SEQ = {0, 0, 0, 9},
            ACK = {0, 0, 0, 8};

TEST(Encapsulation, GreHeaderSizeFollowsTheFlagsOfItsVersion) {
  const bytes route = {0x08, 0x00, 0, 4, 192, 0, 2, 77}, route_end = {0, 0, 0, 0};
  const struct {
    const char* name;
    uint16_t flags;
    std::vector<bytes> fields;
    bool opened, key;
  } rows[] = {
      {"no field", 0x0000, {}, true, false},
      {"C", 0x8000, {CSUM}, true, false},
      {"K", 0x2000, {KEY}, true, true},
      {"S", 0x1000, {SEQ}, true, false},
      {"CK", 0xa000, {CSUM, KEY}, true, true},
      {"CS", 0x9000, {CSUM, SEQ}, true, false},
      {"KS", 0x3000, {KEY, SEQ}, true, true},
      {"CKS", 0xb000, {CSUM, KEY, SEQ}, true, true},
      // R brings the checksum word even without C, then source route entries to an empty one.
      {"R", 0x4000, {CSUM, route, route_end}, true, false},
      {"version 1 K", 0x2001, {KEY}, true, false},
      {"version 1 KS", 0x3001, {KEY, SEQ}, true, false},
      {"version 1 KA", 0x2081, {KEY, ACK}, true, false},
      {"version 1 KSA", 0x3081, {KEY, SEQ, ACK}, true, false},
      {"version 1 without K", 0x1001, {SEQ}, false, false},
      {"version 2", 0x0002, {}, false, false},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    const bytes frame = ether_frame(0x0800, ip4(47, gre(r.flags, 0x0800, r.fields, ICMP4)));
    decoded_packet p;
    ASSERT_EQ(layers_of(frame, p), r.opened ? 1 : -1);
    if (!r.opened) continue;
    const encapsulation& gre_layer = p.tunnels.layers[0];
    EXPECT_EQ(gre_layer.type, tunnel_type::gre);
    EXPECT_EQ(gre_layer.header, 34u);
    EXPECT_EQ(gre_layer.has_key, r.key);
    if (r.key) {
      EXPECT_EQ(gre_layer.key, 0x6b657921u);
    }
  }
}

TEST(Encapsulation, OpensOnlyWhatChecksOut) {
  const bytes inner_ether = ether_frame(0x0800, ICMP4);
  auto vxlan = [&](uint8_t flags) {
    return over_udp(4789, cat({{flags, 0, 0, 0, 0, 1, 2, 0}, inner_ether}));
  };
  auto geneve = [](uint8_t first) {
    return over_udp(6081, cat({{first, 0, 8, 0, 0, 0, 7, 0}, ICMP4}));
  };
  auto gtp = [](uint8_t flags, uint8_t type, const bytes& more) {
    return over_udp(2152, cat({{flags, type, 0, 0, 0x11, 0x22, 0x33, 0x44}, more, ICMP4}));
  };
  auto pppoe = [](uint8_t code, const bytes& ip) {
    return ether_frame(0x8864, cat({{0x11, code, 0x12, 0x34}, be16(ip.size() + 2), {0, 0x21}, ip}));
  };
  auto pptp = [](const bytes& ppp) {
    return ether_frame(0x0800, ip4(47, gre(0x2001, 0x880b, {KEY}, cat({ppp, ICMP4}))));
  };
  const struct {
    const char* name;
    bytes frame;
    int layers;
  } rows[] = {
      {"vxlan", vxlan(0x08), 1},
      {"vxlan without the I flag", vxlan(0x00), -1},
      {"geneve carrying ipv4", geneve(0x00), 1},
      {"geneve version 1", geneve(0x40), -1},
      {"gtp-u", gtp(0x30, 255, {}), 1},
      {"gtp-u with a sequence number", gtp(0x32, 255, {0, 1, 0, 0}), 1},
      {"gtp-u with two extensions",
       gtp(0x34, 255, {0, 1, 0, 0x85, 1, 0x10, 9, 0xc0, 2, 0, 0, 0, 0, 0, 0, 0}), 1},
      {"gtp version 2", gtp(0x50, 255, {}), -1},
      {"gtp echo request", gtp(0x32, 1, {0, 1, 0, 0}), -1},
      {"gtp-u extension of length 0", gtp(0x34, 255, {0, 1, 0, 0x85, 0, 0, 0, 0}), -1},
      {"eight mpls labels", mpls(8, ICMP4), 1},
      {"multicast mpls carrying ipv6", mpls(1, ICMP6, 0x8848), 1},
      {"no bottom of stack in eight labels", mpls(9, ICMP4), -1},
      {"pseudowire control word after the stack", mpls(1, cat({{0, 0, 0, 0}, inner_ether})), -1},
      {"pppoe session", pppoe(0x00, ICMP4), 1},
      {"pppoe discovery", pppoe(0x07, ICMP4), -1},
      {"ppp without address and control", pptp({0x00, 0x21}), 1},
      {"ppp protocol compressed", pptp({0xff, 0x03, 0x21}), 1},
      {"teredo", over_udp(3544, ICMP6), 1},
      {"teredo authentication", over_udp(3544, cat({{0, 1, 1, 2, 'i', 'a', 'a'}, bytes(9), ICMP6})),
       1},
      {"teredo port carrying ipv4", over_udp(3544, ICMP4), -1},
      {"ipip", ether_frame(0x0800, ip4(4, ICMP4)), 1},
      {"ipip behind ihl 4", ether_frame(0x0800, ip4(4, ICMP4, 0x44)), -1},
      {"gre in a later fragment",
       ether_frame(0x0800, ip4(47, gre(0, 0x0800, {}, ICMP4), 0x45, 0xb9)), -1},
      {"eight ip in ip", nested_ipip(8), 8},
      {"nine ip in ip", nested_ipip(9), -1},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    decoded_packet p;
    EXPECT_EQ(layers_of(r.frame, p), r.layers);
  }
}

// A cut frame decodes exactly when the cut keeps the identifier of the message the whole frame
// decodes to, and nothing reads past the cut: each cut is a buffer of its own, so the sanitizer
// build sees a read beyond it.
TEST(Encapsulation, CutTunnelFramesNeverReadPastTheCapturedBytes) {
  const auto walk = testing::record_walk(std::string(NELO_TEST_DATA_DIR) + "/tunnels.pcap");
  ASSERT_EQ(walk.seen.size(), 42u);
  for (const testing::seen_record& seen : walk.seen) {
    decoded_packet whole;
    const bool decodes = decode_packet(record_of(seen.frame, seen.frame.size()), whole);
    const size_t id_end = decodes ? whole.icmp.data() - whole.frame.data() + 6 : SIZE_MAX;
    for (size_t len = 0; len <= seen.frame.size(); ++len) {
      const bytes cut(seen.frame.begin(), seen.frame.begin() + static_cast<ptrdiff_t>(len));
      decoded_packet p;
      EXPECT_EQ(decode_packet(record_of(cut, len), p), len >= id_end)
          << "frame " << seen.frame_number << " cut to " << len;
    }
  }
}

TEST(Encapsulation, CountsTheTunnelsItDoesNotOpenInTheOrderFirstMet) {
  const bytes esp = ether_frame(0x0800, ip4(50, {0, 0, 0x10, 0, 0, 0, 0, 1}));
  const bytes frames[] = {
      esp,
      over_udp(50000, bytes(8), 1701),                                      // l2tp, by source
      ether_frame(0x0800, ip4(47, gre(0, 0x0800, {}, ip4(50, bytes(8))))),  // esp in gre
      over_udp(4789, cat({{0x08, 0, 0, 0, 0, 0, 1, 0}, ether_frame(0x0800, ICMP4)}), 1701),
      over_udp(50000, bytes(8), 5247),  // capwap data
      ether_frame(0x0800, ip4(115, bytes(8))),
      over_udp(4341, bytes(8)),
      over_udp(5072, bytes(8)),
      over_udp(3386, bytes(8)),
      ether_frame(0x0800, ip4(103, {0x20, 0, 0, 0})),  // a PIM hello
      ether_frame(0x0800, ip4(103, cat({{0x21, 0, 0, 0, 0, 0, 0, 0}, ICMP4}))),
      ether_frame(0x0800, ip4(47, gre(0, 0x894f, {}, bytes(8)))),
      ether_frame(0x894f, bytes(8)),
  };
  const filter_settings filters;
  const output_settings output;
  std::ostringstream out;
  sink_set sinks(output, {&out});
  packet_ctx ctx{&filters, &sinks};
  int kept = 0;
  for (const bytes& frame : frames) kept += handle_packet(record_of(frame, frame.size()), &ctx);
  EXPECT_EQ(kept, 1);  // the VXLAN frame, whose source port would name L2TP
  EXPECT_EQ(unopened_tunnels_text("t", ctx.unopened),
            "t: 2 frames in esp tunnels are not decoded\n"
            "t: 2 frames in l2tp tunnels are not decoded\n"
            "t: 1 frames in capwap tunnels are not decoded\n"
            "t: 1 frames in lisp tunnels are not decoded\n"
            "t: 1 frames in ayiya tunnels are not decoded\n"
            "t: 1 frames in gtp-prime tunnels are not decoded\n"
            "t: 1 frames in pim register tunnels are not decoded\n"
            "t: 2 frames in nsh tunnels are not decoded\n");
}

TEST(Encapsulation, TheViaNoteFollowsTheEntropyNote) {
  testing::decoded_frame tunnelled(ether_frame(0x0800, ip4(47, gre(0, 0x0800, {}, ICMP4))), 0,
                                   record_time::shown, 64);
  const std::string via = ", via gre 192.0.2.1>198.51.100.1";
  for (const bool random : {true, false}) {
    std::ostringstream out;
    report_line_sink sink({&out, false});
    payload_digest digest;
    digest.random = random;
    sink.write_message(tunnelled.packet, digest);
    const std::string end = random ? ", payload has entropy high" + via + "\n" : via + " \n";
    const std::string line = out.str();
    ASSERT_GE(line.size(), end.size());
    EXPECT_EQ(line.substr(line.size() - end.size()), end);
  }
}

TEST(Encapsulation, TunnelIpMatchesTheOuterAddressesOfIpTunnelsOnly) {
  // IPv6 2001:db8::1>2001:db8::2, GRE, IPv4 192.0.2.1>198.51.100.1, IPv4 10.0.0.1>10.0.0.2.
  const testing::decoded_frame layered(
      ether_frame(0x86dd, ip6(47, gre(0, 0x0800, {}, ip4(4, ICMP4)))), 0, record_time::shown, 99);
  // No outer IP header: the bytes at the layer's offset 0 would read as 136.71.0.1.
  const testing::decoded_frame labelled(mpls(1, ICMP4), 0, record_time::shown, 99);
  const testing::decoded_frame plain(ether_frame(0x0800, ICMP4), 0, record_time::shown, 99);
  bytes other6 = OUTER6_DST;
  other6[15] = 3;
  const struct {
    const char* name;
    const testing::decoded_frame* frame;
    bool ipv6;
    bytes address;
    bool kept;
  } rows[] = {
      {"gre source", &layered, true, OUTER6_SRC, true},
      {"gre destination", &layered, true, OUTER6_DST, true},
      {"another ipv6 address", &layered, true, other6, false},
      {"ipip source", &layered, false, {192, 0, 2, 1}, true},
      {"ipip destination", &layered, false, {198, 51, 100, 1}, true},
      {"innermost source", &layered, false, {10, 0, 0, 1}, false},
      {"innermost destination", &layered, false, {10, 0, 0, 2}, false},
      {"mpls on ethernet", &labelled, false, {136, 71, 0, 1}, false},
      {"no tunnel", &plain, false, {10, 0, 0, 1}, false},
  };
  for (const auto& r : rows) {
    filter_settings filters;
    filters.tunnel_ip.on = true;
    filters.tunnel_ip.ipv6 = r.ipv6;
    std::copy(r.address.begin(), r.address.end(), filters.tunnel_ip.address);
    EXPECT_EQ(packet_passes_filters(r.frame->packet, filters), r.kept) << r.name;
  }
}

}  // namespace
}  // namespace nelo
