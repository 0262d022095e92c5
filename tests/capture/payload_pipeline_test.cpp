// The payload pipeline makes the text of messages on other threads and writes it in batches; none
// of that may change a byte of what a run writes, in any form, whatever the thread count, the
// size of the messages or the order in which they must come.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "helpers/pcap_builder.h"

namespace nelo {
namespace {

using testing::bytes;
using testing::without_run_header;

const std::string DATA = NELO_TEST_DATA_DIR;

// Tiny payloads while nothing is pending (the reader writes them at once), then pairs of echo
// requests and replies over IPv4 and IPv6 that fill several batches at every thread count, with
// payloads of text and noise for the strings and the entropy note; among them a payload whose
// dumps are larger than a batch though its frame is not, and a frame larger than a batch.
std::string write_pipeline_capture() {
  std::mt19937 random(5);
  const uint8_t a[4] = {10, 2, 0, 1}, b[4] = {10, 2, 0, 2};
  uint8_t a6[16] = {0xfd}, b6[16] = {0xfd};
  a6[15] = 1;
  b6[15] = 2;
  std::vector<testing::record_parts> records;
  uint32_t usec = 0;
  auto add = [&](bool ipv6, uint8_t type, uint16_t id, const bytes& payload) {
    records.push_back(
        {.ts_sec = 1700000000,
         .ts_usec = usec += 250,
         .frame = ipv6 ? testing::ipv6_icmp_frame(a6, b6, type == 8 ? 128 : 129, 0, id, payload)
                       : testing::ipv4_icmp_frame(a, b, type, 0, id, payload)});
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
    bytes payload = payload_of(56 + random() % 400, i % 3 != 0);
    if (i == 400) payload = payload_of(300u << 10, true);
    if (i == 600) payload = payload_of(1200u << 10, false);
    const bool ipv6 = i % 5 == 0;
    add(ipv6, 8, i, payload);
    add(ipv6, 0, i, payload);
  }
  for (uint16_t i = 0; i < 5; ++i) add(true, 8, i, bytes(12, static_cast<uint8_t>(i)));
  return testing::write_temp_file("pipeline.pcap", testing::pcap_file(records, 4u << 20));
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

TEST(ThreadedPipeline, EveryFormWritesWhatOneThreadWrites) {
  const std::string capture_file = testing::temp_dir() + "/pipeline_frames.pcapng";
  const std::vector<std::string> forms[] = {
      {},
      {"-dump_meta", "-dump_hdr", "-dump_payload"},
      {"-dump_hdr", "-dump_payload"},
      {"-dump_meta", "-dump_payload", "-ascii"},
      {"-dump_hdr", "-dump_payload", "-binary"},
      {"-dump_meta", "-dump_payload", "-strings"},
      {"-json", "-dump_hdr", "-dump_payload"},
      {"-json", "-dump_payload", "-strings"},
      {"-csv"},
      {"-csv", "-dump_hdr", "-dump_payload"},
      {"-csv", "-dump_payload", "-strings"},
      {"-summary"},
      {"-write_capture", capture_file},
      {"-json", "-write_capture", capture_file},
  };
  const std::string captures[] = {
      write_pipeline_capture(), write_repeated(DATA + "/fragments.pcap", 30),
      write_repeated(DATA + "/tunnels.pcap", 12), DATA + "/pairing.pcap"};
  for (const std::string& capture : captures) {
    for (const auto& form : forms) {
      std::string label = capture;
      for (const std::string& word : form) label += ' ' + word;
      auto run = [&](const char* threads, std::string& frames) {
        std::remove(capture_file.c_str());
        std::vector<std::string> args = {"-ifile", capture, "-threads", threads};
        args.insert(args.end(), form.begin(), form.end());
        testing::run_result r = testing::run_nelo_in_process(args);
        const bytes written = testing::read_file(capture_file);
        frames.assign(written.begin(), written.end());
        r.out = without_run_header(r.out);
        r.err = without_run_header(r.err);
        return r;
      };
      std::string one_frames;
      const testing::run_result one = run("1", one_frames);
      EXPECT_EQ(one.status, 0) << label << '\n' << one.err;
      for (const char* threads : {"2", "16"}) {
        std::string frames;
        const testing::run_result many = run(threads, frames);
        EXPECT_EQ(many.status, one.status) << label << " -threads " << threads;
        EXPECT_TRUE(many.out == one.out) << label << " -threads " << threads;
        EXPECT_EQ(many.err, one.err) << label << " -threads " << threads;
        EXPECT_TRUE(frames == one_frames) << label << " -threads " << threads;
      }
    }
  }
}

}  // namespace
}  // namespace nelo
