#include "capture/pcap_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <ostream>

#include "capture/compressed_source.h"
#include "capture/pcap_file.h"
#include "capture/pcapng_file.h"
#include "support/error_writer.h"

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

void say_data_damaged(const message_writer& messages, const std::string& path,
                      const read_buffer& buffer, const char* reason) {
  messages.write("%s: compressed data is damaged after %llu bytes (%s)\n", path.c_str(),
                 static_cast<unsigned long long>(buffer.bytes_delivered()), reason);
}

void say_how_walk_ended(const capture_walk& walk, walk_end end) {
  const message_writer& messages = walk.io.messages;
  const char* path = walk.path.c_str();
  const unsigned long long frame = walk.frame_number;
  const char* data_damage = walk.source.data_damage();
  if (end != walk_end::stopped && data_damage != nullptr) {
    say_data_damaged(messages, walk.path, walk.buffer, data_damage);
    return;
  }
  switch (end) {
    case walk_end::finished:
    case walk_end::stopped:
      break;
    case walk_end::cut_record:
      messages.write("%s: frame %llu is cut short, %u of %u bytes present\n", path, frame,
                     walk.cut_present, walk.cut_claimed);
      break;
    case walk_end::cut_header:
      messages.write("%s: the file ends inside the record header after frame %llu\n", path, frame);
      break;
    case walk_end::damaged:
      messages.write("%s: damaged record after frame %llu (%s), the rest is not read\n", path,
                     frame, damage_text(walk.damage).c_str());
      break;
    case walk_end::read_error:
      messages.write("%s: read error after frame %llu, the rest is not read\n", path, frame);
      break;
  }
}

// Every walk, read or refused, first says which capture it is about.
void note_start(const walk_io& io, const std::string& path) {
  if (io.ended_at == nullptr) return;
  io.ended_at->capture = path;
  io.ended_at->frame = 0;
}

// Walks the capture on `fd`, already open and announced; `file_size` is 0 when unknown.
capture_read walk_capture(int fd, const std::string& path, uint64_t file_size,
                          packet_handler handler, packet_ctx* ctx, const walk_io& io) {
  uint8_t head[COMPRESSION_MAGIC_MAX];
  const ssize_t head_len = read_fd_fully(fd, head, sizeof head);
  std::unique_ptr<byte_source> source =
      head_len < 0 ? nullptr
                   : open_byte_source(fd, head, static_cast<size_t>(head_len), file_size > 0);
  if (!source) {
    io.messages.write("%s: read error, the file is not read\n", path.c_str());
    return capture_read::not_read;
  }
  read_buffer buffer(*source);
  if (!buffer.allocate(READ_BUFFER_SIZE)) return capture_read::not_read;
  buffer.fill(PROBE_SIZE);
  if (buffer.failed()) {
    if (source->data_damage() != nullptr) {
      say_data_damaged(io.messages, path, buffer, source->data_damage());
      return capture_read::damaged;
    }
    io.messages.write("%s: read error, the file is not read\n", path.c_str());
    return capture_read::not_read;
  }
  const container* found = find_container(buffer.front(), buffer.available());
  if (found == nullptr) {
    io.announce << "invalid pcap file, aborting\n";
    return capture_read::not_read;
  }

  capture_walk walk(path, buffer, *source, handler, ctx, io);
  walk.progress.path = &path;
  walk.progress.file_size = file_size;
  const walk_end end = found->walk(walk);
  if (io.ended_at != nullptr) io.ended_at->frame = walk.frame_number;
  say_how_walk_ended(walk, end);
  if (walk.observer != nullptr) {
    walk.progress.bytes_read = source->file_bytes_read();
    walk.progress.finished = true;
    walk.observer->on_progress(walk.observer->user, walk.progress);
  }
  return end != walk_end::stopped && source->data_damage() != nullptr ? capture_read::damaged
                                                                      : capture_read::walked;
}

}  // namespace

capture_read read_capture_file(const std::string& path, packet_handler handler, packet_ctx* ctx,
                               const walk_io& io) {
  note_start(io, path);
  // Non-blocking, so that a FIFO without a writer cannot hang the run before it is refused.
  scoped_fd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  struct stat st;
  if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 ||
      !(S_ISREG(st.st_mode) || S_ISDIR(st.st_mode))) {
    io.announce << "prob opening " << path << " for read\n";
    return capture_read::not_read;
  }
  io.announce << "Processing file: " << path << '\n';
  if (io.report_announce != nullptr) *io.report_announce << "Processing file: " << path << '\n';
  if (S_ISDIR(st.st_mode)) {
    io.announce.flush();
    io.messages.write("%s is a directory, not a capture file\n", path.c_str());
    return capture_read::not_read;
  }

  return walk_capture(fd.get(), path, static_cast<uint64_t>(st.st_size), handler, ctx, io);
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

capture_read read_capture_stream(int fd, const std::string& name, packet_handler handler,
                                 packet_ctx* ctx, const walk_io& io) {
  note_start(io, name);
  io.announce << "Processing file: " << name << '\n';
  return walk_capture(fd, name, 0, handler, ctx, io);
}

}  // namespace nelo
