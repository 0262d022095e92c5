// Regular capture files lent to the walk in place: a read-only mapping of the file, one window at
// a time (and the next, when another thread populates it), so that the walk reads the page cache
// itself instead of a copy of it, and memory stays bounded by the windows. A file cut short by
// another process while it is walked turns the pages past its new end into SIGBUS; the guard here
// catches those faults in the windows it knows, gives the faulting access zeros to read, and flags
// the window, so that the reader can end the walk where the file now ends instead of the process
// dying or zeros being reported. A mapped_window owns its mapping and its place in the guard's
// registry; a mapped_source owns its windows and the thread that populates them, never the file
// descriptor.
#ifndef NELO_CAPTURE_MAPPED_FILE_H_
#define NELO_CAPTURE_MAPPED_FILE_H_

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <thread>

#include "capture/read_buffer.h"
#include "support/thread_annotations.h"

namespace nelo {

// The bytes of a file a walk maps at a time, unless its caller chooses otherwise: with 8 MiB a
// quiet 1 GiB capture walked 7% faster than with 4 MiB (a window move costs a mapping and the
// faults of its first pages), and a one-thread run stayed at 13 MiB of resident memory.
inline constexpr size_t MAP_WINDOW_SIZE = 8u << 20;

// The size of a page, the unit of every mapping.
size_t page_size();

// One read-only mapping of part of a file, known to the SIGBUS guard while it lives.
class mapped_window {
 public:
  mapped_window() = default;
  mapped_window(const mapped_window&) = delete;
  mapped_window& operator=(const mapped_window&) = delete;
  ~mapped_window() { release(); }

  // Maps `len` bytes of `fd` from `offset`, a multiple of the page size, in place of the window
  // mapped before, which is unmapped only once the new one stands. False, with the old window
  // kept, when the guard cannot be installed, its registry is full or mmap fails.
  bool map(int fd, uint64_t offset, size_t len);
  // Unmaps the window, if any.
  void release();
  // Unmaps the window, if any, and takes over `other`'s mapping and place in the guard, leaving
  // `other` empty.
  void take(mapped_window& other);

  const uint8_t* data() const { return m_data; }
  size_t size() const { return m_len; }
  // Raised by the guard once an access met a page of the window past the end of the file; the
  // rest of the window from that page on then reads as zeros. Lives as long as the window.
  const std::atomic<bool>& cut() const;
  // Where the zeros start, as an offset into the window: size() while the guard has not acted.
  size_t zeros_from() const;
  // Lowers the cut flag once the reader has drawn its conclusions from it.
  void clear_cut();

 private:
  uint8_t* m_data = nullptr;
  size_t m_len = 0;
  int m_slot = -1;
};

// The bytes of a file a walk maps at a time when another thread populates the windows and unmaps
// them: the walk's own cost of a window move is then a mapping, so a larger window pays (a quiet
// 1 GiB capture walked 5% faster with 12 MiB than with 8 MiB). A slow populator leaves up to
// three windows mapped, so with more threads than POPULATED_WIDE_THREADS_MAX, whose payload
// batches take more memory, windows keep to MAP_WINDOW_SIZE.
inline constexpr size_t POPULATED_MAP_WINDOW_SIZE = 12u << 20;
inline constexpr uint32_t POPULATED_WIDE_THREADS_MAX = 4;

// A thread that spares a walk the kernel's work on its windows: it fills the page tables of the
// window the walk will read next (MADV_POPULATE_READ), so that the walk does not take its faults,
// and unmaps the window the walk has left. The owner keeps each mapping it posts alive until
// forget() returned for it; a retired window belongs to the populator. Populating is a hint: a
// mapping past the end of a cut file, or a kernel without the advice, is left as it is.
class window_populator {
 public:
  window_populator() = default;
  window_populator(const window_populator&) = delete;
  window_populator& operator=(const window_populator&) = delete;
  // Joins the thread, if it was started.
  ~window_populator();

  // Asks for the `len` bytes at `at` to be populated, after the one under way, in place of any
  // still waiting. Starts the thread the first time.
  void post(const uint8_t* at, size_t len) EXCLUDES(m_mutex);
  // Returns once the thread neither populates nor will populate the mapping at `at`: waits for a
  // populate under way there to end, and drops it from the queue.
  void forget(const uint8_t* at) EXCLUDES(m_mutex);
  // Takes `window` over, leaving it empty, and unmaps it on the thread; one retired before and
  // not yet unmapped there is unmapped here. Only once post() started the thread.
  void retire(mapped_window& window) EXCLUDES(m_mutex);

