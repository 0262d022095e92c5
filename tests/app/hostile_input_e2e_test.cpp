// The built binary against a hostile environment: inputs that are not regular files, file
// names that no sane person would choose, and outputs that cannot be written. Each run has a
// deadline, so a hang is a failure (status 124) rather than a stuck test suite.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "helpers/pcap_builder.h"

namespace nelo {
namespace {

using testing::bytes;

const std::string LOOPBACK = std::string(NELO_TEST_DATA_DIR) + "/loopback.pcap";
constexpr int STATUS_REFUSED = 255;

// The built binary with a deadline and SIGPIPE at its default, as a shell would run it;
// `args` are shell words.
testing::run_result run_nelo(const std::string& args) {
  return testing::run_shell("env --default-signal=PIPE timeout 60 '" + std::string(NELO_BINARY) +
                            "' " + args);
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// A small capture of echo requests from `source`, so each file's report is recognisable.
bytes echo_capture(const uint8_t source[4], size_t records = 2, size_t payload = 24) {
  const uint8_t target[4] = {192, 0, 2, 1};
  std::vector<testing::record_parts> parts;
  for (size_t i = 0; i < records; ++i) {
    parts.push_back(
        {.frame = testing::ipv4_icmp_frame(source, target, 8, 0, static_cast<uint16_t>(i + 1),
                                           bytes(payload, static_cast<uint8_t>('a' + i % 26)))});
  }
  return testing::pcap_file(parts);
}

TEST(HostileInput, InputThatIsNotARegularFileIsRefusedWithoutHanging) {
  const std::string dir = testing::temp_dir();
  const std::string directory = dir + "/a directory";
  const std::string fifo = dir + "/capture.fifo";
  ASSERT_EQ(mkdir(directory.c_str(), 0755), 0);
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

  // A directory can be opened, so it is announced; reading its header then fails.
  const auto dir_run = run_nelo("-ifile '" + directory + "' -dump_meta");
  EXPECT_EQ(dir_run.status, STATUS_REFUSED);
  EXPECT_TRUE(contains(dir_run.out, "Processing file: " + directory + "\n")) << dir_run.out;

  for (const std::string& input : {fifo, std::string("/dev/null")}) {
    const auto r = run_nelo("-ifile " + input + " -dump_meta");
    EXPECT_EQ(r.status, STATUS_REFUSED) << input;
    EXPECT_TRUE(contains(r.err, "prob accessing file " + input + " for read, aborting\n"))
        << input << ": " << r.err;
  }
}

TEST(HostileInput, ListedNamesWithBlanksQuotesAndInvalidUtf8AreRead) {
  const std::string dir = testing::temp_dir();
  const struct {
    std::string name;
    uint8_t source[4];
    std::string source_text;
  } files[] = {
      {"with space.pcap", {10, 9, 0, 1}, "10.9.0.1"},
      {"it's \"quoted\".pcap", {10, 9, 0, 2}, "10.9.0.2"},
      {"bad\xff\xfeutf8\xc3(.pcap", {10, 9, 0, 3}, "10.9.0.3"},
      {"ends in a blank.pcap ", {10, 9, 0, 4}, "10.9.0.4"},
  };
  const std::string missing = dir + "/missing \xc0\xaf.pcap";
  std::string list;
  for (const auto& f : files)
    list += testing::write_temp_file(f.name, echo_capture(f.source)) + "\n";
  list += missing + "\n";
  const std::string list_file = testing::write_temp_file("list", bytes(list.begin(), list.end()));

  const auto r = run_nelo("-pipe -dump_meta <'" + list_file + "'");
  EXPECT_EQ(r.status, 0) << r.err;
  size_t previous = 0;
  for (const auto& f : files) {
    const std::string path = dir + "/" + f.name;
    // Each file is announced, then its own packets follow.
    const size_t announced = r.out.find("Processing file: " + path + "\n");
    ASSERT_NE(announced, std::string::npos) << path;
    EXPECT_GE(announced, previous) << path;
    EXPECT_NE(r.out.find(f.source_text, announced), std::string::npos) << path;
    previous = announced;
  }
  EXPECT_TRUE(contains(r.out, "prob opening " + missing + " for read\n")) << r.out;
}

TEST(HostileInput, OutputThatCannotBeWrittenEndsTheRunWithAnError) {
  for (const std::string output : {"-ofile /dev/full", ">/dev/full"}) {
    const auto r = run_nelo("-ifile '" + LOOPBACK + "' -dump_meta -dump_payload " + output);
    EXPECT_EQ(r.status, STATUS_REFUSED) << output;
    EXPECT_TRUE(contains(r.err, "prob writing output, aborting\n")) << output << ": " << r.err;
  }
}

TEST(HostileInput, ClosedStandardInputLeavesTheCaptureToBeOpenedAsDescriptorZero) {
  const auto r = run_nelo("-ifile '" + LOOPBACK + "' <&-");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(contains(r.out, " , icmp")) << r.out;
}

TEST(HostileInput, ReaderThatGoesAwayEndsTheRunQuietly) {
  const uint8_t source[4] = {10, 7, 7, 7};
  // Far more report than a pipe holds: 2000 packets with header and payload dumps.
  const std::string capture =
      testing::write_temp_file("many.pcap", echo_capture(source, 2000, 200));
  const auto r = testing::run_shell(
      "{ env --default-signal=PIPE timeout 60 '" + std::string(NELO_BINARY) + "' -ifile '" +
      capture +
      "' -dump_meta -dump_hdr -dump_payload; echo \"nelo exit $?\" >&2; } | head -c 10 >/dev/null");
  EXPECT_EQ(r.status, 0);
  // Killed by SIGPIPE, and not a word on standard error.
  EXPECT_EQ(r.err, "nelo exit " + std::to_string(128 + SIGPIPE) + "\n");
}

}  // namespace
}  // namespace nelo
