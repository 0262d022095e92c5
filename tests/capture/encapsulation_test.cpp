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
using testing::cat;
using testing::ether_frame;
using testing::record_of;

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

bytes udp(uint16_t dst, const bytes& body, uint16_t src) {
  return cat({be16(src), be16(dst), be16(8 + body.size()), {0, 0}, body});
}

// From port 65535 unless told otherwise, so the lookup of the source port reaches the top of the
// port range.
bytes over_udp(uint16_t dst, const bytes& body, uint16_t src = 65535) {
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

// -1 when the frame does not decode, else how many encapsulations it was found behind; the
// message found must be the one at the end of the frame.
int layers_of(const bytes& frame, decoded_packet& p) {
  if (!decode_packet(record_of(frame), p)) return -1;
  EXPECT_EQ(p.icmp.data() + ICMP_SIZE, frame.data() + frame.size());
  return p.tunnels.count;
}

const bytes CSUM = {0xc5, 0xc5, 0, 0}, KEY = {0x6b, 0x65, 0x79, 0x21}, SEQ = {0, 0, 0, 9},
            ACK = {0, 0, 0, 8};

const bytes ROUTE = {0x08, 0x00, 0, 4, 192, 0, 2, 77}, EMPTY_ROUTE = {0x08, 0x00, 0, 0},
            ROUTE_END = {0, 0, 0, 0};

struct built_case {
  const char* name;
  bytes frame;
  int layers;       // -1: not decoded
  int64_t id = -1;  // of the outermost layer, or its GRE key; -1: none
};

// Each encapsulation with the fields that vary, and the look-alikes it must turn away.
std::vector<built_case> built_cases() {
  const bytes inner_ether = ether_frame(0x0800, ICMP4);
  // GRE's header size follows the flags of its version.
  auto gre4 = [](uint16_t flags, const std::vector<bytes>& fields) {
    return ether_frame(0x0800, ip4(47, gre(flags, 0x0800, fields, ICMP4)));
  };
  constexpr int64_t KEY_ID = 0x6b657921;
  auto vxlan = [&](uint8_t flags) {
    return over_udp(4789, cat({{flags, 0, 0, 0, 1, 2, 3, 0}, inner_ether}));
  };
  auto geneve = [](uint8_t first, const bytes& options, uint16_t protocol, const bytes& inner) {
    return over_udp(6081, cat({{first, 0}, be16(protocol), {1, 2, 3, 0}, options, inner}));
  };
  auto gtp = [](uint8_t flags, uint8_t type, const bytes& more, const bytes& inner = ICMP4) {
    return over_udp(2152, cat({{flags, type},
                               be16(more.size() + inner.size()),
                               {0x11, 0x22, 0x33, 0x44},
                               more,
                               inner}));
  };
  auto extensions = [](int count) {
    bytes chain = {0, 1, 0, 0x85};
    for (int i = 1; i <= count; ++i)
      chain = cat({chain, {1, 0, 0, static_cast<uint8_t>(i < count ? 0x85 : 0)}});
    return chain;
  };
  auto pppoe = [](uint8_t code, const bytes& ip, const bytes& protocol = {0, 0x21}) {
    return ether_frame(0x8864, cat({{0x11, code, 0x12, 0x34}, be16(ip.size() + 2), protocol, ip}));
  };
  auto pptp = [](const bytes& ppp, const bytes& ip) {
    return ether_frame(0x0800, ip4(47, gre(0x2001, 0x880b, {KEY}, cat({ppp, ip}))));
  };
  auto erspan = [&](uint16_t flags, uint16_t protocol, const std::vector<bytes>& fields,
                    const bytes& header) {
    return ether_frame(0x0800, ip4(47, gre(flags, protocol, fields, cat({header, inner_ether}))));
  };
  bytes version_4 = ICMP6;
  version_4[0] = 0x40;
  // Look-alikes of what a tunnel opened by its port carries: an IPv6 header whose payload
  // length runs past the datagram, one whose hop limit has run out, an IPv4 one that claims
  // more than is there.
  bytes long_ipv6 = ICMP6;
  long_ipv6[5] += 1;
  bytes spent_ipv6 = ICMP6;
  spent_ipv6[7] = 0;
  bytes long_ipv4 = ICMP4;
  long_ipv4[3] += 1;
  const bytes ether_long_ipv4 = ether_frame(0x0800, long_ipv4);
  // A header four words long, then a whole IPv4 header.
  bytes short_ip = ip4(4, {}, 0x44);
  short_ip.resize(16);
  auto behind_ah = [](int count) {
    bytes chain(ICMP4.begin() + 20, ICMP4.end());
    for (int i = 0; i < count; ++i) {
      chain =
          cat({{static_cast<uint8_t>(i == 0 ? 1 : 51), 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 1}, chain});
    }
    return ether_frame(0x0800, ip4(51, chain));
  };
  return {
      {"gre without fields", gre4(0x0000, {}), 1},
      {"gre C", gre4(0x8000, {CSUM}), 1},
      {"gre K", gre4(0x2000, {KEY}), 1, KEY_ID},
      {"gre S", gre4(0x1000, {SEQ}), 1},
      {"gre CK", gre4(0xa000, {CSUM, KEY}), 1, KEY_ID},
      {"gre CS", gre4(0x9000, {CSUM, SEQ}), 1},
      {"gre KS", gre4(0x3000, {KEY, SEQ}), 1, KEY_ID},
      {"gre CKS", gre4(0xb000, {CSUM, KEY, SEQ}), 1, KEY_ID},
      // R brings the checksum word even without C, then source route entries up to the one of
      // family 0 and length 0.
      {"gre R", gre4(0x4000, {CSUM, ROUTE, EMPTY_ROUTE, ROUTE_END}), 1},
      {"gre version 1 K", gre4(0x2001, {KEY}), 1},
      {"gre version 1 KS", gre4(0x3001, {KEY, SEQ}), 1},
      {"gre version 1 KA", gre4(0x2081, {KEY, ACK}), 1},
      {"gre version 1 KSA", gre4(0x3081, {KEY, SEQ, ACK}), 1},
      {"gre version 1 without K, though with room for it", gre4(0x1001, {KEY, SEQ}), -1},
      {"gre version 2", gre4(0x0002, {}), -1},
      {"vxlan", vxlan(0x08), 1, 0x010203},
      {"vxlan with every flag but I", vxlan(0xf7), -1},
      {"vxlan carrying more ipv4 than is there",
       over_udp(4789, cat({{0x08, 0, 0, 0, 1, 2, 3, 0}, ether_long_ipv4})), -1},
      {"vxlan with its last reserved byte set",
       over_udp(4789, cat({{0x08, 0, 0, 0, 1, 2, 3, 1}, inner_ether})), -1},
      {"geneve with 33 words of options carrying ipv6", geneve(0x21, bytes(132), 0x86dd, ICMP6), 1,
       0x010203},
      {"geneve version 1", geneve(0x40, {}, 0x0800, ICMP4), -1},
      {"gtp-u", gtp(0x30, 255, {}), 1, 0x11223344},
      {"gtp-u with a sequence number", gtp(0x32, 255, {0, 1, 0, 0}), 1, 0x11223344},
      // Without the E flag the next extension type means nothing.
      {"gtp-u with an n-pdu number", gtp(0x31, 255, {0, 0, 7, 0x85}), 1, 0x11223344},
      {"gtp-u with the E flag and no extension", gtp(0x34, 255, {0, 1, 0, 0}), 1, 0x11223344},
      {"gtp-u with sixteen extensions", gtp(0x34, 255, extensions(16)), 1, 0x11223344},
      {"gtp-u with seventeen extensions", gtp(0x34, 255, extensions(17)), -1},
      {"gtp-u extension of length 0", gtp(0x34, 255, {0, 1, 0, 0x85, 0, 0, 0, 0}), -1},
      {"gtp version 2", gtp(0x50, 255, {}), -1},
      {"gtp' on the gtp-u port", gtp(0x20, 255, {}), -1},
      {"gtp-u length past the datagram",
       over_udp(2152, cat({{0x30, 255, 0, 99, 0x11, 0x22, 0x33, 0x44}, ICMP4})), -1},
      {"gtp-u carrying ipv6 with no hop left", gtp(0x30, 255, {}, spent_ipv6), -1},
      {"gtp echo request", gtp(0x32, 1, {0, 1, 0, 0}), -1},
      {"erspan ii", erspan(0x1000, 0x88be, {SEQ}, {0x10, 10, 0xfc, 0x65, 0, 0, 0, 0}), 1, 0x65},
      {"erspan iii without a platform subheader",
       erspan(0, 0x22eb, {}, {0x20, 20, 0xfc, 0x66, 1, 2, 3, 4, 0, 0, 0, 0}), 1, 0x66},
      {"eight mpls labels", mpls(8, ICMP4), 1},
      {"multicast mpls carrying ipv6", mpls(1, ICMP6, 0x8848), 1},
      {"no bottom of stack in eight labels", mpls(9, ICMP4), -1},
      {"ethernet pseudowire behind its control word",
       mpls(2, cat({{0, 0, 0, 0}, ether_frame(0x8100, cat({{0, 42, 0x08, 0}, ICMP4}))})), 1},
      {"associated channel after the stack", mpls(1, cat({{0x10, 0, 0, 0x21}, ICMP4})), -1},
      {"mpls in udp carrying more ipv4 than is there",
       over_udp(6635, cat({{0, 1, 1, 64}, long_ipv4})), -1},
      {"pppoe session", pppoe(0x00, ICMP4), 1, 0x1234},
      {"pppoe discovery", pppoe(0x07, ICMP4), -1},
      {"pppoe with the ppp protocol compressed", pppoe(0x00, ICMP6, {0x57}), 1, 0x1234},
      {"pppoe session carrying lcp", pppoe(0x00, ICMP4, {0xc0, 0x21}), -1},
      {"ppp without address and control", pptp({0x00, 0x21}, ICMP4), 1},
      {"ppp protocol compressed", pptp({0x21}, ICMP4), 1},
      {"ppp protocol compressed, carrying ipv6", pptp({0xff, 0x03, 0x57}, ICMP6), 1},
      {"teredo", over_udp(3544, ICMP6), 1},
      {"teredo authentication", over_udp(3544, cat({{0, 1, 2, 1, 'i', 'i', 'a'}, bytes(9), ICMP6})),
       1},
      {"teredo port without the ipv6 version", over_udp(3544, version_4), -1},
      {"teredo port, ipv6 payload length past the datagram", over_udp(3544, long_ipv6), -1},
      {"teredo port, ipv6 hop limit 0", over_udp(3544, spent_ipv6, 3544), -1},
      {"ipip behind ihl 4", ether_frame(0x0800, cat({short_ip, ICMP4})), -1},
      {"gre in a later fragment",
       ether_frame(0x0800, ip4(47, gre(0, 0x0800, {}, ICMP4), 0x45, 0xb9)), -1},
      {"eight ip in ip", nested_ipip(8), 8},
      {"nine ip in ip", nested_ipip(9), -1},
      {"eight authentication headers", behind_ah(8), 0},
      {"nine authentication headers", behind_ah(9), -1},
  };
}

TEST(Encapsulation, OpensOnlyWhatChecksOut) {
  for (const built_case& c : built_cases()) {
    SCOPED_TRACE(c.name);
    decoded_packet p;
    ASSERT_EQ(layers_of(c.frame, p), c.layers);
    if (c.layers <= 0) continue;
    const encapsulation& outer = p.tunnels.layers[0];
    EXPECT_EQ(outer.has_id ? int64_t{outer.id} : outer.has_key ? int64_t{outer.key} : -1, c.id);
  }
}

// A cut frame decodes exactly when the cut keeps the identifier of the message the whole frame
// decodes to, and nothing reads past the cut: each cut is a buffer of its own, so the sanitizer
// build sees a read beyond it. The frames of the capture come first, then the built ones.
TEST(Encapsulation, CutTunnelFramesNeverReadPastTheCapturedBytes) {
  const auto walk = testing::record_walk(std::string(NELO_TEST_DATA_DIR) + "/tunnels.pcap");
  ASSERT_EQ(walk.seen.size(), 42u);
  std::vector<bytes> frames;
  for (const testing::seen_record& seen : walk.seen) frames.push_back(seen.frame);
  for (const built_case& c : built_cases()) frames.push_back(c.frame);
  for (size_t i = 0; i < frames.size(); ++i) {
    const bytes& frame = frames[i];
    decoded_packet whole;
    const bool decodes = decode_packet(record_of(frame), whole);
    const size_t id_end = decodes ? whole.icmp.data() - whole.frame.data() + 6 : SIZE_MAX;
    for (size_t len = 0; len <= frame.size(); ++len) {
      const bytes cut(frame.begin(), frame.begin() + static_cast<ptrdiff_t>(len));
      decoded_packet p;
      EXPECT_EQ(decode_packet(record_of(cut), p), len >= id_end)
          << "frame " << i + 1 << " cut to " << len;
    }
  }
}

// Tunnels not opened, damaged or implausible headers and frames too deep are each counted, and
// said in the order first met.
TEST(Encapsulation, CountsTheFramesItDoesNotDecodeInTheOrderFirstMet) {
  bytes spent_ipv6 = ICMP6;
  spent_ipv6[7] = 0;
  const bytes esp = ether_frame(0x0800, ip4(50, {0, 0, 0x10, 0, 0, 0, 0, 1}));
  const bytes frames[] = {
      esp,
      over_udp(50000, bytes(8), 1701),                                      // l2tp, by source
      ether_frame(0x0800, ip4(47, gre(0, 0x0800, {}, ip4(50, bytes(8))))),  // esp in gre
      over_udp(4789, cat({{0x08, 0, 0, 0, 0, 0, 1, 0}, ether_frame(0x0800, ICMP4)}), 1701),
      over_udp(50000, bytes(8), 5247),  // capwap data
      over_udp(5245, bytes(8)),         // next to capwap's ports
      over_udp(5248, bytes(8)),
      ether_frame(0x0800, ip4(115, bytes(8))),
      over_udp(4341, bytes(8)),
      over_udp(5072, bytes(8)),
      over_udp(3386, bytes(8)),
      ether_frame(0x0800, ip4(103, {0x20, 0, 0, 0})),  // a PIM hello
      ether_frame(0x0800, ip4(103, cat({{0x21, 0, 0, 0, 0, 0, 0, 0}, ICMP4}))),
      ether_frame(0x0800, ip4(47, gre(0, 0x894f, {}, bytes(8)))),
      ether_frame(0x894f, bytes(8)),
      ether_frame(0x0800, ip4(47, gre(0x0002, 0x0800, {}, ICMP4))),
      over_udp(4789, cat({{0, 0, 0, 0, 0, 0, 1, 0}, ether_frame(0x0800, ICMP4)})),
      over_udp(3544, spent_ipv6),
      nested_ipip(9),
      ether_frame(0x0800, ip4(47, gre(0x0003, 0x0800, {}, ICMP4))),
      // ERSPAN II with type III's version, found inside GRE; a session frame with a discovery code.
      ether_frame(0x0800, ip4(47, gre(0x1000, 0x88be, {SEQ}, {0x20, 10, 0, 1, 0, 0, 0, 0}))),
      ether_frame(0x8864, {0x11, 0x09, 0, 1, 0, 2, 0, 0x21}),
  };
  const filter_settings filters;
  const output_settings output;
  std::ostringstream out;
  sink_set sinks(output, {&out});
  packet_ctx ctx{&filters, &sinks};
  int kept = 0;
  for (const bytes& frame : frames) kept += handle_packet(record_of(frame), &ctx);
  EXPECT_EQ(kept, 1);  // the VXLAN frame, whose source port would name L2TP
  EXPECT_EQ(unopened_tunnels_text("t", ctx.unopened),
            "t: 2 frames in esp tunnels are not decoded\n"
            "t: 2 frames in l2tp tunnels are not decoded\n"
            "t: 1 frames in capwap tunnels are not decoded\n"
            "t: 1 frames in lisp tunnels are not decoded\n"
            "t: 1 frames in ayiya tunnels are not decoded\n"
            "t: 1 frames in gtp-prime tunnels are not decoded\n"
            "t: 1 frames in pim register tunnels are not decoded\n"
            "t: 2 frames in nsh tunnels are not decoded\n"
            "t: 2 frames with damaged GRE headers are not decoded\n"
            "t: 1 frames with damaged VXLAN headers are not decoded\n"
            "t: 1 frames with damaged Teredo headers are not decoded\n"
            "t: 1 frames beyond 8 encapsulations are not decoded\n"
            "t: 1 frames with damaged ERSPAN headers are not decoded\n"
            "t: 1 frames with damaged PPPoE headers are not decoded\n");
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

TEST(Encapsulation, EachLineNamesItsOwnTunnelsWhateverCameBefore) {
  // Each frame's path differs from the one before it in one thing only; one sink writes them in
  // turn, as it writes a capture.
  const bytes in_gre = ether_frame(0x0800, ip4(47, gre(0, 0x0800, {}, ICMP4)));
  bytes other_destination = in_gre;
  other_destination[14 + 19] = 2;
  bytes other_source = other_destination;
  other_source[14 + 15] = 9;
  const bytes in_gre6 = ether_frame(0x86dd, ip6(47, gre(0, 0x0800, {}, ICMP4)));
  bytes other_destination6 = in_gre6;
  other_destination6[14 + 39] = 3;
  // Its first eight bytes are those of the IPv4 pair 192.0.2.1>198.51.100.1.
  bytes alike6 = in_gre6;
  const uint8_t ipv4_pair[] = {192, 0, 2, 1, 198, 51, 100, 1};
  std::copy(std::begin(ipv4_pair), std::end(ipv4_pair), alike6.begin() + 14 + 8);
  const struct {
    bytes frame;
    const char* via;
  } rows[] = {
      {in_gre, "gre 192.0.2.1>198.51.100.1"},
      {ether_frame(0x0800, ip4(4, ICMP4)), "ipip 192.0.2.1>198.51.100.1"},
      {in_gre, "gre 192.0.2.1>198.51.100.1"},
      {other_destination, "gre 192.0.2.1>198.51.100.2"},
      {other_source, "gre 192.0.2.9>198.51.100.2"},
      {in_gre6, "gre 2001:db8::1>2001:db8::2"},
      {other_destination6, "gre 2001:db8::1>2001:db8::3"},
      {in_gre6, "gre 2001:db8::1>2001:db8::2"},
      {ether_frame(0x86dd, ip6(47, gre(0, 0x0800, {}, ip4(4, ICMP4)))),
       "gre 2001:db8::1>2001:db8::2 / ipip 192.0.2.1>198.51.100.1"},
      {mpls(1, ICMP4), nullptr},
      {alike6, "gre c000:201:c633:6401::1>2001:db8::2"},
      {in_gre, "gre 192.0.2.1>198.51.100.1"},
  };
  std::ostringstream out;
  report_line_sink sink({&out, false});
  for (const auto& r : rows) {
    const testing::decoded_frame f(r.frame, 0, record_time::shown, 64);
    out.str("");
    sink.write_message(f.packet, {});
    const std::string end = r.via != nullptr ? std::string(", via ") + r.via + " \n" : "request \n";
    const std::string line = out.str();
    ASSERT_GE(line.size(), end.size()) << (r.via != nullptr ? r.via : "mpls");
    EXPECT_EQ(line.substr(line.size() - end.size()), end) << line;
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
    if (r.ipv6) {
      const uint8_t* a = r.address.data();
      filters.tunnel_ip.ipv6.push_back(
          {load_be64(a), load_be64(a + 8), ~uint64_t{0}, ~uint64_t{0}});
    } else {
      filters.tunnel_ip.ipv4.push_back({load_le32(r.address.data()), ~uint32_t{0}});
    }
    EXPECT_EQ(packet_passes_filters(r.frame->packet, filters), r.kept) << r.name;
  }
}

}  // namespace
}  // namespace nelo
