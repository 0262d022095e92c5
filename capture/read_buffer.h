// The buffer every container reader walks: bytes read from a source in large blocks, handed out
// as a window that the reader consumes record by record. It costs a handful of system calls per
// megabyte, never one per record, and grows only for a record larger than itself, and only as far
// as the source really delivers, so no length claimed by a hostile file allocates more than the
// file holds. A regular file is not copied at all: the buffer lends the walk the windows of its
// mapping (capture/mapped_file.h) and reads only the file's last page. The buffer owns its block;
// a mapped source owns its window.
#ifndef NELO_CAPTURE_READ_BUFFER_H_
#define NELO_CAPTURE_READ_BUFFER_H_

#include <sys/types.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace nelo {

// The first size of the buffer.
inline constexpr size_t READ_BUFFER_SIZE = 1u << 20;

// How far ahead of a walk through a mapping its lines are asked for: 8 KiB ran a quiet 1 GiB
// capture fastest (4 KiB took 4% longer, 32 KiB 12%; without it the walk took 3x as long).
inline constexpr size_t PREFETCH_DISTANCE = 8u << 10;
inline constexpr size_t CACHE_LINE_SIZE = 64;

// Where the bytes come from: a file descriptor, or a decompressor in front of one.
class byte_source {
 public:
  virtual ~byte_source() = default;
  // Reads up to `max` bytes into `to`: the count read, 0 at the end of the data, -1 on failure.
  virtual ssize_t read_some(uint8_t* to, size_t max) = 0;
  // Bytes taken from the underlying file so far (for progress against the file's size).
  virtual uint64_t file_bytes_read() const = 0;
  // Why the data is damaged or cut short, once a read failed for that reason, as only a
  // decompressor can tell: text with static lifetime. Null while the data is sound, and for a
  // failure of the file.
  virtual const char* data_damage() const { return nullptr; }
};

// The most bytes a reader takes from a file before it knows how to read it.
inline constexpr size_t SOURCE_HEAD_MAX = 8;

// Reads a file descriptor as it stands, after handing out `head`: the first bytes of the file,
// already taken to recognise it (at most SOURCE_HEAD_MAX). Does not own the descriptor.
class fd_source : public byte_source {
 public:
  explicit fd_source(int fd, const uint8_t* head = nullptr, size_t head_len = 0);
  ssize_t read_some(uint8_t* to, size_t max) override;
  uint64_t file_bytes_read() const override { return m_total; }

 private:
  int m_fd;
  uint8_t m_head[SOURCE_HEAD_MAX] = {};
  size_t m_head_len = 0;
  size_t m_head_pos = 0;
  uint64_t m_total = 0;
};

// One read(2) of up to `max` bytes: the count, 0 at the end of the file, -1 on failure. An
// interrupted read is tried again unless the interruption asked the run to stop, and a
// non-blocking descriptor (a standard input inherited that way) is waited on, not failed.
ssize_t read_fd(int fd, uint8_t* to, size_t max);

// Reads until `max` bytes or the end of the file: the count, or -1 on failure.
ssize_t read_fd_fully(int fd, uint8_t* to, size_t max);

class mapped_source;

// A cut flag nobody ever raises: what a buffer that lends no mapping checks.
inline constinit const std::atomic<bool> NEVER_CUT{false};

class read_buffer {
 public:
  explicit read_buffer(byte_source& source) : m_source(source) {}
  // Lends the walk the file's bytes in place, from its mapping, until the file's last page or a
  // mapping that fails; the block is then allocated and the rest read. No allocate() call.
  explicit read_buffer(mapped_source& file);
  read_buffer(const read_buffer&) = delete;
  read_buffer& operator=(const read_buffer&) = delete;

  // False when the first block cannot be allocated.
  bool allocate(size_t capacity);

  size_t available() const { return m_end - m_begin; }
  const uint8_t* front() const { return m_base + m_begin; }
  void consume(size_t n) { m_begin += n; }
  // The source has ended, or failed; `failed` tells a read error from the end of the data.
  bool at_end() const { return m_eof || m_failed; }
  bool failed() const { return m_failed; }
  // Bytes delivered by the source so far.
  uint64_t bytes_delivered() const { return m_total; }

  // Makes at least `want` bytes available unless the source ends or fails first; true when they
  // are. May move the window: pointers from front() are stale after a call.
  bool fill(size_t want) { return available() >= want || refill(want); }

  // False when the file was found cut short under a mapped walk: the buffer now ends where the
  // file does (or, when the cut page lay inside the file, where it could not be read: failed()
  // then holds), and the record at front() must be read again from its header. Called before a
  // record is handed on, or damage is reported, with the `len` bytes at front() that were looked
  // at. Touches the page after them, so that a cut anywhere up to their end shows now rather
  // than as zeros in the record. True at once for bytes that were read, not lent.
  // Lent bytes come straight from memory, not from a copy the kernel has just made, so the lines
  // ahead of the walk are also asked for here: the walk then runs at the memory's pace instead of
  // waiting for each record header in turn.
  bool intact(size_t len) {
    const size_t end = m_begin + len;
    const size_t probe = (end + m_page_mask) & ~m_page_mask;
    if (probe < m_probe_end) {
      const size_t ahead = std::min(end + PREFETCH_DISTANCE, m_probe_end);
      for (m_prefetched = std::max(m_prefetched, m_begin); m_prefetched < ahead;
           m_prefetched += CACHE_LINE_SIZE) {
        __builtin_prefetch(m_base + m_prefetched);
      }
      static_cast<void>(*static_cast<const volatile uint8_t*>(m_base + probe));
      // The guard raises the flag while the touch faults, in this thread.
      std::atomic_signal_fence(std::memory_order_seq_cst);
    }
    if (!m_cut->load(std::memory_order_relaxed)) return true;
    settle_cut();
    return false;
  }

  // True once after every refill; lets a walk report progress at buffer pace, not per record.
  bool take_refill() {
    const bool r = m_refilled;
    m_refilled = false;
    return r;
  }

 private:
  // The slow side of fill(): moves the window to the front and reads until `want` bytes are there.
  bool refill(size_t want);
  bool refill_read(size_t want);
  // Moves the mapped window on, or, when the file's last page is reached, copies what is left of
  // it into the block and reads from there.
  bool refill_mapped(size_t want);
  bool read_rest(size_t want);
  // Ends the window where the file was cut.
  void settle_cut();
  bool grow(size_t want);

  byte_source& m_source;
  mapped_source* m_mapped = nullptr;  // while the window is lent from a mapping
  const uint8_t* m_base = nullptr;    // the block, or the mapped window
  std::unique_ptr<uint8_t[]> m_data;
  // Lent bytes only: the page mask, where the pages that may be touched end, how far the lines
  // ahead have been asked for, and the window's cut flag.
  size_t m_page_mask = 0;
  size_t m_probe_end = 0;
  size_t m_prefetched = 0;
  const std::atomic<bool>* m_cut = &NEVER_CUT;
  size_t m_capacity = 0;
  size_t m_begin = 0;
  size_t m_end = 0;
  uint64_t m_total = 0;
  bool m_eof = false;
  bool m_failed = false;
  bool m_refilled = false;
};

}  // namespace nelo

#endif  // NELO_CAPTURE_READ_BUFFER_H_
