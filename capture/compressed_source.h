// Captures kept compressed: gzip, zstd, xz and bzip2 streams decompressed on the way into the read
// buffer, so nothing is written to disk and memory stays bounded by the decompressor's own state
// and a fixed input block. Each source owns its decompressor; none owns the file descriptor.
#ifndef NELO_CAPTURE_COMPRESSED_SOURCE_H_
#define NELO_CAPTURE_COMPRESSED_SOURCE_H_

#include <bzlib.h>
#include <lzma.h>
#include <zlib.h>
#include <zstd.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <thread>

#include "capture/read_buffer.h"
#include "support/thread_annotations.h"

namespace nelo {

// The compressed bytes a source takes from its file at a time.
inline constexpr size_t COMPRESSED_INPUT_SIZE = 256u << 10;

// The bytes a file is recognised by: the gzip member, zstd frame, xz stream and bzip2 stream
// magic numbers (bzip2's "BZh" is followed by its block size, '1' to '9').
inline constexpr uint8_t GZIP_MAGIC[] = {0x1f, 0x8b};
inline constexpr uint8_t ZSTD_MAGIC[] = {0x28, 0xb5, 0x2f, 0xfd};
inline constexpr uint8_t XZ_MAGIC[] = {0xfd, '7', 'z', 'X', 'Z', 0x00};
inline constexpr uint8_t BZIP2_MAGIC[] = {'B', 'Z', 'h'};
inline constexpr size_t COMPRESSION_MAGIC_MAX = sizeof XZ_MAGIC;

static_assert(COMPRESSION_MAGIC_MAX <= SOURCE_HEAD_MAX,
              "the head a source hands out holds a magic");

enum class compression { none, gzip, zstd, xz, bzip2 };

// The compression a file starting with `head` uses, judged by its magic number alone.
compression detect_compression(const uint8_t* head, size_t len);

// The compressed bytes of a file, in fixed blocks refilled from the descriptor, the first one
// starting with the head the reader already took. With read_ahead() a thread of its own reads
// the next blocks while the decompressor works on this one, so that reading the file and
// inflating it share the machine's cores.
class compressed_input {
 public:
  static constexpr int BLOCKS = 3;

  compressed_input(int fd, const uint8_t* head, size_t head_len);
  compressed_input(const compressed_input&) = delete;
  compressed_input& operator=(const compressed_input&) = delete;
  // Stops the reading thread, if any, and waits for it.
  ~compressed_input() EXCLUDES(m_mutex);
  bool allocated() const { return m_allocated; }

  // Starts reading ahead; for regular files only, whose reads always return. Does nothing when
  // the thread cannot be had.
  void read_ahead();

  // The bytes not yet taken by the decompressor.
  const uint8_t* next() const { return m_blocks[m_current].get() + m_pos; }
  size_t left() const { return m_size - m_pos; }
  void take(size_t n) { m_pos += n; }

  // Moves to the next block once this one is used up; false on a read error. At the end of the
  // file nothing is left and `ended` turns true.
  bool refill() EXCLUDES(m_mutex);
  bool ended() const { return m_ended; }
  // Bytes of the file handed to the decompressor, the head included.
  uint64_t total() const { return m_total; }

 private:
  void read_blocks() EXCLUDES(m_mutex);

  int m_fd;
  // A block's bytes belong to the reading thread from when it is handed back (m_ready falls)
  // until it is counted read (m_ready rises); the decompressor's block is its own.
  std::unique_ptr<uint8_t[]> m_blocks[BLOCKS];
  bool m_allocated = false;
  // The decompressor's side.
  int m_current = 0;  // the block the decompressor reads
  size_t m_size = 0;
  size_t m_pos = 0;
  uint64_t m_total = 0;
  bool m_ended = false;
  std::thread m_reader;
  // Shared with the reading thread.
  mutex m_mutex;
  condition m_block_read;
  condition m_block_free;
  size_t m_sizes[BLOCKS] GUARDED_BY(m_mutex) = {};
  int m_ready GUARDED_BY(m_mutex) = 0;      // blocks read after the current one
  int m_next_read GUARDED_BY(m_mutex) = 1;  // the block the thread fills next
  bool m_reader_done GUARDED_BY(m_mutex) = false;
  bool m_reader_failed GUARDED_BY(m_mutex) = false;
  bool m_quit GUARDED_BY(m_mutex) = false;
};

class gzip_source : public byte_source {
 public:
  gzip_source(int fd, const uint8_t* head, size_t head_len);
  gzip_source(const gzip_source&) = delete;
  gzip_source& operator=(const gzip_source&) = delete;
  ~gzip_source() override;
  // False when the buffers or the inflater could not be set up.
  bool ready() const { return m_ready; }
  // Reads the file ahead on a thread of its own (regular files only).
  void read_ahead() { m_input.read_ahead(); }

