#include "app/value_readers.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "app/options.h"

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

struct parsed {
  bool ok;
  std::string refusal;
  nelo_options options;
};

parsed parse(std::vector<std::string> words) {
  arg_list args{"nelo", "-ifile", "x.pcap"};
  args.insert(args.end(), words.begin(), words.end());
  std::ostringstream err;
  parsed p;
  p.ok = parse_options(p.options, args, message_writer(err, false), p.refusal);
  return p;
}

// Each option's accepted forms are read; anything else refuses the line, naming the option and
// the value, before anything is read. The forms a golden run shows are left to it.
TEST(OptionValues, EveryOptionReadsItsFormsAndRefusesTheRest) {
  const struct {
    const char* option;
    const char* value;
    bool read;
  } rows[] = {
      {"-srcip", "10.99.0.1", true},
      {"-srcip", "10.0.0.0/33", false},
      {"-srcip", "fd99::1::2", false},
      {"-dstip", "-1", false},
      {"-srcipv6", "fe80::/10 ::1", true},
      {"-srcipv6", "10.0.0.1", false},
      {"-dstipv6", "1:2:3:4:5:6:7:8:9", false},
      {"-dstipv6", "fe80::/129", false},
      {"-tunnel_ip", "10.99.0.0/24|2001:db8::/32", true},
      {"-tunnel_ip", "0", false},  // 0 has meant no address
      {"-tunnel_ip", "10.99.0.0/24x", false},
      {"-icmp_type", "ECHO_REPLY 3", true},
      {"-icmp_type", "neighbor-solicitation", true},
      {"-icmp_type", "-1", false},
      {"-icmp_type", "3,", true},
      {"-icmp_type", ",", false},
      {"-icmp_code", "port-unreach|frag-needed", true},
      {"-icmp_code", "echo", false},  // a type, not a code
      {"-icmp_id", "0x136d,7", true},
      {"-icmp_id", "65536", false},
      {"-frame", "1-", false},
      {"-frame", "9z", false},
      {"-frame", "-2", false},
      {"-find_pattern_h", "? ?", false},
      {"-find_pattern", "71 0x72 'A' ?", true},
      {"-find_pattern", "256", false},
      {"-find_text", "", false},
      {"-min_size", "-5", false},
      {"-proto", "ICMPv6", true},
      {"-start_time", "2026-12-08T10:00:00-0530", true},
      {"-start_time", "@1733600000.", false},
      {"-num_subdirs", "2", true},
      {"-threads", "0", true},
      {"-threads", "-3", false},
      {"-cmd_start_time", "2024/01/02", true},
  };
  for (const auto& r : rows) {
    const parsed p = parse({r.option, r.value});
    EXPECT_EQ(p.ok, r.read) << r.option << ' ' << r.value << ": " << p.refusal;
    if (r.read) continue;
    const std::string start =
        std::string("Error: ") + r.option + ": cannot read \"" + r.value + "\" (";
    EXPECT_EQ(p.refusal.substr(0, start.size()), start) << p.refusal;
    EXPECT_EQ(p.refusal.back(), ')') << p.refusal;
  }
  const parsed last = parse({"-frame"});
  EXPECT_FALSE(last.ok);
  EXPECT_EQ(last.refusal.substr(0, 23), "Error: -frame: no value") << last.refusal;
}

ko::fine_time time_of(const char* option, const char* value) {
  const parsed p = parse({option, value});
  EXPECT_TRUE(p.ok) << value;
  return option == std::string("-stop_time") ? p.options.selection.stop_time
                                             : p.options.selection.start_time;
}

