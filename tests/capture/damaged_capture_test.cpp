// Damaged captures through the whole pipeline: a real capture cut at every byte, with single
// bytes of its headers overwritten, and with odd snap and record lengths. Every walk runs the
// decoder, the filters, the report line and a dump on the damaged bytes (a sanitizer build
// turns any stray read into a failure), and the records handed on are checked against what an
// independent reading of the file says they must be.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "capture/packet_handler.h"
#include "capture/pcap_file.h"
#include "capture/pcap_reader.h"
#include "helpers/pcap_builder.h"
#include "report/sink_set.h"
#include "support/run_control.h"
#include "support/wire.h"

namespace nelo {
namespace {

using testing::bytes;

const std::string LOOPBACK = std::string(NELO_TEST_DATA_DIR) + "/loopback.pcap";

// Read here rather than with the reader's own loads, so that the expectation stays independent.
uint32_t le32_at(const bytes& b, size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

struct handed_record {
  uint64_t frame_number = 0;
  bytes frame;
  std::string report;  // what the pipeline wrote for this record
};

struct recording_ctx : packet_ctx {
  filter_settings no_filters;
  output_settings settings;
  std::ostringstream report_text;
  sink_set report_sinks;
  std::vector<handed_record> seen;

  explicit recording_ctx(output_format format)
      : settings{.format = format, .dump_meta = true, .dump_hdr = true, .dump_payload = true},
        report_sinks(settings, {&report_text}) {
    filters = &no_filters;
    sinks = &report_sinks;
  }
};

int recording_handler(const capture_record& record, packet_ctx* ctx) {
  auto* rec = static_cast<recording_ctx*>(ctx);
  const size_t before = rec->report_text.str().size();
  handle_packet(record, ctx);
  rec->seen.push_back({record.frame_number, bytes(record.bytes, record.bytes + record.captured_len),
                       rec->report_text.str().substr(before)});
  return 0;
}

struct walk_result {
  bool ok = false;
  std::vector<handed_record> seen;
};

walk_result walk(const bytes& file, output_format format = output_format::hex) {
  recording_ctx ctx(format);
  reset_stop_requests();
  const std::string path = testing::write_temp_file("damaged.pcap", file);
  capture_reader reader;
  const bool ok = reader.open_file(path) == capture_open::opened &&
                  reader.walk(recording_handler, &ctx, nullptr).outcome == walk_outcome::walked;
  return {ok, std::move(ctx.seen)};
}

// What a walk must hand on for any file: nothing unless the header is a little-endian
// microsecond 2.4 one; then whole records in order, until a record header is cut, a captured
// length exceeds the snap length (0 meaning unlimited) or the record limit, or a record is cut,
// which is handed on with the bytes present.
walk_result expected_for(const bytes& file) {
  walk_result e;
  if (file.size() < PCAP_FILE_HEADER_SIZE || le32_at(file, 0) != PCAP_MAGIC_USEC ||
      (file[4] | (file[5] << 8)) != PCAP_VERSION_MAJOR ||
      (file[6] | (file[7] << 8)) != PCAP_VERSION_MINOR)
    return e;
  e.ok = true;
  uint32_t snaplen = le32_at(file, 16);
  if (snaplen == 0) snaplen = PCAP_UNLIMITED_SNAPLEN;
  size_t at = PCAP_FILE_HEADER_SIZE;
  while (file.size() - at >= PCAP_RECORD_HEADER_SIZE) {
    const uint32_t incl_len = le32_at(file, at + 8);
    if (incl_len > snaplen || incl_len > MAX_RECORD_LENGTH) break;
    const size_t data = at + PCAP_RECORD_HEADER_SIZE;
    const size_t present = std::min<size_t>(incl_len, file.size() - data);
    e.seen.push_back(
        {e.seen.size() + 1,
         bytes(file.begin() + ptrdiff_t(data), file.begin() + ptrdiff_t(data + present)), ""});
    if (present < incl_len) break;
    at = data + incl_len;
  }
  return e;
}

void expect_walk_matches(const walk_result& got, const walk_result& want,
                         const std::string& label) {
  EXPECT_EQ(got.ok, want.ok) << label;
  ASSERT_EQ(got.seen.size(), want.seen.size()) << label;
  for (size_t i = 0; i < want.seen.size(); ++i) {
    EXPECT_EQ(got.seen[i].frame_number, want.seen[i].frame_number) << label;
    EXPECT_EQ(got.seen[i].frame, want.seen[i].frame) << label << ", record " << i + 1;
  }
}

class DamagedCapture : public ::testing::Test {
 protected:
  void SetUp() override {
    original = testing::read_file(LOOPBACK);
    ASSERT_GT(original.size(), PCAP_FILE_HEADER_SIZE);
    offsets = testing::record_offsets(original);
    offsets.pop_back();  // the end
    intact = walk(original);
    ASSERT_TRUE(intact.ok);
    ASSERT_EQ(intact.seen.size(), offsets.size());
  }

  bytes original;
  std::vector<size_t> offsets;
  walk_result intact;
};

TEST_F(DamagedCapture, EveryPrefixHandsOnTheWholeRecordsAndWhatIsPresentOfTheCutOne) {
  for (size_t cut = 0; cut <= original.size(); ++cut) {
    const bytes prefix(original.begin(), original.begin() + ptrdiff_t(cut));
    const walk_result got = walk(prefix);
    const std::string label = "cut at " + std::to_string(cut);
    expect_walk_matches(got, expected_for(prefix), label);
    // The whole records come out exactly as in the intact walk, report and dumps included.
    for (size_t i = 0; i < got.seen.size() && got.seen[i].frame == intact.seen[i].frame; ++i)
      EXPECT_EQ(got.seen[i].report, intact.seen[i].report) << label << ", record " << i + 1;
  }
}

TEST_F(DamagedCapture, AnyValueInAnyHeaderFieldGivesAConsistentWalk) {
  const char* const field_names[] = {"ts_sec", "ts_usec", "incl_len", "orig_len"};
  for (size_t at = 0; at < PCAP_FILE_HEADER_SIZE; ++at) {
    for (const int value : {0x00, 0x01, 0x02, 0x04, 0x7f, 0x80, 0xff, original[at] ^ 0xff}) {
      bytes damaged = original;
      damaged[at] = static_cast<uint8_t>(value);
      const std::string label = "byte " + std::to_string(at) + " = " + std::to_string(value);
      const walk_result got = walk(damaged, output_format::strings);
      expect_walk_matches(got, expected_for(damaged), label);
      // Fields the reader does not use change nothing.
      if (at >= 8 && at < 16) {
        EXPECT_EQ(got.seen.size(), intact.seen.size()) << label;
      }
    }
  }
  for (size_t record = 0; record < offsets.size(); ++record) {
    for (size_t field = 0; field < 4; ++field) {
      const size_t at = offsets[record] + 4 * field;
      const uint32_t was = le32_at(original, at);
      for (const uint32_t value : {0u, 1u, 13u, 0xffffu, 0x7fffffffu, 0x80000000u, 0xffffffffu,
                                   was + 1, was - 1, static_cast<uint32_t>(original.size())}) {
        bytes damaged = original;
        store_le32(damaged.data() + at, value);
        const std::string label = std::string(field_names[field]) + " of record " +
                                  std::to_string(record + 1) + " = " + std::to_string(value);
        const output_format format = field % 2 == 0 ? output_format::ascii : output_format::hex;
        expect_walk_matches(walk(damaged, format), expected_for(damaged), label);
      }
    }
  }
}

}  // namespace
}  // namespace nelo
