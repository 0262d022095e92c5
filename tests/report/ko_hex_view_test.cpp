#include "report/ko_hex_view.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

namespace nelo {
namespace {

std::vector<uint8_t> bytes_of(const std::string& s) {
  return {s.begin(), s.end()};
}

std::string dump(const std::vector<uint8_t>& data, int64_t base) {
  std::ostringstream out;
  hex_dump(data.data(), static_cast<uint32_t>(data.size()), out, base);
  return out.str();
}

TEST(HexView, TwentyBytesGiveAFullLineAndAPaddedShortOne) {
  EXPECT_EQ(dump(bytes_of("ABCDEFGHIJKLMNOPQRST"), 0x2a),
            "0000 002a:  41 42 43 44 45 46 47 48  49 4a 4b 4c 4d 4e 4f 50  ABCDEFGHIJKLMNOP\n"
            "0000 003a:  51 52 53 54                                       QRST\n");
}

TEST(HexView, SixteenBytesGiveOneFullLine) {
  const std::string text = dump(bytes_of("0123456789abcdef"), 0);
  EXPECT_EQ(text,
            "0000 0000:  30 31 32 33 34 35 36 37  38 39 61 62 63 64 65 66  0123456789abcdef\n");
  EXPECT_EQ(text.size(), HEX_VIEW_LINE_WIDTH + 1);
}

TEST(HexView, SeventeenthByteGetsItsOwnLineWithTheCharacterColumnAligned) {
  const std::string text = dump(bytes_of("0123456789abcdefQ"), 0);
  const std::string second = text.substr(HEX_VIEW_LINE_WIDTH + 1);
  EXPECT_EQ(second, "0000 0010:  51" + std::string(48, ' ') + "Q\n");
  EXPECT_EQ(second.find('Q'), HEX_VIEW_CHAR_COLUMN);
}

TEST(HexView, EveryShortLineKeepsTheCharacterColumnAtTheSamePlace) {
  const std::string all = "abcdefghijklmnop";
  for (size_t n = 1; n <= 16; ++n) {
    const std::string text = dump(bytes_of(all.substr(0, n)), 0);
    ASSERT_EQ(text.size(), HEX_VIEW_CHAR_COLUMN + n + 1) << n << " bytes";
    EXPECT_EQ(text.substr(HEX_VIEW_CHAR_COLUMN - 2, 2), "  ") << n << " bytes";
    EXPECT_EQ(text.substr(HEX_VIEW_CHAR_COLUMN, n), all.substr(0, n)) << n << " bytes";
  }
}

TEST(HexView, NonPrintableBytesShowAsDotsAndDigitsAreLowerCase) {
  const std::vector<uint8_t> data = {0x00, 0x1f, 0x20, 0x7e, 0x7f, 0xff, 0xab};
  EXPECT_EQ(dump(data, 0),
            "0000 0000:  00 1f 20 7e 7f ff ab" + std::string(28, ' ') + "  .. ~...\n");
}

TEST(HexView, OffsetShowsBothHalvesOfItsLow32Bits) {
  EXPECT_EQ(dump({0x01}, 0x1234abcd).substr(0, 12), "1234 abcd:  ");
  EXPECT_EQ(dump({0x01}, 0x100000010LL).substr(0, 12), "0000 0010:  ");
}

TEST(HexView, LineIsAppendedToWhatTheStringHolds) {
  const std::vector<uint8_t> data = bytes_of("xyz");
  const ko::binary_data view(data.data(), 3);
  std::string line = "keep|";
  hex_view_line(line, view, 1, 2, 7);
  EXPECT_EQ(line, "keep|0000 0007:  79 7a" + std::string(45, ' ') + "yz");
}

TEST(HexView, EmptyRegionWritesNothing) {
  EXPECT_EQ(dump({}, 0x2a), "");
}

TEST(HexDump, RegionAbove16MiBIsReplacedByANoticeAndLeavesTheStreamDecimal) {
  const std::vector<uint8_t> data(HEX_DUMP_MAX_SIZE + 1, 0x41);
  std::ostringstream out;
  hex_dump(data.data(), static_cast<uint32_t>(data.size()), out, 0);
  out << 42;
  EXPECT_EQ(out.str(), "size to big to output: size 0x1000001\n42");
}

// Counts what is written and keeps only the last line, so a 16 MiB view costs no copy.
class tail_buf : public std::streambuf {
 public:
  std::streamsize count = 0;
  std::string tail;

 protected:
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    count += n;
    const std::streamsize keep = std::min<std::streamsize>(n, HEX_VIEW_LINE_WIDTH + 1);
    tail.assign(s + n - keep, static_cast<size_t>(keep));
    return n;
  }
  int_type overflow(int_type c) override {
    ++count;
    tail = std::string(1, static_cast<char>(c));
    return c;
  }
};

TEST(HexDump, RegionOfExactly16MiBIsStillRendered) {
  const std::vector<uint8_t> data(HEX_DUMP_MAX_SIZE, 0x41);
  tail_buf buf;
  std::ostream out(&buf);
  hex_dump(data.data(), HEX_DUMP_MAX_SIZE, out, 0);
  EXPECT_EQ(buf.count, HEX_DUMP_MAX_SIZE / 16 * (HEX_VIEW_LINE_WIDTH + 1));
  EXPECT_EQ(buf.tail.substr(0, 12), "00ff fff0:  ");
}

TEST(HexViewDeathTest, IndexOutsideTheViewStopsTheProgram) {
  const uint8_t data[2] = {1, 2};
  const ko::binary_data view(data, 2);
  EXPECT_EQ(view(1), 2);
  EXPECT_DEATH(view(2), "assertion failed: index < m_num_data \\(ko_hex_view\\)");
}

}  // namespace
}  // namespace nelo
