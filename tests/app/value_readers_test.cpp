#include "app/value_readers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace nelo {
namespace {

struct number_case {
  const char* text;
  bool ok;
  uint32_t value;
};

TEST(ParseNumber, ReadsEveryAcceptedFormAndRefusesTheRest) {
  const number_case cases[] = {
      {"0x41", true, 65},
      {"x41", true, 65},
      {"X41", true, 65},
      {"o101", true, 65},
      {"65", true, 65},
      {"'A'", true, 65},
      {"-1", true, 4294967295u},
      {"-2", true, 4294967294u},
      {"4294967296", true, 4294967295u},  // saturates like a 32-bit unsigned long
      {"0x0101a8c0", true, 0x0101a8c0},
      {"192.168.1.1", true, 0x0101a8c0},  // first byte lowest, as the filters compare it
      {" 10.0.0.255 ", true, 0xff00000a},
      {"256.1.1.1", true, 256},  // not an address: decimal up to the first dot
      {"1.2.3", true, 1},
      {"1.2.3.4.5", true, 1},
      {"192", true, 192},
      {"0x", true, 0},
      {"", false, 0},
      {"  \t ", false, 0},
      {"abc", false, 0},
      {"'AB'", false, 0},
  };
  for (const number_case& c : cases) {
    uint32_t value = 12345;
    EXPECT_EQ(parse_number(c.text, value), c.ok) << c.text;
    EXPECT_EQ(value, c.value) << c.text;
  }
}

TEST(ParseNumber, NeverReadsBeyondAViewThatIsNotTerminated) {
  const std::string backing = "0x4142";
  uint32_t value = 0;
  ASSERT_TRUE(parse_number(std::string_view(backing).substr(0, 4), value));
  EXPECT_EQ(value, 0x41u);
}

TEST(ParseU64, AppliesTheLengthLimitsOfEachBase) {
  uint64_t value = 1;
  EXPECT_TRUE(parse_u64("0xffffffffffffffff", value));
  EXPECT_EQ(value, UINT64_MAX);
  EXPECT_FALSE(parse_u64("0x1ffffffffffffffff", value));
  EXPECT_EQ(value, 0u);
  EXPECT_TRUE(parse_u64("o17", value));
  EXPECT_EQ(value, 15u);
  EXPECT_TRUE(parse_u64("  42", value));
  EXPECT_EQ(value, 42u);
  EXPECT_FALSE(parse_u64("4 2", value));
  EXPECT_FALSE(parse_u64("42 ", value));
  EXPECT_FALSE(parse_u64("123456789012345678901", value));
  EXPECT_FALSE(parse_u64("", value));
  EXPECT_TRUE(parse_u64("0xzz", value));  // right shape, no digits: 0
  EXPECT_EQ(value, 0u);
}

TEST(ParseNumberList, UsesTheFirstDelimiterPresentAndSkipsBadItems) {
  struct list_case {
    const char* text;
    std::vector<uint64_t> values;
  };
  const list_case cases[] = {
      {"8 0", {8, 0}}, {"8,0", {8, 0}},
      {"8|0", {8, 0}}, {"8, 0", {8, 0}},
      {"0xzz", {0}},   {"3|4 5", {3}},
      {"", {}},        {"1,,2,", {1, 2}},
      {"7", {7}},      {"1;x10;o10", {1, 16, 8}},
  };
  for (const list_case& c : cases)
    EXPECT_EQ(parse_number_list(c.text, LIST_DELIMITERS), c.values) << c.text;
}

TEST(ParseFrameList, ReadsEachWordInItsBaseAndSkipsWordsOfNoForm) {
  EXPECT_EQ(parse_frame_list("1 0x10 o17"), (std::vector<uint64_t>{1, 16, 15}));
  EXPECT_TRUE(parse_frame_list("abc").empty());
  EXPECT_EQ(parse_frame_list("-1 99999999999"), (std::vector<uint64_t>{UINT64_MAX, 2147483647}));
}

TEST(SplitWords, JoinsQuotedGroupsOnlyWhenThereAreSeveralWords) {
  EXPECT_EQ(split_words("  a \"b  c\" d "), (std::vector<std::string>{"a", "b c", "d"}));
  EXPECT_EQ(split_words("\"x\" y"), (std::vector<std::string>{"x", "y"}));
  EXPECT_EQ(split_words("\"x\""), (std::vector<std::string>{"\"x\""}));
  EXPECT_EQ(split_words("\"open end"), (std::vector<std::string>{"\"open", "end"}));
}

TEST(ParseIpv6, WidensTheGapToEightGroups) {
  EXPECT_EQ(parse_ipv6("fe80::1"),
            (std::vector<uint8_t>{0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01}));
  EXPECT_EQ(parse_ipv6("::"), std::vector<uint8_t>(16, 0));
  EXPECT_EQ(parse_ipv6(""), std::vector<uint8_t>(16, 0));
  EXPECT_EQ(parse_ipv6("1:2:3:4:5:6:7:8:9").size(), 18u);
  EXPECT_EQ(parse_ipv6("1:2").size(), 4u);
}

std::vector<pattern_run> runs(std::initializer_list<pattern_run> list) {
  return list;
}

void expect_runs(const byte_pattern& p, const std::vector<pattern_run>& want) {
  ASSERT_EQ(p.runs.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(p.runs[i].literal, want[i].literal) << i;
    EXPECT_EQ(p.runs[i].has_literal, want[i].has_literal) << i;
    EXPECT_EQ(p.runs[i].wildcards, want[i].wildcards) << i;
  }
}

TEST(ParseBytePattern, GroupsLiteralsWithTheWildcardsThatFollowThem) {
  byte_pattern p;
  ASSERT_TRUE(parse_byte_pattern("41 42 ? ? 43", true, p));
  expect_runs(p, runs({{"AB", true, 2}, {"C", true, 0}}));
  EXPECT_EQ(p.total_len, 5u);

  ASSERT_TRUE(parse_byte_pattern("? 41", true, p));
  expect_runs(p, runs({{"", false, 1}, {"A", true, 0}}));

  ASSERT_TRUE(parse_byte_pattern("41 ? ?", true, p));
  expect_runs(p, runs({{"A", true, 2}}));
  EXPECT_EQ(p.total_len, 3u);

  EXPECT_FALSE(parse_byte_pattern("? ?", false, p));
  EXPECT_FALSE(p.on());
  EXPECT_TRUE(p.runs.empty());
  EXPECT_FALSE(parse_byte_pattern("   ", false, p));
}

TEST(ParseBytePattern, GeneralAndHexModesAgreeOnTheSameBytes) {
  byte_pattern general;
  byte_pattern hex;
  ASSERT_TRUE(parse_byte_pattern("65 0x42 'C'", false, general));
  ASSERT_TRUE(parse_byte_pattern("41 0x42 43", true, hex));
  expect_runs(general, runs({{"ABC", true, 0}}));
  expect_runs(hex, runs({{"ABC", true, 0}}));
}

TEST(ParseBytePattern, CountsVeryLongWildcardRunsWithoutWrapping) {
  constexpr uint32_t count = 70000;
  std::string text;
  for (uint32_t i = 0; i < count; ++i) text += "? ";
  text += "41";
  byte_pattern p;
  ASSERT_TRUE(parse_byte_pattern(text, true, p));
  expect_runs(p, runs({{"", false, count}, {"A", true, 0}}));
  EXPECT_EQ(p.total_len, count + 1u);
}

}  // namespace
}  // namespace nelo
