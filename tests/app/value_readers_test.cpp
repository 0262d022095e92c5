#include "app/value_readers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace nelo {
namespace {

TEST(ParseNumber, ReadsEveryAcceptedFormAndRefusesTheRest) {
  const struct {
    const char* text;
    bool ok;
    uint32_t value;
  } cases[] = {
      {"0x41", true, 65},
      {"X41", true, 65},
      {"o101", true, 65},
      {"'A'", true, 65},
      {"-2", true, 4294967294u},
      {"4294967296", true, 4294967295u},  // saturates like a 32-bit unsigned long
      {"192.168.1.1", true, 0x0101a8c0},  // first byte lowest, as the filters compare it
      {" 10.0.0.255 ", true, 0xff00000a},
      {"256.1.1.1", true, 256},  // not an address: decimal up to the first dot
      {"1.2.3", true, 1},
      {"1.2.3.4.5", true, 1},
      {"0x", true, 0},
      {"  \t ", false, 0},
      {"abc", false, 0},
      {"'AB'", false, 0},
  };
  for (const auto& c : cases) {
    uint32_t value = 12345;
    EXPECT_EQ(parse_number(c.text, value), c.ok) << c.text;
    EXPECT_EQ(value, c.value) << c.text;
  }
  // A view that is not terminated is never read beyond its end.
  uint32_t value = 0;
  ASSERT_TRUE(parse_number(std::string_view("0x4142").substr(0, 4), value));
  EXPECT_EQ(value, 0x41u);
}

TEST(ParseU64, AppliesTheLengthLimitsOfEachBase) {
  const struct {
    const char* text;
    bool ok;
    uint64_t value;
  } cases[] = {
      {"0xffffffffffffffff", true, UINT64_MAX},
      {"0x1ffffffffffffffff", false, 0},
      {"o17", true, 15},
      {"o1777777777777777777777", true, UINT64_MAX},  // 22 octal digits
      {"  42", true, 42},
      {"4 2", false, 0},
      {"42 ", false, 0},
      {"123456789012345678901", false, 0},
      {"0xzz", true, 0},  // right shape, no digits
  };
  for (const auto& c : cases) {
    uint64_t value = 1;
    EXPECT_EQ(parse_u64(c.text, value), c.ok) << c.text;
    EXPECT_EQ(value, c.value) << c.text;
  }
}

TEST(ParseLists, UseTheFirstDelimiterPresentAndSkipBadItems) {
  const std::pair<const char*, std::vector<uint64_t>> cases[] = {
      {"8 0", {8, 0}},   {"8, 0", {8, 0}},          {"0xzz", {0}}, {"3|4 5", {3}},
      {"1,,2,", {1, 2}}, {"1;x10;o10", {1, 16, 8}}, {"x5", {0}},
  };
  for (const auto& [text, values] : cases) {
    EXPECT_EQ(parse_number_list(text, LIST_DELIMITERS), values) << text;
  }
  const std::pair<const char*, std::vector<uint64_t>> frame_cases[] = {
      {"1 0x10 o17 abc", {1, 16, 15}},
      {"7,9", {7, 9}},
      {"7, 9", {7, 9}},
      {"7|9,8", {7, 9}},
      {"7;;9", {7, 9}},
      {"1\t 2", {1, 2}},
  };
  for (const auto& [text, frames] : frame_cases) {
    EXPECT_EQ(parse_frame_list(text), frames) << text;
  }
  EXPECT_EQ(parse_frame_list("-1 0 99999999999"), (std::vector<uint64_t>{2147483647}));
}

TEST(SplitWords, JoinsQuotedGroupsOnlyWhenThereAreSeveralWords) {
  EXPECT_EQ(split_words("  a \"b  c\" d "), (std::vector<std::string>{"a", "b c", "d"}));
  EXPECT_EQ(split_words("\"x\""), (std::vector<std::string>{"\"x\""}));
  EXPECT_EQ(split_words("a \"\" b"), (std::vector<std::string>{"a", "", "b"}));
  EXPECT_EQ(split_words("\"open end"), (std::vector<std::string>{"\"open", "end"}));
}

TEST(ParseIpv6, WidensTheGapToEightGroups) {
  EXPECT_EQ(parse_ipv6("fe80::1"),
            (std::vector<uint8_t>{0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01}));
  EXPECT_EQ(parse_ipv6(""), std::vector<uint8_t>(16, 0));
  EXPECT_EQ(parse_ipv6("1:2:3:4:5:6:7:8:9").size(), 18u);
  EXPECT_EQ(parse_ipv6("1:2").size(), 4u);
  EXPECT_TRUE(parse_ipv6("zz::1").empty()) << "a group that is not hex is no address";
  EXPECT_TRUE(parse_ipv6("::ffff:1.2.3.4").empty());
}

// The runs of a parsed pattern as "literal/wildcards" words, e.g. "AB/2 C/0"; "-" marks a run
// without a literal.
std::string runs_of(const char* text, bool hex) {
  byte_pattern p;
  if (!parse_byte_pattern(text, hex, p)) return p.on() || !p.runs.empty() ? "leftover" : "fail";
  std::string out = std::to_string(p.total_len) + ":";
  for (const pattern_run& r : p.runs) {
    out += " " + (r.literal.empty() ? "-" : r.literal) + "/" + std::to_string(r.wildcards);
  }
  return out;
}

TEST(ParseBytePattern, GroupsLiteralsWithTheWildcardsThatFollowThem) {
  EXPECT_EQ(runs_of("41 42 ? ? 43", true), "5: AB/2 C/0");
  EXPECT_EQ(runs_of("? 41", true), "2: -/1 A/0");
  EXPECT_EQ(runs_of("41 ? ?", true), "3: A/2");
  EXPECT_EQ(runs_of("41 0x42 43", true), "3: ABC/0");
  EXPECT_EQ(runs_of("65 0x42 'C'", false), "3: ABC/0");
  EXPECT_EQ(runs_of("? ?", false), "fail");
  EXPECT_EQ(runs_of("   ", false), "fail");

  std::string many;
  for (int i = 0; i < 70000; ++i) many += "? ";
  EXPECT_EQ(runs_of((many + "41").c_str(), true), "70001: -/70000 A/0");
}

}  // namespace
}  // namespace nelo
