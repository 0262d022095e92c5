#include "app/cmd_params.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "helpers/pcap_builder.h"

namespace nelo {
namespace {

struct parse_result {
  bool ok;
  arg_list rest;
  std::string err;
};

parse_result parse(cmd_params& params, arg_list args) {
  std::ostringstream err;
  std::string refusal;
  const bool ok = parse_shared_options(params, args, message_writer(err, false), refusal);
  return {ok, args, err.str() + refusal};
}

TEST(SharedOptions, TakesFiltersAndIgnoredOptionsAndLeavesTheRest) {
  cmd_params params;
  const auto r =
      parse(params, {"nelo", "-filter", "*.pcap", "-ifile", "x", "-FILTER", "*.cap|a*", "-xml",
                     "-threads", "4", "-pipe", "-num_subdirs", "0x2", "-quiet", "-profile"});
  ASSERT_TRUE(r.ok);
  ASSERT_EQ(params.filters.size(), 3u);
  EXPECT_EQ(params.filters[0].text, ".pcap");
  EXPECT_EQ(params.filters[2].text, "a");
  EXPECT_EQ(r.rest, (arg_list{"nelo", "-ifile", "x"}));
  EXPECT_TRUE(params.pipe && params.profile);
  EXPECT_EQ(params.num_subdirs, 2u);
  EXPECT_EQ(params.threads, 4u);

  // Without the option every core works, but a large host does not get 64 threads of memory.
  cmd_params defaults;
  ASSERT_TRUE(parse(defaults, {"nelo", "-ifile", "x"}).ok);
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  EXPECT_EQ(defaults.threads, static_cast<uint32_t>(std::clamp<long>(online, 1, 16)));
  const auto last = parse(defaults, {"nelo", "-ifile", "x", "-threads"});
  EXPECT_FALSE(last.ok);
  EXPECT_EQ(last.err, "Error: -threads: no value (a number of threads up to 64, 0 for every core)");

  EXPECT_FALSE(parse(params, {}).ok);
  const auto sqlite = parse(params, {"nelo", "-pipe", "-sqlite_log", "db"});
  EXPECT_FALSE(sqlite.ok);
  EXPECT_EQ(sqlite.err, "This option is not offered in this build\n");
}

TEST(SharedOptions, ExpandsEnvironmentReferencesInOnePass) {
  ASSERT_EQ(setenv("NELO_TEST_ROOT", "/srv/caps", 1), 0);
  ASSERT_EQ(setenv("NELO_TEST_INDIRECT", "%NELO_TEST_ROOT%", 1), 0);
  unsetenv("NELO_TEST_MISSING");
  const std::pair<std::string, std::string> cases[] = {
      {"%NELO_TEST_ROOT%/day1", "/srv/caps/day1"},
      {"%NELO_TEST_INDIRECT%", "%NELO_TEST_ROOT%"},
      {"%NELO_TEST_MISSING%NELO_TEST_ROOT%", "%NELO_TEST_MISSING/srv/caps"},
      {"100%", "100%"},
      {std::string(520, 'd') + "%NELO_TEST_ROOT%", std::string(520, 'd') + "%NELO_TEST_ROOT%"},
  };
  for (const auto& [value, path] : cases) {
    cmd_params params;
    ASSERT_TRUE(parse(params, {"nelo", "-enumdir", value}).ok);
    EXPECT_TRUE(params.enumdir);
    EXPECT_EQ(params.enumdir_path, path) << value;
  }
}

TEST(SharedOptions, ReadsTheFileTimeWindowAsWholeSeconds) {
  cmd_params params;
  ASSERT_TRUE(parse(params, {"nelo", "-cmd_start_time", "2024/01/02"}).ok);
  EXPECT_TRUE(params.file_time_start_given);
  EXPECT_EQ(params.file_time_start, 1704153600);
  EXPECT_EQ(params.file_time_stop, INT64_MAX);
  parse(params, {"nelo", "-cmd_stop_time", "2024-01-02"});
  EXPECT_EQ(params.file_time_stop, 1704239999);  // the whole day counts
  // As the message window reads them: epoch seconds and ISO times with a UTC offset.
  parse(params, {"nelo", "-cmd_start_time", "@1704153600.9"});
  EXPECT_EQ(params.file_time_start, 1704153600);
  parse(params, {"nelo", "-cmd_stop_time", "2024-01-02T01:00:00+01:00"});
  EXPECT_EQ(params.file_time_stop, 1704153600);
}

TEST(OutputCheck, NeverDisturbsAFileAndRefusesWhatCannotBeWritten) {
  const std::string dir = testing::temp_dir();
  const std::string existing = dir + "/keep.txt";
  std::ofstream(existing) << "precious";
  cmd_params params;
  ASSERT_TRUE(parse(params, {"nelo", "-out", existing}).ok);
  EXPECT_EQ(testing::read_text(existing), "precious");
  const std::string fresh = dir + "/fresh.txt";
  ASSERT_TRUE(parse(params, {"nelo", "-outfile", fresh}).ok);
  EXPECT_NE(access(fresh.c_str(), F_OK), 0);  // what the check created, it removed

  const std::string fifo = dir + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& path : {dir + "/missing/x.txt", dir, fifo}) {
    const auto r = parse(params, {"nelo", "-out", path});
    EXPECT_FALSE(r.ok) << path;
    EXPECT_NE(r.err.find("prob opening file " + path + " for output, aborting\n"),
              std::string::npos)
        << path;
  }
}

// True when `text` is "->", a number of seconds and " secs" followed by a line feed.
bool is_timing_line(const std::string& text) {
  if (!text.starts_with("->") || !text.ends_with(" secs\n")) return false;
  const std::string seconds = text.substr(2, text.size() - 2 - 6);
  size_t used = 0;
  return !seconds.empty() && std::stod(seconds, &used) >= 0 && used == seconds.size();
}

TEST(CmdlineCtx, ReportsTheRunTimeOnStandardErrorWithProfileAndInTheDiagsFile) {
  const std::string diags = testing::temp_dir() + "/diags.txt";
  for (const auto& [profile, to_diags] : {std::pair{false, false}, {false, true}, {true, false}}) {
    std::ofstream(diags) << "earlier\n";
    cmd_params params;
    params.profile = profile;
    params.diags_file = to_diags ? diags : "";
    std::ostringstream stream;
    {
      cmdline_ctx ctx(stream);
      ctx.bind(params);
    }
    const std::string label = std::to_string(profile) + std::to_string(to_diags);
    EXPECT_TRUE(profile ? is_timing_line(stream.str()) : stream.str().empty()) << label;
    const std::string appended = testing::read_text(diags).substr(8);  // after "earlier\n"
    EXPECT_TRUE(to_diags ? is_timing_line(appended) : appended.empty()) << label;
  }
}

}  // namespace
}  // namespace nelo
