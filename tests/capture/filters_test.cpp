#include "capture/filters.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <ostream>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "support/wire.h"

namespace nelo {
namespace {

constexpr uint32_t TS_SEC = 1600000000;  // 2020-09-13 12:26:40 UTC
constexpr uint64_t TICKS_PER_SECOND = 10000000;
constexpr uint64_t TICKS_1601_TO_1970 = 116444736000000000ULL;

uint64_t unix_ticks(uint64_t seconds, uint64_t microseconds) {
  return seconds * TICKS_PER_SECOND + TICKS_1601_TO_1970 + microseconds * 10;
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
uint32_t filter_value(const address& a) {
  return load_le32(a.data());
}
std::vector<uint8_t> filter_value6(const address& a) {
  return {a.begin(), a.end()};
}

struct frame_fields {
  bool ipv6 = false;
  address src = ip4(10, 0, 0, 1);
  address dst = ip4(10, 0, 0, 2);
  uint16_t ether_type = 0;  // 0: the one of the IP version
  uint8_t type = 8;
  uint8_t code = 0;
  uint16_t id = 1;
  uint32_t ts_sec = TS_SEC;
  uint32_t ts_usec = 0;
  uint32_t uncaptured = 0;  // wire bytes beyond the captured ones
  std::vector<uint8_t> payload = {'p', 'i', 'n', 'g'};
};

// A pcap record (header and frame) and the positions the decoder would derive from it.
struct test_frame {
  std::vector<uint8_t> bytes;
  size_t icmp_at = 0;

  decoded_packet packet() const {
    decoded_packet p;
    p.record = bytes.data();
    p.frame = bytes.data() + PCAP_RECORD_HEADER_SIZE;
    p.icmp = p.frame + icmp_at;
    p.payload = p.icmp + ICMP_HEADER_SIZE;
    p.incl_len = static_cast<uint32_t>(bytes.size() - PCAP_RECORD_HEADER_SIZE);
    p.hdr_len = static_cast<int32_t>(icmp_at + ICMP_HEADER_SIZE);
    p.payload_len = static_cast<int32_t>(p.incl_len) - p.hdr_len;
    p.ipv6 = icmp_at == IPV6_ICMP_OFFSET;
    return p;
  }
};

test_frame build(const frame_fields& s) {
  std::vector<uint8_t> f(ETH_HEADER_SIZE, 0);
  for (size_t i = 0; i < 12; ++i) f[i] = static_cast<uint8_t>(0xa0 + i);  // MAC addresses
  const uint16_t et = s.ether_type != 0 ? s.ether_type : (s.ipv6 ? ETHERTYPE_IPV6 : ETHERTYPE_IPV4);
  f[12] = static_cast<uint8_t>(et >> 8);
  f[13] = static_cast<uint8_t>(et);
  if (s.ipv6) {
    f.resize(IPV6_ICMP_OFFSET, 0);
    f[14] = 0x60;
    f[IPV6_NEXT_HEADER_OFFSET] = IP_PROTOCOL_ICMPV6;
    f[IPV6_HOP_LIMIT_OFFSET] = 64;
    std::copy(s.src.begin(), s.src.end(), f.begin() + IPV6_SOURCE_OFFSET);
    std::copy(s.dst.begin(), s.dst.end(), f.begin() + IPV6_DESTINATION_OFFSET);
  } else {
    f.resize(ETH_HEADER_SIZE + 20, 0);
    f[14] = 0x45;
    f[IPV4_TTL_OFFSET] = 64;
    f[IPV4_PROTOCOL_OFFSET] = IP_PROTOCOL_ICMP;
    std::copy(s.src.begin(), s.src.begin() + 4, f.begin() + IPV4_SOURCE_OFFSET);
    std::copy(s.dst.begin(), s.dst.begin() + 4, f.begin() + IPV4_DESTINATION_OFFSET);
  }
  test_frame t;
  t.icmp_at = f.size();
  const uint8_t icmp[] = {
      s.type, s.code, 0, 0, static_cast<uint8_t>(s.id >> 8), static_cast<uint8_t>(s.id), 0, 1};
  f.insert(f.end(), std::begin(icmp), std::end(icmp));
  f.insert(f.end(), s.payload.begin(), s.payload.end());

  t.bytes.resize(PCAP_RECORD_HEADER_SIZE);
  store_le32(&t.bytes[0], s.ts_sec);
  store_le32(&t.bytes[4], s.ts_usec);
  store_le32(&t.bytes[8], static_cast<uint32_t>(f.size()));
  store_le32(&t.bytes[12], static_cast<uint32_t>(f.size()) + s.uncaptured);
  t.bytes.insert(t.bytes.end(), f.begin(), f.end());
  return t;
}

bool passes(const frame_fields& s, const packet_ctx& ctx, uint64_t frame_number = 1) {
  const test_frame t = build(s);
  return packet_passes_filters(frame_number, t.packet(), &ctx);
}

TEST(Filters, NoFilterKeepsIcmpOverEitherIpVersion) {
  const packet_ctx ctx;
  EXPECT_TRUE(passes({}, ctx));
  EXPECT_TRUE(passes({.ipv6 = true, .src = ip6(1), .dst = ip6(2)}, ctx));
}

TEST(Filters, OtherEtherTypesAndMissingArgumentsAreDropped) {
  const packet_ctx ctx;
  EXPECT_FALSE(passes({.ether_type = 0x0806}, ctx));
  EXPECT_FALSE(passes({.ether_type = 0x8100}, ctx));
  const test_frame t = build({});
  EXPECT_FALSE(packet_passes_filters(1, t.packet(), nullptr));
  decoded_packet no_record = t.packet();
  no_record.record = nullptr;
  EXPECT_FALSE(packet_passes_filters(1, no_record, &ctx));
}

TEST(Filters, MinimumSizeIsComparedWithTheWireLength) {
  // The frame is 42 + 4 = 46 bytes captured; 104 more were on the wire.
  const frame_fields truncated{.uncaptured = 104};
  struct row {
    uint32_t min_size;
    bool kept;
  };
  for (const row& r : {row{0, true}, row{150, true}, row{151, false}, row{100, true}}) {
    packet_ctx ctx;
    ctx.min_size = r.min_size;
    EXPECT_EQ(passes(truncated, ctx), r.kept) << "min_size " << r.min_size;
  }
}

TEST(Filters, FrameNumberSetKeepsOnlyListedFrames) {
  packet_ctx ctx;
  ctx.frames = {2, 5};
  EXPECT_FALSE(passes({}, ctx, 1));
  EXPECT_TRUE(passes({}, ctx, 2));
  EXPECT_FALSE(passes({}, ctx, 3));
  EXPECT_TRUE(passes({}, ctx, 5));
  EXPECT_FALSE(passes({.ether_type = 0x0806}, ctx, 5));
}

struct time_row {
  const char* name;
  uint32_t ts_sec;
  uint32_t ts_usec;
  uint64_t start;
  uint64_t stop;
  bool kept;
};
void PrintTo(const time_row& r, std::ostream* os) {
  *os << r.name;
}

class TimeWindow : public ::testing::TestWithParam<time_row> {};

TEST_P(TimeWindow, LimitsAreInclusive) {
  const time_row& r = GetParam();
  packet_ctx ctx;
  ctx.start_time = r.start;
  ctx.stop_time = r.stop;
  EXPECT_EQ(passes({.ts_sec = r.ts_sec, .ts_usec = r.ts_usec}, ctx), r.kept);
}

const uint64_t T = unix_ticks(TS_SEC, 250000);

INSTANTIATE_TEST_SUITE_P(
    Filters, TimeWindow,
    ::testing::Values(
        time_row{"EqualToStartIsKept", TS_SEC, 250000, T, 0, true},
        time_row{"OneTickBeforeStartIsDropped", TS_SEC, 250000, T + 1, 0, false},
        time_row{"EqualToStopIsKept", TS_SEC, 250000, 0, T, true},
        time_row{"OneTickAfterStopIsDropped", TS_SEC, 250000, 0, T - 1, false},
        time_row{"InsideBothLimitsIsKept", TS_SEC, 250000, T - 10, T + 10, true},
        time_row{"StartOnlyMeansOpenEnded", TS_SEC, 250000, T, ~0ULL, true},
        time_row{"MicrosecondsCount", TS_SEC, 250001, 0, T, false},
        time_row{"ZeroSecondsIsTimeZeroAndFailsAnyStart", 0, 5, 1, 0, false},
        time_row{"ZeroSecondsPassesAStopLimit", 0, 5, 0, T, true},
        time_row{"NegativeSecondsFallBefore1970", 0x80000000u, 0, unix_ticks(0, 1), 0, false},
        time_row{"NegativeSecondsStillPassAStopAfterThem", 0xffffffffu, 0, 0, T, true}),
    [](const ::testing::TestParamInfo<time_row>& i) { return std::string(i.param.name); });

// Four IPv4 packets between A, B and C, and for each filter which of them are kept.
const address A = ip4(10, 0, 0, 1), B = ip4(10, 0, 0, 2), C = ip4(192, 168, 7, 3);

struct address_row {
  const char* name;
  bool src, dst, track;  // src filter A, dst filter B
  const char* kept;      // A->B, B->A, A->C, C->B
};
void PrintTo(const address_row& r, std::ostream* os) {
  *os << r.name;
}

std::string kept_pattern(bool v6, const address_row& r) {
  const address a = v6 ? ip6(1) : A, b = v6 ? ip6(2) : B, c = v6 ? ip6(3) : C;
  packet_ctx ctx;
  ctx.track_replies = r.track;
  if (v6) {
    if (r.src) ctx.src_ipv6 = filter_value6(a);
    if (r.dst) ctx.dst_ipv6 = filter_value6(b);
  } else {
    if (r.src) ctx.src_ip = filter_value(a);
    if (r.dst) ctx.dst_ip = filter_value(b);
  }
  std::string out;
  for (const auto& [s, d] : {std::pair{a, b}, {b, a}, {a, c}, {c, b}}) {
    out += passes({.ipv6 = v6, .src = s, .dst = d}, ctx) ? '1' : '0';
  }
  return out;
}

class AddressFilter : public ::testing::TestWithParam<address_row> {};

TEST_P(AddressFilter, KeepsExpectedPacketsOverIpv4) {
  EXPECT_EQ(kept_pattern(false, GetParam()), GetParam().kept);
}
TEST_P(AddressFilter, KeepsExpectedPacketsOverIpv6) {
  EXPECT_EQ(kept_pattern(true, GetParam()), GetParam().kept);
}

INSTANTIATE_TEST_SUITE_P(
    Filters, AddressFilter,
    ::testing::Values(address_row{"SourceOnly", true, false, false, "1010"},
                      address_row{"DestinationOnly", false, true, false, "1001"},
                      address_row{"Both", true, true, false, "1000"},
                      address_row{"SourceTrackedMatchesEitherEnd", true, false, true, "1110"},
                      address_row{"DestinationTrackedMatchesEitherEnd", false, true, true, "1101"},
                      address_row{"BothTrackedKeepRequestAndReplyOnly", true, true, true, "1100"}),
    [](const ::testing::TestParamInfo<address_row>& i) { return std::string(i.param.name); });

TEST(Filters, Ipv4FilterValueHoldsTheFirstAddressByteLowest) {
  packet_ctx ctx;
  ctx.src_ip = 0x0100000a;  // 10.0.0.1
  EXPECT_TRUE(passes({.src = ip4(10, 0, 0, 1)}, ctx));
  EXPECT_FALSE(passes({.src = ip4(1, 0, 0, 10)}, ctx));
}

TEST(Filters, AddressFilterOfTheOtherIpVersionDropsThePacket) {
  const frame_fields v4{}, v6{.ipv6 = true, .src = ip6(1), .dst = ip6(2)};
  for (bool track : {false, true}) {
    packet_ctx by_v4;
    by_v4.track_replies = track;
    by_v4.src_ip = filter_value(A);
    EXPECT_TRUE(passes(v4, by_v4));
    EXPECT_FALSE(passes(v6, by_v4));

    packet_ctx by_v6;
    by_v6.track_replies = track;
    by_v6.dst_ipv6 = filter_value6(ip6(2));
    EXPECT_TRUE(passes(v6, by_v6));
    EXPECT_FALSE(passes(v4, by_v6));
  }
}

TEST(Filters, AddressFilterDropsFrameWhoseAddressesWereNotCaptured) {
  // An IHL of 0 puts the ICMP header right after the Ethernet header, so the capture can end
  // before the IPv4 addresses would be.
  test_frame t = build({});
  t.bytes[PCAP_RECORD_HEADER_SIZE + 14] = 0x40;
  t.bytes.resize(PCAP_RECORD_HEADER_SIZE + 24);
  t.icmp_at = ETH_HEADER_SIZE;
  decoded_packet p = t.packet();
  packet_ctx ctx;
  EXPECT_TRUE(packet_passes_filters(1, p, &ctx));
  ctx.src_ip = filter_value(A);
  EXPECT_FALSE(packet_passes_filters(1, p, &ctx));
}

TEST(Filters, BytePatternSearchesTheWholeCapturedFrameOnly) {
  const test_frame t = build({.payload = {'x', 'y', 'z'}});
  decoded_packet p = t.packet();
  packet_ctx ctx;
  auto set_pattern = [&ctx](std::string literal) {
    ctx.pattern.runs = {pattern_run{literal, true, 0}};
    ctx.pattern.total_len = literal.size();
  };
  set_pattern("\xa6\xa7");  // inside the Ethernet source address
  EXPECT_TRUE(packet_passes_filters(1, p, &ctx));
  set_pattern("yz");
  EXPECT_TRUE(packet_passes_filters(1, p, &ctx));
  set_pattern("qq");
  EXPECT_FALSE(packet_passes_filters(1, p, &ctx));
  p.incl_len -= 1;  // "z" is no longer captured
  set_pattern("yz");
  EXPECT_FALSE(packet_passes_filters(1, p, &ctx));
}

struct icmp_row {
  const char* name;
  std::vector<uint64_t> types, codes;
  std::set<uint64_t> ids;
  uint8_t type, code;
  uint16_t id;
  bool kept;
};
void PrintTo(const icmp_row& r, std::ostream* os) {
  *os << r.name;
}

class IcmpChecks : public ::testing::TestWithParam<icmp_row> {};

TEST_P(IcmpChecks, SelectByTypeCodeAndIdentifier) {
  const icmp_row& r = GetParam();
  packet_ctx ctx;
  ctx.icmp_types = r.types;
  ctx.icmp_codes = r.codes;
  ctx.icmp_ids = r.ids;
  const test_frame t = build({.type = r.type, .code = r.code, .id = r.id});
  EXPECT_EQ(packet_passes_icmp_checks(t.packet(), ctx), r.kept);
}

INSTANTIATE_TEST_SUITE_P(
    Filters, IcmpChecks,
    ::testing::Values(icmp_row{"NoListKeepsAll", {}, {}, {}, 3, 1, 0, true},
                      icmp_row{"EchoRequestInTypeList", {0, 8}, {}, {}, 8, 0, 1, true},
                      icmp_row{"EchoReplyInTypeList", {0, 8}, {}, {}, 0, 0, 1, true},
                      icmp_row{"Icmpv6EchoNotInTypeList", {0, 8}, {}, {}, 128, 0, 1, false},
                      icmp_row{"TypeComparesLowEightBits", {264}, {}, {}, 8, 0, 1, true},
                      icmp_row{"CodeListMatches", {}, {3}, {}, 3, 3, 0, true},
                      icmp_row{"CodeListMisses", {}, {3}, {}, 3, 1, 0, false},
                      icmp_row{"CodeComparesLowEightBits", {}, {0x103}, {}, 3, 3, 0, true},
                      icmp_row{"IdOfUnreachableMessageIsRead", {}, {}, {1}, 3, 1, 1, true},
                      icmp_row{"IdReadBigEndian", {}, {}, {0x0100}, 8, 0, 1, false},
                      icmp_row{"IdAbove16BitsNeverMatches", {}, {}, {0x10001}, 8, 0, 1, false},
                      icmp_row{"AllListsMustMatch", {8}, {0}, {7}, 8, 0, 1, false}),
    [](const ::testing::TestParamInfo<icmp_row>& i) { return std::string(i.param.name); });

}  // namespace
}  // namespace nelo
