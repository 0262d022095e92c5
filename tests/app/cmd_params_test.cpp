#include "app/cmd_params.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace nelo {
namespace {

struct parse_result {
  bool ok;
  arg_list rest;
  std::string err;
};

parse_result parse(cmd_params& params, arg_list args) {
  testing::internal::CaptureStderr();
  const bool ok = parse_shared_options(params, args);
  return {ok, args, testing::internal::GetCapturedStderr()};
}

std::string read_file(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class TempDir : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/nelo_params_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }
  std::string dir;
};

TEST(SharedOptions, TakesEveryFilterAndLeavesAValuelessOneBehind) {
  cmd_params params;
  const auto r =
      parse(params, {"nelo", "-filter", "*.pcap", "-ifile", "x", "-FILTER", "*.cap|a*", "-filter"});
  ASSERT_TRUE(r.ok);
  ASSERT_EQ(params.filters.size(), 3u);
  EXPECT_EQ(params.filters[0].text, ".pcap");
  EXPECT_EQ(params.filters[2].text, "a");
  EXPECT_EQ(r.rest, (arg_list{"nelo", "-ifile", "x", "-filter"}));
}

TEST(SharedOptions, ConsumesOptionsThisProgramIgnores) {
  cmd_params params;
  const auto r = parse(params, {"nelo", "-csv", "-threads", "4", "-pipe", "-v", "-hostname", "h",
                                "-num_subdirs", "0x2", "-quiet", "-profile", "-ifile", "f"});
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.rest, (arg_list{"nelo", "-ifile", "f"}));
  EXPECT_TRUE(params.pipe && params.profile);
  EXPECT_FALSE(params.flush_stderr);
  EXPECT_EQ(params.num_subdirs, 2u);
  EXPECT_EQ(params.other_options.size(), 4u);
}

TEST(SharedOptions, RefusesAnEmptyListAndTheUnbuiltSqliteOptions) {
  cmd_params params;
  EXPECT_FALSE(parse(params, {}).ok);
  const auto r = parse(params, {"nelo", "-pipe", "-sqlite_log", "db"});
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.err, "This option is not offered in this build\n");
}

TEST(SharedOptions, ExpandsEnvironmentReferencesInOnePass) {
  ASSERT_EQ(setenv("NELO_TEST_ROOT", "/srv/caps", 1), 0);
  ASSERT_EQ(setenv("NELO_TEST_INDIRECT", "%NELO_TEST_ROOT%", 1), 0);
  unsetenv("NELO_TEST_MISSING");
  struct expansion {
    std::string value;
    std::string path;
  };
  const expansion cases[] = {
      {"%NELO_TEST_ROOT%/day1", "/srv/caps/day1"},
      {"%NELO_TEST_INDIRECT%", "%NELO_TEST_ROOT%"},
      {"%NELO_TEST_MISSING%NELO_TEST_ROOT%", "%NELO_TEST_MISSING/srv/caps"},
      {"100%", "100%"},
      {std::string(520, 'd') + "%NELO_TEST_ROOT%", std::string(520, 'd') + "%NELO_TEST_ROOT%"},
  };
  for (const expansion& c : cases) {
    cmd_params params;
    ASSERT_TRUE(parse(params, {"nelo", "-enumdir", c.value}).ok);
    EXPECT_TRUE(params.enumdir);
    EXPECT_EQ(params.enumdir_path, c.path) << c.value;
  }
}

TEST(SharedOptions, ReadsTheFileTimeWindowAsWholeSeconds) {
  cmd_params params;
  auto r = parse(params, {"nelo", "-cmd_start_time", "2024/01/02"});
  ASSERT_TRUE(r.ok);
  EXPECT_TRUE(params.file_time_start_given);
  EXPECT_EQ(params.file_time_start, 1704153600);
  EXPECT_EQ(params.file_time_stop, INT64_MAX);

  r = parse(params, {"nelo", "-cmd_stop_time", "2024-01-02"});
  EXPECT_TRUE(params.file_time_stop_given);
  EXPECT_EQ(params.file_time_stop, 1704239999);  // the whole day counts

  cmd_params bad;
  r = parse(bad, {"nelo", "-cmd_start_time", "yesterday", "-cmd_stop_time", "never"});
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.err, "invalid start time, ignoring\ninvalid stop time, ignoring\n");
  EXPECT_FALSE(bad.file_time_start_given || bad.file_time_stop_given);
}

