// End-to-end checks of the list modes on a directory tree the test builds: the walk order and
// depth, links that are listed but never followed, name filters, the file-time window, and the
// run timing outputs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <string_view>

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

// True when `text` is "->", a number and " secs" followed by a line feed.
bool is_timing_line(std::string_view text) {
  if (text.substr(0, 2) != "->" || !text.ends_with(" secs\n")) return false;
  const std::string_view number = text.substr(2, text.size() - 2 - 6);
  return !number.empty() && number.find_first_not_of("0123456789.e+-") == std::string_view::npos;
}

// True when `text` matches `shape`, where '9' stands for any digit.
bool has_shape(std::string_view text, std::string_view shape) {
  if (text.size() != shape.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (shape[i] == '9' ? !std::isdigit(static_cast<unsigned char>(text[i])) : text[i] != shape[i])
      return false;
  }
  return true;
}

// The run header's date and time, between "Run time: " and " UTC;".
std::string run_time_of(const std::string& out) {
  const size_t start = out.find("\nRun time: ");
  const size_t end = out.find(" UTC;", start);
  if (start == std::string::npos || end == std::string::npos) return "";
  return out.substr(start + 11, end - start - 11);
}

void set_mtime(const std::string& path, time_t when) {
  const struct timespec times[2] = {{when, 0}, {when, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
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
    put(root + "/a.pcap", capture);
    put(root + "/b.cap", capture);
    put(root + "/notes.txt", bytes(10, 'n'));
    put(root + "/sub/c.pcap", capture);
    put(root + "/sub/deeper/d.pcap", capture);
    // A link back to the top: listed as a name, never walked into.
    ASSERT_EQ(symlink("..", (root + "/sub/loop").c_str()), 0);
  }

  static void put(const std::string& path, const bytes& data) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
    close(fd);
  }

  std::string root;
};

TEST_F(ListModeTest, WalkWithoutSubdirsListsOnlyTheTopDirectory) {
  const auto r = run_nelo_in_process({"-enumdir", root + "/", "-icmp_type", "3"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(processed(r.out),
            (std::vector<std::string>{root + "/a.pcap", root + "/b.cap", root + "/notes.txt"}));
}

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

TEST_F(ListModeTest, TwoFilterOptionsCombine) {
  const auto r = run_nelo_in_process(
      {"-enumdir", root, "-filter", "a*", "-filter", "*.cap", "-icmp_type", "3"});
  EXPECT_EQ(processed(r.out), (std::vector<std::string>{root + "/a.pcap", root + "/b.cap"}));
}

TEST_F(ListModeTest, FileTimeWindowSelectsByModificationTime) {
  set_mtime(root + "/a.pcap", 1577836800);  // 2020-01-01
  set_mtime(root + "/b.cap", 1609459200);   // 2021-01-01
  set_mtime(root + "/notes.txt", 1640995200);
  const auto r =
      run_nelo_in_process({"-enumdir", root, "-filter", "*", "-cmd_start_time", "2020/06/01",
                           "-cmd_stop_time", "2021/06/01", "-icmp_type", "3"});
  EXPECT_EQ(processed(r.out), (std::vector<std::string>{root + "/b.cap"}));

  const auto bad = run_nelo_in_process(
      {"-enumdir", root, "-filter", "*.cap", "-cmd_start_time", "junk", "-icmp_type", "3"});
  EXPECT_NE(bad.err.find("invalid start time, ignoring\n"), std::string::npos);
  EXPECT_EQ(processed(bad.out), (std::vector<std::string>{root + "/b.cap"}));
}

TEST_F(ListModeTest, EnvironmentReferencesInTheDirectoryAreExpanded) {
  const char* home = getenv("HOME");
  const std::string saved = home != nullptr ? home : "";
  setenv("HOME", root.c_str(), 1);
  const auto r = run_nelo_in_process({"-enumdir", "%HOME%/sub", "-icmp_type", "3"});
  if (home != nullptr) {
    setenv("HOME", saved.c_str(), 1);
  } else {
    unsetenv("HOME");
  }
  EXPECT_EQ(processed(r.out), (std::vector<std::string>{root + "/sub/c.pcap", root + "/sub/loop"}));
}

TEST_F(ListModeTest, MissingStartDirectoryStopsTheRun) {
  const auto r = run_nelo_in_process({"-enumdir", root + "/nowhere"});
  EXPECT_EQ(r.status, 255);
  EXPECT_NE(r.err.find("prob accessing directory " + root + "/nowhere for read, aborting\n"),
            std::string::npos);
}

TEST_F(ListModeTest, PipeNamesWithoutDirectoryAreFilteredOnTheirName) {
  const auto r = run_nelo_in_process({"-pipe", "-filter", "*.pcap", "-icmp_type", "3"},
                                     root + "/a.pcap\r\n\nb.cap\nloopback.pcap\n");
  EXPECT_EQ(processed(r.out), (std::vector<std::string>{root + "/a.pcap"}));
  // The bare name passed the filter and reached the reader, which looks for it in the
  // current directory.
  EXPECT_NE(r.out.find("prob opening loopback.pcap for read\n"), std::string::npos);
}

TEST_F(ListModeTest, OutputFileNamedInTheListIsSkipped) {
  const std::string report = root + "/report.pcap";
  const auto r = run_nelo_in_process({"-pipe", "-ofile", report, "-icmp_type", "3"},
                                     root + "/a.pcap\n" + report + "\n");
  EXPECT_EQ(processed(r.out), (std::vector<std::string>{root + "/a.pcap"}));
}

TEST(RunTiming, ProfileLineIsLastOnStandardErrorAndDiagsAreAppended) {
  const std::string diags = testing::temp_dir() + "/diags.txt";
  const auto r = run_nelo_in_process({"-ifile", LOOPBACK, "-profile", "-diags", diags});
  EXPECT_EQ(r.status, 0);
  const size_t last_line = r.err.rfind('\n', r.err.size() - 2);
  EXPECT_TRUE(is_timing_line(std::string_view(r.err).substr(last_line + 1))) << r.err;
  const bytes first = testing::read_file(diags);
  run_nelo_in_process({"-ifile", LOOPBACK, "-diags", diags});
  const bytes both = testing::read_file(diags);
  const std::string text(both.begin(), both.end());
  const size_t split = text.find('\n') + 1;
  EXPECT_TRUE(is_timing_line(std::string_view(text).substr(0, split))) << text;
  EXPECT_TRUE(is_timing_line(std::string_view(text).substr(split))) << text;
  EXPECT_FALSE(first.empty());
}

TEST(RunHeader, DateFollowsTheDateFormatOption) {
  const auto plain = run_nelo_in_process({"-ifile", LOOPBACK, "-frame", "1"});
  EXPECT_TRUE(has_shape(run_time_of(plain.out), "99/99/9999 99:99:99")) << plain.out;
  const auto iso =
      run_nelo_in_process({"-ifile", LOOPBACK, "-frame", "1", "-dateformat", "yyyy-mm-dd"});
  EXPECT_TRUE(has_shape(run_time_of(iso.out), "9999-99-99 99:99:99")) << iso.out;
  EXPECT_TRUE(iso.err.empty()) << iso.err;
}

}  // namespace
}  // namespace nelo
