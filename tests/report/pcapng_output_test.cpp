// The joiner in front of the -write_capture file: the block streams of two captures, cut into
// writes of any size, make one section with one numbering of the interfaces; a stream that is
// not one fails.
#include "report/pcapng_output.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "support/wire.h"

namespace nelo {
namespace {

using bytes = std::vector<uint8_t>;

capture_record frame_record(uint64_t number, uint32_t link_type, const bytes& frame) {
  capture_record r;
  r.frame_number = number;
  r.link_type = link_type;
  r.captured_len = static_cast<uint32_t>(frame.size());
  r.wire_len = r.captured_len + 4;
  r.bytes = frame.data();
  return r;
}

// What `streams` become through a joiner that is handed them `chunk` bytes at a time (0: each
// stream in one write); empty when the joiner's stream failed.
std::string joined(const std::vector<bytes>& streams, size_t chunk) {
  std::ostringstream file;
  pcapng_joiner joiner(file);
  std::ostream in(&joiner);
  for (const bytes& stream : streams) {
    const size_t step = chunk == 0 ? stream.size() : chunk;
    for (size_t at = 0; at < stream.size(); at += step) {
      in.write(reinterpret_cast<const char*>(stream.data() + at),
               static_cast<std::streamsize>(std::min(step, stream.size() - at)));
    }
  }
  return in.fail() ? std::string() : file.str();
}

TEST(PcapngJoiner, StreamsCutAnywhereJoinIntoOneSectionWithInterfacesNumberedForTheRun) {
  const bytes a_frame(61, 0xAA), b_frame(40, 0xBB), c_frame(17, 0xCC);
  const capture_record a = frame_record(3, 1, a_frame);
  const capture_record b = frame_record(9, 1, b_frame);
  const capture_record c = frame_record(12, 113, c_frame);
  // The first capture met Ethernet in microseconds; the second met Linux cooked in nanoseconds
  // first, then Ethernet in microseconds again.
  bytes first, second;
  append_section_header(first);
  append_interface(first, 1, 6);
  append_enhanced_packet(first, 0, 11, a, "a frame 3");
  append_section_header(second);
  append_interface(second, 113, 9);
  append_interface(second, 1, 6);
  append_enhanced_packet(second, 1, 22, b, "b frame 9");
  append_enhanced_packet(second, 0, 33, c, "b frame 12");

  bytes want;
  append_section_header(want);
  append_interface(want, 1, 6);
  append_enhanced_packet(want, 0, 11, a, "a frame 3");
  append_interface(want, 113, 9);
  append_enhanced_packet(want, 0, 22, b, "b frame 9");
  append_enhanced_packet(want, 1, 33, c, "b frame 12");
  for (const size_t chunk : {0, 1, 7, 64}) {
    EXPECT_EQ(joined({first, second}, chunk), std::string(want.begin(), want.end())) << chunk;
  }

  // A block length below the least a block has, and a packet on an interface never described.
  bytes short_block = first;
  store_le32(short_block.data() + 4, 8);
  bytes undescribed;
  append_section_header(undescribed);
  append_enhanced_packet(undescribed, 0, 11, a, "a frame 3");
  for (const bytes& broken : {short_block, undescribed}) {
    EXPECT_EQ(joined({broken}, 0), "");
    EXPECT_EQ(joined({broken}, 5), "");
  }
}

}  // namespace
}  // namespace nelo
