#include "capture/pcap_reader.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <vector>

#include "helpers/pcap_builder.h"
#include "support/wire.h"

namespace nelo {
namespace {

using testing::bytes;

struct seen_record {
  uint64_t frame_number;
  bytes frame;
};

std::vector<seen_record>* g_seen = nullptr;

int record_handler(uint64_t frame_number, const uint8_t* record, packet_ctx*) {
  const uint32_t incl_len = load_le32(record + 8);
  g_seen->push_back({frame_number, bytes(record + 16, record + 16 + incl_len)});
  return 0;
}

class PcapReaderTest : public ::testing::Test {
 protected:
  void SetUp() override { g_seen = &seen; }
  void TearDown() override { g_seen = nullptr; }

  bool walk(const bytes& file) {
    return read_capture_file(testing::write_temp_file("walk.pcap", file), record_handler, &ctx);
  }

  std::vector<seen_record> seen;
  packet_ctx ctx;
};

bytes filled(size_t n, uint8_t seed) {
  bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 7);
  return b;
}

TEST_F(PcapReaderTest, RecordsAreHandedOnInOrderWithFrameNumbersFromOne) {
  const bytes a = filled(60, 1), b = filled(98, 2), c = filled(60, 3);
  ASSERT_TRUE(walk(testing::pcap_file({{.frame = a}, {.frame = b}, {.frame = c}})));
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].frame_number, 1u);
  EXPECT_EQ(seen[1].frame_number, 2u);
  EXPECT_EQ(seen[2].frame_number, 3u);
  EXPECT_EQ(seen[0].frame, a);
  EXPECT_EQ(seen[1].frame, b);
  EXPECT_EQ(seen[2].frame, c);
}

TEST_F(PcapReaderTest, HeaderOnlyFileIsAcceptedWithoutRecords) {
  EXPECT_TRUE(walk(testing::pcap_global_header()));
  EXPECT_TRUE(seen.empty());
}

TEST_F(PcapReaderTest, RejectedHeadersReturnFalse) {
  const struct {
    const char* name;
    bytes header;
  } cases[] = {
      {"big-endian magic", testing::pcap_global_header(65535, 0xD4C3B2A1)},
      {"nanosecond magic", testing::pcap_global_header(65535, 0xA1B23C4D)},
      {"version 2.3", testing::pcap_global_header(65535, 0xA1B2C3D4, 2, 3)},
      {"version 3.4", testing::pcap_global_header(65535, 0xA1B2C3D4, 3, 4)},
      {"short header", bytes{0xD4, 0xC3, 0xB2, 0xA1, 2, 0, 4, 0}},
      {"empty file", bytes{}},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(walk(c.header)) << c.name;
  }
  EXPECT_TRUE(seen.empty());
}

TEST_F(PcapReaderTest, RecordLongerThanSnaplenEndsTheWalkQuietly) {
  bytes file = testing::pcap_file(
      {{.frame = filled(100, 1)}, {.frame = filled(200, 2)}, {.frame = filled(50, 3)}}, 150);
  EXPECT_TRUE(walk(file));
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].frame, filled(100, 1));
}

TEST_F(PcapReaderTest, RecordAsLongAsSnaplenIsReadWhole) {
  EXPECT_TRUE(walk(testing::pcap_file({{.frame = filled(150, 1)}, {.frame = filled(20, 2)}}, 150)));
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].frame, filled(150, 1));
  EXPECT_EQ(seen[1].frame, filled(20, 2));
}

TEST_F(PcapReaderTest, SnaplenZeroMeansNoLimit) {
  EXPECT_TRUE(walk(testing::pcap_file({{.frame = filled(1000, 1)}}, 0)));
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].frame.size(), 1000u);
}

TEST_F(PcapReaderTest, RecordsLargerThanTheReadBufferAreHandedOnWhole) {
  const bytes big = filled(READ_BUFFER_SIZE * 3 + 17, 9);
  const bytes jumbo = filled(200000, 4);  // above the classic 128 KiB record buffer
  EXPECT_TRUE(walk(testing::pcap_file(
      {{.frame = filled(60, 1)}, {.frame = big}, {.frame = jumbo}, {.frame = filled(60, 2)}},
      0xFFFFFFFF)));
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(seen[1].frame, big);
  EXPECT_EQ(seen[2].frame, jumbo);
  EXPECT_EQ(seen[3].frame_number, 4u);
}

TEST_F(PcapReaderTest, TruncatedFinalRecordIsHandedOnWithItsBytesOnly) {
  bytes file = testing::pcap_file({{.frame = filled(60, 1)}, {.frame = filled(98, 2)}});
  file.resize(file.size() - 40);
  EXPECT_TRUE(walk(file));
  ASSERT_EQ(seen.size(), 2u);
  const bytes second = filled(98, 2);
  EXPECT_EQ(seen[1].frame, bytes(second.begin(), second.begin() + 58));
}

TEST_F(PcapReaderTest, HugeLengthClaimInASmallFileOnlyShowsWhatIsThere) {
  bytes file = testing::pcap_global_header(0xFFFFFFFF);
  const bytes rec = testing::pcap_record({.frame = filled(30, 5), .incl_len = 60u << 20});
  file.insert(file.end(), rec.begin(), rec.end());
  EXPECT_TRUE(walk(file));
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].frame, filled(30, 5));
}

TEST_F(PcapReaderTest, RecordBeyondTheLengthLimitEndsTheWalk) {
  bytes file = testing::pcap_file({{.frame = filled(60, 1)}}, 0xFFFFFFFF);
  const bytes rec =
      testing::pcap_record({.frame = filled(30, 5), .incl_len = MAX_RECORD_LENGTH + 1});
  file.insert(file.end(), rec.begin(), rec.end());
  EXPECT_TRUE(walk(file));
  EXPECT_EQ(seen.size(), 1u);
}

TEST_F(PcapReaderTest, MissingFilesDirectoriesAndSpecialFilesAreRefused) {
  const std::string dir = testing::temp_dir();
  EXPECT_FALSE(read_capture_file(dir + "/does-not-exist.pcap", record_handler, &ctx));
  EXPECT_FALSE(read_capture_file(dir, record_handler, &ctx));
  const std::string fifo = dir + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_FALSE(read_capture_file(fifo, record_handler, &ctx));  // must not block
  EXPECT_FALSE(read_capture_file("/dev/zero", record_handler, &ctx));
  EXPECT_TRUE(seen.empty());
}

}  // namespace
}  // namespace nelo