  ssize_t read_some(uint8_t* to, size_t max) override;
  uint64_t file_bytes_read() const override { return m_input.total(); }
  // zlib's own message, or "unexpected end of file" for a member cut short.
  const char* data_damage() const override { return m_damage; }

 private:
  compressed_input m_input;
  z_stream m_stream = {};
  bool m_ready = false;
  bool m_member_done = false;
  const char* m_damage = nullptr;
};

// Decompresses one or more concatenated zstd frames.
class zstd_source : public byte_source {
 public:
  zstd_source(int fd, const uint8_t* head, size_t head_len);
  bool ready() const { return m_input.allocated() && m_context != nullptr; }
  // Reads the file ahead on a thread of its own (regular files only).
  void read_ahead() { m_input.read_ahead(); }

  ssize_t read_some(uint8_t* to, size_t max) override;
  uint64_t file_bytes_read() const override { return m_input.total(); }
  // zstd's name for its error, or "unexpected end of file" for a frame cut short.
  const char* data_damage() const override { return m_damage; }

 private:
  struct context_free {
    void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
  };

  compressed_input m_input;
  std::unique_ptr<ZSTD_DCtx, context_free> m_context;
  bool m_frame_done = false;
  const char* m_damage = nullptr;
};

// Decompresses one or more concatenated xz streams.
class xz_source : public byte_source {
 public:
  xz_source(int fd, const uint8_t* head, size_t head_len);
  xz_source(const xz_source&) = delete;
  xz_source& operator=(const xz_source&) = delete;
  ~xz_source() override;
  bool ready() const { return m_ready; }
  void read_ahead() { m_input.read_ahead(); }

  ssize_t read_some(uint8_t* to, size_t max) override;
  uint64_t file_bytes_read() const override { return m_input.total(); }
  // liblzma's error in words, or "unexpected end of file" for a stream cut short.
  const char* data_damage() const override { return m_damage; }

 private:
  compressed_input m_input;
  lzma_stream m_stream = LZMA_STREAM_INIT;
  bool m_ready = false;
  bool m_done = false;
  const char* m_damage = nullptr;
};

// Decompresses one or more concatenated bzip2 streams.
class bzip2_source : public byte_source {
 public:
  bzip2_source(int fd, const uint8_t* head, size_t head_len);
  bzip2_source(const bzip2_source&) = delete;
  bzip2_source& operator=(const bzip2_source&) = delete;
  ~bzip2_source() override;
  bool ready() const { return m_ready; }
  void read_ahead() { m_input.read_ahead(); }

  ssize_t read_some(uint8_t* to, size_t max) override;
  uint64_t file_bytes_read() const override { return m_input.total(); }
  // libbz2's error in words, or "unexpected end of file" for a stream cut short.
  const char* data_damage() const override { return m_damage; }

 private:
  compressed_input m_input;
  bz_stream m_stream = {};
  bool m_ready = false;
  bool m_stream_done = false;
  const char* m_damage = nullptr;
};

// The source for a file whose first bytes, `head`, were already read from `fd`: a decompressor
// when they are a magic number nelo knows, the descriptor itself otherwise. Null when a
// decompressor cannot be set up (out of memory).
std::unique_ptr<byte_source> open_byte_source(int fd, const uint8_t* head, size_t head_len,
                                              bool read_ahead = false);

}  // namespace nelo

#endif  // NELO_CAPTURE_COMPRESSED_SOURCE_H_
