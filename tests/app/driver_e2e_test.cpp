// End-to-end checks of the built binary for the cases that need a prepared file system (FIFOs,
// links, unwritable places); fixed command lines are covered by the golden tests.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include "helpers/pcap_builder.h"

extern char** environ;

namespace nelo {
namespace {

using testing::bytes;
using testing::run_nelo_in_process;

const std::string LOOPBACK = std::string(NELO_TEST_DATA_DIR) + "/loopback.pcap";

TEST(DriverEndToEnd, OutputFileThatIsTheInputIsNeverTruncated) {
  const std::string copy = testing::write_temp_file("evidence.pcap", testing::read_file(LOOPBACK));
  const std::string link = testing::temp_dir() + "/link.pcap";
  ASSERT_EQ(symlink(copy.c_str(), link.c_str()), 0);
  for (const std::string& out : {copy, link}) {
    const auto r = run_nelo_in_process({"-ifile", copy, "-ofile", out});
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.err.find("output file " + out + " is the input file, aborting\n"),
              std::string::npos);
    EXPECT_EQ(testing::read_file(copy), testing::read_file(LOOPBACK));
  }
}

TEST(DriverEndToEnd, OutputFileIsTruncatedAndBinaryFormIsTheFramesOwnBytes) {
  const std::string out = testing::write_temp_file("frames.bin", bytes(100000, 'x'));
  const auto r = run_nelo_in_process(
      {"-ifile", LOOPBACK, "-binary", "-dump_hdr", "-dump_payload", "-ofile", out});
  EXPECT_EQ(r.status, 0);
  // Every ICMP frame of the capture, whole and back to back: header then payload.
  bytes expected;
  for (const testing::seen_record& record : testing::record_walk(LOOPBACK).seen) {
    const bytes& frame = record.frame;
    const bool v4 = frame.size() > 23 && frame[12] == 0x08 && frame[13] == 0x00 && frame[23] == 1;
    const bool v6 = frame.size() > 20 && frame[12] == 0x86 && frame[13] == 0xdd && frame[20] == 58;
    if (v4 || v6) expected.insert(expected.end(), frame.begin(), frame.end());
  }
  ASSERT_FALSE(expected.empty());
  EXPECT_EQ(testing::read_file(out), expected);
}

TEST(DriverEndToEnd, StopSignalsFlushEveryFormattedLineAndEndWithTheSignalsStatus) {
  const std::string capture = testing::write_long_capture();
  for (int signo : {SIGINT, SIGTERM, SIGHUP}) {
    const std::string report = testing::temp_dir() + "/report.txt";
    std::vector<std::string> words = {NELO_BINARY, "-ifile", capture, "-ofile", report};
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    ASSERT_EQ(posix_spawn(&pid, NELO_BINARY, nullptr, nullptr, argv.data(), environ), 0);
    usleep(300 * 1000);
    kill(pid, signo);
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    ASSERT_TRUE(WIFSIGNALED(wstatus)) << "signal " << signo << " came after the walk ended";
    EXPECT_EQ(WTERMSIG(wstatus), signo);
    // The report stops at a line boundary: nothing formatted was left in the buffer.
    const bytes text = testing::read_file(report);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    const std::string tail(text.end() - 20, text.end());
    EXPECT_NE(tail.find("echo request \n"), std::string::npos) << tail;
  }
  std::remove(capture.c_str());
}

}  // namespace
}  // namespace nelo
