#include "app/name_filter.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "app/cmd_params.h"
#include "helpers/pcap_builder.h"

namespace nelo {
namespace {

// Each entry as its text with '*' marking the stars that were kept as flags.
std::string flags_of(const char* list) {
  std::string out;
  for (const filter_entry& e : parse_filters(list)) {
    out += e.match_all
               ? std::string("ALL")
               : std::string(e.leading_star ? "*" : "") + e.text + (e.trailing_star ? "*" : "");
    out += ";";
  }
  return out;
}

TEST(ParseFilters, SetsStarFlagsAndSplitsAtTheFirstDelimiterPresent) {
  EXPECT_EQ(flags_of(" *.PCAP , dump* ,, *mid*dle* ,x**"), "*.pcap;dump*;*middle*;x*;");
  EXPECT_EQ(parse_filters("*.PCAP")[0].pattern, "*.pcap");
  EXPECT_EQ(flags_of("*.pcap|*|a"), "ALL;");  // a lone asterisk replaces every other pattern
  EXPECT_EQ(flags_of("a|b,c"), "a|b;c;");
}

TEST(NameMatchesPatterns, DecidesByTheFileNamePartOrWholeDirectoryComponents) {
  const struct {
    const char *filter, *name;
    bool passes;
  } cases[] = {
      {"*.pcap|*.cap", "/data/B.CAP", true},
      {"*.pcap|*.cap", "/data/a.pcapng", false},
      {"*.pcap", "/data/x.pcap.pcap", true},
      {"*.pcap", "/data.pcap/notes.txt", false},
      {"*dump*", "/d/my_dump_1.pcap", true},
      {"*dump*", "/dump/other.pcap", false},
      {"cap*", "/d/pcap", false},
      {"a.pcap", "/d/A.pcap", true},
      {"a.pcap", "/d/a.pcap2", false},
      {"*.pcap", "bare.pcap", true},  // as `ls` lists names
      {"*.pcap", "", false},
      {"/caps", "/home/u/CAPS/sub/a.pcap", true},
      {"/caps", "/home/u/capsule/a.pcap", false},
      {"/cap", "/capture/cap/a.pcap", true},  // a later occurrence may end the component
      {"/caps", "caps.pcap", false},
      {"/u/caps", "\\home\\u\\caps\\a.pcap", false},  // no '/' at all: no directory part
      {"/u/caps", "/x\\u\\caps/a.pcap", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(name_matches_patterns(c.name, parse_filters(c.filter)), c.passes)
        << c.filter << " on " << c.name;
  }
}

TEST(NamePassesFilters, AppliesTheFileTimeWindowToModificationTimes) {
  cmd_params params;
  EXPECT_FALSE(name_passes_filters(params, "", {}));
  EXPECT_TRUE(name_passes_filters(params, "/no/such/file", {}));

  const std::string path = testing::temp_dir() + "/a.pcap";
  std::ofstream(path) << "x";
  constexpr time_t mtime = 1700000000;
  const struct timespec times[2] = {{mtime, 0}, {mtime, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  const auto filters = parse_filters("*.pcap");

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
}

}  // namespace
}  // namespace nelo