TEST(SharedOptions, ReportsBadFormatsAndGoesOn) {
  cmd_params params;
  const auto r =
      parse(params, {"nelo", "-dateformat", "mm/dd/yyy", "-timeformat", "hh:mm:ss", "-pipe"});
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.err, "invalid mm/dd/yyy, using default format\n");
  EXPECT_TRUE(params.date_format.empty());
  EXPECT_EQ(params.time_format, "hh:mm:ss");
  EXPECT_EQ(parse(params, {"nelo", "-timeformat", "hh.mm.ss"}).err,
            "invalid hh.mm.ss, using default format\n");
}

TEST(SharedOptions, RefusesUnbalancedAliasPairs) {
  struct alias_case {
    const char* value;
    bool ok;
  };
  const alias_case cases[] = {
      {"c:,/mnt/c", true}, {"a;/x|b,/y", true}, {"a,/x|b", false},
      {"a,/x,/y", false},  {",/x", false},      {"", false},
  };
  for (const alias_case& c : cases) {
    cmd_params params;
    const auto r = parse(params, {"nelo", "-aliaspath", c.value});
    EXPECT_EQ(r.ok, c.ok) << c.value;
    EXPECT_EQ(r.err, c.ok ? "" : "imbalanced alias to true pathfiles, aborting\n") << c.value;
  }
}

TEST_F(TempDir, OutputCheckNeverDisturbsAnExistingFile) {
  const std::string existing = dir + "/keep.txt";
  std::ofstream(existing) << "precious";
  cmd_params params;
  ASSERT_TRUE(parse(params, {"nelo", "-out", existing, "-append"}).ok);
  EXPECT_EQ(read_file(existing), "precious");

  const std::string fresh = dir + "/fresh.txt";
  ASSERT_TRUE(parse(params, {"nelo", "-outfile", fresh}).ok);
  EXPECT_NE(access(fresh.c_str(), F_OK), 0);  // what the check created, it removed
}

TEST_F(TempDir, OutputCheckRefusesWhatCannotBeWritten) {
  const std::string fifo = dir + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& path : {dir + "/missing/x.txt", dir, fifo}) {
    cmd_params params;
    const auto r = parse(params, {"nelo", "-out", path});
    EXPECT_FALSE(r.ok) << path;
    EXPECT_NE(r.err.find("prob opening file " + path + " for output, aborting\n"),
              std::string::npos)
        << path;
  }
}

TEST_F(TempDir, ContextReportsTheRunTimeOnStderrAndInTheDiagsFile) {
  const std::string diags = dir + "/diags.txt";
  std::ofstream(diags) << "earlier\n";
  cmd_params params;
  params.profile = true;
  params.diags_file = diags;
  testing::internal::CaptureStderr();
  {
    cmdline_ctx ctx;
    ctx.bind(params);
  }
  const std::string err = testing::internal::GetCapturedStderr();
  ASSERT_TRUE(err.starts_with("->") && err.ends_with(" secs\n")) << err;
  const std::string seconds = err.substr(2, err.size() - 2 - 6);
  size_t used = 0;
  EXPECT_GE(std::stod(seconds, &used), 0.0);
  EXPECT_EQ(used, seconds.size()) << err;
  EXPECT_EQ(read_file(diags), "earlier\n" + err);
}

TEST(CmdlineCtx, StaysSilentWithoutTiming) {
  cmd_params params;
  testing::internal::CaptureStderr();
  {
    cmdline_ctx ctx;
    ctx.bind(params);
  }
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

}  // namespace
}  // namespace nelo
