#include "app/name_filter.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "app/cmd_params.h"

namespace nelo {
namespace {

TEST(ParseFilters, SetsStarFlagsAndDropsEmptyPieces) {
  const auto entries = parse_filters(" *.PCAP , dump* ,, *mid*dle* ,x**");
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries[0].pattern, "*.pcap");
  EXPECT_EQ(entries[0].text, ".pcap");
  EXPECT_TRUE(entries[0].leading_star && !entries[0].trailing_star);
  EXPECT_EQ(entries[1].text, "dump");
  EXPECT_TRUE(!entries[1].leading_star && entries[1].trailing_star);
  EXPECT_EQ(entries[2].text, "middle");
  EXPECT_TRUE(entries[2].leading_star && entries[2].trailing_star);
  EXPECT_EQ(entries[3].text, "x");
  EXPECT_TRUE(!entries[3].leading_star && entries[3].trailing_star);
}

TEST(ParseFilters, ALoneAsteriskReplacesEveryOtherPattern) {
  const auto entries = parse_filters("*.pcap|*|a");
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_TRUE(entries[0].match_all);
}

TEST(ParseFilters, CommaTakesPrecedenceOverBar) {
  const auto entries = parse_filters("a|b,c");
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].text, "a|b");
}

struct match_case {
  const char* filter;
  const char* name;
  bool passes;
};

TEST(NameMatchesPatterns, DecidesByTheFileNamePart) {
  const match_case cases[] = {
      {"*.pcap|*.cap", "/data/a.pcap", true},
      {"*.pcap|*.cap", "/data/B.CAP", true},
      {"*.pcap|*.cap", "/data/a.pcapng", false},
      {"*.pcap", "/data/x.pcap.pcap", true},
      {"*.pcap", "/data.pcap/notes.txt", false},
      {"*", "/any/thing", true},
      {"*dump*", "/d/my_dump_1.pcap", true},
      {"*dump*", "/dump/other.pcap", false},
      {"cap*", "/d/capture.pcap", true},
      {"cap*", "/d/pcap", false},
      {"a.pcap", "/d/A.pcap", true},
      {"a.pcap", "/d/a.pcap2", false},
      {"*.pcap", "bare.pcap", true},  // as `ls` lists names
      {"bare.pcap", "bare.pcap", true},
      {"*.pcap", "", false},
  };
  for (const match_case& c : cases)
    EXPECT_EQ(name_matches_patterns(c.name, parse_filters(c.filter)), c.passes)
        << c.filter << " on " << c.name;
}

TEST(NameMatchesPatterns, PathFiltersMatchWholeDirectoryComponents) {
  const match_case cases[] = {
      {"/caps", "/home/u/caps/a.pcap", true},
      {"/caps", "/home/u/CAPS/sub/a.pcap", true},
      {"/caps", "/home/u/capsule/a.pcap", false},
      {"/cap", "/capture/cap/a.pcap", true},  // a later occurrence may end the component
      {"/caps", "caps.pcap", false},
      {"/u/caps", "\\home\\u\\caps\\a.pcap", false},  // no '/' at all: no directory part
      {"/u/caps", "/x\\u\\caps/a.pcap", true},
  };
  for (const match_case& c : cases)
    EXPECT_EQ(name_matches_patterns(c.name, parse_filters(c.filter)), c.passes)
        << c.filter << " on " << c.name;
}

TEST(NamePassesFilters, EmptyNameFailsAndEmptyListPassesAll) {
  cmd_params params;
  EXPECT_FALSE(name_passes_filters(params, "", {}));
  EXPECT_TRUE(name_passes_filters(params, "/no/such/file", {}));
  EXPECT_FALSE(name_passes_filters(params, "/no/such/file.txt", parse_filters("*.pcap")));
}

TEST(NamePassesFilters, AppliesTheFileTimeWindowToModificationTimes) {
  char dir_template[] = "/tmp/nelo_filter_XXXXXX";
  ASSERT_NE(mkdtemp(dir_template), nullptr);
  const std::string path = std::string(dir_template) + "/a.pcap";
  std::ofstream(path) << "x";
  constexpr time_t mtime = 1700000000;
  const struct timespec times[2] = {{mtime, 0}, {mtime, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  const auto filters = parse_filters("*.pcap");

  cmd_params params;
  params.file_time_start_given = true;
  params.file_time_start = mtime;
  EXPECT_TRUE(name_passes_filters(params, path, filters));
  params.file_time_start = mtime + 1;
  EXPECT_FALSE(name_passes_filters(params, path, filters));
  params.file_time_start = 0;
  params.file_time_stop_given = true;
  params.file_time_stop = mtime - 1;
  EXPECT_FALSE(name_passes_filters(params, path, filters));
  params.file_time_stop = mtime;
  EXPECT_TRUE(name_passes_filters(params, path, filters));
  EXPECT_FALSE(name_passes_filters(params, path + ".gone.pcap", filters));

  unlink(path.c_str());
  rmdir(dir_template);
}

}  // namespace
}  // namespace nelo
