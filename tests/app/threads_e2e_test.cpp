// Threads must not change a byte of what a run writes: a list walked several captures at once
// writes what the walk one capture after another writes, and one capture whose messages are
// made on several threads and written in batches writes what the one-thread walk writes, in
// any form, whatever the size of the messages or the order in which they must come. A stop signal,
// with threads or without, leaves only whole lines, in order.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "helpers/pcap_builder.h"

extern char** environ;

namespace nelo {
namespace {

using testing::bytes;
using testing::run_nelo_in_process;
using testing::without_run_header;

const std::string DATA = NELO_TEST_DATA_DIR;

// Every kind of message the pipeline must keep in order, in pcapng with a second interface of a
// link type nelo does not decode (its message must come between the right lines): tiny payloads
// while nothing is pending (the reader writes them at once), then pairs of echo requests and
// replies over IPv4 and IPv6 that fill several batches at every thread count, with payloads of
// text and noise for the strings and the entropy note, some of them up to 60 KB; among them a
// payload whose dumps are larger than a batch though its frame is not, and a frame larger than a
// batch.
std::string write_pipeline_capture() {
  std::mt19937 random(5);
  const uint8_t a[4] = {10, 2, 0, 1}, b[4] = {10, 2, 0, 2};
  uint8_t a6[16] = {0xfd}, b6[16] = {0xfd};
  a6[15] = 1;
  b6[15] = 2;
  testing::pcapng_writer w;
  w.section(false);
  w.interface(1);
  w.interface(147);
  uint64_t stamp = 1700000000000000;
  auto add = [&](bool ipv6, uint8_t type, uint16_t id, const bytes& payload) {
    w.enhanced(0, stamp += 250,
               ipv6 ? testing::ipv6_icmp_frame(a6, b6, type == 8 ? 128 : 129, 0, id, payload)
                    : testing::ipv4_icmp_frame(a, b, type, 0, id, payload));
  };
  auto payload_of = [&](size_t size, bool text) {
    bytes payload(size);
    for (size_t i = 0; i < size; ++i) {
      payload[i] = static_cast<uint8_t>(text ? "ping \"data\", \\ text "[i % 20] : random());
    }
    return payload;
  };
  for (uint16_t i = 0; i < 5; ++i) add(false, 8, i, bytes(8, static_cast<uint8_t>(i)));
  for (uint16_t i = 0; i < 800; ++i) {
    const size_t size = i % 40 == 0 ? 200 + random() % 60000 : 56 + random() % 400;
    bytes payload = payload_of(size, i % 3 != 0);
    if (i == 400) payload = payload_of(300u << 10, true);
    if (i == 600) payload = payload_of(1200u << 10, false);
    if (i == 300) w.enhanced(1, stamp += 250, bytes(60, 0));
    const bool ipv6 = i % 5 == 0;
    add(ipv6, 8, i, payload);
    add(ipv6, 0, i, payload);
  }
  for (uint16_t i = 0; i < 5; ++i) add(true, 8, i, bytes(12, static_cast<uint8_t>(i)));
  return testing::write_temp_file("pipeline.pcapng", w.data());
}

// Every kind of name a list may hold: the golden captures, compressed, the pipeline's, cut short,
// not a capture, a directory and a missing file, so that every message lands among the lines.
std::string capture_list() {
  const bytes loopback = testing::read_file(DATA + "/loopback.pcap");
  const std::string cut =
      testing::write_temp_file("cut.pcap", bytes(loopback.begin(), loopback.begin() + 300));
  const std::string compressed = testing::temp_dir() + "/loopback.pcap.gz";
  const std::string gzip = "gzip -c " + DATA + "/loopback.pcap > " + compressed;
  EXPECT_EQ(std::system(gzip.c_str()), 0);
  std::string list;
  for (const std::string& name :
       {DATA + "/loopback.pcap", DATA + "/loopback.pcapng", DATA + "/cooked2.pcap",
        DATA + "/two_interfaces.pcapng", compressed, write_pipeline_capture(), cut,
        DATA + "/not_a_capture.txt", DATA, DATA + "/no_such.pcap", DATA + "/loopback.pcap"}) {
    list += name + '\n';
  }
  return list;
}

const std::string REPORT = testing::temp_dir() + "/report";

const std::vector<std::string> FORMS[] = {
    {},
    {"-dump_meta", "-dump_hdr", "-dump_payload"},
    {"-dump_payload", "-ascii"},
    {"-dump_payload", "-strings"},
    {"-json"},
    {"-json", "-dump_payload", "-ofile", REPORT},
    {"-dump_hdr", "-dump_payload", "-binary", "-ofile", REPORT},
    {"-dump_meta", "-ofile", REPORT},
    {"-json", "-write_capture", REPORT},
    {"-csv"},
    {"-csv", "-dump_payload", "-ofile", REPORT},
    {"-summary"},
    {"-summary", "-json"},
    {"-summary", "-csv", "-ofile", REPORT},
};

// Runs `source` (the input options) with every form, and checks that each `-threads` value
// writes what `-threads 1` writes.
void expect_threads_change_nothing(const std::vector<std::string>& source,
                                   const std::string& input) {
  for (const auto& form : FORMS) {
    std::string label;
    for (const std::string& word : source) label += word + ' ';
    for (const std::string& word : form) label += word + ' ';
    const bool to_file = std::find(form.begin(), form.end(), "-ofile") != form.end() ||
                         std::find(form.begin(), form.end(), "-write_capture") != form.end();
    // Null `threads` is the run that does not say: one thread per core.
    auto run = [&](const char* threads, std::string& written) {
      // A capture written by the run before is never overwritten.
      std::remove(REPORT.c_str());
      std::vector<std::string> args = source;
      if (threads != nullptr) args.insert(args.end(), {"-threads", threads});
      args.insert(args.end(), form.begin(), form.end());
      const auto r = run_nelo_in_process(args, input);
      written = to_file ? testing::read_text(REPORT) : "";
      return r;
    };
    std::string one_file, file;
    const auto one = run("1", one_file);
    EXPECT_NE((one.out + one.err).find("Processing file: "), std::string::npos) << label;
    EXPECT_EQ(one_file.empty(), !to_file) << label;
    for (const char* threads : {static_cast<const char*>(nullptr), "2", "16", "0"}) {
      const std::string count = threads != nullptr ? threads : "default";
      const auto many = run(threads, file);
      EXPECT_EQ(many.status, one.status) << label << count;
      EXPECT_EQ(without_run_header(many.out), without_run_header(one.out)) << label << count;
      EXPECT_EQ(without_run_header(many.err), without_run_header(one.err)) << label << count;
      EXPECT_EQ(file, one_file) << label << count;
    }
  }
}

TEST(ThreadedList, EveryFormWritesWhatTheWalkOneAfterAnotherWrites) {
  // "nelo -pipe" alone is too short a command line to run; the default format makes it long
  // enough without changing a byte.
  expect_threads_change_nothing({"-pipe", "-dateformat", "mm/dd/yyyy"}, capture_list());
}

// The records of the capture at `path` over and over, so that tunnels and fragments go through
// the pipeline too (a capture's first messages never do); each copy a second after the last.
std::string write_repeated(const std::string& path, int copies) {
  const testing::recorded_walk walk = testing::record_walk(path);
  std::vector<testing::record_parts> records;
  for (int copy = 0; copy < copies; ++copy) {
    uint32_t usec = 0;
    for (const testing::seen_record& seen : walk.seen) {
      records.push_back({.ts_sec = 1700000000u + static_cast<uint32_t>(copy),
                         .ts_usec = usec += 1000,
                         .frame = seen.frame,
                         .orig_len = seen.wire_len});
    }
  }
  const uint32_t link_type = walk.seen.empty() ? 1 : walk.seen.front().link_type;
  const std::string name = path.substr(path.rfind('/') + 1);
  return testing::write_temp_file("repeated_" + name,
                                  testing::pcap_file(records, 262144, false, false, link_type));
}

TEST(ThreadedCapture, EveryFormWritesWhatOneThreadWrites) {
  const std::string capture = write_pipeline_capture();
  for (const std::string& file :
       {capture, write_repeated(DATA + "/fragments.pcap", 30),
        write_repeated(DATA + "/tunnels.pcap", 12), DATA + "/pairing.pcap"}) {
    expect_threads_change_nothing({"-ifile", file}, "");
  }
  expect_threads_change_nothing({"-ifile", "-"}, testing::read_text(capture));
  const std::string zstd = "zstd -q -f " + capture + " -o " + capture + ".zst";
  ASSERT_EQ(std::system(zstd.c_str()), 0);
  expect_threads_change_nothing({"-ifile", capture + ".zst"}, "");
  // With both streams in one, the messages must stand between the same lines.
  auto merged = [&](const char* threads) {
    return without_run_header(testing::run_shell(std::string(NELO_BINARY) + " -ifile " + capture +
                                                 " -threads " + threads + " 2>&1")
                                  .out);
  };
  const std::string one = merged("1");
  EXPECT_NE(one.find("link type 147"), std::string::npos);
  EXPECT_EQ(merged("3"), one);
}

// The frame number that opens a report line, or 0 for any other line.
uint64_t frame_of(const std::string& line) {
  const size_t comma = line.find(" , ");
  if (comma == std::string::npos) return 0;
  return std::strtoull(line.substr(0, comma).c_str(), nullptr, 10);
}

struct stopped {
  std::string report;  // the -ofile report
  std::string out;     // standard output: the announcements
  std::string err;
};

// Runs nelo with `args`, standard input from `input` and the report written to a file (so it
// is held in nelo's buffer), sends `signo` once the first report line is in the file, and
// returns what the run wrote.
stopped stopped_run(std::vector<std::string> args, const std::string& input, int signo) {
  const std::string dir = testing::temp_dir();
  const std::string report = dir + "/stopped.txt", out = dir + "/stopped.out",
                    err = dir + "/stopped.err";
  std::remove(report.c_str());
  args.insert(args.begin(), NELO_BINARY);
  args.insert(args.end(), {"-ofile", report});
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, input.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::vector<char*> argv;
  for (std::string& w : args) argv.push_back(w.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  EXPECT_EQ(posix_spawn(&pid, NELO_BINARY, &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  int wstatus = 0;
  while (waitpid(pid, &wstatus, WNOHANG) == 0) {
    // Only the start of the report: reading a file that grows faster than it is read never ends.
    std::string head(4096, '\0');
    std::ifstream(report, std::ios::binary).read(head.data(), 4096);
    if (head.find(" , icmp") != std::string::npos) {
      kill(pid, signo);
      waitpid(pid, &wstatus, 0);
      break;
    }
    usleep(10000);
  }
  EXPECT_TRUE(WIFSIGNALED(wstatus) && WTERMSIG(wstatus) == signo)
      << "signal " << signo << " came after the walk ended";
  return {testing::read_text(report), testing::read_text(out), testing::read_text(err)};
}

struct report_shape {
  size_t captures = 0;      // column headers: captures begun
  uint64_t last_frame = 0;  // the frame of the last line
};

// Each capture's lines follow its column header, numbered 1, 2, 3 ... without a gap, and the
// report ends at the end of a line.
report_shape expect_whole_lines_in_order(const std::string& all) {
  EXPECT_EQ(all.back(), '\n');
  size_t at = 0;
  report_shape shape;
  uint64_t lines = 0;
  while (at < all.size()) {
    const size_t end = all.find('\n', at);
    const std::string line = all.substr(at, end - at);
    at = end + 1;
    if (line.starts_with("  frame , ")) {
      ++shape.captures;
      shape.last_frame = 0;
      continue;
    }
    const uint64_t frame = frame_of(line);
    if (frame == 0) continue;
    EXPECT_EQ(frame, shape.last_frame + 1) << "capture " << shape.captures << ": " << line;
    EXPECT_TRUE(line.ends_with(", echo request ")) << line;
    shape.last_frame = frame;
    ++lines;
  }
  EXPECT_GT(lines, 0u);
  return shape;
}

// The name of the last capture announced on standard output.
std::string last_announced(const std::string& out) {
  const std::string label = "Processing file: ";
  const size_t at = out.rfind(label);
  if (at == std::string::npos) return "";
  const size_t from = at + label.size();
  return out.substr(from, out.find('\n', from) - from);
}

TEST(ThreadedCapture, StopSignalsLeaveWholeLinesInOrderWithOrWithoutThreads) {
  const std::string small = testing::write_long_capture();
  const std::string large = testing::write_long_capture(8000, 4);
  // Three names for one capture, so the stop line can tell which of them it means.
  const std::string second = testing::temp_dir() + "/second.pcap";
  const std::string third = testing::temp_dir() + "/third.pcap";
  for (const std::string& link : {second, third}) {
    std::remove(link.c_str());
    ASSERT_EQ(symlink(small.c_str(), link.c_str()), 0);
  }
  const std::string names = small + '\n' + second + '\n' + third + '\n';
  const std::string list = testing::write_temp_file("list.txt", bytes(names.begin(), names.end()));
  // The stop comes while the first capture is walked: what is kept is the start of what one
  // thread writes, so no line of a later capture, and the stop line names the frame of the last
  // line written.
  const struct {
    std::vector<std::string> args;
    std::string input;
    int signo;
  } rows[] = {
      {{"-ifile", small, "-threads", "1"}, "/dev/null", SIGHUP},
      {{"-ifile", large, "-threads", "2"}, "/dev/null", SIGINT},
      {{"-pipe", "-threads", "2"}, list, SIGTERM},
  };
  for (const auto& row : rows) {
    const stopped run = stopped_run(row.args, row.input, row.signo);
    const report_shape shape = expect_whole_lines_in_order(run.report);
    EXPECT_EQ(shape.captures, 1u) << row.signo;
    const std::string prefix =
                          "nelo: stopped by signal " + std::to_string(row.signo) + " after frame ",
                      suffix = " of " + last_announced(run.out) + "; the output is incomplete\n";
    ASSERT_TRUE(run.err.starts_with(prefix) && run.err.ends_with(suffix)) << run.err;
    EXPECT_EQ(run.err, prefix + std::to_string(shape.last_frame) + suffix) << row.signo;
    EXPECT_EQ(last_announced(run.out), row.args[0] == "-pipe" ? small : row.args[1]);
  }
  std::remove(small.c_str());
  std::remove(large.c_str());
}

}  // namespace
}  // namespace nelo