TEST(OptionValues, ReadWhatTheyMean) {
  const filter_settings frames = parse({"-frame", "9,1-3,2-5,7,6"}).options.selection;
  ASSERT_EQ(frames.frames.size(), 2u);  // 1-7 and 9: ranges that touch are one
  EXPECT_EQ(frames.frames[0].first, 1u);
  EXPECT_EQ(frames.frames[0].last, 7u);
  EXPECT_EQ(frames.frames[1].first, 9u);

  // A name holds for the protocol it names; "echo" is the request, a number holds for both.
  std::string types;
  for (const icmp_value& v : parse({"-icmp_type", "echo,3"}).options.selection.icmp_types) {
    types += std::to_string(v.value) + (v.icmpv4 ? "4" : "") + (v.icmpv6 ? "6" : "") + ' ';
  }
  EXPECT_EQ(types, "84 1286 346 ");
  std::string codes;
  for (const icmp_value& v :
       parse({"-icmp_code", "port-unreachable"}).options.selection.icmp_codes) {
    codes += std::to_string(v.value) + (v.icmpv6 ? "/6 " : "/4 ");
  }
  EXPECT_EQ(codes, "3/4 4/6 ");

  const filter_settings hex = parse({"-find_pattern_h", "474e55 ? 01"}).options.selection;
  ASSERT_EQ(hex.pattern.runs.size(), 2u);
  EXPECT_EQ(hex.pattern.runs[0].literal, "GNU");
  EXPECT_EQ(hex.pattern.runs[0].wildcards, 1u);
  EXPECT_EQ(hex.pattern.total_len, 5u);
  const filter_settings text = parse({"-find_text", "ab"}).options.selection;
  EXPECT_EQ(text.pattern.runs[0].literal, "ab");
  EXPECT_EQ(text.pattern_utf16.runs[0].literal, std::string("a\0b\0", 4));

  const filter_settings both = parse({"-srcip", "10.0.0.0/8,fd99::1"}).options.selection;
  ASSERT_EQ(both.src_ip.size(), 1u);
  EXPECT_EQ(both.src_ip[0].mask, 0xffu);
  ASSERT_EQ(both.src_ipv6.size(), 1u);
  EXPECT_EQ(both.src_ipv6[0].low, 1u);

  const ko::fine_time nine_utc = time_of("-start_time", "2026-12-08T09:00:00Z");
  EXPECT_EQ(time_of("-start_time", "2026-12-08T10:00:00+01:00"), nine_utc);
  EXPECT_EQ(time_of("-start_time", "2026-12-08T04:00:00-05"), nine_utc);
  const ko::fine_time epoch = time_of("-start_time", "@1733600000.25");
  EXPECT_EQ(epoch.ticks, ko::TICKS_1601_TO_1970 + 17336000002500000u);
  EXPECT_EQ(epoch.sub_tick_ns, 0);
  EXPECT_EQ(time_of("-start_time", "@1.000000123").sub_tick_ns, 23);
  // A date alone as the stop covers the day to its last nanosecond.
  EXPECT_EQ(time_of("-stop_time", "2026-12-08"),
            time_of("-stop_time", "2026-12-08T23:59:59.999999999Z"));
  EXPECT_EQ(time_of("-start_time", "2026-12-08"), time_of("-start_time", "2026-12-08T00:00:00Z"));
}

// The values one table cell names ("1, 12", or "\-" for none), each as "value/protocol".
void add_cell_values(const std::string& cell, const char* protocol, std::set<std::string>& out) {
  std::istringstream numbers(cell);
  for (std::string n; std::getline(numbers, n, ',');) {
    n.erase(0, n.find_first_not_of(' '));
    if (!n.empty() && n != "\\-") out.insert(n + protocol);
  }
}

// The man page's tables are what -icmp_type and -icmp_code read: each name there gives exactly
// the values of its row, no more.
TEST(OptionValues, TheManPageTablesOfNamesAreWhatTheReadersRead) {
  std::ifstream page(std::string(NELO_TEST_DATA_DIR) + "/../../doc/nelo.1");
  ASSERT_TRUE(page.is_open());
  int table = 0;
  bool in_table = false;
  size_t names = 0;
  for (std::string line; std::getline(page, line);) {
    if (line == ".TS" || line == ".TE") {
      in_table = line == ".TS";
      table += in_table ? 1 : 0;
      continue;
    }
    if (!in_table || !line.starts_with("\\fB")) continue;
    std::vector<std::string> cells;
    std::istringstream row(line);
    for (std::string cell; std::getline(row, cell, '\t');) cells.push_back(cell);
    ASSERT_EQ(cells.size(), 3u) << line;
    std::set<std::string> expected;
    add_cell_values(cells[1], "/4", expected);
    add_cell_values(cells[2], "/6", expected);
    for (size_t at = cells[0].find("\\fB"); at != std::string::npos;
         at = cells[0].find("\\fB", at + 1)) {
      std::string name = cells[0].substr(at + 3, cells[0].find("\\fR", at) - at - 3);
      for (size_t dash; (dash = name.find("\\-")) != std::string::npos;) name.erase(dash, 1);
      std::vector<icmp_value> values;
      ASSERT_TRUE(parse_icmp_values(name, table == 2, values)) << name;
      std::set<std::string> read;
      for (const icmp_value& v : values) {
        if (v.icmpv4) read.insert(std::to_string(v.value) + "/4");
        if (v.icmpv6) read.insert(std::to_string(v.value) + "/6");
      }
      EXPECT_EQ(read, expected) << name;
      ++names;
    }
  }
  EXPECT_EQ(table, 2);
  EXPECT_GT(names, 50u);
}

}  // namespace
}  // namespace nelo
