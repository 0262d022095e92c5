#include "capture/pcap_reader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <vector>

#include "helpers/pcap_builder.h"
#include "support/ko_time.h"
#include "support/wire.h"

namespace nelo {
namespace {

using testing::bytes;
using testing::seen_record;

constexpr uint64_t EPOCH_TICKS = ko::TICKS_1601_TO_1970;
constexpr uint64_t TICKS_PER_SECOND = ko::TICKS_PER_SECOND;

class PcapReaderTest : public ::testing::Test {
 protected:
  bool walk(const bytes& file) {
    return walk_result(testing::write_temp_file("walk.pcap", file)) == capture_read::walked;
  }
  capture_read walk_result(const std::string& path) {
    testing::recorded_walk walk = testing::record_walk(path);
    seen = std::move(walk.seen);
    err = std::move(walk.err);
    return static_cast<capture_read>(walk.result);
  }

  std::vector<seen_record> seen;  // what the last walk handed on
  std::string err;                // what it wrote through its message writer
};

bytes filled(size_t n, uint8_t seed) {
  bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 7);
  return b;
}

TEST_F(PcapReaderTest, AllFourVariantsReadEveryFieldInTheirOwnByteOrder) {
  for (const bool big_endian : {false, true}) {
    for (const bool nanoseconds : {false, true}) {
      const bytes file = testing::pcap_file(
          {{.ts_sec = 1600000000, .ts_usec = 123456789, .frame = filled(60, 1), .orig_len = 1514},
           {.ts_sec = 1600000001, .ts_usec = 5, .frame = filled(70, 2)}},
          262144, big_endian, nanoseconds, 113);
      const std::string name = std::string(big_endian ? "big" : "little") +
                               (nanoseconds ? "-endian nanoseconds" : "-endian microseconds");
      ASSERT_TRUE(walk(file)) << name;
      ASSERT_EQ(seen.size(), 2u) << name;
      const uint64_t second = EPOCH_TICKS + 1600000000 * TICKS_PER_SECOND;
      EXPECT_EQ(seen[0].ticks, second + (nanoseconds ? 1234567 : 1234567890)) << name;
      EXPECT_EQ(seen[1].ticks, second + TICKS_PER_SECOND + (nanoseconds ? 0 : 50)) << name;
      EXPECT_EQ(seen[0].frame, filled(60, 1)) << name;
      EXPECT_EQ(seen[0].wire_len, 1514u) << name;
      EXPECT_EQ(seen[1].link_type, 113u) << name;
    }
  }
}

TEST_F(PcapReaderTest, StampsAtOrBefore1970KeepTheirSecondsButAreNotShown) {
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
  for (const auto& r : rows) {
    ASSERT_TRUE(
        walk(testing::pcap_file({{.ts_sec = r.sec, .ts_usec = r.frac, .frame = filled(20, 1)}},
                                262144, false, r.nanoseconds)));
    ASSERT_EQ(seen.size(), 1u) << r.name;
    EXPECT_EQ(seen[0].ticks, r.ticks) << r.name;
    EXPECT_EQ(seen[0].time, r.time) << r.name;
    EXPECT_EQ(seen[0].sub_tick_ns, r.nanoseconds ? r.frac % 100 : 0) << r.name;
  }
}

TEST_F(PcapReaderTest, AWalkThatEndsBeforeTheDataSaysWhereOnStandardError) {
  const bytes two = testing::pcap_file({{.frame = filled(60, 1)}, {.frame = filled(98, 2)}});
  bytes over_snaplen = testing::pcap_file(
      {{.frame = filled(100, 1)}, {.frame = filled(200, 2)}, {.frame = filled(50, 3)}}, 150);
  const struct {
    const char* name;
    bytes file;
    size_t handed_on;
    std::string message;  // empty: nothing on standard error
  } rows[] = {
      {"whole file", two, 2, ""},
      {"final record cut short", bytes(two.begin(), two.end() - 40), 2,
       ": frame 2 is cut short, 58 of 98 bytes present\n"},
      {"record header cut", bytes(two.begin(), two.begin() + 24 + 76 + 9), 1,
       ": the file ends inside the record header after frame 1\n"},
      {"record longer than the snaplen", over_snaplen, 1,
       ": damaged record after frame 1, the rest is not read\n"},
  };
  for (const auto& r : rows) {
    EXPECT_TRUE(walk(r.file)) << r.name;
    EXPECT_EQ(seen.size(), r.handed_on) << r.name;
    EXPECT_TRUE(r.message.empty() ? err.empty() : err.ends_with("walk.pcap" + r.message))
        << r.name << ": " << err;
  }
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].frame, filled(100, 1));
}

TEST_F(PcapReaderTest, RecordsLargerThanTheReadBufferAreHandedOnWholeUpToTheRecordLimit) {
  const bytes big = filled(READ_BUFFER_SIZE * 3 + 17, 9);
  const bytes jumbo = filled(200000, 4);  // above the classic 128 KiB record buffer
  EXPECT_TRUE(walk(testing::pcap_file({{.frame = filled(60, 1)},
                                       {.frame = big},
                                       {.frame = jumbo},
                                       {.frame = filled(60, 2)},
                                       {.frame = filled(60, 3), .incl_len = MAX_RECORD_LENGTH + 1}},
                                      0xFFFFFFFF)));
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(seen[1].frame, big);
  EXPECT_EQ(seen[2].frame, jumbo);
  EXPECT_EQ(seen[3].frame_number, 4u);
  EXPECT_TRUE(err.ends_with(": damaged record after frame 4, the rest is not read\n")) << err;
}

TEST_F(PcapReaderTest, MissingFilesDirectoriesAndSpecialFilesAreRefused) {
  const std::string dir = testing::temp_dir();
  EXPECT_EQ(walk_result(dir + "/does-not-exist.pcap"), capture_read::not_read);
  EXPECT_EQ(walk_result(dir), capture_read::not_read);
  const std::string fifo = dir + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(walk_result(fifo), capture_read::not_read);  // must not block
  EXPECT_EQ(walk_result("/dev/zero"), capture_read::not_read);
  EXPECT_TRUE(seen.empty());
}

}  // namespace
}  // namespace nelo
