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

// Address filter items with the mask as the filters hold it (IPv4: the first byte lowest); the
// item's address is masked here, as the option reader does.
ipv4_prefix v4_item(const address& a, uint32_t mask) {
  return {load_le32(a.data()) & mask, mask};
}
ipv6_prefix v6_item(const address& a, uint64_t mask_high, uint64_t mask_low) {
  return {load_be64(a.data()) & mask_high, load_be64(a.data() + 8) & mask_low, mask_high, mask_low};
}

struct frame_fields {
  bool ipv6 = false;
  address src = ip4(10, 0, 0, 1);
  address dst = ip4(10, 0, 0, 2);
  uint8_t type = 8, code = 0;
  uint16_t id = 1;
  uint64_t ticks = unix_ticks(TS_SEC, 0);
  uint8_t sub_tick_ns = 0;
  record_time time = record_time::shown;
  uint32_t uncaptured = 0;  // wire bytes beyond the captured ones
  std::vector<uint8_t> payload = {'p', 'i', 'n', 'g'};
};

testing::bytes frame_of(const frame_fields& s) {
  return s.ipv6
             ? testing::ipv6_icmp_frame(s.src.data(), s.dst.data(), s.type, s.code, s.id, s.payload)
             : testing::ipv4_icmp_frame(s.src.data(), s.dst.data(), s.type, s.code, s.id,
                                        s.payload);
}

struct built : testing::decoded_frame {
  explicit built(const frame_fields& s, uint64_t frame_number = 1)
      : decoded_frame(frame_of(s), s.ticks, s.time,
                      static_cast<uint32_t>(frame_of(s).size() + s.uncaptured), frame_number) {
    record.sub_tick_ns = s.sub_tick_ns;
  }
};

bool passes(const frame_fields& s, const filter_settings& filters, uint64_t frame_number = 1) {
  return packet_passes_filters(built(s, frame_number).packet, filters);
}

TEST(Filters, MinimumSizeAndFrameNumbersSelectFrames) {
  filter_settings filters;
  EXPECT_TRUE(passes({.ipv6 = true, .src = ip6(1), .dst = ip6(2)}, filters));
  // 46 bytes captured, 150 on the wire: the wire length is what counts.
  filters.min_size = 150;
  EXPECT_TRUE(passes({.uncaptured = 104}, filters));
  filters.min_size = 151;
  EXPECT_FALSE(passes({.uncaptured = 104}, filters));
  filters.min_size = 0;
  filters.frames = {{2, 2}, {5, 9}};
  EXPECT_FALSE(passes({}, filters, 1) || passes({}, filters, 3) || passes({}, filters, 10));
  EXPECT_TRUE(passes({}, filters, 2) && passes({}, filters, 5) && passes({}, filters, 9));
}

TEST(Filters, TimeLimitsAreInclusiveAndNeedATime) {
  const uint64_t t = unix_ticks(TS_SEC, 250000);
  const uint64_t before_1970 = unix_ticks(0, 0) - 10000000;
  const struct {
    const char* name;
    ko::fine_time stamp;
    record_time time;
    ko::fine_time start, stop;
    bool kept;
  } rows[] = {
      {"equal to start", {t, 7}, record_time::shown, {t, 7}, {}, true},
      {"one tick before start", {t, 7}, record_time::shown, {t + 1, 0}, {}, false},
      {"one nanosecond before start", {t, 7}, record_time::shown, {t, 8}, {}, false},
      {"equal to stop", {t, 7}, record_time::shown, {}, {t, 7}, true},
      {"one nanosecond after stop", {t, 7}, record_time::shown, {}, {t, 6}, false},
      {"one tick after stop", {t, 0}, record_time::shown, {}, {t - 1, 99}, false},
      {"a hidden stamp still counts", {before_1970}, record_time::hidden, {}, {t}, true},
      {"a hidden stamp fails a later start", {before_1970}, record_time::hidden, {t}, {}, false},
      {"no time fails a stop", {}, record_time::absent, {}, {t}, false},
      {"no time fails a start", {}, record_time::absent, {1}, {}, false},
      {"no time passes when there is no window", {}, record_time::absent, {}, {}, true},
  };
  for (const auto& r : rows) {
    filter_settings filters;
    filters.start_time = r.start;
    filters.stop_time = r.stop;
    const frame_fields s{
        .ticks = r.stamp.ticks, .sub_tick_ns = r.stamp.sub_tick_ns, .time = r.time};
    EXPECT_EQ(passes(s, filters), r.kept) << r.name;
  }
}

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
      filter_settings filters;
      filters.track_replies = r.track;
      if (v6) {
        // Each filter is a list: fe80::/64 and a/127 (which holds a but not b or c), and b.
        const uint64_t all = ~uint64_t{0};
        if (r.src) filters.src_ipv6 = {v6_item({0xfe, 0x80}, all, 0), v6_item(a, all, all << 1)};
        if (r.dst) filters.dst_ipv6 = {v6_item(b, all, all)};
      } else {
        // 172.16.0.0/12 and a; b/31, which holds b but not a or c.
        if (r.src) filters.src_ip = {v4_item(ip4(172, 16, 0, 0), 0xf0ff), v4_item(a, 0xffffffff)};
        if (r.dst) filters.dst_ip = {v4_item(b, 0xfeffffff)};
      }
      std::string kept;
      for (const auto& [s, d] : {std::pair{a, b}, {b, a}, {a, c}, {c, b}}) {
        kept += passes({.ipv6 = v6, .src = s, .dst = d}, filters) ? '1' : '0';
      }
      EXPECT_EQ(kept, r.kept) << (v6 ? "v6" : "v4") << r.src << r.dst << r.track;
      // A filter of one IP version drops every packet of the other.
      const frame_fields other = v6 ? frame_fields{} : frame_fields{true, ip6(1), ip6(2)};
      EXPECT_FALSE(passes(other, filters)) << (v6 ? "v6" : "v4") << r.src << r.dst << r.track;
    }
  }
  // One end's filter may hold both versions (-srcip 10.0.0.1,2001:db8::1): each packet is held
  // against the items of its own, and -proto keeps one protocol.
  filter_settings mixed;
  mixed.src_ip = {v4_item(ip4(10, 0, 0, 1), 0xffffffff)};
  mixed.src_ipv6 = {v6_item(ip6(1), ~uint64_t{0}, ~uint64_t{0})};
  EXPECT_TRUE(passes({}, mixed) && passes({true, ip6(1), ip6(2)}, mixed));
  EXPECT_FALSE(passes({.src = ip4(10, 0, 0, 3)}, mixed) || passes({true, ip6(2), ip6(1)}, mixed));
  mixed.icmpv4 = false;
  EXPECT_FALSE(passes({}, mixed));
  EXPECT_TRUE(passes({true, ip6(1), ip6(2)}, mixed));
}

