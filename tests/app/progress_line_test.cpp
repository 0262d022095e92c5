#include "app/progress_line.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "helpers/pcap_builder.h"
#include "support/error_writer.h"

namespace nelo {
namespace {

TEST(ProgressLine, RendersFileBytesPercentAndPackets) {
  const std::string path = "/captures/day1.pcap";
  walk_progress p;
  p.path = &path;
  p.bytes_read = 512ull << 20;
  p.file_size = 1ull << 30;
  p.reported = 34;
  EXPECT_EQ(progress_line::render(p, 1200),
            "nelo: /captures/day1.pcap  512.0 MiB of 1.0 GiB (50%)  1234 packets reported");
  p.file_size = 0;
  EXPECT_EQ(progress_line::render(p, 0),
            "nelo: /captures/day1.pcap  512.0 MiB  34 packets reported");
  const std::string long_name(100, 'x');
  p.path = &long_name;
  EXPECT_EQ(progress_line::render(p, 0),
            "nelo: ..." + std::string(45, 'x') + "  512.0 MiB  34 packets reported");
}

// Every message to a terminal first clears the line the progress may have left there.
TEST(ProgressLineEndToEnd, ShownOnATerminalAndClearedButNeverWrittenToAFile) {
  if (system("command -v script >/dev/null 2>&1") != 0) GTEST_SKIP() << "script(1) missing";
  const std::string capture = testing::write_long_capture();
  const std::string nelo = NELO_BINARY;
  const std::string run = nelo + " -ifile " + capture + " -xml -dump_hdr -dump_payload";
  // script(1) gives nelo a terminal for standard error; the report goes to /dev/null.
  const std::string screen =
      testing::run_shell("script -qec '" + run + " >/dev/null' /dev/null </dev/null").out;
  EXPECT_NE(screen.find(std::string(LINE_CLEAR_SEQUENCE) + "option -xml has no effect in nelo"),
            std::string::npos)
      << screen;
  const size_t shown = screen.rfind("packets reported");
  ASSERT_NE(shown, std::string::npos) << "no progress line on the terminal";
  EXPECT_NE(screen.find(LINE_CLEAR_SEQUENCE, shown), std::string::npos)
      << "the progress line was not cleared at the end";

  EXPECT_EQ(testing::run_shell(run + " >/dev/null").err,
            "option -xml has no effect in nelo, ignoring\n");

  const std::string quiet =
      testing::run_shell("script -qec '" + run + " -quiet >/dev/null' /dev/null </dev/null").out;
  EXPECT_EQ(quiet.find("packets reported"), std::string::npos);
  std::remove(capture.c_str());
}

}  // namespace
}  // namespace nelo
