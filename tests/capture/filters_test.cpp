#include "capture/filters.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "helpers/pcap_builder.h"
#include "support/wire.h"

namespace nelo {
namespace {

constexpr uint32_t TS_SEC = 1600000000;  // 2020-09-13 12:26:40 UTC

uint64_t unix_ticks(uint64_t seconds, uint64_t microseconds) {
  return seconds * 10000000 + 116444736000000000ULL + microseconds * 10;
}

using address = std::array<uint8_t, 16>;  // IPv4 uses the first 4 bytes

address ip4(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  return {a, b, c, d};
}
address ip6(uint8_t last) {
  address a{0x20, 0x01, 0x0d, 0xb8};
  a[15] = last;
  return a;
}

struct frame_fields {
  bool ipv6 = false;
  address src = ip4(10, 0, 0, 1);
  address dst = ip4(10, 0, 0, 2);
  uint16_t ether_type = 0;  // 0: the one of the IP version
  uint8_t type = 8, code = 0;
  uint16_t id = 1;
  uint32_t ts_sec = TS_SEC, ts_usec = 0;
  uint32_t uncaptured = 0;  // wire bytes beyond the captured ones
  std::vector<uint8_t> payload = {'p', 'i', 'n', 'g'};
};

std::vector<uint8_t> build(const frame_fields& s) {
  testing::record_parts r;
  r.ts_sec = s.ts_sec;
  r.ts_usec = s.ts_usec;
  r.frame =
      s.ipv6
          ? testing::ipv6_icmp_frame(s.src.data(), s.dst.data(), s.type, s.code, s.id, s.payload)
          : testing::ipv4_icmp_frame(s.src.data(), s.dst.data(), s.type, s.code, s.id, s.payload);
  if (s.ether_type != 0) {
    r.frame[ETH_TYPE_OFFSET] = static_cast<uint8_t>(s.ether_type >> 8);
    r.frame[ETH_TYPE_OFFSET + 1] = static_cast<uint8_t>(s.ether_type);
  }
  r.orig_len = static_cast<int64_t>(r.frame.size() + s.uncaptured);
  return testing::pcap_record(r);
}

// The view the decoder would give of a record built above, with `icmp_at` bytes before the ICMP.
decoded_packet view(const std::vector<uint8_t>& record, bool ipv6, size_t icmp_at = 0) {
  decoded_packet p;
  p.record = record.data();
  p.frame = p.record + PCAP_RECORD_HEADER_SIZE;
  p.ipv6 = ipv6;
  if (icmp_at == 0) icmp_at = ipv6 ? IPV6_ICMP_OFFSET : ETH_HEADER_SIZE + 20;
  p.icmp = p.frame + icmp_at;
  p.payload = p.icmp + ICMP_HEADER_SIZE;
  p.incl_len = static_cast<uint32_t>(record.size() - PCAP_RECORD_HEADER_SIZE);
  p.hdr_len = static_cast<int32_t>(icmp_at + ICMP_HEADER_SIZE);
  p.payload_len = static_cast<int32_t>(p.incl_len) - p.hdr_len;
  return p;
}

bool passes(const frame_fields& s, const packet_ctx& ctx, uint64_t frame_number = 1) {
  const std::vector<uint8_t> record = build(s);
  return packet_passes_filters(frame_number, view(record, s.ipv6), &ctx);
}

TEST(Filters, KeepsIcmpOverEitherIpVersionAndDropsOtherFrames) {
  const packet_ctx ctx;
  EXPECT_TRUE(passes({}, ctx));
  EXPECT_TRUE(passes({.ipv6 = true, .src = ip6(1), .dst = ip6(2)}, ctx));
  EXPECT_FALSE(passes({.ether_type = 0x0806}, ctx));
  EXPECT_FALSE(passes({.ether_type = 0x8100}, ctx));
  const std::vector<uint8_t> record = build({});
  EXPECT_FALSE(packet_passes_filters(1, view(record, false), nullptr));
  decoded_packet no_record = view(record, false);
  no_record.record = nullptr;
  EXPECT_FALSE(packet_passes_filters(1, no_record, &ctx));
}

TEST(Filters, MinimumSizeAndFrameNumbersSelectFrames) {
  // 46 bytes captured, 150 on the wire: the wire length is what counts.
  for (const auto& [min_size, kept] : {std::pair{150u, true}, {151u, false}}) {
    packet_ctx ctx;
    ctx.min_size = min_size;
    EXPECT_EQ(passes({.uncaptured = 104}, ctx), kept) << "min_size " << min_size;
  }
  packet_ctx ctx;
  ctx.frames = {2, 5};
  EXPECT_FALSE(passes({}, ctx, 1));
  EXPECT_TRUE(passes({}, ctx, 2));
  EXPECT_TRUE(passes({}, ctx, 5));
  EXPECT_FALSE(passes({.ether_type = 0x0806}, ctx, 5));
}

TEST(Filters, TimeLimitsAreInclusive) {
  const uint64_t t = unix_ticks(TS_SEC, 250000);
  const struct {
    const char* name;
    uint32_t ts_sec, ts_usec;
    uint64_t start, stop;
    bool kept;
  } rows[] = {
      {"equal to start", TS_SEC, 250000, t, 0, true},
      {"one tick before start", TS_SEC, 250000, t + 1, 0, false},
      {"equal to stop", TS_SEC, 250000, 0, t, true},
      {"one tick after stop", TS_SEC, 250000, 0, t - 1, false},
      {"microseconds count", TS_SEC, 250001, 0, t, false},
      {"zero seconds fails any start", 0, 5, 1, 0, false},
      {"zero seconds passes a stop", 0, 5, 0, t, true},
      {"negative seconds fall before 1970", 0x80000000u, 0, unix_ticks(0, 1), 0, false},
      {"negative seconds pass a later stop", 0xffffffffu, 0, 0, t, true},
  };
  for (const auto& r : rows) {
    packet_ctx ctx;
    ctx.start_time = r.start;
    ctx.stop_time = r.stop;
    EXPECT_EQ(passes({.ts_sec = r.ts_sec, .ts_usec = r.ts_usec}, ctx), r.kept) << r.name;
  }
}

// Which of four packets between A, B and C (A->B, B->A, A->C, C->B) each filter keeps, with a
// source filter A and a destination filter B.
TEST(Filters, AddressFiltersAndTrackedRepliesOverBothIpVersions) {
  const struct {
    bool src, dst, track;
    const char* kept;
  } rows[] = {
      {true, false, false, "1010"}, {false, true, false, "1001"}, {true, true, false, "1000"},
      {true, false, true, "1110"},  {false, true, true, "1101"},  {true, true, true, "1100"},
  };
  for (const bool v6 : {false, true}) {
    const address a = v6 ? ip6(1) : ip4(10, 0, 0, 1), b = v6 ? ip6(2) : ip4(10, 0, 0, 2),
                  c = v6 ? ip6(3) : ip4(192, 168, 7, 3);
    for (const auto& r : rows) {
      packet_ctx ctx;
      ctx.track_replies = r.track;
      if (v6) {
        if (r.src) ctx.src_ipv6.assign(a.begin(), a.end());
        if (r.dst) ctx.dst_ipv6.assign(b.begin(), b.end());
      } else {
        if (r.src) ctx.src_ip = load_le32(a.data());
        if (r.dst) ctx.dst_ip = load_le32(b.data());
      }
      std::string kept;
      for (const auto& [s, d] : {std::pair{a, b}, {b, a}, {a, c}, {c, b}}) {
        kept += passes({.ipv6 = v6, .src = s, .dst = d}, ctx) ? '1' : '0';
      }
      EXPECT_EQ(kept, r.kept) << (v6 ? "v6" : "v4") << r.src << r.dst << r.track;
    }
  }
}

TEST(Filters, AddressFilterOfTheOtherIpVersionDropsThePacket) {
  const frame_fields v4{}, v6{.ipv6 = true, .src = ip6(1), .dst = ip6(2)};
  for (bool track : {false, true}) {
    packet_ctx by_v4;
    by_v4.track_replies = track;
    by_v4.src_ip = 0x0100000a;  // 10.0.0.1, first address byte lowest
    EXPECT_TRUE(passes(v4, by_v4));
    EXPECT_FALSE(passes({.src = ip4(1, 0, 0, 10)}, by_v4));
    EXPECT_FALSE(passes(v6, by_v4));

    packet_ctx by_v6;
    by_v6.track_replies = track;
    by_v6.dst_ipv6.assign(v6.dst.begin(), v6.dst.end());
    EXPECT_TRUE(passes(v6, by_v6));
    EXPECT_FALSE(passes(v4, by_v6));
  }
}

TEST(Filters, AddressFilterDropsFrameWhoseAddressesWereNotCaptured) {
  // An IHL of 0 puts the ICMP header right after the Ethernet header, so the capture can end
  // before the IPv4 addresses would be.
  std::vector<uint8_t> record = build({});
  record[PCAP_RECORD_HEADER_SIZE + ETH_HEADER_SIZE] = 0x40;
  record.resize(PCAP_RECORD_HEADER_SIZE + 24);
  const decoded_packet p = view(record, false, ETH_HEADER_SIZE);
  packet_ctx ctx;
  EXPECT_TRUE(packet_passes_filters(1, p, &ctx));
  ctx.src_ip = 0x0100000a;
  EXPECT_FALSE(packet_passes_filters(1, p, &ctx));
}

TEST(Filters, BytePatternSearchesTheWholeCapturedFrameOnly) {
  const std::vector<uint8_t> record = build({.payload = {'x', 'y', 'z'}});
  decoded_packet p = view(record, false);
  packet_ctx ctx;
  auto search = [&](std::string literal) {
    ctx.pattern.runs = {pattern_run{literal, true, 0}};
    ctx.pattern.total_len = literal.size();
    return packet_passes_filters(1, p, &ctx);
  };
  EXPECT_TRUE(search("\x06\x07"));  // inside the Ethernet source address
  EXPECT_TRUE(search("yz"));
  EXPECT_FALSE(search("qq"));
  p.incl_len -= 1;  // "z" is no longer captured
  EXPECT_FALSE(search("yz"));
}

TEST(Filters, IcmpChecksSelectByTypeCodeAndIdentifier) {
  const struct {
    const char* name;
    std::vector<uint64_t> types, codes;
    std::set<uint64_t> ids;
    uint8_t type, code;
    uint16_t id;
    bool kept;
  } rows[] = {
      {"no list keeps all", {}, {}, {}, 3, 1, 0, true},
      {"echo reply in type list", {0, 8}, {}, {}, 0, 0, 1, true},
      {"ICMPv6 echo not in type list", {0, 8}, {}, {}, 128, 0, 1, false},
      {"type compares low eight bits", {264}, {}, {}, 8, 0, 1, true},
      {"code list misses", {}, {3}, {}, 3, 1, 0, false},
      {"code compares low eight bits", {}, {0x103}, {}, 3, 3, 0, true},
      {"id of unreachable message is read", {}, {}, {1}, 3, 1, 1, true},
      {"id read big-endian", {}, {}, {0x0100}, 8, 0, 1, false},
      {"id above 16 bits never matches", {}, {}, {0x10001}, 8, 0, 1, false},
      {"all lists must match", {8}, {0}, {7}, 8, 0, 1, false},
  };
  for (const auto& r : rows) {
    packet_ctx ctx;
    ctx.icmp_types = r.types;
    ctx.icmp_codes = r.codes;
    ctx.icmp_ids = r.ids;
    const std::vector<uint8_t> record = build({.type = r.type, .code = r.code, .id = r.id});
    EXPECT_EQ(packet_passes_icmp_checks(view(record, false), ctx), r.kept) << r.name;
  }
}

}  // namespace
}  // namespace nelo
