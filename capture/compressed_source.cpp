#include "capture/compressed_source.h"

#include <zstd_errors.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>
#include <system_error>

#include "support/run_control.h"

namespace nelo {

namespace {

// zlib's window bits for a gzip wrapper only: a zlib or raw stream is damage here.
constexpr int GZIP_WINDOW_BITS = 16 + MAX_WBITS;
// Data that stops inside a gzip member or a zstd frame, in the words zlib's own reader uses.
constexpr char CUT_SHORT[] = "unexpected end of file";

// liblzma's decoder state for any memory need: a hostile header cannot ask for more than this.
constexpr uint64_t XZ_MEMORY_LIMIT = 512u << 20;

const char* lzma_error_text(lzma_ret rc) {
  switch (rc) {
    case LZMA_FORMAT_ERROR:
      return "not in the xz format";
    case LZMA_OPTIONS_ERROR:
      return "unsupported xz options";
    case LZMA_DATA_ERROR:
      return "compressed data is corrupt";
    case LZMA_BUF_ERROR:
      return CUT_SHORT;
    case LZMA_MEMLIMIT_ERROR:
      return "the stream needs more memory than allowed";
    default:
      return "xz decoder error";
  }
}

const char* bzip2_error_text(int rc) {
  switch (rc) {
    case BZ_DATA_ERROR:
      return "compressed data is corrupt";
    case BZ_DATA_ERROR_MAGIC:
      return "not in the bzip2 format";
    default:
      return "bzip2 decoder error";
  }
}

bool starts_with(const uint8_t* head, size_t len, const uint8_t* magic, size_t magic_len) {
  return len >= magic_len && std::memcmp(head, magic, magic_len) == 0;
}

}  // namespace

compression detect_compression(const uint8_t* head, size_t len) {
  if (starts_with(head, len, GZIP_MAGIC, sizeof GZIP_MAGIC)) return compression::gzip;
  if (starts_with(head, len, ZSTD_MAGIC, sizeof ZSTD_MAGIC)) return compression::zstd;
  if (starts_with(head, len, XZ_MAGIC, sizeof XZ_MAGIC)) return compression::xz;
  if (starts_with(head, len, BZIP2_MAGIC, sizeof BZIP2_MAGIC) && len > sizeof BZIP2_MAGIC &&
      head[sizeof BZIP2_MAGIC] >= '1' && head[sizeof BZIP2_MAGIC] <= '9') {
    return compression::bzip2;
  }
  return compression::none;
}

compressed_input::compressed_input(int fd, const uint8_t* head, size_t head_len) : m_fd(fd) {
  m_allocated = true;
  for (auto& block : m_blocks) {
    block.reset(new (std::nothrow) uint8_t[COMPRESSED_INPUT_SIZE]);
    m_allocated = m_allocated && block != nullptr;
  }
  if (!m_allocated) return;
  m_size = std::min(head_len, COMPRESSED_INPUT_SIZE);
  std::memcpy(m_blocks[0].get(), head, m_size);
  m_total = m_size;
}

compressed_input::~compressed_input() {
  {
    const mutex_lock lock(m_mutex);
    m_quit = true;
  }
  m_block_free.notify_one();
  if (m_reader.joinable()) m_reader.join();
}

void compressed_input::read_ahead() {
  if (!m_allocated || m_reader.joinable()) return;
  try {
    m_reader = std::thread(&compressed_input::read_blocks, this);
  } catch (const std::system_error&) {
    // Without the thread the blocks are read in turn, as for a stream.
  }
}

void compressed_input::read_blocks() {
  const stop_signals_blocked blocked;

  mutex_lock lock(m_mutex);
  for (;;) {
    // One block is the decompressor's; the others may be read ahead.
    while (!m_quit && m_ready >= BLOCKS - 1) m_block_free.wait(m_mutex);
    if (m_quit) return;
    const int block = m_next_read;
    lock.unlock();
    const ssize_t n = read_fd(m_fd, m_blocks[block].get(), COMPRESSED_INPUT_SIZE);
    lock.lock();
    if (n <= 0) {
      m_reader_failed = n < 0;
      m_reader_done = true;
      m_block_read.notify_one();
      return;
    }
    m_sizes[block] = static_cast<size_t>(n);
    m_next_read = (block + 1) % BLOCKS;
    ++m_ready;
    m_block_read.notify_one();
  }
}

bool compressed_input::refill() {
  if (left() > 0 || m_ended) return true;
  if (!m_reader.joinable()) {
    const ssize_t n = read_fd(m_fd, m_blocks[m_current].get(), COMPRESSED_INPUT_SIZE);
    if (n < 0) return false;
    m_pos = 0;
    m_size = static_cast<size_t>(n);
    m_total += m_size;
    m_ended = n == 0;
    return true;
  }
  mutex_lock lock(m_mutex);
  while (m_ready == 0 && !m_reader_done) m_block_read.wait(m_mutex);
  if (m_ready == 0) {
    if (m_reader_failed) return false;
    m_size = m_pos = 0;
    m_ended = true;
    return true;
  }
  // Moving on hands the used block back to the thread.
  m_current = (m_current + 1) % BLOCKS;
  --m_ready;
  m_pos = 0;
  m_size = m_sizes[m_current];
  m_total += m_size;
  lock.unlock();
  m_block_free.notify_one();
  return true;
}

gzip_source::gzip_source(int fd, const uint8_t* head, size_t head_len)
    : m_input(fd, head, head_len) {
  m_ready = m_input.allocated() && inflateInit2(&m_stream, GZIP_WINDOW_BITS) == Z_OK;
}

gzip_source::~gzip_source() {
  if (m_ready) inflateEnd(&m_stream);
}

ssize_t gzip_source::read_some(uint8_t* to, size_t max) {
  if (m_damage != nullptr) return -1;
  // zlib counts in unsigned int; the read buffer never asks for that much at once anyway.
  const uInt room = static_cast<uInt>(std::min<size_t>(max, UINT_MAX));
  if (room == 0) return 0;
  m_stream.next_out = to;
  m_stream.avail_out = room;
  for (;;) {
    if (!m_input.refill()) return -1;
    if (m_member_done) {
      if (m_input.left() == 0) return 0;  // the file ended between members
      // More bytes after a member: the next member of the same stream.
      if (inflateReset(&m_stream) != Z_OK) return -1;
      m_member_done = false;
    }
    m_stream.next_in = const_cast<Bytef*>(m_input.next());
    m_stream.avail_in = static_cast<uInt>(std::min<size_t>(m_input.left(), UINT_MAX));
    const uInt offered = m_stream.avail_in;
    const int rc = inflate(&m_stream, Z_NO_FLUSH);
    m_input.take(offered - m_stream.avail_in);
    if (rc == Z_STREAM_END) {
      m_member_done = true;
    } else if (rc == Z_MEM_ERROR) {
      return -1;
    } else if (rc != Z_OK && !(rc == Z_BUF_ERROR && m_input.left() == 0)) {
      // zlib's messages are static text; a return without one still has its name.
      m_damage = m_stream.msg != nullptr ? m_stream.msg : zError(rc);
    }
    // What was inflated before the damage is handed out first; the next call fails.
    const size_t produced = room - m_stream.avail_out;
    if (produced > 0) return static_cast<ssize_t>(produced);
    if (m_damage != nullptr) return -1;
    if (!m_member_done && m_input.left() == 0 && m_input.ended()) {
      m_damage = CUT_SHORT;
      return -1;
    }
  }
}

zstd_source::zstd_source(int fd, const uint8_t* head, size_t head_len)
    : m_input(fd, head, head_len), m_context(ZSTD_createDCtx()) {}

ssize_t zstd_source::read_some(uint8_t* to, size_t max) {
  if (m_damage != nullptr) return -1;
  if (max == 0) return 0;
  ZSTD_outBuffer out = {to, max, 0};
  for (;;) {
    if (!m_input.refill()) return -1;
    if (m_input.left() == 0 && m_input.ended() && m_frame_done) return 0;
    ZSTD_inBuffer in = {m_input.next(), m_input.left(), 0};
    const size_t rc = ZSTD_decompressStream(m_context.get(), &out, &in);
    m_input.take(in.pos);
    if (ZSTD_isError(rc)) {
      if (ZSTD_getErrorCode(rc) == ZSTD_error_memory_allocation) return -1;
      m_damage = ZSTD_getErrorName(rc);
      // What was decoded before the damage is handed out first; the next call fails.
      return out.pos > 0 ? static_cast<ssize_t>(out.pos) : -1;
    }
    // Zero once a frame is complete and flushed. A call that moved nothing says nothing new.
    if (in.pos > 0 || out.pos > 0) m_frame_done = rc == 0;
    if (out.pos > 0) return static_cast<ssize_t>(out.pos);
    // Input that ran out inside a frame, or that the decoder will not take, is damage; the
    // second never happens with room to write, but a hostile file must not spin the loop.
    if (m_input.left() == 0 && m_input.ended()) {
      m_damage = CUT_SHORT;
      return -1;
    }
    if (m_input.left() > 0 && in.pos == 0) {
      m_damage = "the decoder takes no more input";
      return -1;
    }
  }
}

xz_source::xz_source(int fd, const uint8_t* head, size_t head_len) : m_input(fd, head, head_len) {
  m_ready = m_input.allocated() &&
            lzma_stream_decoder(&m_stream, XZ_MEMORY_LIMIT, LZMA_CONCATENATED) == LZMA_OK;
}

xz_source::~xz_source() {
  lzma_end(&m_stream);
}

ssize_t xz_source::read_some(uint8_t* to, size_t max) {
  if (m_damage != nullptr) return -1;
  if (max == 0 || m_done) return 0;
  m_stream.next_out = to;
  m_stream.avail_out = max;
  for (;;) {
    if (!m_input.refill()) return -1;
    // With concatenated streams liblzma is told where the file ends, so it can check the last.
    const lzma_action action = m_input.left() == 0 && m_input.ended() ? LZMA_FINISH : LZMA_RUN;
    m_stream.next_in = m_input.next();
    m_stream.avail_in = m_input.left();
    const size_t offered = m_stream.avail_in;
    const lzma_ret rc = lzma_code(&m_stream, action);
    m_input.take(offered - m_stream.avail_in);
    if (rc == LZMA_STREAM_END) {
      m_done = true;
    } else if (rc == LZMA_MEM_ERROR) {
      return -1;
    } else if (rc != LZMA_OK) {
      m_damage = lzma_error_text(rc);
    }
    // What was decoded before the damage is handed out first; the next call fails.
    const size_t produced = max - m_stream.avail_out;
    if (produced > 0) return static_cast<ssize_t>(produced);
    if (m_damage != nullptr) return -1;
    if (m_done) return 0;
  }
}

bzip2_source::bzip2_source(int fd, const uint8_t* head, size_t head_len)
    : m_input(fd, head, head_len) {
  m_ready = m_input.allocated() && BZ2_bzDecompressInit(&m_stream, 0, 0) == BZ_OK;
}

bzip2_source::~bzip2_source() {
  if (m_ready) BZ2_bzDecompressEnd(&m_stream);
}

ssize_t bzip2_source::read_some(uint8_t* to, size_t max) {
  if (m_damage != nullptr) return -1;
  const unsigned room = static_cast<unsigned>(std::min<size_t>(max, UINT_MAX));
  if (room == 0) return 0;
  m_stream.next_out = reinterpret_cast<char*>(to);
  m_stream.avail_out = room;
  for (;;) {
    if (!m_input.refill()) return -1;
    if (m_stream_done) {
      if (m_input.left() == 0) return 0;  // the file ended between streams
      // More bytes after a stream: the next stream of the same file.
      BZ2_bzDecompressEnd(&m_stream);
      char* const next_out = m_stream.next_out;
      const unsigned avail_out = m_stream.avail_out;
      m_stream = {};
      m_ready = BZ2_bzDecompressInit(&m_stream, 0, 0) == BZ_OK;
      if (!m_ready) return -1;
      m_stream.next_out = next_out;
      m_stream.avail_out = avail_out;
      m_stream_done = false;
    }
    m_stream.next_in = const_cast<char*>(reinterpret_cast<const char*>(m_input.next()));
    m_stream.avail_in = static_cast<unsigned>(std::min<size_t>(m_input.left(), UINT_MAX));
    const unsigned offered = m_stream.avail_in;
    const int rc = BZ2_bzDecompress(&m_stream);
    m_input.take(offered - m_stream.avail_in);
    if (rc == BZ_STREAM_END) {
      m_stream_done = true;
    } else if (rc == BZ_MEM_ERROR) {
      return -1;
    } else if (rc != BZ_OK) {
      m_damage = bzip2_error_text(rc);
    }
    const size_t produced = room - m_stream.avail_out;
    if (produced > 0) return static_cast<ssize_t>(produced);
    if (m_damage != nullptr) return -1;
    if (!m_stream_done && m_input.left() == 0 && m_input.ended()) {
      m_damage = CUT_SHORT;
      return -1;
    }
  }
}

std::unique_ptr<byte_source> open_byte_source(int fd, const uint8_t* head, size_t head_len,
                                              bool read_ahead) {
  switch (detect_compression(head, head_len)) {
    case compression::gzip: {
      std::unique_ptr<gzip_source> source(new (std::nothrow) gzip_source(fd, head, head_len));
      if (!source || !source->ready()) return nullptr;
      if (read_ahead) source->read_ahead();
      return source;
    }
    case compression::zstd: {
      std::unique_ptr<zstd_source> source(new (std::nothrow) zstd_source(fd, head, head_len));
      if (!source || !source->ready()) return nullptr;
      if (read_ahead) source->read_ahead();
      return source;
    }
    case compression::xz: {
      std::unique_ptr<xz_source> source(new (std::nothrow) xz_source(fd, head, head_len));
      if (!source || !source->ready()) return nullptr;
      if (read_ahead) source->read_ahead();
      return source;
    }
    case compression::bzip2: {
      std::unique_ptr<bzip2_source> source(new (std::nothrow) bzip2_source(fd, head, head_len));
      if (!source || !source->ready()) return nullptr;
      if (read_ahead) source->read_ahead();
      return source;
    }
    case compression::none:
      break;
  }
  return std::unique_ptr<byte_source>(new (std::nothrow) fd_source(fd, head, head_len));
}

}  // namespace nelo
