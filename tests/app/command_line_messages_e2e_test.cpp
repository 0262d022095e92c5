// End-to-end checks that the built binary says what it made of a command line it could not take
// as written, and that the results this used to get wrong silently are now right.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "helpers/pcap_builder.h"
#include "support/error_writer.h"

namespace nelo {
namespace {

using testing::run_nelo_in_process;

const std::string LOOPBACK = std::string(NELO_TEST_DATA_DIR) + "/loopback.pcap";
constexpr uint32_t DAY_2026_12_06 = 1796515200;  // 2026-12-06 00:00:00 UTC

std::vector<std::string> with_loopback(std::vector<std::string> args) {
  args.insert(args.begin(), {"-ifile", LOOPBACK});
  return args;
}

// The frame numbers of the report lines (blanks, digits, " , "), in order.
std::vector<int> reported_frames(const std::string& out) {
  std::vector<int> frames;
  std::istringstream in(out);
  for (std::string text; std::getline(in, text);) {
    const size_t digits = text.find_first_not_of(' ');
    const size_t end = text.find_first_not_of("0123456789", digits);
    if (digits == 0 || digits == std::string::npos || end == digits || end == std::string::npos ||
        text.compare(end, 3, " , ") != 0) {
      continue;
    }
    frames.push_back(std::stoi(text.substr(digits, end - digits)));
  }
  return frames;
}

// The date of the run header laid out as `shape`, where '9' stands for any digit.
bool header_date_has_shape(const std::string& out, const std::string& shape) {
  const std::string label = "\nRun time: ";
  const size_t at = out.find(label);
  if (at == std::string::npos) return false;
  const std::string date = out.substr(at + label.size(), shape.size() + 1);
  if (date.size() != shape.size() + 1 || date.back() != ' ') return false;
  for (size_t i = 0; i < shape.size(); ++i) {
    const bool digit = date[i] >= '0' && date[i] <= '9';
    if (shape[i] == '9' ? !digit : date[i] != shape[i]) return false;
  }
  return true;
}

TEST(CommandLineMessages, EachDoubtfulWordIsNamedAndTheRunGoesOnUnlessRefused) {
  const struct {
    std::vector<std::string> args;
    const char* err;  // all of standard error, or its start when the usage follows
    int status;
  } rows[] = {
      {{"-icmp_type", "abc"}, "-icmp_type: cannot read \"abc\", read as 0\n", 0},
      {{"-icmp_code", "3,1 2"}, "-icmp_code: cannot read \"1 2\", item left out\n", 0},
      {{"-srcip", "999.1.1.1"}, "-srcip: cannot read \"999.1.1.1\", read as 999\n", 0},
      {{"-srcipv6", "zz::1"}, "-srcipv6: cannot read \"zz::1\", filter off\n", 0},
      {{"-frame", "7,9z"}, "-frame: cannot read \"9z\", read as 9\n", 0},
      {{"-frame", "abc"}, "-frame: cannot read \"abc\", filter off\n", 0},
      {{"-frame", "0x10"}, "", 0},
      {{"-find_pattern_h", "41 zz"}, "-find_pattern_h: cannot read \"zz\", byte 0\n", 0},
      {{"-find_pattern", "? ?"}, "-find_pattern: cannot read \"? ?\", pattern off\n", 0},
      {{"-num_subdirs", "2x"}, "-num_subdirs: cannot read \"2x\", read as 0\n", 0},
      {{"-threads", "two"},
       "-threads: cannot read \"two\", read as 0\n"
       "option -threads has no effect without -pipe or -enumdir, ignoring\n",
       0},
      {{"-icmptype", "3"}, "unknown option -icmptype, ignoring\nunknown option 3, ignoring\n", 0},
      {{"-csv", "-cpu", "4", "-csv"},
       "option -cpu has no effect in nelo, ignoring\n"
       "option -csv has no effect in nelo, ignoring\n",
       0},
      {{"-append"}, "option -append has no effect in nelo, ignoring\n", 0},
      {{"-append", "-out", "/dev/null"}, "", 0},
      {{"-frame", "1", "-FRAME", "2", "-frame", "3"},
       "-frame given more than once, using the first value\n",
       0},
      {{"-ifile", "-frame"}, "-ifile given more than once, using the first value\n", 0},
      {{"-stop_time", "garbage"}, "Error: invalid filter stop time\n", 255},
  };
  for (const auto& row : rows) {
    const auto r = run_nelo_in_process(with_loopback(row.args));
    const std::string label = row.args.front() + " " + row.args.back();
    EXPECT_EQ(r.status, row.status) << label;
    if (row.status == 0) {
      EXPECT_EQ(r.err, row.err) << label;
    } else {
      EXPECT_TRUE(r.err.starts_with(row.err)) << label << ": " << r.err;
      EXPECT_NE(r.err.find("\nUsage\n"), std::string::npos) << label;
    }
  }
}

TEST(CommandLineMessages, TimeWindowsInEveryFormSelectTheRightMessages) {
  const uint8_t a[4] = {192, 0, 2, 1};
  const uint8_t b[4] = {192, 0, 2, 2};
  auto at = [&](uint32_t hh, uint32_t mm, uint32_t ss, uint8_t type, uint8_t code) {
    testing::record_parts r;
    r.ts_sec = DAY_2026_12_06 + (hh * 60 + mm) * 60 + ss;
    r.frame = testing::ipv4_icmp_frame(a, b, type, code, 0x1234, testing::bytes(8, 'x'));
    return r;
  };
  const std::string capture = testing::write_temp_file(
      "names.pcap",
      testing::pcap_file({at(0, 30, 0, 0, 3), at(12, 30, 0, 3, 0), at(12, 31, 0, 3, 3),
                          at(20, 0, 0, 3, 13), at(23, 59, 59, 3, 16), at(24, 0, 0, 3, 1)}));
  const struct {
    std::vector<std::string> args;
    std::vector<int> frames;
  } rows[] = {
      {{"-start_time", "12/06/2026 12:30am", "-stop_time", "12/06/2026 12:30am"}, {1}},
      {{"-start_time", "12/06/2026 12:30pm", "-stop_time", "12/06/2026 12:30 PM"}, {2}},
      {{"-start_time", "2026-12-06 12:30:00", "-stop_time", "2026-12-06T12:31:00.000Z"}, {2, 3}},
      {{"-start_time", "2026-12-06", "-stop_time", "2026-12-06"}, {1, 2, 3, 4, 5}},
      {{"-start_time", "12/06/2026 20:00", "-stop_time", "12/07/2026"}, {4, 5, 6}},
  };
  for (const auto& row : rows) {
    std::vector<std::string> args = {"-ifile", capture};
    args.insert(args.end(), row.args.begin(), row.args.end());
    const auto r = run_nelo_in_process(args);
    EXPECT_EQ(r.status, 0) << row.args[1];
    EXPECT_EQ(reported_frames(r.out), row.frames) << row.args[1];
  }
}

TEST(CommandLineMessages, RunHeaderFallsBackToTheDefaultDateFormat) {
  const struct {
    const char* format;
    const char* shape;
  } rows[] = {
      {"yyyy-mm-ddd", "99/99/9999"},  // 11 characters: refused
      {"yyyy-mm-dd", "9999-99-99"},
  };
  for (const auto& row : rows) {
    const auto r = run_nelo_in_process(with_loopback({"-dateformat", row.format, "-frame", "1"}));
    EXPECT_TRUE(header_date_has_shape(r.out, row.shape)) << row.format << "\n" << r.out;
  }
}

TEST(CommandLineMessages, TerminalLineIsClearedOnlyWhenStandardErrorIsATerminal) {
  if (system("command -v script >/dev/null 2>&1") != 0) GTEST_SKIP() << "script(1) missing";
  const std::string run = std::string(NELO_BINARY) + " -ifile " + LOOPBACK + " -bogus";
  EXPECT_EQ(testing::run_shell(run + " >/dev/null").err, "unknown option -bogus, ignoring\n");

  // script(1) gives nelo a terminal for standard error; its own output is the terminal's.
  const std::string screen =
      testing::run_shell("script -qec '" + run + " >/dev/null' /dev/null </dev/null").out;
  EXPECT_NE(screen.find(std::string(LINE_CLEAR_SEQUENCE) + "unknown option -bogus, ignoring"),
            std::string::npos)
      << screen;
}

}  // namespace
}  // namespace nelo
