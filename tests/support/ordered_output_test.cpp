#include "support/ordered_output.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "helpers/pcap_builder.h"
#include "support/run_control.h"

namespace nelo {
namespace {

// What the real streams were given, in the order it reached any of them: runs of bytes, each
// tagged with its destination, a run to one destination joined to the one before it.
struct interleaving {
  std::vector<std::pair<output_dest, std::string>> runs;
  void add(output_dest dest, const char* s, size_t n) {
    if (runs.empty() || runs.back().first != dest) runs.push_back({dest, ""});
    runs.back().second.append(s, n);
  }
};

// The first run where two logs part, told briefly (a run may hold megabytes); empty when they
// are the same.
std::string difference(const interleaving& a, const interleaving& b) {
  for (size_t i = 0; i < std::max(a.runs.size(), b.runs.size()); ++i) {
    if (i >= a.runs.size() || i >= b.runs.size()) {
      return "run " + std::to_string(i) + " is missing from one of them";
    }
    if (a.runs[i] == b.runs[i]) continue;
    return "run " + std::to_string(i) + ": destination " +
           std::to_string(static_cast<int>(a.runs[i].first)) + " against " +
           std::to_string(static_cast<int>(b.runs[i].first)) + ", " +
           std::to_string(a.runs[i].second.size()) + " bytes against " +
           std::to_string(b.runs[i].second.size());
  }
  return "";
}

class recording_buf : public std::streambuf {
 public:
  recording_buf(interleaving& log, output_dest dest) : m_log(log), m_dest(dest) {}

 protected:
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    m_log.add(m_dest, s, static_cast<size_t>(n));
    return n;
  }
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    const char ch = traits_type::to_char_type(c);
    m_log.add(m_dest, &ch, 1);
    return c;
  }

 private:
  interleaving& m_log;
  output_dest m_dest;
};

// The four real streams, all recording into one log.
struct real_streams {
  interleaving log;
  recording_buf bufs[OUTPUT_DESTS] = {{log, output_dest::out},
                                      {log, output_dest::err},
                                      {log, output_dest::file},
                                      {log, output_dest::capture}};
  std::ostream streams[OUTPUT_DESTS] = {std::ostream(&bufs[0]), std::ostream(&bufs[1]),
                                        std::ostream(&bufs[2]), std::ostream(&bufs[3])};
  std::ostream* real(output_dest dest) { return &streams[static_cast<size_t>(dest)]; }
};

struct write_op {
  output_dest dest;
  std::string bytes;
  bool one_char = false;  // written with put(), as a stream writes a lone character
};

void apply(const std::vector<write_op>& ops, size_t from, size_t to,
           const std::function<std::ostream*(output_dest)>& stream_of) {
  for (size_t i = from; i < to; ++i) {
    std::ostream* s = stream_of(ops[i].dest);
    if (s == nullptr) continue;
    if (ops[i].one_char) {
      s->put(ops[i].bytes[0]);
    } else {
      s->write(ops[i].bytes.data(), static_cast<std::streamsize>(ops[i].bytes.size()));
    }
  }
}

std::string text(size_t n, uint32_t seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((seed + i * 7) % 251);
  return s;
}

constexpr output_dest DESTS[] = {output_dest::out, output_dest::err, output_dest::file,
                                 output_dest::capture};

std::vector<write_op> small_alternating(size_t count) {
  std::mt19937 random(3);
  std::vector<write_op> ops;
  for (size_t i = 0; i < count; ++i) {
    const uint32_t pick = random();
    ops.push_back({DESTS[pick % 4], text(1 + pick % 23, pick), pick % 5 == 0});
    if (ops.back().one_char) ops.back().bytes.resize(1);
  }
  return ops;
}

std::vector<write_op> around_limit(size_t limit) {
  std::vector<write_op> ops;
  // The first fills memory to the byte after its frame header; the rest are one byte either side
  // of that and of the limit itself.
  for (size_t n : {limit - 5, limit - 6, limit - 4, limit, limit - 1, limit + 1, limit - 5}) {
    ops.push_back({DESTS[n % 4], text(n, static_cast<uint32_t>(n))});
    ops.push_back({output_dest::err, "x", true});
  }
  return ops;
}

std::vector<write_op> one_huge(size_t n) {
  return {{output_dest::out, "announce\n"},
          {output_dest::file, "line 1\n"},
          {output_dest::file, text(n, 9)},
          {output_dest::err, "note\n"},
          {output_dest::file, "line 2\n"}};
}

