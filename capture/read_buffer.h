// The buffer every container reader walks: bytes read from a source in large blocks, handed out
// as a window that the reader consumes record by record. It costs a handful of system calls per
// megabyte, never one per record, and grows only for a record larger than itself, and only as far
// as the source really delivers, so no length claimed by a hostile file allocates more than the
// file holds.
#ifndef NELO_CAPTURE_READ_BUFFER_H_
#define NELO_CAPTURE_READ_BUFFER_H_

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>

namespace nelo {

// The first size of the buffer.
inline constexpr size_t READ_BUFFER_SIZE = 1u << 20;

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

class read_buffer {
 public:
  explicit read_buffer(byte_source& source) : m_source(source) {}
  read_buffer(const read_buffer&) = delete;
  read_buffer& operator=(const read_buffer&) = delete;

  // False when the first block cannot be allocated.
  bool allocate(size_t capacity);

  size_t available() const { return m_end - m_begin; }
  const uint8_t* front() const { return m_data.get() + m_begin; }
  void consume(size_t n) { m_begin += n; }
  // The source has ended, or failed; `failed` tells a read error from the end of the data.
  bool at_end() const { return m_eof || m_failed; }
  bool failed() const { return m_failed; }
  // Bytes delivered by the source so far.
  uint64_t bytes_delivered() const { return m_total; }

  // Makes at least `want` bytes available unless the source ends or fails first; true when they
  // are. May move the window: pointers from front() are stale after a call.
  bool fill(size_t want) { return available() >= want || refill(want); }

  // True once after every refill; lets a walk report progress at buffer pace, not per record.
  bool take_refill() {
    const bool r = m_refilled;
    m_refilled = false;
    return r;
  }

 private:
  // The slow side of fill(): moves the window to the front and reads until `want` bytes are there.
  bool refill(size_t want);
  bool grow(size_t want);

  byte_source& m_source;
  std::unique_ptr<uint8_t[]> m_data;
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
