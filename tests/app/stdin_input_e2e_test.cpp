// `-ifile -`: the built binary reading its capture from standard input, redirected from a file or
// fed through a pipe, plain or compressed, and the standard inputs it refuses. The runs go
// through the shell, which is how such a pipeline is built in practice.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "helpers/pcap_builder.h"

namespace nelo {
namespace {

const std::string DATA = NELO_TEST_DATA_DIR;
const std::string NELO = NELO_BINARY;
constexpr int STATUS_REFUSED = 255;

// The run's output from its "Processing file" line on.
std::string from_announcement(const std::string& out) {
  const size_t at = out.find("Processing file: ");
  return at == std::string::npos ? "" : out.substr(at);
}

TEST(StdinInput, ReadsAnyCaptureFromARedirectOrAPipe) {
  const struct {
    const char* capture;
    const char* feed;  // what stands before "nelo -ifile -"; %s is the capture's path
  } cases[] = {
      {"loopback.pcapng", "exec < '%s';"},
      {"loopback.pcap", "cat '%s' |"},
      {"cooked2.pcap", "gzip -c '%s' |"},
      {"two_interfaces.pcapng", "zstd -qc '%s' |"},
      // Standard input that is not blocking: reads that find nothing yet must wait.
      {"loopback.pcap",
       "{ sleep 0.3; cat '%s'; } | python3 -c \"import os, sys; "
       "os.set_blocking(0, False); os.execv(sys.argv[1], sys.argv[1:])\""},
  };
  for (const auto& c : cases) {
    const std::string path = DATA + "/" + c.capture;
    char feed[1024];
    std::snprintf(feed, sizeof feed, c.feed, path.c_str());
    const auto r = testing::run_shell(std::string(feed) + " '" + NELO + "' -ifile -");
    EXPECT_EQ(r.status, 0) << feed << "\n" << r.err;
    EXPECT_EQ(r.err, "") << feed;
    EXPECT_NE(r.out.find("\"Command line: " + NELO + " -ifile -\"\n"), std::string::npos) << r.out;
    // The same report as from the file itself, announced as "-".
    std::string expected = from_announcement(testing::run_nelo_in_process({"-ifile", path}).out);
    expected.replace(0, expected.find('\n'), "Processing file: -");
    EXPECT_NE(expected.find(" , icmp"), std::string::npos) << c.capture;
    EXPECT_EQ(from_announcement(r.out), expected) << feed;
  }
}

TEST(StdinInput, RefusesStandardInputItCannotReadAsACapture) {
  const std::string capture = "'" + DATA + "/loopback.pcap'";
  const std::string nelo = "'" + NELO + "'";
  const struct {
    const char* name;
    std::string command;
    std::string message;
  } cases[] = {
      {"with -pipe", nelo + " -ifile - -pipe < " + capture,
       "-ifile - and -pipe both read standard input, aborting\n"},
      // script(1) runs nelo on a terminal of its own.
      {"a terminal", "script -qec \"" + nelo + " -ifile -\" /dev/null </dev/null",
       "standard input is a terminal, not a capture, aborting"},
      // Only "-" reads a stream; a name for a pipe is refused as before, without blocking.
      {"/dev/stdin on a pipe", "cat " + capture + " | " + nelo + " -ifile /dev/stdin",
       "prob accessing file /dev/stdin for read, aborting\n"},
  };
  for (const auto& c : cases) {
    const auto r = testing::run_shell(c.command);
    EXPECT_EQ(r.status, STATUS_REFUSED) << c.name;
    // script(1) hands nelo's standard error on through its own standard output.
    EXPECT_NE((r.err + r.out).find(c.message), std::string::npos) << c.name << ":\n"
                                                                  << r.err << r.out;
    EXPECT_EQ(r.out.find(" , icmp"), std::string::npos) << c.name;
  }
}

}  // namespace
}  // namespace nelo