const struct spill_row {
  const char* name;
  size_t hold_limit;
  std::vector<write_op> ops;
  bool capture_stream = true;  // false: the job has no -write_capture stream
} SPILL_ROWS[] = {
    {"many small writes across the destinations", ordered_output::HOLD_LIMIT_MIN,
     small_alternating(3000)},
    {"many small writes, blocks cutting frames anywhere", 1009, small_alternating(3000)},
    {"many small writes, one destination unused", 257, small_alternating(2000), false},
    {"writes at the hold limit", ordered_output::HOLD_LIMIT_MIN,
     around_limit(ordered_output::HOLD_LIMIT_MIN)},
    {"writes at a larger hold limit", 4096, around_limit(4096)},
    {"one write far larger than memory holds", 256, one_huge(3u << 20)},
};

// Runs `row` as job `job` on `output`, the turn with job `job - 1` until half the writes are
// held, then passes to the job: what is held must come out before the rest goes straight through.
interleaving run_held(ordered_output& output, output_turns& turns, uint64_t job,
                      const spill_row& row) {
  real_streams real;
  output.begin(job, real.real(output_dest::out), real.real(output_dest::err),
               real.real(output_dest::file),
               row.capture_stream ? real.real(output_dest::capture) : nullptr);
  auto held = [&](output_dest dest) { return &output.stream(dest); };
  const size_t half = row.ops.size() / 2;
  apply(row.ops, 0, half, held);
  EXPECT_TRUE(real.log.runs.empty()) << row.name << ": written before its turn";
  turns.pass(job - 1);
  apply(row.ops, half, row.ops.size(), held);
  output.finish();
  for (output_dest dest : DESTS) EXPECT_FALSE(output.stream(dest).fail()) << row.name;
  return real.log;
}

interleaving run_straight(const spill_row& row) {
  real_streams real;
  apply(row.ops, 0, row.ops.size(), [&](output_dest dest) {
    return dest == output_dest::capture && !row.capture_stream ? nullptr : real.real(dest);
  });
  return real.log;
}

TEST(OrderedOutput, HeldWritesThatSpillComeOutAsWritingStraightThroughWould) {
  for (const spill_row& row : SPILL_ROWS) {
    const interleaving straight = run_straight(row);
    output_turns turns;
    ordered_output output(turns, row.hold_limit, testing::temp_dir());
    // Jobs 1 and 3 on one output: the second finds the file the first left, emptied.
    for (uint64_t job : {1, 3}) {
      if (job == 3) turns.pass(1);
      const interleaving held = run_held(output, turns, job, row);
      EXPECT_EQ(difference(held, straight), "") << row.name << ", job " << job;
      turns.pass(job);
    }
    EXPECT_FALSE(write_failed()) << row.name;
  }
}

TEST(OrderedOutput, ASpillThatCannotBeMadeStopsTheRunAndLosesOnlyTheJobsOutput) {
  const std::string missing = testing::temp_dir() + "/no_such_dir";
  for (const spill_row& row : SPILL_ROWS) {
    reset_stop_requests();
    output_turns turns;
    real_streams before;
    ordered_output first(turns, row.hold_limit, missing);
    first.begin(0, before.real(output_dest::out), before.real(output_dest::err), nullptr);
    first.stream(output_dest::out) << "written straight through";
    ordered_output second(turns, row.hold_limit, missing);
    real_streams real;
    second.begin(1, real.real(output_dest::out), real.real(output_dest::err),
                 real.real(output_dest::file), real.real(output_dest::capture));
    apply(row.ops, 0, row.ops.size(), [&](output_dest dest) { return &second.stream(dest); });
    // Every row holds more than memory does, so the file was needed and could not be made.
    EXPECT_TRUE(write_failed()) << row.name;
    EXPECT_TRUE(stop_requested()) << row.name;
    for (output_dest dest : DESTS) {
      second.stream(dest) << "lost";
      EXPECT_TRUE(second.stream(dest).fail()) << row.name;
    }
    first.finish();
    turns.pass(0);
    second.finish();
    EXPECT_TRUE(real.log.runs.empty()) << row.name;
    ASSERT_EQ(before.log.runs.size(), 1u) << row.name;
    EXPECT_EQ(before.log.runs[0].second, "written straight through") << row.name;
  }
  reset_stop_requests();
}

}  // namespace
}  // namespace nelo
