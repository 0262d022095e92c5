// Whole runs with -write_capture, the written file read back twice: block by block here, where
// every frame must be its source frame (bytes, lengths, time, link type and the comment that
// names it) in the order the messages were reported; and by nelo, which must report the same
// messages from it. Threads are held to the same file in tests/app/threads_e2e_test.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "helpers/pcap_builder.h"
#include "support/ko_time.h"
#include "support/wire.h"

namespace nelo {
namespace {

using testing::bytes;
using testing::run_nelo_in_process;

const std::string DATA = NELO_TEST_DATA_DIR;

struct written_frame {
  uint32_t link_type;
  int digits;  // the interface's resolution: 10^-digits seconds
  uint64_t stamp;
  uint32_t wire_len;
  bytes frame;
  std::string comment;
};

// The packet blocks of a file nelo wrote: one little-endian section, each interface described
// once before its first packet. Anything else fails the test.
std::vector<written_frame> read_written(const std::string& path) {
  const bytes data = testing::read_file(path);
  std::vector<std::pair<uint32_t, int>> interfaces;
  std::vector<written_frame> frames;
  size_t at = 0;
  int sections = 0;
  while (at + 12 <= data.size()) {
    const uint8_t* block = data.data() + at;
    const uint32_t type = load_le32(block);
    const uint32_t total = load_le32(block + 4);
    if (total < 12 || total % 4 != 0 || total > data.size() - at ||
        load_le32(block + total - 4) != total) {
      ADD_FAILURE() << path << ": bad block length " << total << " at " << at;
      return frames;
    }
    if (type == 0x0A0D0D0A) {
      ++sections;
      EXPECT_EQ(load_le32(block + 8), 0x1A2B3C4Du);
    } else if (type == 1) {
      std::pair<uint32_t, int> iface{load_le16(block + 8), 6};
      for (size_t o = 16; o + 4 <= total - 4 && load_le16(block + o) != 0;
           o += 4 + (load_le16(block + o + 2) + 3u) / 4 * 4) {
        if (load_le16(block + o) == 9) iface.second = block[o + 4];
      }
      EXPECT_EQ(std::count(interfaces.begin(), interfaces.end(), iface), 0) << "described twice";
      interfaces.push_back(iface);
    } else if (type == 6) {
      const uint32_t id = load_le32(block + 8);
      const uint32_t captured = load_le32(block + 20);
      if (id >= interfaces.size() || 28 + captured > total) {
        ADD_FAILURE() << path << ": packet block at " << at << " out of place";
        return frames;
      }
      written_frame f{interfaces[id].first,
                      interfaces[id].second,
                      uint64_t{load_le32(block + 12)} << 32 | load_le32(block + 16),
                      load_le32(block + 24),
                      bytes(block + 28, block + 28 + captured),
                      ""};
      const size_t options = 28 + (captured + 3u) / 4 * 4;
      if (options + 4 <= total && load_le16(block + options) == 1) {
        const char* text = reinterpret_cast<const char*>(block + options + 4);
        f.comment.assign(text, load_le16(block + options + 2));
      }
      frames.push_back(std::move(f));
    } else {
      ADD_FAILURE() << path << ": block type " << type;
    }
    at += total;
  }
  EXPECT_EQ(at, data.size());
  EXPECT_EQ(sections, 1);
  return frames;
}

// The value of `"key":` in a JSON line, as written (a number, a string with its quotes, a list).
std::string json_field(const std::string& line, const std::string& key) {
  const size_t at = line.find("\"" + key + "\":");
  if (at == std::string::npos) return "";
  const size_t from = at + key.size() + 3;
  const char close = line[from] == '[' ? ']' : line[from] == '"' ? '"' : ',';
  const size_t end = line.find(close, from + 1);
  return line.substr(from, end - from + (close == ',' ? 0 : 1));
}

// A JSON line without the fields that name the file and frame numbers in it.
std::string without_file_and_frames(std::string line) {
  for (const char* key : {"file", "frame", "fragments", "request_frame"}) {
    const std::string value = json_field(line, key);
    if (value.empty()) continue;
    const std::string field = "\"" + std::string(key) + "\":" + value;
    const size_t at = line.find(field);
    line.erase(at, field.size() + (line[at + field.size()] == ',' ? 1 : 0));
  }
  return line;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  size_t at = 0;
  for (size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
    lines.push_back(text.substr(at, end - at));
  }
  return lines;
}

// The comments the frames of the reported messages must have, in report order: a message's
// fragments in arrival order, or its own frame.
std::vector<std::string> expected_comments(const std::vector<std::string>& json) {
  std::vector<std::string> comments;
  for (const std::string& line : json) {
    const std::string file = json_field(line, "file");
    const std::string name = file.substr(1, file.size() - 2);
    std::string frames = json_field(line, "fragments");
    frames = frames.empty() ? json_field(line, "frame") : frames.substr(1, frames.size() - 2);
    for (size_t at = 0; at < frames.size();) {
      const size_t comma = std::min(frames.find(',', at), frames.size());
      comments.push_back(name + " frame " + frames.substr(at, comma - at));
      at = comma + 1;
    }
  }
  return comments;
}

// The stamp a source record must be written at, in units of 10^-digits seconds.
uint64_t expected_stamp(const testing::seen_record& r, int digits) {
  if (r.time != record_time::shown) return 0;
  const uint64_t ns = (r.ticks - ko::TICKS_1601_TO_1970) * ko::NANOSECONDS_PER_TICK +
                      static_cast<uint64_t>(r.sub_tick_ns);
  uint64_t scale = 1;
  for (int i = digits; i < 9; ++i) scale *= 10;
  return ns / scale;
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
  // The test captures whose stamps count nanoseconds; the others count microseconds.
  const std::map<std::string, int> nanosecond_captures = {{"nanosecond.pcap", 9},
                                                          {"loopback_nsec.pcap", 9}};
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

    const std::vector<written_frame> frames = read_written(written);
    const std::vector<std::string> comments = expected_comments(json);
    ASSERT_EQ(frames.size(), comments.size()) << c.label;
    EXPECT_EQ(std::set<std::string>(comments.begin(), comments.end()).size(), comments.size())
        << c.label << ": a frame written twice";
    std::map<std::string, std::vector<testing::seen_record>> sources;
    for (size_t i = 0; i < frames.size(); ++i) {
      const written_frame& f = frames[i];
      EXPECT_EQ(f.comment, comments[i]) << c.label;
      const size_t cut = f.comment.rfind(" frame ");
      ASSERT_NE(cut, std::string::npos) << c.label << f.comment;
      const std::string path = f.comment.substr(0, cut);
      const uint64_t number = std::stoull(f.comment.substr(cut + 7));
      auto& seen = sources[path];
      if (seen.empty()) seen = testing::record_walk(path).seen;
      ASSERT_LE(number, seen.size()) << c.label << f.comment;
      const testing::seen_record& r = seen[number - 1];
      const std::string name = path.substr(path.rfind('/') + 1);
      const int digits = nanosecond_captures.contains(name) ? 9 : 6;
      EXPECT_EQ(f.frame, r.frame) << c.label << f.comment;
      EXPECT_EQ(f.wire_len, r.wire_len) << c.label << f.comment;
      EXPECT_EQ(f.link_type, r.link_type) << c.label << f.comment;
      EXPECT_EQ(f.digits, digits) << c.label << f.comment;
      EXPECT_EQ(f.stamp, expected_stamp(r, digits)) << c.label << f.comment;
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
