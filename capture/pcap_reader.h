// The capture file reader: the only place where capture files are opened; a stream (standard
// input, or a FIFO or pipe that the caller opened) is handed to it as a descriptor. It recognises
// the container by the first bytes (classic pcap in its four variants, or pcapng; never by the
// name) and hands every packet record to a packet handler in file order. A file compressed with
// gzip or zstd is recognised the same way and read through its decompressor; any other regular
// file is walked in place, through windows of its mapping. It writes nothing:
// what happened, and why a walk ended before the data did, is returned for the caller to word.
// The reader owns its buffer, decompressor and descriptor (a stream's descriptor stays the
// caller's); the handler may use a record only during its own call.
#ifndef NELO_CAPTURE_PCAP_READER_H_
#define NELO_CAPTURE_PCAP_READER_H_

#include <string>

#include "capture/capture_walk.h"
#include "capture/mapped_file.h"

namespace nelo {

// What opening a capture by name came to.
enum class capture_open {
  opened,        // a regular file, ready to walk
  not_readable,  // it cannot be opened, or is neither a regular file nor a directory
  directory,     // a directory, which holds no capture
};

// What walking an opened capture came to.
enum class walk_outcome {
  walked,       // the records were walked; `end` says how the record loop ended
  not_capture,  // the first bytes are not those of a capture nelo reads; nothing was handed on
  read_error,   // the first bytes could not be read (`data_damage` says when the compressed data
                // is to blame); nothing was handed on
  no_memory,    // the read buffer could not be allocated; nothing was handed on
};

struct walk_result {
  walk_outcome outcome = walk_outcome::not_capture;
  walk_end end = walk_end::finished;
  uint64_t frames = 0;  // the number of the last frame read, 0 when none
  // For walk_end::cut_record: the bytes present and the captured length the header claimed.
  uint32_t cut_present = 0;
  uint32_t cut_claimed = 0;
  walk_damage damage;  // for walk_end::damaged
  // The decompressor's words when compressed data is damaged or cut short (a walk stopped on
  // request never names it), and how many decompressed bytes it delivered before.
  const char* data_damage = nullptr;
  uint64_t bytes_delivered = 0;
  walk_progress progress;  // the walk's last progress, `finished` set
};

// One capture, opened by name or handed over as a stream, then walked once.
class capture_reader {
 public:
  capture_reader() = default;
  capture_reader(const capture_reader&) = delete;
  capture_reader& operator=(const capture_reader&) = delete;
  ~capture_reader();

  // Opens `path` without blocking (a FIFO without a writer cannot hang the run before it is
  // refused). Only an `opened` capture may be walked.
  capture_open open_file(const std::string& path);
  // Reads the stream on `fd`, such as the run's standard input or a pipe; no size is known for
  // progress, and the descriptor is left open.
  void open_stream(int fd);
  // The bytes of a regular file mapped at a time (rounded up to whole pages; a record larger
  // than that gets a window of its own size); 0 reads the file with read(2) instead. Readers
  // walking at once share the memory, so each takes a smaller window.
  void set_map_window(size_t bytes) { m_map_window = bytes; }
  // Whether another thread populates the page tables of the next window of a mapped walk while
  // the walk reads the current one: worth it only when a core is otherwise idle.
  void set_populate_ahead(bool on) { m_populate_ahead = on; }

  // Walks the opened capture, handing every record to `handler` with `ctx`, telling `observer`
  // (or nobody, when null) how far it got and which link types it does not decode. A stop
  // request ends the walk as walk_end::stopped.
  walk_result walk(packet_handler handler, packet_ctx* ctx, const walk_observer* observer);

 private:
  int m_fd = -1;
  bool m_owned = false;
  uint64_t m_size = 0;  // 0 when unknown
  size_t m_map_window = MAP_WINDOW_SIZE;
  bool m_populate_ahead = false;
};

// True when `path` names a regular file whose first bytes are those of a capture the reader
// recognises: a pcap or pcapng header, or a gzip or zstd magic number (what a compressed file
// holds is not looked at). A file that cannot be read, is not a regular file, or is too short
// for any header or magic number is not a capture. Reads at most the first 24 bytes.
bool file_holds_capture(const std::string& path);

// The name standard input goes by, on the command line and in the messages about it.
inline constexpr char STDIN_NAME[] = "-";

}  // namespace nelo

#endif  // NELO_CAPTURE_PCAP_READER_H_