 private:
  void run() EXCLUDES(m_mutex);

  std::thread m_thread;
  bool m_started = false;      // the owner's thread only
  bool m_unavailable = false;  // no thread could be had; the owner's thread only
  mutex m_mutex;
  condition m_changed;
  const uint8_t* m_waiting GUARDED_BY(m_mutex) = nullptr;
  size_t m_waiting_len GUARDED_BY(m_mutex) = 0;
  const uint8_t* m_busy GUARDED_BY(m_mutex) = nullptr;
  bool m_quit GUARDED_BY(m_mutex) = false;
  mapped_window m_retired GUARDED_BY(m_mutex);  // unmapped by the thread
};

// A regular file read through windows of a mapping, moved along the file as the walk goes. A
// window never lends the file's last page, and every byte it lends has a mapped page after it:
// touching that page is how a reader learns, before it hands a record on, that the file was cut
// short within or before the record (see read_buffer::intact). The last page, and the whole file
// when it cannot be mapped, is read with pread(2) through read_some, as a copy that a later
// truncation cannot change.
// With populate_ahead, the window after the current one is mapped as soon as the walk enters the
// current one, and another thread fills its page tables while the walk reads on; both windows are
// known to the guard.
class mapped_source : public byte_source {
 public:
  // Reads the file on `fd`, which the caller keeps open for the source's lifetime, through
  // windows of `window_size` bytes (rounded up to whole pages), populating the next one on
  // another thread when `populate_ahead` is set.
  mapped_source(int fd, size_t window_size, bool populate_ahead = false);
  ~mapped_source() override;

  // Reads from where the windows left off (see read_from): the count, 0 at the end of the file,
  // -1 on failure.
  ssize_t read_some(uint8_t* to, size_t max) override;
  // The furthest offset of the file lent or read so far.
  uint64_t file_bytes_read() const override { return m_reached; }

  // Maps the window that starts on the page holding `offset` and lends at least `want` bytes
  // from there, and a whole window's worth where the file has it; the previous window is
  // unmapped. A window populated ahead that holds those bytes is taken instead, though it may
  // start up to a huge page before `offset`. Asks the file's size anew first. False, with the
  // previous window kept, when the file holds fewer than `want` bytes from `offset` before its last
  // page, or the mapping fails: the rest of the file is then for read_some.
  bool move_window(uint64_t offset, size_t want);
  const uint8_t* window() const { return m_window.data(); }
  // The file offset of window()[0], and the bytes it lends (its last page is only there to be
  // touched, not lent).
  uint64_t window_offset() const { return m_window_offset; }
  size_t window_bytes() const { return m_lent; }
  const mapped_window& mapping() const { return m_window; }
  // The file's size when it was last asked (0 before the first window).
  uint64_t size() const { return m_size; }

  // Once the window's cut flag rose: the file offset where the window stops holding the file's
  // bytes, the lower of the file's size, asked anew, and where the guard put zeros. Sets
  // `unreadable` when the zeros start inside the file, which then could not be read there.
  // Lowers the flag.
  uint64_t settle_cut(bool& unreadable);

  // Unmaps the window; read_some reads from `offset` on.
  void read_from(uint64_t offset);

 private:
  bool refresh_size();
  // Where the window holding `want` bytes from `offset` starts, and where its lent bytes end.
  void window_bounds(uint64_t offset, size_t want, uint64_t limit, uint64_t& start,
                     uint64_t& end) const;
  // True when the window populated ahead lends `want` bytes from `offset` within `limit`; it
  // then becomes the window.
  bool take_next(uint64_t offset, size_t want, uint64_t limit);
  // Maps the window after the current one and posts it to the populator.
  void map_next(uint64_t limit);
  void drop_next();

  int m_fd;
  size_t m_page;
  size_t m_window_size;
  mapped_window m_window;
  uint64_t m_window_offset = 0;
  size_t m_lent = 0;
  uint64_t m_size = 0;
  uint64_t m_read_at = 0;
  uint64_t m_reached = 0;
  // Populating ahead: the next window, where it starts and the bytes it lends.
  bool m_populate_ahead;
  mapped_window m_next;
  uint64_t m_next_offset = 0;
  size_t m_next_lent = 0;
  window_populator m_populator;  // last: its thread is joined before the windows go
};

}  // namespace nelo

#endif  // NELO_CAPTURE_MAPPED_FILE_H_
