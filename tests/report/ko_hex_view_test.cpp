#include "report/ko_hex_view.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace nelo {
namespace {

using std::string_literals::operator""s;

std::string dump(const std::string& data, int64_t base) {
  std::ostringstream out;
  hex_dump(reinterpret_cast<const uint8_t*>(data.data()), static_cast<uint32_t>(data.size()), out,
           base);
  return out.str();
}

// Full lines and the short last one are run end to end by the golden hex dump.
TEST(HexView, DotsLowerCaseDigitsAndTheLow32BitsOfTheOffset) {
  EXPECT_EQ(dump("\x00\x1f\x20\x7e\x7f\xff\xab"s, 0),
            "0000 0000:  00 1f 20 7e 7f ff ab" + std::string(28, ' ') + "  .. ~...\n");
  EXPECT_EQ(dump("\x01", 0x1234abcd).substr(0, 12), "1234 abcd:  ");
  EXPECT_EQ(dump("\x01", 0x100000010LL).substr(0, 12), "0000 0010:  ");
  EXPECT_EQ(dump("", 0), "");
}

TEST(HexDump, RegionsUpTo16MiBAreRenderedAndLargerOnesReplacedByANotice) {
  const std::vector<uint8_t> data(HEX_DUMP_MAX_SIZE + 1, 0x41);
  std::ostringstream out;
  hex_dump(data.data(), HEX_DUMP_MAX_SIZE, out, 0);
  const std::string_view text = out.view();
  ASSERT_EQ(text.size(), HEX_DUMP_MAX_SIZE / 16 * (HEX_VIEW_LINE_WIDTH + 1));
  EXPECT_EQ(text.substr(text.size() - HEX_VIEW_LINE_WIDTH - 1, 12), "00ff fff0:  ");
  out.str("");
  hex_dump(data.data(), static_cast<uint32_t>(data.size()), out, 0);
  out << 42;  // the stream is left decimal
  EXPECT_EQ(out.str(), "size to big to output: size 0x1000001\n42");
}

TEST(HexViewDeathTest, IndexOutsideTheViewStopsTheProgram) {
  const uint8_t data[2] = {1, 2};
  const ko::binary_data view(data, 2);
  EXPECT_EQ(view(1), 2);
  EXPECT_DEATH(view(2), "assertion failed: index < m_num_data \\(ko_hex_view\\)");
}

}  // namespace
}  // namespace nelo
