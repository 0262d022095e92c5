#include "capture/pcap_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "capture/compressed_source.h"
#include "capture/mapped_file.h"
#include "capture/pcap_file.h"
#include "capture/pcapng_file.h"

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

// Every container nelo reads, recognised by its first bytes.
struct container {
  bool (*matches)(const uint8_t* head, size_t len);
  walk_end (*walk)(capture_walk& walk);
};

constexpr container CONTAINERS[] = {
    {pcap_header_matches, walk_pcap_file},
    {pcapng_header_matches, walk_pcapng_file},
};

// The most bytes any container needs to be recognised.
constexpr size_t PROBE_SIZE = PCAP_FILE_HEADER_SIZE;
static_assert(PROBE_SIZE >= PCAPNG_PROBE_SIZE && PROBE_SIZE >= COMPRESSION_MAGIC_MAX,
              "the probe holds every header and magic number");

// The container whose header `head` starts with, or null.
const container* find_container(const uint8_t* head, size_t len) {
  for (const container& c : CONTAINERS) {
    if (c.matches(head, len)) return &c;
  }
  return nullptr;
}

// The source of the capture on `fd`, whose first bytes, `head`, were read already: its mapping
// when it is a regular file (`file_size` > 0) kept as it is and `map_window` > 0, else the
// descriptor or a decompressor in front of it. Null when it cannot be set up.
std::unique_ptr<byte_source> open_source(int fd, const uint8_t* head, size_t head_len,
                                         uint64_t file_size, size_t map_window, bool populate_ahead,
                                         mapped_source*& mapped) {
  mapped = nullptr;
  if (file_size > 0 && map_window > 0 && detect_compression(head, head_len) == compression::none) {
    std::unique_ptr<mapped_source> source(new (std::nothrow)
                                              mapped_source(fd, map_window, populate_ahead));
    mapped = source.get();
    return source;
  }
  return open_byte_source(fd, head, head_len, file_size > 0);
}

// Walks the capture on `fd`; `file_size` is 0 when unknown.
walk_result walk_capture(int fd, uint64_t file_size, size_t map_window, bool populate_ahead,
                         packet_handler handler, packet_ctx* ctx, const walk_observer* observer) {
  walk_result result;
  uint8_t head[COMPRESSION_MAGIC_MAX];
  const ssize_t head_len = read_fd_fully(fd, head, sizeof head);
  mapped_source* mapped = nullptr;
  std::unique_ptr<byte_source> source =
      head_len < 0 ? nullptr
                   : open_source(fd, head, static_cast<size_t>(head_len), file_size, map_window,
                                 populate_ahead, mapped);
  if (!source) {
    result.outcome = walk_outcome::read_error;
    return result;
  }
  read_buffer buffer = mapped != nullptr ? read_buffer(*mapped) : read_buffer(*source);
  if (mapped == nullptr && !buffer.allocate(READ_BUFFER_SIZE)) {
    result.outcome = walk_outcome::no_memory;
    return result;
  }
  buffer.fill(PROBE_SIZE);
  if (buffer.failed()) {
    result.outcome = walk_outcome::read_error;
    result.data_damage = source->data_damage();
    result.bytes_delivered = buffer.bytes_delivered();
    return result;
  }
  const container* found = find_container(buffer.front(), buffer.available());
  if (found == nullptr) {
    result.outcome = walk_outcome::not_capture;
    result.bytes_delivered = buffer.bytes_delivered();  // 0: the file is empty
    return result;
  }

  capture_walk walk(buffer, *source, handler, ctx, observer);
  walk.progress.file_size = file_size;
  result.outcome = walk_outcome::walked;
  result.end = found->walk(walk);
  result.frames = walk.frame_number;
  result.cut_present = walk.cut_present;
  result.cut_claimed = walk.cut_claimed;
  result.damage = walk.damage;
  if (result.end != walk_end::stopped) result.data_damage = source->data_damage();
  result.bytes_delivered = buffer.bytes_delivered();
  result.progress = walk.progress;
  result.progress.bytes_read = source->file_bytes_read();
  result.progress.finished = true;
  return result;
}

}  // namespace

capture_reader::~capture_reader() {
  if (m_owned && m_fd >= 0) ::close(m_fd);
}

capture_open capture_reader::open_file(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return capture_open::not_readable;
  struct stat st;
  const bool statted = ::fstat(fd, &st) == 0;
  if (!statted || !S_ISREG(st.st_mode)) {
    ::close(fd);
    if (statted && S_ISDIR(st.st_mode)) return capture_open::directory;
    return capture_open::not_readable;
  }
  m_fd = fd;
  m_owned = true;
  m_size = static_cast<uint64_t>(st.st_size);
  return capture_open::opened;
}

void capture_reader::open_stream(int fd) {
  m_fd = fd;
  m_owned = false;
  m_size = 0;
}

walk_result capture_reader::walk(packet_handler handler, packet_ctx* ctx,
                                 const walk_observer* observer) {
  return walk_capture(m_fd, m_size, m_map_window, m_populate_ahead, handler, ctx, observer);
}

bool file_holds_capture(const std::string& path) {
  // Only a regular file is opened: opening a FIFO could wake a writer waiting for its reader.
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  scoped_fd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  uint8_t head[PROBE_SIZE];
  const ssize_t len = read_fd_fully(fd.get(), head, sizeof head);
  if (len <= 0) return false;
  const size_t got = static_cast<size_t>(len);
  return detect_compression(head, got) != compression::none || find_container(head, got) != nullptr;
}

}  // namespace nelo
