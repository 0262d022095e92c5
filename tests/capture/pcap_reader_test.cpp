// pcap and pcapng files written with the test helper: what a walk hands on from each variant and
// kind of packet block, how stamps become ticks, and where damaged records end the walk.
#include "capture/pcap_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capture/pcapng_file.h"
#include "helpers/pcap_builder.h"
#include "support/ko_time.h"
#include "support/wire.h"

namespace nelo {
namespace {

using testing::bytes;
using testing::pcapng_writer;

constexpr uint64_t EPOCH_TICKS = ko::TICKS_1601_TO_1970;
constexpr uint64_t TICKS_PER_SECOND = ko::TICKS_PER_SECOND;
constexpr uint64_t T0 = 1600000000;  // seconds since 1970
constexpr walk_outcome WALKED = walk_outcome::walked;

testing::recorded_walk walk(const bytes& file) {
  return testing::record_walk(testing::write_temp_file("walk.cap", file));
}

bytes filled(size_t n, uint8_t seed) {
  bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 7);
  return b;
}

TEST(PcapReader, AllFourVariantsReadEveryFieldInTheirOwnByteOrder) {
  for (const bool big_endian : {false, true}) {
    for (const bool nanoseconds : {false, true}) {
      const auto r = walk(testing::pcap_file(
          {{.ts_sec = T0, .ts_usec = 123456789, .frame = filled(60, 1), .orig_len = 1514},
           {.ts_sec = T0 + 1, .ts_usec = 5, .frame = filled(70, 2)}},
          262144, big_endian, nanoseconds, 113));
      const std::string name = std::string(big_endian ? "big" : "little") +
                               (nanoseconds ? "-endian nanoseconds" : "-endian microseconds");
      ASSERT_EQ(r.outcome, WALKED) << name;
      ASSERT_EQ(r.seen.size(), 2u) << name;
      const uint64_t second = EPOCH_TICKS + T0 * TICKS_PER_SECOND;
      EXPECT_EQ(r.seen[0].ticks, second + (nanoseconds ? 1234567 : 1234567890)) << name;
      EXPECT_EQ(r.seen[1].ticks, second + TICKS_PER_SECOND + (nanoseconds ? 0 : 50)) << name;
      EXPECT_EQ(r.seen[0].frame, filled(60, 1)) << name;
      EXPECT_EQ(r.seen[0].wire_len, 1514u) << name;
      EXPECT_EQ(r.seen[1].link_type, 113u) << name;
    }
  }
}

TEST(PcapReader, StampsAtOrBefore1970KeepTheirSecondsButAreNotShown) {
  const struct {
    const char* name;
    uint32_t sec, frac;
    bool nanoseconds;
    uint64_t ticks;
    record_time time;
  } rows[] = {
      {"zero seconds", 0, 5, false, 0, record_time::hidden},
      {"negative seconds drop the fraction", 0xffffffffu, 7, false, EPOCH_TICKS - TICKS_PER_SECOND,
       record_time::hidden},
      {"one second after 1970", 1, 0, false, EPOCH_TICKS + TICKS_PER_SECOND, record_time::shown},
      {"fraction past a second carries", 1, 1500000, false,
       EPOCH_TICKS + TICKS_PER_SECOND + 15000000, record_time::shown},
      {"nanoseconds finer than a tick are dropped", 1, 199, true,
       EPOCH_TICKS + TICKS_PER_SECOND + 1, record_time::shown},
  };
  for (const auto& row : rows) {
    const auto r =
        walk(testing::pcap_file({{.ts_sec = row.sec, .ts_usec = row.frac, .frame = filled(20, 1)}},
                                262144, false, row.nanoseconds));
    ASSERT_EQ(r.seen.size(), 1u) << row.name;
    EXPECT_EQ(r.seen[0].ticks, row.ticks) << row.name;
    EXPECT_EQ(r.seen[0].time, row.time) << row.name;
    EXPECT_EQ(r.seen[0].sub_tick_ns, row.nanoseconds ? row.frac % 100 : 0) << row.name;
  }
}

TEST(PcapReader, RecordsLargerThanTheReadBufferAreHandedOnWholeUpToTheRecordLimit) {
  const bytes big = filled(READ_BUFFER_SIZE * 3 + 17, 9);
  const bytes jumbo = filled(200000, 4);  // above the classic 128 KiB record buffer
  const auto r = walk(testing::pcap_file({{.frame = filled(60, 1)},
                                          {.frame = big},
                                          {.frame = jumbo},
                                          {.frame = filled(60, 2)},
                                          {.frame = {}, .incl_len = MAX_RECORD_LENGTH + 1}},
                                         0xFFFFFFFF));
  EXPECT_EQ(r.outcome, WALKED);
  ASSERT_EQ(r.seen.size(), 4u);
  EXPECT_EQ(r.seen[1].frame, big);
  EXPECT_EQ(r.seen[2].frame, jumbo);
  EXPECT_EQ(r.seen[3].frame_number, 4u);
  EXPECT_TRUE(
      r.said.ends_with(": damaged record after frame 4 (record of 67108865 bytes is above "
                       "the 64 MiB limit), the rest is not read\n"))
      << r.said;
}

TEST(PcapngFile, HandsOnEveryKindOfPacketBlockAcrossSectionsAndInterfaces) {
  const int64_t an_hour_later = 3600;
  pcapng_writer w;
  w.section(false);
  w.interface(1);                          // microseconds by default
  w.interface(276, 0, 9, &an_hour_later);  // nanoseconds, one hour added
  w.block(0x0BAD, bytes(10, 0xee));        // a block nelo does not know is skipped
  w.enhanced(0, T0 * 1000000 + 250, filled(60, 1), 1514);
  w.enhanced(1, T0 * 1000000000 + 123456789, filled(70, 2));
  w.enhanced(7, T0, filled(10, 3));  // no such interface: counted, not handed on
  w.section(true);                   // a new section forgets the interfaces
  w.interface(101, 40, 0x80 | 20);   // 2^-20 seconds, snaplen 40
  w.obsolete(0, (T0 << 20) | (1 << 19), filled(50, 4));  // half a second
  w.simple(filled(80, 5), 90);                           // cut to the snaplen; no time
  const auto r = walk(w.data());
  ASSERT_EQ(r.outcome, WALKED);
  EXPECT_EQ(r.said, "");
  const uint64_t t0 = EPOCH_TICKS + T0 * TICKS_PER_SECOND;
  const std::vector<testing::seen_record> expected = {
      {1, filled(60, 1), t0 + 2500, record_time::shown, 1514, 1, 0},
      {2, filled(70, 2), t0 + 3600 * TICKS_PER_SECOND + 1234567, record_time::shown, 70, 276, 89},
      {4, filled(50, 4), t0 + TICKS_PER_SECOND / 2, record_time::shown, 50, 101, 0},
      {5, filled(40, 5), 0, record_time::absent, 90, 101, 0},
  };
  EXPECT_TRUE(r.seen == expected);
}

TEST(PcapngFile, StampsOutsideTheShownRangeAreHidden) {
  const int64_t back_to_1969 = -static_cast<int64_t>(T0) - 100;
  pcapng_writer w;
  w.section(false);
  w.interface(1, 0, -1, &back_to_1969);
  w.interface(1, 0, 0x80 | 127);  // 2^-127: every stamp is within the first second
  w.enhanced(0, T0 * 1000000, filled(20, 1));
  w.enhanced(1, ~uint64_t{0}, filled(20, 1));
  const auto r = walk(w.data());
  ASSERT_EQ(r.seen.size(), 2u);
  EXPECT_EQ(r.seen[0].time, record_time::hidden);
  EXPECT_EQ(r.seen[0].ticks, EPOCH_TICKS - 100 * TICKS_PER_SECOND);
  EXPECT_EQ(r.seen[1].time, record_time::hidden);
  EXPECT_EQ(r.seen[1].ticks, 0u);  // whole seconds of 0, as a classic stamp of 0 seconds
}

TEST(CaptureFiles, AWalkThatEndsBeforeTheDataSaysWhereAndWhyOnStandardError) {
  const bytes two = testing::pcap_file({{.frame = filled(60, 1)}, {.frame = filled(98, 2)}});
  pcapng_writer ng;
  ng.section(false);
  ng.interface(1);
  ng.enhanced(0, 1, filled(60, 1));
  const pcapng_writer first = ng;
  const size_t tail = ng.data().size();  // where the second packet block starts
  ng.enhanced(0, 2, filled(60, 2));
  const bytes base = ng.data();
  const auto with = [&](size_t at, uint32_t v) {
    bytes b = base;
    store_le32(b.data() + at, v);
    return b;
  };
  // The first packet, then one more block.
  const auto then = [&](uint32_t type, const bytes& body) {
    pcapng_writer w = first;
    w.block(type, body);
    return w.data();
  };
  const auto section_body = [](uint8_t order0, uint16_t major) {
    return bytes{order0, 0x3c, 0x2b, 0x1a, static_cast<uint8_t>(major), 0, 0, 0};
  };
  const auto damaged = [](const std::string& reason) {
    return ": damaged record after frame 1 (" + reason + "), the rest is not read\n";
  };
  const std::string header_cut = ": the file ends inside the record header after frame 1\n";
  const struct {
    const char* name;
    bytes file;
    size_t handed_on;
    std::string message;  // empty: nothing on standard error
  } rows[] = {
      {"pcap whole", two, 2, ""},
      {"pcap final record cut short", bytes(two.begin(), two.end() - 40), 2,
       ": frame 2 is cut short, 58 of 98 bytes present\n"},
      {"pcap record header cut", bytes(two.begin(), two.begin() + 24 + 76 + 9), 1, header_cut},
      {"pcap record longer than the snaplen",
       testing::pcap_file(
           {{.frame = filled(60, 1)}, {.frame = filled(200, 2)}, {.frame = filled(50, 3)}}, 150),
       1, damaged("captured length 200 is above the snaplen 150")},
      {"pcap record above the record limit",
       testing::pcap_file({{.frame = filled(60, 1)}, {.frame = {}, .incl_len = 80u << 20}},
                          0xFFFFFFFF),
       1, damaged("record of 80 MiB is above the 64 MiB limit")},
      {"pcapng intact", base, 2, ""},
      {"total length below 12", with(tail + 4, 8), 1, damaged("block length 8 is below 12")},
      {"total length not a multiple of 4", with(tail + 4, 90), 1,
       damaged("block length 90 is not a multiple of 4")},
      {"total length past the end", with(tail + 4, 4096), 1,
       damaged("block length 4096 runs past the end of the data, 92 bytes left")},
      {"total length above the record limit", with(tail + 4, 0x7ffffff0), 1,
       damaged("block of 2147483632 bytes is above the 64 MiB limit")},
      {"trailing length differs", with(base.size() - 4, 88), 1,
       damaged("trailing block length 88 differs from 92")},
      {"captured length past the block", with(tail + 20, 61), 1,
       damaged("captured length 61 is above the 60 bytes its block holds")},
      {"file cut inside a block", bytes(base.begin(), base.end() - 1), 1,
       damaged("block length 92 runs past the end of the data, 91 bytes left")},
      {"file cut inside a block header", bytes(base.begin(), base.begin() + tail + 5), 1,
       header_cut},
      {"a later section of another major version",
       then(PCAPNG_SECTION_HEADER, section_body(0x4d, 2)), 1,
       damaged("section major version 2 is not 1")},
      {"a later section of no known byte order", then(PCAPNG_SECTION_HEADER, section_body(0x4e, 1)),
       1, damaged("section byte-order magic 0x1a2b3c4e is unknown")},
      {"a section header without its section length",
       then(PCAPNG_SECTION_HEADER, section_body(0x4d, 1)), 1,
       damaged("section header block length 20 is below 28")},
      {"an interface block without its fields", then(1, bytes(4)), 1,
       damaged("interface description block length 16 is below 20")},
      {"a simple packet block without its length", then(3, {}), 1,
       damaged("simple packet block length 12 is below 16")},
      {"an enhanced packet block without its lengths", then(6, bytes(16)), 1,
       damaged("packet block length 28 is below 32")},
  };
  for (const auto& row : rows) {
    const auto r = walk(row.file);
    EXPECT_EQ(r.outcome, WALKED) << row.name;
    ASSERT_EQ(r.seen.size(), row.handed_on) << row.name;
    EXPECT_EQ(r.seen[0].frame, filled(60, 1)) << row.name;
    EXPECT_TRUE(row.message.empty() ? r.said.empty() : r.said.ends_with("walk.cap" + row.message))
        << row.name << ": " << r.said;
  }
}

TEST(PcapngFile, OnlyASectionHeaderOfVersionOneOpensAFile) {
  pcapng_writer v2;
  v2.section(false, 2);
  v2.interface(1);
  const auto r = walk(v2.data());
  EXPECT_EQ(r.outcome, walk_outcome::not_capture);
}

TEST(PcapngFile, FramesOfALinkTypeNotDecodedAreToldOncePerFile) {
  pcapng_writer w;
  w.section(false);
  w.interface(147);
  w.interface(1);
  for (int i = 0; i < 3; ++i) {
    w.enhanced(0, 1, filled(20, 1));
    w.enhanced(1, 1, filled(20, 1));
  }
  const auto r = walk(w.data());
  EXPECT_EQ(r.seen.size(), 6u);
  EXPECT_EQ(r.skipped_link_types, std::vector<uint32_t>{147});
}

}  // namespace
}  // namespace nelo
