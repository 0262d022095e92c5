#include "capture/pcap_reader.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "support/run_control.h"
#include "support/wire.h"

namespace nelo {

namespace {

// A file descriptor closed on every path out of the walk.
class scoped_fd {
 public:
  explicit scoped_fd(int fd) : m_fd(fd) {}
  scoped_fd(const scoped_fd&) = delete;
  scoped_fd& operator=(const scoped_fd&) = delete;
  ~scoped_fd() {
    if (m_fd >= 0) ::close(m_fd);
  }
  int get() const { return m_fd; }

 private:
  int m_fd;
};

// The bytes of the file between `m_begin` and `m_end` that have been read but not yet handed on.
class record_buffer {
 public:
  explicit record_buffer(int fd) : m_fd(fd) {}

  bool allocate(size_t capacity) {
    m_data.reset(new (std::nothrow) uint8_t[capacity]);
    m_capacity = m_data ? capacity : 0;
    return m_data != nullptr;
  }

  size_t available() const { return m_end - m_begin; }
  uint8_t* front() { return m_data.get() + m_begin; }
  void consume(size_t n) { m_begin += n; }
  bool at_eof() const { return m_eof; }
  bool failed() const { return m_failed; }
  uint64_t bytes_read() const { return m_total; }

  // Makes at least `want` bytes available unless the file ends (or fails) first. Grows the
  // buffer for a record larger than it, doubling and only while the file keeps delivering, so
  // a header that claims a huge record in a small file never costs a huge allocation.
  bool fill(size_t want) {
    if (available() >= want) return true;
    if (m_begin > 0) {
      std::memmove(m_data.get(), m_data.get() + m_begin, available());
      m_end -= m_begin;
      m_begin = 0;
    }
    while (m_end < want && !m_eof && !m_failed) {
      if (m_end == m_capacity && !grow(want)) return false;
      const ssize_t n = ::read(m_fd, m_data.get() + m_end, m_capacity - m_end);
      if (n > 0) {
        m_end += static_cast<size_t>(n);
        m_total += static_cast<uint64_t>(n);
        m_refilled = true;
      } else if (n == 0) {
        m_eof = true;
      } else if (errno != EINTR || stop_requested()) {
        m_failed = true;
      }
    }
    return m_end >= want;
  }

  // True once after every refill; lets the walk report progress at buffer pace.
  bool take_refill() {
    const bool r = m_refilled;
    m_refilled = false;
    return r;
  }

 private:
  bool grow(size_t want) {
    const size_t capacity = std::min(want, m_capacity * 2);
    std::unique_ptr<uint8_t[]> bigger(new (std::nothrow) uint8_t[capacity]);
    if (!bigger) {
      m_failed = true;
      return false;
    }
    std::memcpy(bigger.get(), m_data.get(), m_end);
    m_data = std::move(bigger);
    m_capacity = capacity;
    return true;
  }

  int m_fd;
  std::unique_ptr<uint8_t[]> m_data;
  size_t m_capacity = 0;
  size_t m_begin = 0;
  size_t m_end = 0;
  uint64_t m_total = 0;
  bool m_eof = false;
  bool m_failed = false;
  bool m_refilled = false;
};

bool header_accepted(const uint8_t* header) {
  return load_le32(header) == PCAP_MAGIC_USEC && load_le16(header + 4) == PCAP_VERSION_MAJOR &&
         load_le16(header + 6) == PCAP_VERSION_MINOR;
}

}  // namespace

bool read_capture_file(const std::string& path, packet_handler handler, packet_ctx* ctx,
                       const walk_observer* observer) {
  // Non-blocking, so that a FIFO without a writer cannot hang the run before it is refused.
  scoped_fd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  struct stat st;
  if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 ||
      !(S_ISREG(st.st_mode) || S_ISDIR(st.st_mode))) {
    std::printf("prob opening %s for read\n", path.c_str());
    return false;
  }
  std::printf("Processing file: %s\n", path.c_str());
  const uint64_t file_size = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;

  record_buffer buffer(fd.get());
  if (!buffer.allocate(READ_BUFFER_SIZE)) return false;
  buffer.fill(PCAP_FILE_HEADER_SIZE);
  // A read error on the header (a directory, say) ends quietly; a short file is not a capture.
  if (buffer.failed()) return false;
  if (buffer.available() < PCAP_FILE_HEADER_SIZE || !header_accepted(buffer.front())) {
    std::puts("invalid pcap file, aborting");
    return false;
  }
  uint32_t snaplen = load_le32(buffer.front() + 16);
  if (snaplen == 0) snaplen = PCAP_UNLIMITED_SNAPLEN;
  buffer.consume(PCAP_FILE_HEADER_SIZE);

  walk_progress progress;
  progress.path = &path;
  progress.file_size = file_size;
  const bool observed = observer != nullptr && observer->on_progress != nullptr;
  uint64_t frame_number = 0;
  while (!stop_requested()) {
    if (observed && buffer.take_refill()) {
      progress.bytes_read = buffer.bytes_read();
      observer->on_progress(observer->user, progress);
    }
    if (!buffer.fill(PCAP_RECORD_HEADER_SIZE)) break;  // end of file, or a cut record header
    const uint32_t incl_len = load_le32(buffer.front() + 8);
    if (incl_len > snaplen || incl_len > MAX_RECORD_LENGTH) break;
    const size_t record_len = PCAP_RECORD_HEADER_SIZE + incl_len;
    const bool whole = buffer.fill(record_len);
    const size_t got = std::min(record_len, buffer.available());
    if (!whole) {
      // The final record is cut short: hand on only the bytes the file holds.
      store_le32(buffer.front() + 8, static_cast<uint32_t>(got - PCAP_RECORD_HEADER_SIZE));
    }
    ++frame_number;
    if (handler != nullptr && handler(frame_number, buffer.front(), ctx) == 1) ++progress.reported;
    buffer.consume(got);
    if (!whole) break;
  }
  if (observed) {
    progress.bytes_read = buffer.bytes_read();
    progress.finished = true;
    observer->on_progress(observer->user, progress);
  }
  return true;
}

}  // namespace nelo
