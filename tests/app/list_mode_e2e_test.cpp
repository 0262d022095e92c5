// End-to-end checks of the list modes on a directory tree the test builds: the walk order and
// depth, links that are listed but never followed, and name filters.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "helpers/pcap_builder.h"

namespace nelo {
namespace {

using testing::bytes;
using testing::run_nelo_in_process;

const std::string LOOPBACK = std::string(NELO_TEST_DATA_DIR) + "/loopback.pcap";

// The "Processing file:" lines of a run, in order.
std::vector<std::string> processed(const std::string& out) {
  std::vector<std::string> names;
  const std::string tag = "Processing file: ";
  for (size_t pos = out.find(tag); pos != std::string::npos; pos = out.find(tag, pos + 1)) {
    const size_t end = out.find('\n', pos);
    names.push_back(out.substr(pos + tag.size(), end - pos - tag.size()));
  }
  return names;
}

class ListModeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root = testing::temp_dir() + "/tree";
    const bytes capture = testing::read_file(LOOPBACK);
    ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((root + "/sub").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((root + "/sub/deeper").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((root + "/locked").c_str(), 0000), 0);
    for (const char* name : {"a.pcap", "b.cap", "sub/c.pcap", "sub/deeper/d.pcap"})
      testing::write_temp_file(std::string("tree/") + name, capture);
    testing::write_temp_file("tree/notes.txt", bytes(10, 'n'));
    // A link back to the top: listed as a name, never walked into.
    ASSERT_EQ(symlink("..", (root + "/sub/loop").c_str()), 0);
  }

  std::string root;
};

TEST_F(ListModeTest, DeeperWalkGivesTopFilesFirstAndNeverFollowsLinks) {
  const auto r = run_nelo_in_process(
      {"-enumdir", root, "-num_subdirs", "5", "-filter", "*.pcap", "-icmp_type", "3"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(processed(r.out), (std::vector<std::string>{root + "/a.pcap", root + "/sub/c.pcap",
                                                        root + "/sub/deeper/d.pcap"}));
  // One header and one report line (the port unreachable) per capture.
  size_t headers = 0;
  for (size_t p = r.out.find("  frame ,"); p != std::string::npos;
       p = r.out.find("  frame ,", p + 1))
    ++headers;
  EXPECT_EQ(headers, 3u);
}

TEST_F(ListModeTest, MissingStartDirectoryStopsTheRun) {
  const auto r = run_nelo_in_process({"-enumdir", root + "/nowhere"});
  EXPECT_EQ(r.status, 255);
  EXPECT_NE(r.err.find("prob accessing directory " + root + "/nowhere for read, aborting\n"),
            std::string::npos);
}

TEST_F(ListModeTest, OutputFileNamedInTheListIsSkipped) {
  const std::string report = root + "/report.pcap";
  const auto r = run_nelo_in_process({"-pipe", "-ofile", report, "-icmp_type", "3"},
                                     root + "/a.pcap\n" + report + "\n");
  EXPECT_EQ(processed(r.out), (std::vector<std::string>{root + "/a.pcap"}));
}

}  // namespace
}  // namespace nelo
