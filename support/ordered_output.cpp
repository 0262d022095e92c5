#include "support/ordered_output.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "support/run_control.h"
#include "support/wire.h"

namespace nelo {

namespace {

// Before the bytes of each held run: its destination (one byte) and its length (32 bits, little
// endian). A write longer than a frame takes is cut into several.
constexpr size_t FRAME_HEADER_SIZE = 5;
constexpr uint64_t FRAME_MAX = UINT32_MAX;

uint8_t* as_bytes(char* p) {
  return reinterpret_cast<uint8_t*>(p);
}

const uint8_t* as_bytes(const char* p) {
  return reinterpret_cast<const uint8_t*>(p);
}

void put_frame_header(char* to, output_dest dest, uint32_t len) {
  to[0] = static_cast<char>(dest);
  store_le32(as_bytes(to + 1), len);
}

}  // namespace

void output_turns::wait_for(uint64_t job) {
  const mutex_lock lock(m_mutex);
  while (m_turn.load(std::memory_order_acquire) != job) m_changed.wait(m_mutex);
}

void output_turns::pass(uint64_t job) {
  {
    const mutex_lock lock(m_mutex);
    m_turn.store(job + 1, std::memory_order_release);
  }
  m_changed.notify_all();
}

std::streamsize ordered_buf::xsputn(const char* s, std::streamsize n) {
  if (n <= 0) return 0;
  return m_owner.write(m_dest, s, static_cast<size_t>(n)) ? n : 0;
}

ordered_buf::int_type ordered_buf::overflow(int_type c) {
  if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
  const char ch = traits_type::to_char_type(c);
  return m_owner.write(m_dest, &ch, 1) ? c : traits_type::eof();
}

int ordered_buf::sync() {
  return m_owner.flush(m_dest) ? 0 : -1;
}

std::string temp_directory() {
  const char* dir = getenv("TMPDIR");
  return dir != nullptr && dir[0] != '\0' ? dir : "/tmp";
}

bool spill_file::create(const std::string& dir) {
  close();
#ifdef O_TMPFILE
  m_fd = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (m_fd >= 0) return true;
#endif
  // A file system without unnamed files: a fresh name, gone again before anything is written.
  std::string path = dir + "/nelo-spill-XXXXXX";
  m_fd = mkostemp(path.data(), O_CLOEXEC);
  if (m_fd < 0) return false;
  unlink(path.c_str());
  return true;
}

bool spill_file::write_at(const char* s, size_t n, uint64_t offset) const {
  while (n > 0) {
    const ssize_t put = pwrite(m_fd, s, n, static_cast<off_t>(offset));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    s += put;
    n -= static_cast<size_t>(put);
    offset += static_cast<uint64_t>(put);
  }
  return true;
}

ssize_t spill_file::read_at(char* to, size_t n, uint64_t offset) const {
  for (;;) {
    const ssize_t got = pread(m_fd, to, n, static_cast<off_t>(offset));
    if (got >= 0 || errno != EINTR) return got;
  }
}

bool spill_file::truncate() const {
  return ftruncate(m_fd, 0) == 0;
}

void spill_file::close() {
  if (m_fd >= 0) ::close(m_fd);
  m_fd = -1;
}

ordered_output::ordered_output(output_turns& turns, size_t hold_limit, std::string spill_dir)
    : m_turns(turns),
      m_hold_limit(std::max(hold_limit, HOLD_LIMIT_MIN)),
      m_spill_dir(std::move(spill_dir)),
      // Left untouched until written, so a worker whose captures write little costs little.
      m_held(std::make_unique_for_overwrite<char[]>(m_hold_limit)),
      m_dests{{*this, output_dest::out},
              {*this, output_dest::err},
              {*this, output_dest::file},
              {*this, output_dest::capture}} {}

void ordered_output::begin(uint64_t job, std::ostream* out, std::ostream* err, std::ostream* file,
                           std::ostream* capture) {
  m_job = job;
  m_mode = mode::holding;
  m_real[index(output_dest::out)] = out;
  m_real[index(output_dest::err)] = err;
  m_real[index(output_dest::file)] = file;
  m_real[index(output_dest::capture)] = capture;
  m_held_size = 0;
  m_last_frame = NO_FRAME;
  m_spilled = 0;
  for (dest_stream& d : m_dests) d.stream.clear();
}

void ordered_output::finish() {
  if (m_mode == mode::direct) return;
  m_turns.wait_for(m_job);
  if (m_mode == mode::holding) release();
}

bool ordered_output::write(output_dest dest, const char* s, size_t n) {
  if (m_mode == mode::holding && m_turns.is_turn(m_job)) release();
  if (m_mode == mode::holding) {
    if (hold(dest, s, n)) return true;
    lose_output();
    return false;
  }
  if (m_mode == mode::lost) return false;
  if (m_mode == mode::dropped) return true;
  std::ostream* real = m_real[index(dest)];
  if (real == nullptr) return true;
  real->write(s, static_cast<std::streamsize>(n));
  return !real->fail();
}

bool ordered_output::flush(output_dest dest) {
  // Held bytes are flushed when the turn comes.
  if (m_mode == mode::holding) return true;
  if (m_mode == mode::lost) return false;
  if (m_mode == mode::dropped) return true;
  std::ostream* real = m_real[index(dest)];
  if (real == nullptr) return true;
  real->flush();
  return !real->fail();
}

bool ordered_output::hold(output_dest dest, const char* s, size_t n) {
  char* const held = m_held.get();
  const size_t room = m_hold_limit - m_held_size;
  // A job's writes come in runs to one destination (a report line in pieces, a dump): they
  // share one frame.
  if (m_last_frame != NO_FRAME && held[m_last_frame] == static_cast<char>(dest)) {
    const uint32_t len = load_le32(as_bytes(held + m_last_frame + 1));
    if (n <= room && n <= FRAME_MAX - len) {
      std::memcpy(held + m_held_size, s, n);
      store_le32(as_bytes(held + m_last_frame + 1), static_cast<uint32_t>(len + n));
      m_held_size += n;
      return true;
    }
  }
  if (n > FRAME_MAX || FRAME_HEADER_SIZE + n > room) {
    if (!spill()) return false;
    if (n > FRAME_MAX || FRAME_HEADER_SIZE + n > m_hold_limit) {
      // More than memory holds at all: straight to the file, copied nowhere on the way.
      while (n > 0) {
        const size_t len = static_cast<size_t>(std::min<uint64_t>(n, FRAME_MAX));
        char header[FRAME_HEADER_SIZE];
        put_frame_header(header, dest, static_cast<uint32_t>(len));
        if (!m_spill.write_at(header, FRAME_HEADER_SIZE, m_spilled) ||
            !m_spill.write_at(s, len, m_spilled + FRAME_HEADER_SIZE)) {
          return false;
        }
        m_spilled += FRAME_HEADER_SIZE + len;
        s += len;
        n -= len;
      }
      return true;
    }
  }
  put_frame_header(held + m_held_size, dest, static_cast<uint32_t>(n));
  std::memcpy(held + m_held_size + FRAME_HEADER_SIZE, s, n);
  m_last_frame = m_held_size;
  m_held_size += FRAME_HEADER_SIZE + n;
  return true;
}

bool ordered_output::spill() {
  if (!m_spill.is_open() && !m_spill.create(m_spill_dir)) return false;
  if (m_held_size == 0) return true;
  if (!m_spill.write_at(m_held.get(), m_held_size, m_spilled)) return false;
  m_spilled += m_held_size;
  m_held_size = 0;
  m_last_frame = NO_FRAME;
  return true;
}

bool ordered_output::copy_frames(const char* data, size_t n, frame_cursor& at, size_t& used) {
  size_t pos = 0;
  while (pos < n) {
    if (at.left == 0) {
      if (n - pos < FRAME_HEADER_SIZE) break;
      const auto dest = static_cast<uint8_t>(data[pos]);
      if (dest >= OUTPUT_DESTS) return false;
      at.dest = static_cast<output_dest>(dest);
      at.left = load_le32(as_bytes(data + pos + 1));
      pos += FRAME_HEADER_SIZE;
      continue;
    }
    const size_t len = static_cast<size_t>(std::min<uint64_t>(at.left, n - pos));
    if (std::ostream* real = m_real[index(at.dest)]; real != nullptr) {
      real->write(data + pos, static_cast<std::streamsize>(len));
      m_written[index(at.dest)] = true;
    }
    pos += len;
    at.left -= len;
  }
  used = pos;
  return true;
}

bool ordered_output::copy_out_spilled() {
  // Memory's frames go after the file's, so that its buffer is free to carry the file back in
  // blocks as large as itself.
  if (!spill()) return false;
  char* const buffer = m_held.get();
  frame_cursor at;
  size_t kept = 0;  // the start of a frame header that the last block cut
  for (uint64_t offset = 0; offset < m_spilled;) {
    const size_t want =
        static_cast<size_t>(std::min<uint64_t>(m_hold_limit - kept, m_spilled - offset));
    const ssize_t got = m_spill.read_at(buffer + kept, want, offset);
    if (got <= 0) return false;
    offset += static_cast<uint64_t>(got);
    const size_t have = kept + static_cast<size_t>(got);
    size_t used = 0;
    if (!copy_frames(buffer, have, at, used)) return false;
    kept = have - used;
    std::memmove(buffer, buffer + used, kept);
  }
  if (kept != 0 || at.left != 0) return false;
  m_spilled = 0;
  // Emptied rather than closed: the next job that spills finds its file made.
  if (!m_spill.truncate()) m_spill.close();
  return true;
}

bool ordered_output::release() {
  std::fill(std::begin(m_written), std::end(m_written), false);
  if (stop_requested()) {
    m_mode = mode::dropped;
    m_held_size = 0;
    m_last_frame = NO_FRAME;
    m_spilled = 0;
    return true;
  }
  if (m_spilled > 0) {
    if (!copy_out_spilled()) {
      lose_output();
      return false;
    }
  } else {
    frame_cursor at;
    size_t used = 0;
    copy_frames(m_held.get(), m_held_size, at, used);
  }
  m_held_size = 0;
  m_last_frame = NO_FRAME;
  m_mode = mode::direct;
  // What was held is old news to whoever reads these streams; let it out now.
  bool ok = true;
  for (size_t d = 0; d < OUTPUT_DESTS; ++d) {
    if (!m_written[d]) continue;
    m_real[d]->flush();
    ok = ok && !m_real[d]->fail();
  }
  return ok;
}

void ordered_output::lose_output() {
  request_stop_for_write_failure();
  m_mode = mode::lost;
  m_held_size = 0;
  m_last_frame = NO_FRAME;
  m_spilled = 0;
  // A file that failed once is not trusted again; a later job makes a new one if it must.
  m_spill.close();
}

}  // namespace nelo
