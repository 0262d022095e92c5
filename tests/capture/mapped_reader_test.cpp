// Walking a regular file in place must hand on exactly what reading it would: the same records,
// the same end, for sound, cut and damaged captures, with windows small enough that records
// straddle them and outgrow them. A file cut short by another hand while it is walked must end
// the walk where the file now ends, as a walk of the cut file would, without a signal and
// without a zero read past the cut being handed on; a SIGBUS that is no window's still ends the
// process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "capture/mapped_file.h"
#include "capture/packet_handler.h"
#include "capture/pcap_file.h"
#include "capture/pcap_reader.h"
#include "helpers/pcap_builder.h"

namespace nelo {
namespace {

using testing::bytes;
using testing::seen_record;
using testing::without_run_header;

const std::string DATA = NELO_TEST_DATA_DIR;

struct walked {
  std::vector<seen_record> seen;
  walk_result result;
};

// Records every record; after frame `cut_after`, cuts the file at `path` to `cut_size` bytes.
struct cutting_ctx : packet_ctx {
  std::vector<seen_record> seen;
  uint64_t cut_after = 0;  // 0: never
  std::string path;
  off_t cut_size = 0;
};

int record_and_cut(const capture_record& r, packet_ctx* ctx) {
  auto* c = static_cast<cutting_ctx*>(ctx);
  c->seen.push_back({r.frame_number, bytes(r.bytes, r.bytes + r.captured_len), r.ticks, r.time,
                     r.wire_len, r.link_type, r.sub_tick_ns});
  if (r.frame_number == c->cut_after) {
    EXPECT_EQ(truncate(c->path.c_str(), c->cut_size), 0);
  }
  return 0;
}

walked walk_mapped(const std::string& path, size_t window, uint64_t cut_after = 0,
                   off_t cut_size = 0, bool populate_ahead = false) {
  cutting_ctx ctx;
  ctx.cut_after = cut_after;
  ctx.path = path;
  ctx.cut_size = cut_size;
  capture_reader reader;
  reader.set_map_window(window);
  reader.set_populate_ahead(populate_ahead);
  walked w;
  if (reader.open_file(path) != capture_open::opened) return w;
  w.result = reader.walk(record_and_cut, &ctx, nullptr);
  w.seen = std::move(ctx.seen);
  return w;
}

// The same bytes read through a pipe, as standard input would be.
walked walk_piped(const bytes& file) {
  int ends[2];
  walked w;
  if (pipe(ends) != 0) return w;
  // The whole capture fits in the pipe, so that it can be written before it is read.
  EXPECT_GE(fcntl(ends[1], F_SETPIPE_SZ, static_cast<int>(file.size())),
            static_cast<int>(file.size()));
  EXPECT_EQ(write(ends[1], file.data(), file.size()), static_cast<ssize_t>(file.size()));
  close(ends[1]);
  cutting_ctx ctx;
  capture_reader reader;
  reader.open_stream(ends[0]);
  w.result = reader.walk(record_and_cut, &ctx, nullptr);
  w.seen = std::move(ctx.seen);
  close(ends[0]);
  return w;
}

void expect_same_walk(const walked& mapped, const walked& read) {
  EXPECT_EQ(mapped.result.outcome, read.result.outcome);
  EXPECT_EQ(mapped.result.end, read.result.end);
  EXPECT_EQ(mapped.result.frames, read.result.frames);
  EXPECT_EQ(mapped.result.cut_present, read.result.cut_present);
  EXPECT_EQ(mapped.result.cut_claimed, read.result.cut_claimed);
  EXPECT_EQ(mapped.result.damage.cause, read.result.damage.cause);
  EXPECT_EQ(mapped.result.damage.value, read.result.damage.value);
  EXPECT_EQ(mapped.result.damage.limit, read.result.damage.limit);
  ASSERT_EQ(mapped.seen.size(), read.seen.size());
  for (size_t i = 0; i < mapped.seen.size(); ++i) {
    EXPECT_EQ(mapped.seen[i], read.seen[i]) << "record " << i;
  }
}

// write_temp_file in a directory of the test's own, which a parameterised test's name nests.
std::string write_capture(const std::string& name, const bytes& file) {
  std::filesystem::create_directories(testing::temp_dir());
  return testing::write_temp_file(name, file);
}

bytes data_file(const std::string& name) {
  return testing::read_file(DATA + "/" + name);
}

bytes cut(bytes b, size_t size) {
  b.resize(size);
  return b;
}

// Echo requests whose frames grow from 60 to about 1.3 KB, so that record ends fall anywhere
// in a page.
bytes echo_capture(int count, bool big_endian = false) {
  std::vector<testing::record_parts> records;
  const uint8_t a[4] = {10, 0, 0, 1}, b[4] = {10, 0, 0, 2};
  for (int i = 0; i < count; ++i) {
    const bytes payload(static_cast<size_t>(18 + (i * 37) % 1300), static_cast<uint8_t>(i));
    records.push_back(
        {.ts_sec = 1600000000u + static_cast<uint32_t>(i),
         .frame = testing::ipv4_icmp_frame(a, b, 8, 0, static_cast<uint16_t>(i), payload)});
  }
  return testing::pcap_file(records, 262144, big_endian);
}

bytes echo_capture_ng(int count) {
  testing::pcapng_writer w;
  w.section(false);
  w.interface(1);
  const uint8_t a[4] = {10, 0, 0, 1}, b[4] = {10, 0, 0, 2};
  for (int i = 0; i < count; ++i) {
    const bytes payload(static_cast<size_t>(18 + (i * 53) % 1100), static_cast<uint8_t>(i));
    w.enhanced(0, 1600000000000000ull + static_cast<uint64_t>(i),
               testing::ipv4_icmp_frame(a, b, 8, 0, static_cast<uint16_t>(i), payload));
  }
  return w.data();
}

// A record claims more than the snaplen a few pages into the file.
bytes damaged_record() {
  bytes file = echo_capture(40);
  file[testing::record_offsets(file)[30] + 10] = 0x7f;  // the captured length now runs to megabytes
  return file;
}

// A block a few pages into the file claims 4 bytes more than it holds.
bytes damaged_block() {
  bytes file = echo_capture_ng(60);
  size_t at = 0;
  for (int i = 0; i < 40; ++i) at += file[at + 4] | file[at + 5] << 8;
  file[at + 4] += 4;
  return file;
}

// A record of 5 pages among small ones, and a file ending exactly on a page.
bytes large_record_capture() {
  const uint8_t a[4] = {10, 0, 0, 1}, b[4] = {10, 0, 0, 2};
  const size_t page = page_size();
  std::vector<testing::record_parts> records;
  records.push_back({.frame = testing::ipv4_icmp_frame(a, b, 8, 0, 1, bytes(100, 1))});
  records.push_back({.frame = testing::ipv4_icmp_frame(a, b, 8, 0, 2, bytes(5 * page, 2))});
  records.push_back({.frame = testing::ipv4_icmp_frame(a, b, 8, 0, 3, bytes(100, 3))});
  bytes file = testing::pcap_file(records);
  // The last record is padded so that the file ends on a page.
  const size_t short_by = page - file.size() % page;
  records.back().frame.resize(records.back().frame.size() + short_by, 0);
  file = testing::pcap_file(records);
  EXPECT_EQ(file.size() % page, 0u);
  return file;
}

struct identity_case {
  const char* name;
  bytes (*make)();
  walk_end end;  // how reading it ends
};

// A case shows as its name, so the tests' names and listings are the same on every build.
void PrintTo(const identity_case& c, std::ostream* os) {
  *os << c.name;
}

const identity_case IDENTITY_CASES[] = {
    {"pings", [] { return data_file("pings.pcap"); }, walk_end::finished},
    {"fragment_attacks", [] { return data_file("fragment_attacks.pcap"); }, walk_end::finished},
    {"two_interfaces_ng", [] { return data_file("two_interfaces.pcapng"); }, walk_end::finished},
    {"echoes_big_endian", [] { return echo_capture(200, true); }, walk_end::finished},
    {"echoes_ng", [] { return echo_capture_ng(200); }, walk_end::finished},
    {"cut_in_a_record", [] { return cut(data_file("fragments.pcap"), 30001); },
     walk_end::cut_record},
    {"cut_in_a_header",
     [] {
       const bytes file = echo_capture(100);
       return cut(file, testing::record_offsets(file)[60] + 5);
     },
     walk_end::cut_header},
    {"cut_in_a_block", [] { return cut(echo_capture_ng(100), 20000); }, walk_end::damaged},
    {"damaged_record", damaged_record, walk_end::damaged},
    {"damaged_block", damaged_block, walk_end::damaged},
    {"record_larger_than_the_window", large_record_capture, walk_end::finished},
    {"shorter_than_a_page", [] { return data_file("windows_ping.pcap"); }, walk_end::finished},
};

// With or without another thread populating the next window and unmapping the last: windows of
// pages take the populated window only when a record starts where the last one ended, so both
// ways of moving on are walked.
class ThreadedOrPlainMappedReader : public ::testing::TestWithParam<identity_case> {};

TEST_P(ThreadedOrPlainMappedReader, HandsOnWhatReadingThePipeHandsOn) {
  const bytes file = GetParam().make();
  const std::string path = write_capture("capture", file);
  const walked read = walk_piped(file);
  ASSERT_EQ(read.result.outcome, walk_outcome::walked);
  ASSERT_EQ(read.result.end, GetParam().end);
  ASSERT_GT(read.seen.size(), 0u);
  for (const bool populate : {false, true}) {
    // One page: every record header near a page end straddles two windows.
    for (const size_t window : {page_size(), size_t{3} * page_size(),
                                populate ? POPULATED_MAP_WINDOW_SIZE : MAP_WINDOW_SIZE}) {
      SCOPED_TRACE(std::string(populate ? "populated " : "") + "window of " +
                   std::to_string(window) + " bytes");
      const walked mapped = walk_mapped(path, window, 0, 0, populate);
      expect_same_walk(mapped, read);
      if (read.result.end != walk_end::damaged) {
        EXPECT_EQ(mapped.result.progress.bytes_read, file.size());
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Captures, ThreadedOrPlainMappedReader, ::testing::ValuesIn(IDENTITY_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

struct cut_case {
  const char* name;
  uint64_t cut_after;   // the frame whose handler cuts the file
  int record;           // the record the cut falls in (0 is the first)
  int into;             // bytes into that record; negative from its end
  size_t window_pages;  // 0: the default window
};

void PrintTo(const cut_case& c, std::ostream* os) {
  *os << c.name;
}

const cut_case CUT_CASES[] = {
    {"in_the_next_record", 10, 10, 40, 0},
    {"in_the_next_records_header", 10, 10, 7, 0},
    {"on_a_record_boundary", 10, 12, 0, 0},
    {"far_ahead_in_the_window", 5, 150, -30, 0},
    {"in_a_later_window", 5, 150, 100, 2},
    {"in_the_next_record_with_page_windows", 10, 10, 300, 1},
    {"past_the_last_lent_page", 3, 199, 20, 0},
};

// Where the case cuts `file`.
size_t cut_size(const cut_case& c, const bytes& file) {
  const std::vector<size_t> at = testing::record_offsets(file);
  const size_t record_end = at[static_cast<size_t>(c.record) + 1];
  return c.into >= 0 ? at[static_cast<size_t>(c.record)] + static_cast<size_t>(c.into)
                     : record_end - static_cast<size_t>(-c.into);
}

class CutUnderTheWalk : public ::testing::TestWithParam<cut_case> {};

// With another thread populating the next window and unmapping the last, or without.
TEST_P(CutUnderTheWalk, EndsAsTheWalkOfTheCutFileWithOrWithoutAThreadedPopulator) {
  const cut_case& c = GetParam();
  const bytes file = echo_capture(200);
  const size_t size = cut_size(c, file);
  const size_t window = c.window_pages == 0 ? MAP_WINDOW_SIZE : c.window_pages * page_size();
  for (const bool populate : {false, true}) {
    SCOPED_TRACE(populate ? "populated" : "not populated");
    const std::string path = write_capture("capture", file);
    const walked mapped =
        walk_mapped(path, window, c.cut_after, static_cast<off_t>(size), populate);
    expect_same_walk(mapped, walk_piped(cut(file, size)));
  }
}

INSTANTIATE_TEST_SUITE_P(Cuts, CutUnderTheWalk, ::testing::ValuesIn(CUT_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CutUnderTheWalk, BlocksOfANextGenerationCaptureEndAsTheWalkOfTheCutFile) {
  const bytes file = echo_capture_ng(200);
  const std::string path = write_capture("capture.pcapng", file);
  for (const size_t size : {size_t{40000}, size_t{40002}, file.size() / 2}) {
    SCOPED_TRACE("cut at " + std::to_string(size));
    write_capture("capture.pcapng", file);
    expect_same_walk(walk_mapped(path, MAP_WINDOW_SIZE, 20, static_cast<off_t>(size)),
                     walk_piped(cut(file, size)));
  }
}

// Walks on several threads at once, each cutting its own file, each in its own window.
TEST(CutUnderTheWalk, ThreadedWalksEachEndWhereTheirOwnFileWasCut) {
  const bytes file = echo_capture(200);
  const std::vector<size_t> at = testing::record_offsets(file);
  constexpr int WALKS = 4;
  std::vector<std::string> paths;
  std::vector<size_t> sizes;
  std::vector<walked> mapped(WALKS);
  for (int i = 0; i < WALKS; ++i) {
    paths.push_back(write_capture("capture" + std::to_string(i), file));
    sizes.push_back(at[static_cast<size_t>(20 + 30 * i)] + 50);
  }
  std::vector<std::thread> threads;
  for (int i = 0; i < WALKS; ++i) {
    threads.emplace_back([&, i] {
      for (int round = 0; round < 20; ++round) {
        write_capture("capture" + std::to_string(i), file);
        mapped[i] = walk_mapped(paths[i], 2 * page_size(), 10, static_cast<off_t>(sizes[i]));
      }
    });
  }
  for (std::thread& t : threads) t.join();
  for (int i = 0; i < WALKS; ++i) {
    SCOPED_TRACE("walk " + std::to_string(i));
    expect_same_walk(mapped[i], walk_piped(cut(file, sizes[i])));
  }
}

// Windows of huge pages, several of them in the file: each next window starts a huge page before
// the end of the last, so records that straddle it are read from the populated window.
TEST(ThreadedPopulatedWindows, LongCaptureInWindowsOfHugePagesIsHandedOnWhole) {
  const std::string path = testing::write_long_capture(56, 20);
  const walked read = walk_mapped(path, 0);  // read(2), not mapped
  ASSERT_EQ(read.result.end, walk_end::finished);
  for (const size_t window : {size_t{4} << 20, size_t{3} << 20}) {
    SCOPED_TRACE("window of " + std::to_string(window) + " bytes");
    expect_same_walk(walk_mapped(path, window, 0, 0, true), read);
  }
}

// A fault in a mapping that is no window's kills as it did before the guard was installed.
TEST(MappedFileDeathTest, AFaultOutsideEveryWindowStillEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string path = write_capture("capture", echo_capture(50));
  EXPECT_EXIT(
      {
        walk_mapped(path, MAP_WINDOW_SIZE);  // installs the guard
        const int fd = open(path.c_str(), O_RDONLY);
        auto* p = static_cast<volatile uint8_t*>(
            mmap(nullptr, 4 * page_size(), PROT_READ, MAP_SHARED, fd, 0));
        if (ftruncate(open(path.c_str(), O_WRONLY), 0) == 0) static_cast<void>(p[page_size()]);
        std::_Exit(0);
      },
      // Killed by the signal, or by a sanitizer's report of it: anything but going on.
      [](int status) { return !WIFEXITED(status) || WEXITSTATUS(status) != 0; }, "");
}

// nelo itself, a few lines into a capture and soon held on a full pipe, finds the capture cut
// short inside a record megabytes further on when it goes on.
TEST(CutUnderTheRun, ReportsTheRecordsBeforeTheCutAndSaysWhereItFell) {
  // 81920 echo requests of 114 bytes each (16 of record header): 9 MB, one default window.
  const std::string path = testing::write_long_capture(56, 20);
  constexpr uint64_t CUT_FRAME = 40000;
  constexpr size_t RECORD = 114;
  const size_t size = PCAP_FILE_HEADER_SIZE + (CUT_FRAME - 1) * RECORD + 16 + 30;
  const std::string nelo = "'" + std::string(NELO_BINARY) + "' -ifile '" + path + "'";
  const std::string status = testing::temp_dir() + "/status";
  // dd takes the first 4 KiB of the report, record lines past the run header, so the walk is
  // under way when the file is cut.
  const testing::run_result cut = testing::run_shell(
      "{ " + nelo + "; echo $? >'" + status + "'; } | { dd bs=4096 count=1 iflag=fullblock " +
      "status=none; truncate -s " + std::to_string(size) + " '" + path + "'; cat; }");
  EXPECT_EQ(testing::read_text(status), "0\n");
  EXPECT_EQ(cut.err, path + ": frame 40000 is cut short, 30 of 98 bytes present\n");

  // The same capture read as it is now: its cut is where the run said, and every line before it
  // is the same.
  const testing::run_result again = testing::run_shell(nelo);
  EXPECT_EQ(again.status, 0);
  EXPECT_EQ(again.err, cut.err);
  EXPECT_EQ(testing::difference(without_run_header(cut.out), without_run_header(again.out)), "");
}

}  // namespace
}  // namespace nelo
