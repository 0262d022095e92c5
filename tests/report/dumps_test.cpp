#include "report/dumps.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "report/string_extract.h"

namespace nelo {
namespace {

// A frame of `header` bytes followed by `payload` bytes, as the decoder would describe it.
struct test_packet {
  std::vector<uint8_t> bytes;
  decoded_packet packet;

  test_packet(const std::vector<uint8_t>& header, const std::string& payload) {
    bytes = header;
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    packet.frame = bytes.data();
    packet.payload = bytes.data() + header.size();
    packet.incl_len = static_cast<uint32_t>(bytes.size());
    packet.hdr_len = static_cast<int32_t>(header.size());
    packet.payload_len = static_cast<int32_t>(payload.size());
  }
};

std::vector<uint8_t> counting_header(size_t n) {
  std::vector<uint8_t> h(n);
  for (size_t i = 0; i < n; ++i) h[i] = static_cast<uint8_t>(i);
  return h;
}

std::string dump(const test_packet& p, output_format format, bool hdr, bool payload) {
  std::ostringstream out;
  packet_ctx ctx;
  ctx.format = format;
  ctx.dump_hdr = hdr;
  ctx.dump_payload = payload;
  ctx.out = &out;
  dump_packet(p.packet, ctx);
  return out.str();
}

TEST(HexDumps, PayloadOffsetsContinueFromTheHeaderLength) {
  const test_packet p(counting_header(42), "ABCDEFGHIJKLMNOPQRST");
  EXPECT_EQ(dump(p, output_format::hex, true, true),
            "packet hdr\n"
            "0000 0000:  00 01 02 03 04 05 06 07  08 09 0a 0b 0c 0d 0e 0f  ................\n"
            "0000 0010:  10 11 12 13 14 15 16 17  18 19 1a 1b 1c 1d 1e 1f  ................\n"
            "0000 0020:  20 21 22 23 24 25 26 27  28 29                     !\"#$%&'()\n"
            "\n"
            "payload\n"
            "0000 002a:  41 42 43 44 45 46 47 48  49 4a 4b 4c 4d 4e 4f 50  ABCDEFGHIJKLMNOP\n"
            "0000 003a:  51 52 53 54                                       QRST\n"
            "\n");
}

TEST(HexDumps, EachRegionAloneAndAnEmptyPayloadKeepsItsLabel) {
  const test_packet p(counting_header(2), "");
  EXPECT_EQ(dump(p, output_format::hex, true, false),
            "packet hdr\n0000 0000:  00 01" + std::string(45, ' ') + "..\n\n");
  EXPECT_EQ(dump(p, output_format::hex, false, true), "payload\n\n");
  EXPECT_EQ(dump(p, output_format::hex, false, false), "");
}

struct text_row {
  const char* name;
  output_format format;
  bool hdr, payload;
  std::string payload_bytes;
  std::string expected;
};
void PrintTo(const text_row& r, std::ostream* os) {
  *os << r.name;
}

class TextDumps : public ::testing::TestWithParam<text_row> {};

TEST_P(TextDumps, WriteTheChosenRegion) {
  const text_row& r = GetParam();
  const test_packet p({'h', 'd', 'r', '\x01', 'x', 'y', 'z'}, r.payload_bytes);
  EXPECT_EQ(dump(p, r.format, r.hdr, r.payload), r.expected);
}

using std::string_literals::operator""s;
const output_format ASCII = output_format::ascii, STRINGS = output_format::strings;

INSTANTIATE_TEST_SUITE_P(
    Dumps, TextDumps,
    ::testing::Values(
        text_row{"AsciiDotsNonPrintable", ASCII, false, true, "A\nB", "A.B\n\n"},
        text_row{"AsciiPrefersThePayload", ASCII, true, true, "pay~\x7f", "pay~.\n\n"},
        text_row{"AsciiHeaderAlone", ASCII, true, false, "pay", "hdr.xyz\n\n"},
        text_row{"AsciiEmptyPayloadWritesNothing", ASCII, true, true, "", ""},
        text_row{"StringsDropLeadingBlanksAndShortRuns", STRINGS, false, true, "  hello\0wor"s,
                 "hello\n\n"},
        text_row{"StringsKeepTrailingBlanks", STRINGS, false, true,
                 "\x01"
                 "abcde  \x02",
                 "abcde  \n\n"},
        text_row{"StringsAsciiBeforeUtf16", STRINGS, false, true, "h\0e\0l\0l\0o\0\xff world!"s,
                 "world!\nhello\n\n"},
        text_row{"Utf16AtAnOddOffset", STRINGS, false, true, "\x01h\0e\0l\0l\0o\0"s, "hello\n\n"},
        text_row{"StringsWithoutAnyStringStillEndWithEmptyLine", STRINGS, false, true, "abcd",
                 "\n"},
        text_row{"StringsOfHeaderAlone", STRINGS, true, false, "", "\n"},
        text_row{"StringsEmptyRegionWritesNothing", STRINGS, false, true, "", ""}),
    [](const ::testing::TestParamInfo<text_row>& i) { return std::string(i.param.name); });

TEST(BinaryDumps, HeaderAndPayloadAreWrittenBackToBackUnchanged) {
  const test_packet p(counting_header(42), "\0\xff\n\r payload"s);
  const std::string all(p.bytes.begin(), p.bytes.end());
  EXPECT_EQ(dump(p, output_format::binary, true, true), all);
  EXPECT_EQ(dump(p, output_format::binary, false, true), all.substr(42));
  EXPECT_EQ(dump(p, output_format::binary, true, false), all.substr(0, 42));
}

std::vector<std::string> ascii_strings(const std::string& s, int32_t min_len = 5) {
  std::vector<std::string> found{"stale"};
  EXPECT_TRUE(extract_ascii_strings(reinterpret_cast<const uint8_t*>(s.data()),
                                    static_cast<int32_t>(s.size()), min_len, found));
  return found;
}

std::vector<std::string> utf16_strings(const std::string& s) {
  std::vector<std::string> found{"stale"};
  EXPECT_TRUE(extract_utf16_strings(reinterpret_cast<const uint8_t*>(s.data()),
                                    static_cast<uint32_t>(s.size()), 5, found));
  return found;
}

using strings = std::vector<std::string>;

TEST(StringExtraction, AsciiRunsAreReportedInOrderAndMayBeShorterOnRequest) {
  EXPECT_EQ(ascii_strings("x\x01"
                          "first\x02second"),
            (strings{"first", "second"}));
  EXPECT_EQ(ascii_strings("ab", 2), strings{"ab"});
}

TEST(StringExtraction, Utf16NeedsZeroHighBytesAndFindsOddOffsets) {
  EXPECT_EQ(utf16_strings("w\0o\0r\0l\0d\0"s), strings{"world"});
  EXPECT_EQ(utf16_strings("\xff"
                          "w\0o\0r\0l\0d\0"s),
            strings{"world"});
  EXPECT_EQ(utf16_strings("w\0o\x01r\0l\0d\0"s), strings{});
  // The last character needs its zero byte inside the data.
  EXPECT_EQ(utf16_strings(" \0w\0o\0r\0l\0d"s), strings{});
}

TEST(StringExtraction, EmptyOrMissingDataFailsAndClearsTheResults) {
  std::vector<std::string> found{"stale"};
  const uint8_t byte = 'a';
  EXPECT_FALSE(extract_ascii_strings(&byte, 0, 5, found));
  EXPECT_TRUE(found.empty());
  found = {"stale"};
  EXPECT_FALSE(extract_utf16_strings(nullptr, 4, 5, found));
  EXPECT_TRUE(found.empty());
  EXPECT_TRUE(extract_utf16_strings(&byte, 1, 5, found));
  EXPECT_TRUE(found.empty());
}

}  // namespace
}  // namespace nelo
