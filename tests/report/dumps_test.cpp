#include "report/dumps.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "report/string_extract.h"

namespace nelo {
namespace {

using std::string_literals::operator""s;
using strings = std::vector<std::string>;

// A frame of `header` bytes followed by `payload` bytes, as the decoder would describe it.
struct test_packet {
  std::vector<uint8_t> bytes;
  decoded_packet packet;

  test_packet(const std::string& header, const std::string& payload)
      : bytes(header.begin(), header.end()) {
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    packet.frame = bytes;
    packet.headers = packet.frame.first(header.size());
    packet.payload = packet.frame.subspan(header.size());
  }
};

std::string dump(const test_packet& p, output_format format, bool hdr, bool payload) {
  std::ostringstream out;
  dump_packet(p.packet, {.format = format, .dump_hdr = hdr, .dump_payload = payload}, out);
  return out.str();
}

TEST(TextDumps, WriteTheChosenRegion) {
  const output_format ASCII = output_format::ascii, STRINGS = output_format::strings;
  const struct {
    const char* name;
    output_format format;
    bool hdr, payload;
    std::string payload_bytes, expected;
  } rows[] = {
      {"ascii prefers the payload", ASCII, true, true, "p\nay~\x7f", "p.ay~.\n\n"},
      {"ascii header alone", ASCII, true, false, "pay", "hdr.xyz\n\n"},
      {"ascii empty payload", ASCII, true, true, "", ""},
      {"strings drop leading blanks and short runs", STRINGS, false, true, "  hello\0wor"s,
       "hello\n\n"},
      {"strings keep trailing blanks", STRINGS, false, true,
       "\x01"
       "abcde  \x02",
       "abcde  \n\n"},
      {"ascii before UTF-16", STRINGS, false, true, "h\0e\0l\0l\0o\0\xff world!"s,
       "world!\nhello\n\n"},
      {"UTF-16 at an odd offset", STRINGS, false, true, "\x01h\0e\0l\0l\0o\0"s, "hello\n\n"},
      {"no string still ends with an empty line", STRINGS, false, true, "abcd", "\n"},
      {"strings of the header alone", STRINGS, true, false, "", "\n"},
      {"strings of an empty region", STRINGS, false, true, "", ""},
  };
  for (const auto& r : rows) {
    const test_packet p("hdr\x01xyz", r.payload_bytes);
    EXPECT_EQ(dump(p, r.format, r.hdr, r.payload), r.expected) << r.name;
  }
}

strings utf16(const std::string& s) {
  strings found{"stale"};
  EXPECT_TRUE(extract_utf16_strings(reinterpret_cast<const uint8_t*>(s.data()),
                                    static_cast<uint32_t>(s.size()), 5, found));
  return found;
}

TEST(StringExtraction, Utf16NeedsZeroHighBytesAndFailuresClearTheResults) {
  EXPECT_EQ(utf16("w\0o\x01r\0l\0d\0"s), strings{});
  EXPECT_EQ(utf16(" \0w\0o\0r\0l\0d"s), strings{});  // the last zero byte is not in the data
  strings found{"stale"};
  const uint8_t byte = 'a';
  EXPECT_FALSE(extract_ascii_strings(&byte, 0, 5, found));
  EXPECT_TRUE(found.empty());
  found = {"stale"};
  EXPECT_FALSE(extract_utf16_strings(nullptr, 4, 5, found));
  EXPECT_TRUE(found.empty());
}

}  // namespace
}  // namespace nelo