TEST(Filters, BytePatternSearchesTheWholeCapturedFrameOnly) {
  const built b({.payload = {'x', 'y', 'z'}});
  decoded_packet p = b.packet;
  filter_settings filters;
  auto search = [&](std::string literal) {
    filters.pattern.runs = {pattern_run{literal, 0}};
    filters.pattern.total_len = literal.size();
    return packet_passes_filters(p, filters);
  };
  EXPECT_TRUE(search("\x06\x07"));  // inside the Ethernet source address
  EXPECT_TRUE(search("yz"));
  EXPECT_FALSE(search("qq"));
  // -find_text's second form passes a packet the first one misses.
  filters.pattern_utf16.runs = {pattern_run{"yz", 0}};
  filters.pattern_utf16.total_len = 2;
  EXPECT_TRUE(search("qq"));
  filters.pattern_utf16.reset();
  p.frame = p.frame.first(p.frame.size() - 1);  // "z" is no longer captured
  EXPECT_FALSE(search("yz"));
}

TEST(Filters, IcmpChecksSelectByTypeCodeAndIdentifier) {
  // A number applies to both protocols, a name to its own.
  const icmp_value both8{8, true, true}, v4_8{8, true, false}, v6_128{128, false, true};
  const struct {
    const char* name;
    std::vector<icmp_value> types, codes;
    std::set<uint64_t> ids;
    bool ipv6;
    uint8_t type, code;
    uint16_t id;
    bool kept;
  } rows[] = {
      {"no list keeps all", {}, {}, {}, false, 3, 1, 0, true},
      {"echo reply in type list", {{0}, both8}, {}, {}, false, 0, 0, 1, true},
      {"ICMPv6 echo not in type list", {{0}, both8}, {}, {}, true, 128, 0, 1, false},
      {"a number holds for ICMPv6 too", {both8}, {}, {}, true, 8, 0, 1, true},
      {"an ICMP name leaves ICMPv6 out", {v4_8}, {}, {}, true, 8, 0, 1, false},
      {"an ICMPv6 name", {v4_8, v6_128}, {}, {}, true, 128, 0, 1, true},
      {"code list misses", {}, {{3}}, {}, false, 3, 1, 0, false},
      {"a code of the other protocol", {}, {{4, false, true}}, {}, false, 3, 4, 0, false},
      {"id of unreachable message is read", {}, {}, {1}, false, 3, 1, 1, true},
      {"id read big-endian", {}, {}, {0x0100}, false, 8, 0, 1, false},
      {"all lists must match", {both8}, {{0}}, {7}, false, 8, 0, 1, false},
  };
  for (const auto& r : rows) {
    filter_settings filters;
    filters.icmp_types = r.types;
    filters.icmp_codes = r.codes;
    filters.icmp_ids = r.ids;
    const built b({.ipv6 = r.ipv6, .type = r.type, .code = r.code, .id = r.id});
    EXPECT_EQ(packet_passes_icmp_checks(b.packet, filters), r.kept) << r.name;
  }
}

}  // namespace
}  // namespace nelo
