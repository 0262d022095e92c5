#include "app/value_readers.h"

#include <gtest/gtest.h>

#include <cstdio>
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

// Address filter items as "address/mask" in hexadecimal (IPv6: both halves of each), and what
// was not read as "word outcome;".
std::string hex(uint64_t value) {
  char text[17];
  std::snprintf(text, sizeof text, "%llx", static_cast<unsigned long long>(value));
  return text;
}

std::string items_of(const std::vector<ipv4_prefix>& items, const unread_words& unread) {
  std::string out;
  for (const ipv4_prefix& p : items) out += hex(p.address) + "/" + hex(p.mask) + " ";
  for (const unread_word& u : unread) out += u.word + " " + u.outcome + ";";
  return out;
}

std::string items_of(const std::vector<ipv6_prefix>& items, const unread_words& unread) {
  std::string out;
  for (const ipv6_prefix& p : items) {
    out += hex(p.high) + "." + hex(p.low) + "/" + hex(p.mask_high) + "." + hex(p.mask_low) + " ";
  }
  for (const unread_word& u : unread) out += u.word + " " + u.outcome + ";";
  return out;
}

TEST(ParseAddressFilters, ReadPrefixesAndListsAndLeaveOutWhatIsNeither) {
  const std::pair<const char*, const char*> v4_cases[] = {
      {"10.1.2.3/8", "a/ff "},
      {"192.168.1.7 172.16.0.0/12", "701a8c0/ffffffff 10ac/f0ff "},
      {"0.0.0.0/0|0x0100007f", "0/0 100007f/ffffffff "},
      {"127.0.0.1/33,abc,0", "7f/ffffffff 127.0.0.1/33 read as 127;abc read as 0;"},
  };
  for (const auto& [text, items] : v4_cases) {
    unread_words unread;
    const auto prefixes = parse_ipv4_prefixes(text, &unread);
    EXPECT_EQ(items_of(prefixes, unread), items) << text;
  }
  const std::pair<const char*, const char*> v6_cases[] = {
      {"fe80::1/10", "fe80000000000000.0/ffc0000000000000.0 "},
      {"::1,2001:db8::c000:0:0:1/65",
       "0.1/ffffffffffffffff.ffffffffffffffff 20010db800000000.8000000000000000/"
       "ffffffffffffffff.8000000000000000 "},
      {"::/0 fe80::/129 zz:: /64",
       "0.0/0.0 fe80::/129 item left out;zz:: item left out;/64 item left out;"},
  };
  for (const auto& [text, items] : v6_cases) {
    unread_words unread;
    const auto prefixes = parse_ipv6_prefixes(text, &unread);
    EXPECT_EQ(items_of(prefixes, unread), items) << text;
  }
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
