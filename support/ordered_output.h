// Output of jobs that run at the same time, written as if they had run one after another. Each
// job gets a number in the order its output must appear; `output_turns` says whose turn it is to
// write to the real streams, and a job's `ordered_output` holds what the job writes until its
// turn comes, then writes straight through. Only the job whose turn it is touches the real
// streams, so they need no lock of their own.
// What a job holds beyond its share of memory goes to a temporary file of its own, unlinked from
// the start, so a job never waits for its turn before it ends however much it writes. The held
// bytes, in memory and in the file alike, are framed runs (destination and length, then the
// bytes), so the order of writes across destinations is kept in the held bytes themselves and
// memory stays bounded whatever the pattern of writes.
#ifndef NELO_SUPPORT_ORDERED_OUTPUT_H_
#define NELO_SUPPORT_ORDERED_OUTPUT_H_

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <ostream>
#include <streambuf>
#include <string>

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

// Where temporary files go: $TMPDIR when it is set and not empty, else /tmp.
std::string temp_directory();

// A temporary file that no name reaches: closed, and so gone, with its owner.
class spill_file {
 public:
  spill_file() = default;
  spill_file(const spill_file&) = delete;
  spill_file& operator=(const spill_file&) = delete;
  ~spill_file() { close(); }

  // Creates the file in `dir` (O_TMPFILE where the file system has it, else a unique name
  // unlinked at once); false when it cannot be made there.
  bool create(const std::string& dir);
  bool is_open() const { return m_fd >= 0; }
  // Writes all `n` bytes at `offset`; false on any failure, a full file system included.
  bool write_at(const char* s, size_t n, uint64_t offset) const;
  // Reads up to `n` bytes at `offset`: the count read, 0 at the end, -1 on failure.
  ssize_t read_at(char* to, size_t n, uint64_t offset) const;
  // Empties the file for its next use; false when it could not be emptied.
  bool truncate() const;
  void close();

 private:
  int m_fd = -1;
};

// What one worker writes for the job it runs. Until the job's turn, writes are held: in memory up
// to `hold_limit` bytes, beyond that in a temporary file in `spill_dir`, made the first time it is
// needed and emptied for every later job. From the turn on, and for every job after, writes go
// straight to the real streams. Reused job after job: the held memory is allocated once.
// A job whose turn comes after a stop was asked for writes nothing: the output of a stopped run is
// the start of what one job after another writes, not pieces of several.
// A temporary file that cannot be made, written or read back asks the run to stop as a failed
// write of the report does (request_stop_for_write_failure); the job's output from then on is
// lost, and its streams fail.
class ordered_output {
 public:
  // `hold_limit` is raised to HOLD_LIMIT_MIN when smaller.
  ordered_output(output_turns& turns, size_t hold_limit, std::string spill_dir);
  ordered_output(const ordered_output&) = delete;
  ordered_output& operator=(const ordered_output&) = delete;

  // The least memory a job holds: room for a few frames, and for the header of one being read
  // back beside a full one.
  static constexpr size_t HOLD_LIMIT_MIN = 64;

  // Starts job `job` with its real streams (null for a destination the job never uses).
  void begin(uint64_t job, std::ostream* out, std::ostream* err, std::ostream* file,
             std::ostream* capture = nullptr);
  std::ostream& stream(output_dest dest) { return m_dests[index(dest)].stream; }
  // Waits for the job's turn and writes what is still held. The turn stays with the job: the
  // caller passes it on once its own end-of-job writes are done.
  void finish();
  uint64_t job() const { return m_job; }
  // True when the job's turn came after a stop was asked for: what it held was dropped, and what
  // it writes from then on is too, so that the output stops where the job before it stopped.
  bool dropped() const { return m_mode == mode::dropped; }

 private:
  friend class ordered_buf;
  struct dest_stream {
    dest_stream(ordered_output& owner, output_dest dest) : buf(owner, dest), stream(&buf) {}
    ordered_buf buf;
    std::ostream stream;
  };
  // The run being copied out: its destination and the bytes of it still to come.
  struct frame_cursor {
    output_dest dest = output_dest::out;
    uint64_t left = 0;
  };
  enum class mode : uint8_t { holding, direct, lost, dropped };
  static constexpr size_t NO_FRAME = SIZE_MAX;
  static size_t index(output_dest dest) { return static_cast<size_t>(dest); }
  // Writes `n` bytes for `dest`; false when the real stream failed or the job's output is lost.
  bool write(output_dest dest, const char* s, size_t n);
  bool flush(output_dest dest);
  // Holds `n` bytes for `dest`, in memory when they fit, else in the temporary file.
  bool hold(output_dest dest, const char* s, size_t n);
  // Moves what memory holds to the end of the temporary file, which is made if need be.
  bool spill();
  // Writes the frames of `data` to the real streams, going on from `at`, and sets `used` to the
  // bytes taken: all but the start of a frame header cut by the end. False for a damaged frame.
  bool copy_frames(const char* data, size_t n, frame_cursor& at, size_t& used);
  // Writes the frames of the file, then those of memory, and empties both; false when the file
  // could not be written or read back whole.
  bool copy_out_spilled();
  // Writes what is held and switches to writing straight through; false when a write failed.
  bool release();
  // Drops what the job holds and writes after a failure of the temporary file.
  void lose_output();

  output_turns& m_turns;
  const size_t m_hold_limit;
  const std::string m_spill_dir;
  uint64_t m_job = 0;
  mode m_mode = mode::holding;
  std::ostream* m_real[OUTPUT_DESTS] = {};
  bool m_written[OUTPUT_DESTS] = {};  // destinations written by `release`, to be flushed
  std::unique_ptr<char[]> m_held;     // m_hold_limit bytes of frames
  size_t m_held_size = 0;
  size_t m_last_frame = NO_FRAME;  // where the last frame in memory starts, to add to it
  uint64_t m_spilled = 0;          // bytes of frames in the file, which come before memory's
  spill_file m_spill;
  dest_stream m_dests[OUTPUT_DESTS];
};

}  // namespace nelo

#endif  // NELO_SUPPORT_ORDERED_OUTPUT_H_
