// Whole runs with -write_capture, the written file read back by nelo: frame by frame, where every
// frame must be its source frame (bytes, lengths, time and link type) in the order the messages
// were reported; and as a capture, which must report the same messages. The blocks and comments
// of such a file as tshark reads them are held by check_write_capture.py, and threads to the same
// file in tests/app/threads_e2e_test.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "helpers/pcap_builder.h"

namespace nelo {
namespace {

using testing::bytes;
using testing::json_value;
using testing::lines_of;
using testing::run_nelo_in_process;

const std::string DATA = NELO_TEST_DATA_DIR;

// A JSON line without the fields that name the file and frame numbers in it.
std::string without_file_and_frames(std::string line) {
  for (const char* key : {"file", "frame", "fragments", "request_frame"}) {
    const std::string value = json_value(line, key);
    if (value.empty()) continue;
    const std::string field = "\"" + std::string(key) + "\":" + value;
    const size_t at = line.find(field);
    line.erase(at, field.size() + (line[at + field.size()] == ',' ? 1 : 0));
  }
  return line;
}

// Where the frames written for the reported messages come from ("PATH frame N", as their comments
// name them), in report order: a message's fragments in arrival order, or its own frame.
std::vector<std::string> expected_comments(const std::vector<std::string>& json) {
  std::vector<std::string> comments;
  for (const std::string& line : json) {
    const std::string file = json_value(line, "file");
    const std::string name = file.substr(1, file.size() - 2);
    std::string frames = json_value(line, "fragments");
    frames = frames.empty() ? json_value(line, "frame") : frames.substr(1, frames.size() - 2);
    for (size_t at = 0; at < frames.size();) {
      const size_t comma = std::min(frames.find(',', at), frames.size());
      comments.push_back(name + " frame " + frames.substr(at, comma - at));
      at = comma + 1;
    }
  }
  return comments;
}

struct written_case {
  const char* label;
  std::vector<std::string> captures;  // one: -ifile; more: a -pipe list
  std::vector<std::string> args;
};

const written_case WRITTEN_CASES[] = {
    {"classic microseconds", {"loopback.pcap"}, {}},
    {"pcapng", {"loopback.pcapng"}, {}},
    {"nanoseconds", {"nanosecond.pcap"}, {}},
    {"two link types in one capture", {"two_interfaces.pcapng"}, {}},
    {"fragments with their frames", {"fragments.pcap"}, {}},
    {"overlapping and incomplete fragments", {"fragment_attacks.pcap"}, {}},
    {"first fragments alone", {"fragments.pcap"}, {"-no_reassembly"}},
    {"tunnels, filtered", {"tunnels.pcap"}, {"-icmp_type", "3,0"}},
    {"times none can hold", {"edge_fields.pcap"}, {}},
    {"a list of link types and resolutions",
     {"cooked1.pcap", "loopback_nsec.pcap", "two_interfaces.pcapng", "fragments.pcap"},
     {"-icmp_type", "0,3,129"}},
};

TEST(WriteCapture, TheFileHoldsTheKeptMessagesFramesAndReadsBackToTheSameMessages) {
  const std::string written = testing::temp_dir() + "/written.pcapng";
  const std::string again = testing::temp_dir() + "/again.pcapng";
  for (const written_case& c : WRITTEN_CASES) {
    std::vector<std::string> source = {"-ifile", DATA + "/" + c.captures.front()};
    std::string list;
    if (c.captures.size() > 1) {
      source = {"-pipe"};
      for (const std::string& name : c.captures) list += DATA + "/" + name + "\n";
    }
    auto run = [&](std::vector<std::string> args, const std::vector<std::string>& form,
                   const std::string& input) {
      args.insert(args.end(), c.args.begin(), c.args.end());
      args.insert(args.end(), form.begin(), form.end());
      return run_nelo_in_process(args, input);
    };
    std::remove(written.c_str());
    const auto reported = run(source, {"-json", "-write_capture", written}, list);
    ASSERT_EQ(reported.status, 0) << c.label << reported.err;
    const std::vector<std::string> json = lines_of(reported.out);
    ASSERT_FALSE(json.empty()) << c.label;

    const std::vector<testing::seen_record> frames = testing::record_walk(written).seen;
    const std::vector<std::string> comments = expected_comments(json);
    ASSERT_EQ(frames.size(), comments.size()) << c.label;
    EXPECT_EQ(std::set<std::string>(comments.begin(), comments.end()).size(), comments.size())
        << c.label << ": a frame written twice";
    std::map<std::string, std::vector<testing::seen_record>> sources;
    for (size_t i = 0; i < frames.size(); ++i) {
      const size_t cut = comments[i].rfind(" frame ");
      const std::string path = comments[i].substr(0, cut);
      const uint64_t number = std::stoull(comments[i].substr(cut + 7));
      auto& seen = sources[path];
      if (seen.empty()) seen = testing::record_walk(path).seen;
      ASSERT_LE(number, seen.size()) << c.label << comments[i];
      // The source record as the file must give it back; a time none can show as a stamp of 0.
      testing::seen_record want = seen[number - 1];
      want.frame_number = i + 1;
      if (want.time != record_time::shown)
        want = {i + 1, want.frame, 0, record_time::hidden, want.wire_len, want.link_type, 0};
      EXPECT_TRUE(frames[i] == want) << c.label << ": " << comments[i];
    }

    // What nelo reports from the file is what it reported from the captures.
    const auto read_back = run({"-ifile", written, "-json"}, {}, "");
    ASSERT_EQ(read_back.status, 0) << c.label << read_back.err;
    const std::vector<std::string> back = lines_of(read_back.out);
    ASSERT_EQ(back.size(), json.size()) << c.label;
    for (size_t i = 0; i < json.size(); ++i) {
      EXPECT_EQ(without_file_and_frames(back[i]), without_file_and_frames(json[i])) << c.label;
    }

    // A run whose report shows nothing writes the same file.
    std::remove(again.c_str());
    const auto binary =
        run(source, {"-binary", "-ofile", "/dev/null", "-write_capture", again}, list);
    EXPECT_EQ(binary.status, 0) << c.label << binary.err;
    EXPECT_EQ(testing::read_file(again), testing::read_file(written)) << c.label;
  }
}

TEST(WriteCapture, RefusedTargetsAreLeftAsTheyWereAndFailedWritesEndTheRun) {
  const std::string dir = testing::temp_dir();
  const std::string capture = DATA + "/loopback.pcapng";
  const bytes before = testing::read_file(capture);
  const std::string listed = dir + "/listed";
  std::filesystem::create_directories(listed);
  testing::write_temp_file("listed/loopback.pcap", testing::read_file(DATA + "/loopback.pcap"));
  // An earlier report, and another name for it.
  const std::string report = testing::write_temp_file("report.txt", bytes{'r', '\n'});
  std::filesystem::create_symlink(report, dir + "/link.txt");
  struct refusal {
    std::vector<std::string> args;
    int status;
    std::string said;
  };
  const refusal refusals[] = {
      {{"-ifile", DATA + "/loopback.pcap", "-write_capture", capture},
       255,
       "holds a capture, it is never overwritten"},
      {{"-ifile", DATA + "/loopback.pcap", "-write_capture", DATA + "/loopback.pcap"},
       255,
       "is the input file, aborting"},
      {{"-ifile", DATA + "/loopback.pcap", "-ofile", dir + "/same", "-write_capture",
        dir + "/./same"},
       255,
       "is the output file, aborting"},
      {{"-ifile", DATA + "/loopback.pcap", "-ofile", report, "-write_capture", dir + "/link.txt"},
       255,
       "is the output file, aborting"},
      {{"-ifile", DATA + "/loopback.pcap", "-write_capture", "/dev/full"},
       255,
       "prob writing output, aborting"},
      {{"-ifile", DATA + "/loopback.pcap", "-threads", "2", "-write_capture", "/dev/full"},
       255,
       "prob writing output, aborting"},
      {{"-enumdir", listed, "-threads", "2", "-write_capture", listed + "/written.pcapng"},
       0,
       "written.pcapng is the output file, skipped"},
  };
  for (const refusal& r : refusals) {
    const auto run = run_nelo_in_process(r.args);
    EXPECT_EQ(run.status, r.status) << r.said;
    EXPECT_NE(run.err.find(r.said), std::string::npos) << run.err;
  }
  EXPECT_EQ(testing::read_file(capture), before);
  EXPECT_FALSE(std::filesystem::exists(dir + "/same"));
  EXPECT_EQ(testing::read_file(report), (bytes{'r', '\n'}));
}

}  // namespace
}  // namespace nelo
