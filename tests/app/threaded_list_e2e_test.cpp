// Walking a list on several threads must write exactly what the walk one capture after another
// writes: the same bytes on standard output, standard error and the report file, in the same
// order, and under a stop signal only whole lines, in order.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "helpers/pcap_builder.h"

extern char** environ;

namespace nelo {
namespace {

using testing::bytes;
using testing::run_nelo_in_process;

const std::string DATA = NELO_TEST_DATA_DIR;

// The run header's time and command line differ between the runs; nothing else may.
std::string without_run_header(const std::string& text) {
  std::string kept;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    end = end == std::string::npos ? text.size() : end + 1;
    const std::string line = text.substr(at, end - at);
    if (!line.starts_with("Run time: ") && !line.starts_with("\"Command line: ")) kept += line;
    at = end;
  }
  return kept;
}

// Echo requests with payloads of 8 to 60 KB, random enough that some draw the entropy note.
std::string write_payload_heavy_capture() {
  std::mt19937 random(7);
  std::vector<testing::record_parts> records;
  const uint8_t a[4] = {192, 168, 1, 1}, b[4] = {192, 168, 1, 2};
  for (uint16_t i = 0; i < 24; ++i) {
    bytes payload(8000 + random() % 52000);
    const bool noise = i % 2 == 0;
    for (uint8_t& byte : payload) byte = static_cast<uint8_t>(noise ? random() : i);
    records.push_back(
        {.ts_sec = 1600000000u + i, .frame = testing::ipv4_icmp_frame(a, b, 8, 0, i, payload)});
  }
  return testing::write_temp_file("heavy.pcap", testing::pcap_file(records));
}

// Every kind of name a list may hold: the golden captures, compressed, payload-heavy, cut short,
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
        DATA + "/two_interfaces.pcapng", compressed, write_payload_heavy_capture(), cut,
        DATA + "/not_a_capture.txt", DATA, DATA + "/no_such.pcap", DATA + "/loopback.pcap"}) {
    list += name + '\n';
  }
  return list;
}

TEST(ThreadedList, EveryFormWritesWhatTheWalkOneAfterAnotherWrites) {
  const std::string list = capture_list();
  const std::string report = testing::temp_dir() + "/report";
  const std::vector<std::string> forms[] = {
      {},
      {"-dump_meta", "-dump_hdr", "-dump_payload"},
      {"-dump_payload", "-ascii"},
      {"-dump_payload", "-strings"},
      {"-json"},
      {"-json", "-dump_payload", "-ofile", report},
      {"-dump_hdr", "-dump_payload", "-binary", "-ofile", report},
      {"-dump_meta", "-ofile", report},
  };
  for (const auto& form : forms) {
    std::string label;
    for (const std::string& word : form) label += word + ' ';
    const bool to_file = std::find(form.begin(), form.end(), "-ofile") != form.end();
    auto run = [&](const char* threads, std::string& written) {
      std::vector<std::string> args = {"-pipe", "-threads", threads};
      args.insert(args.end(), form.begin(), form.end());
      const auto r = run_nelo_in_process(args, list);
      const bytes file = to_file ? testing::read_file(report) : bytes();
      written.assign(file.begin(), file.end());
      return r;
    };
    std::string one_file, file;
    const auto one = run("1", one_file);
    EXPECT_NE((one.out + one.err).find("Processing file: "), std::string::npos) << label;
    EXPECT_EQ(one_file.empty(), !to_file) << label;
    for (const char* threads : {"2", "0", "5"}) {
      const auto many = run(threads, file);
      EXPECT_EQ(many.status, one.status) << label << threads;
      EXPECT_EQ(without_run_header(many.out), without_run_header(one.out)) << label << threads;
      EXPECT_EQ(without_run_header(many.err), without_run_header(one.err)) << label << threads;
      EXPECT_EQ(file, one_file) << label << threads;
    }
  }
}

// The frame number that opens a report line, or 0 for any other line.
uint64_t frame_of(const std::string& line) {
  const size_t comma = line.find(" , ");
  if (comma == std::string::npos) return 0;
  return std::strtoull(line.substr(0, comma).c_str(), nullptr, 10);
}

TEST(ThreadedList, StopSignalLeavesWholeLinesInListOrder) {
  const std::string capture = testing::write_long_capture();
  const std::string list = testing::write_temp_file("list.txt", {});
  {
    std::FILE* f = std::fopen(list.c_str(), "w");
    ASSERT_NE(f, nullptr);
    for (int i = 0; i < 3; ++i) std::fprintf(f, "%s\n", capture.c_str());
    std::fclose(f);
  }
  const std::string report = testing::temp_dir() + "/stopped.txt";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, list.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, report.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<std::string> words = {NELO_BINARY, "-pipe", "-threads", "2"};
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  ASSERT_EQ(posix_spawn(&pid, NELO_BINARY, &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  usleep(300 * 1000);
  kill(pid, SIGINT);
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  ASSERT_TRUE(WIFSIGNALED(wstatus)) << "the signal came after the walk ended";
  EXPECT_EQ(WTERMSIG(wstatus), SIGINT);

  // Each capture's lines follow its announcement, numbered 1, 2, 3 ... without a gap, and the
  // report ends at the end of a line.
  const bytes text = testing::read_file(report);
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\n');
  const std::string all(text.begin(), text.end());
  size_t at = 0, captures = 0;
  uint64_t last_frame = 0, lines = 0;
  while (at < all.size()) {
    const size_t end = all.find('\n', at);
    const std::string line = all.substr(at, end - at);
    at = end + 1;
    if (line.starts_with("Processing file: ")) {
      EXPECT_EQ(line, "Processing file: " + capture);
      ++captures;
      last_frame = 0;
      continue;
    }
    const uint64_t frame = frame_of(line);
    if (frame == 0) continue;
    ASSERT_EQ(frame, last_frame + 1) << "capture " << captures << ": " << line;
    EXPECT_TRUE(line.ends_with("echo request ")) << line;
    last_frame = frame;
    ++lines;
  }
  EXPECT_GE(captures, 1u);
  EXPECT_LE(captures, 3u);
  EXPECT_GT(lines, 0u);
  std::remove(capture.c_str());
}

}  // namespace
}  // namespace nelo
