// Output of jobs that run at the same time, written as if they had run one after another. Each
// job gets a number in the order its output must appear; `output_turns` says whose turn it is to
// write to the real streams, and a job's `ordered_output` holds what the job writes until its
// turn comes, then writes straight through. Only the job whose turn it is touches the real
// streams, so they need no lock of their own.
#ifndef NELO_SUPPORT_ORDERED_OUTPUT_H_
#define NELO_SUPPORT_ORDERED_OUTPUT_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <streambuf>
#include <string>
#include <vector>

#include "support/thread_annotations.h"

namespace nelo {

// The job whose turn it is to write; jobs are numbered from 0.
class output_turns {
 public:
  bool is_turn(uint64_t job) const { return m_turn.load(std::memory_order_acquire) == job; }
  // Blocks until it is `job`'s turn.
  void wait_for(uint64_t job) EXCLUDES(m_mutex);
  // Gives the turn, held by `job`, to the job after it.
  void pass(uint64_t job) EXCLUDES(m_mutex);

 private:
  // The turn is read without the lock (is_turn); it changes under it, so that a waiter cannot
  // miss the change between its check and its wait.
  mutex m_mutex;
  condition m_changed;
  std::atomic<uint64_t> m_turn{0};
};

// The real streams a job may write to, in the order they are indexed.
// `capture` is the -write_capture block stream.
enum class output_dest : uint8_t { out, err, file, capture };
inline constexpr size_t OUTPUT_DESTS = 4;

class ordered_output;

// One destination of an `ordered_output`: unbuffered, so that the order of writes across
// destinations is kept exactly.
class ordered_buf : public std::streambuf {
 public:
  ordered_buf(ordered_output& owner, output_dest dest) : m_owner(owner), m_dest(dest) {}

 protected:
  std::streamsize xsputn(const char* s, std::streamsize n) override;
  int_type overflow(int_type c) override;
  int sync() override;

 private:
  ordered_output& m_owner;
  output_dest m_dest;
};

// What one worker writes for the job it runs. Until the job's turn, writes are held in memory, at
// most `hold_limit` bytes; a write that would hold more waits for the turn. From the turn on, and
// for every job after, writes go straight to the real streams. Reused job after job: the held
// memory is allocated once.
class ordered_output {
 public:
  ordered_output(output_turns& turns, size_t hold_limit);
  ordered_output(const ordered_output&) = delete;
  ordered_output& operator=(const ordered_output&) = delete;

  // Starts job `job` with its real streams (null for a destination the job never uses).
  void begin(uint64_t job, std::ostream* out, std::ostream* err, std::ostream* file,
             std::ostream* capture = nullptr);
  std::ostream& stream(output_dest dest) { return m_dests[index(dest)].stream; }
  // Waits for the job's turn and writes what is still held. The turn stays with the job: the
  // caller passes it on once its own end-of-job writes are done.
  void finish();
  uint64_t job() const { return m_job; }

 private:
  friend class ordered_buf;
  struct dest_stream {
    dest_stream(ordered_output& owner, output_dest dest) : buf(owner, dest), stream(&buf) {}
    ordered_buf buf;
    std::ostream stream;
  };
  struct held_run {
    output_dest dest;
    size_t len;
  };
  static size_t index(output_dest dest) { return static_cast<size_t>(dest); }
  // Writes `n` bytes for `dest`; false when the real stream failed.
  bool write(output_dest dest, const char* s, size_t n);
  bool flush(output_dest dest);
  // Writes what is held and switches to writing straight through; false when a write failed.
  bool release();

  output_turns& m_turns;
  size_t m_hold_limit;
  uint64_t m_job = 0;
  bool m_direct = false;
  std::ostream* m_real[OUTPUT_DESTS] = {};
  std::string m_held;
  std::vector<held_run> m_runs;
  dest_stream m_dests[OUTPUT_DESTS];
};

}  // namespace nelo

#endif  // NELO_SUPPORT_ORDERED_OUTPUT_H_
