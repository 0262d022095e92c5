// pcapng files written block by block with the test helper: what a walk hands on from each kind
// of packet block, how stamps become ticks, and where damaged blocks end the walk.
#include "capture/pcapng_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capture/pcap_reader.h"
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

constexpr int WALKED = static_cast<int>(capture_read::walked);

testing::recorded_walk walk(const bytes& file) {
  return testing::record_walk(testing::write_temp_file("walk.pcapng", file));
}

bytes frame_of(size_t n, uint8_t seed) {
  bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 3);
  return b;
}

TEST(PcapngFile, HandsOnEveryKindOfPacketBlockAcrossSectionsAndInterfaces) {
  const int64_t an_hour_later = 3600;
  pcapng_writer w;
  w.section(false);
  w.interface(1);                          // microseconds by default
  w.interface(276, 0, 9, &an_hour_later);  // nanoseconds, one hour added
  w.block(0x0BAD, bytes(10, 0xee));        // a block nelo does not know is skipped
  w.enhanced(0, T0 * 1000000 + 250, frame_of(60, 1), 1514);
  w.enhanced(1, T0 * 1000000000 + 123456789, frame_of(70, 2));
  w.enhanced(7, T0, frame_of(10, 3));  // no such interface: counted, not handed on
  w.section(true);                     // a new section forgets the interfaces
  w.interface(101, 40, 0x80 | 20);     // 2^-20 seconds, snaplen 40
  w.obsolete(0, (T0 << 20) | (1 << 19), frame_of(50, 4));  // half a second
  w.simple(frame_of(80, 5), 90);                           // cut to the snaplen; no time
  const auto r = walk(w.data());
  ASSERT_EQ(r.result, WALKED);
  EXPECT_EQ(r.err, "");
  const uint64_t t0 = EPOCH_TICKS + T0 * TICKS_PER_SECOND;
  const bytes simple = frame_of(80, 5);
  const std::vector<testing::seen_record> expected = {
      {1, frame_of(60, 1), t0 + 2500, record_time::shown, 1514, 1, 0, 6},
      {2, frame_of(70, 2), t0 + 3600 * TICKS_PER_SECOND + 1234567, record_time::shown, 70, 276, 89,
       9},
      {4, frame_of(50, 4), t0 + TICKS_PER_SECOND / 2, record_time::shown, 50, 101, 0, 7},
      {5, bytes(simple.begin(), simple.begin() + 40), 0, record_time::absent, 90, 101, 0, 0},
  };
  EXPECT_TRUE(r.seen == expected);
}

TEST(PcapngFile, StampsOutsideTheShownRangeAreHidden) {
  const int64_t back_to_1969 = -static_cast<int64_t>(T0) - 100;
  pcapng_writer w;
  w.section(false);
  w.interface(1, 0, -1, &back_to_1969);
  w.interface(1, 0, 0x80 | 127);  // 2^-127: every stamp is within the first second
  w.enhanced(0, T0 * 1000000, frame_of(20, 1));
  w.enhanced(1, ~uint64_t{0}, frame_of(20, 1));
  const auto r = walk(w.data());
  ASSERT_EQ(r.seen.size(), 2u);
  EXPECT_EQ(r.seen[0].time, record_time::hidden);
  EXPECT_EQ(r.seen[0].ticks, EPOCH_TICKS - 100 * TICKS_PER_SECOND);
  EXPECT_EQ(r.seen[1].time, record_time::hidden);
}

TEST(PcapngFile, DamagedBlocksEndTheWalkWhereTheyStand) {
  pcapng_writer good;
  good.section(false);
  good.interface(1);
  good.enhanced(0, 1, frame_of(60, 1));
  pcapng_writer later_v2 = good;
  later_v2.section(false, 2);
  later_v2.enhanced(0, 1, frame_of(60, 1));
  const size_t tail = good.data().size();  // where the second packet block starts
  good.enhanced(0, 2, frame_of(60, 2));
  const bytes base = good.data();
  const auto with = [&](size_t at, uint32_t v) {
    bytes b = base;
    store_le32(b.data() + at, v);
    return b;
  };
  const std::string damaged = ": damaged record after frame 1, the rest is not read\n";
  const struct {
    const char* name;
    bytes file;
    size_t handed_on;
    std::string message;
  } rows[] = {
      {"intact", base, 2, ""},
      {"total length below 12", with(tail + 4, 8), 1, damaged},
      {"total length not a multiple of 4", with(tail + 4, 90), 1, damaged},
      {"total length past the end", with(tail + 4, 4096), 1, damaged},
      {"total length above the record limit", with(tail + 4, 0x7ffffff0), 1, damaged},
      {"trailing length differs", with(base.size() - 4, 88), 1, damaged},
      {"captured length past the block", with(tail + 20, 61), 1, damaged},
      {"file cut inside a block", bytes(base.begin(), base.end() - 1), 1, damaged},
      {"file cut inside a block header", bytes(base.begin(), base.begin() + tail + 5), 1,
       ": the file ends inside the record header after frame 1\n"},
      {"a later section of another major version", later_v2.data(), 1, damaged},
  };
  for (const auto& r : rows) {
    const auto got = walk(r.file);
    EXPECT_EQ(got.result, WALKED) << r.name;
    EXPECT_EQ(got.seen.size(), r.handed_on) << r.name;
    EXPECT_TRUE(r.message.empty() ? got.err.empty() : got.err.ends_with("walk.pcapng" + r.message))
        << r.name << ": " << got.err;
  }
}

TEST(PcapngFile, OnlyASectionHeaderOfVersionOneOpensAFile) {
  pcapng_writer v2;
  v2.section(false, 2);
  v2.interface(1);
  const auto r = walk(v2.data());
  EXPECT_NE(r.result, WALKED);
  EXPECT_TRUE(r.announced.ends_with("invalid pcap file, aborting\n")) << r.announced;
}

TEST(PcapngFile, FramesOfALinkTypeNotDecodedAreSaidOncePerFile) {
  pcapng_writer w;
  w.section(false);
  w.interface(147);
  w.interface(1);
  for (int i = 0; i < 3; ++i) {
    w.enhanced(0, 1, frame_of(20, 1));
    w.enhanced(1, 1, frame_of(20, 1));
  }
  const auto r = walk(w.data());
  EXPECT_EQ(r.seen.size(), 6u);
  const std::string line = "frames of link type 147 are not decoded in ";
  EXPECT_EQ(r.err.find(line), r.err.rfind(line)) << r.err;
  EXPECT_NE(r.err.find(line), std::string::npos) << r.err;
}

}  // namespace
}  // namespace nelo
