// A list whose captures each write more than a worker holds in memory: the workers spill what
// waits for its turn to temporary files, and the run writes what one capture after another
// writes. A temporary file that cannot be made ends the run as a failed write of the report does.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "helpers/pcap_builder.h"
#include "support/wire.h"

namespace nelo {
namespace {

using testing::bytes;
using testing::without_run_header;

const std::string DATA = NELO_TEST_DATA_DIR;

// Echo requests with 60 KB payloads, `count` of them: each dumped payload is about 120 KB of hex
// lines.
std::string write_heavy_capture(const std::string& name, uint16_t count, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<testing::record_parts> records;
  const uint8_t a[4] = {192, 168, 7, 1}, b[4] = {192, 168, 7, 2};
  for (uint16_t i = 0; i < count; ++i) {
    bytes payload(60000);
    for (size_t k = 0; k < payload.size(); k += 4) store_le32(&payload[k], random());
    records.push_back(
        {.ts_sec = 1600000000u + i, .frame = testing::ipv4_icmp_frame(a, b, 8, 0, i, payload)});
  }
  return testing::write_temp_file(name, testing::pcap_file(records));
}

// Heavy captures with a cut one, a missing one and one that is no capture between them, so that
// messages must land between the right captures' lines; the first of `first` records.
std::string heavy_list(size_t heavy, uint16_t first = 40) {
  const bytes loopback = testing::read_file(DATA + "/loopback.pcap");
  const std::string cut =
      testing::write_temp_file("cut.pcap", bytes(loopback.begin(), loopback.begin() + 300));
  std::string list;
  for (size_t i = 0; i < heavy; ++i) {
    const std::string name = "heavy" + std::to_string(i) + ".pcap";
    list += write_heavy_capture(name, i == 0 ? first : 40, static_cast<uint32_t>(i)) + '\n';
    if (i == 1) list += cut + '\n' + DATA + "/no_such.pcap\n";
    if (i == 2) list += DATA + "/not_a_capture.txt\n";
  }
  const bytes names(list.begin(), list.end());
  return testing::write_temp_file("list.txt", names);
}

struct run_files {
  int status = -1;
  std::string out, err, file;
};

// Runs the binary on the list with `args` and `env` before it; standard output and error go to
// files, as a report nobody reads line by line does.
run_files run_list(const std::string& list, const std::string& env, const std::string& args,
                   const char* threads) {
  const std::string dir = testing::temp_dir();
  const std::string file = dir + "/report", out = dir + "/out", err = dir + "/err";
  std::remove(file.c_str());
  const auto r = testing::run_shell(env + " " + NELO_BINARY + " -pipe -threads " + threads + " " +
                                    args + " <" + list + " >" + out + " 2>" + err);
  return {r.status, testing::read_text(out), testing::read_text(err), testing::read_text(file)};
}

TEST(ThreadedListSpill, CapturesThatOutgrowTheirMemoryWriteWhatOneThreadWrites) {
  const std::string list = heavy_list(5);
  const std::string report = testing::temp_dir() + "/report";
  constexpr size_t MIB = 1u << 20;
  // `least`: what the run writes at least. A worker holds 4 MiB in memory with 2 workers and
  // 1 MiB with 16, so dumps spill with both, and the frames of the summary form with 16.
  const struct {
    const char* name;
    std::string args;
    size_t least;
  } forms[] = {
      {"dumps", "-dump_payload", 5 * 4 * MIB},
      {"dumps to a file", "-dump_hdr -dump_payload -ofile " + report, 5 * 4 * MIB},
      {"json dumps, announcements on standard error", "-json -dump_payload", 5 * 4 * MIB},
      {"summary and frames", "-summary -write_capture " + report, 5 * MIB},
  };
  for (const auto& form : forms) {
    const run_files one = run_list(list, "", form.args, "1");
    EXPECT_EQ(one.status, 0) << form.name;
    EXPECT_NE((one.out + one.err).find("prob opening"), std::string::npos) << form.name;
    EXPECT_GT(one.out.size() + one.file.size(), form.least) << form.name;
    for (const char* threads : {"2", "16"}) {
      const run_files many = run_list(list, "", form.args, threads);
      EXPECT_EQ(many.status, one.status) << form.name << threads;
      EXPECT_EQ(testing::difference(without_run_header(many.out), without_run_header(one.out)), "")
          << form.name << threads;
      EXPECT_EQ(testing::difference(without_run_header(many.err), without_run_header(one.err)), "")
          << form.name << threads;
      EXPECT_EQ(testing::difference(many.file, one.file), "") << form.name << threads;
    }
  }
}

TEST(ThreadedListSpill, ATemporaryFileThatCannotBeMadeEndsTheRunAsAFailedWrite) {
  // The first capture writes for long enough that the workers after it, started with it, must
  // hold their captures' output before its turn comes.
  const std::string list = heavy_list(6, 160);
  const std::string missing = "TMPDIR=" + testing::temp_dir() + "/no_such_dir";
  const run_files run = run_list(list, missing, "-dump_payload", "4");
  EXPECT_EQ(run.status, 255);
  EXPECT_TRUE(run.err.ends_with("prob writing output, aborting\n")) << run.err;
  // Without threads nothing is held, and nothing needs the directory.
  const run_files one = run_list(list, missing, "-dump_payload", "1");
  EXPECT_EQ(one.status, 0) << one.err;
}

}  // namespace
}  // namespace nelo
