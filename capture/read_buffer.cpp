#include "capture/read_buffer.h"

#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "capture/mapped_file.h"
#include "support/run_control.h"

namespace nelo {

ssize_t read_fd(int fd, uint8_t* to, size_t max) {
  for (;;) {
    const ssize_t n = ::read(fd, to, max);
    if (n >= 0) return n;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      struct pollfd wait_for = {fd, POLLIN, 0};
      if (::poll(&wait_for, 1, -1) >= 0) continue;
    }
    if (errno != EINTR || stop_requested()) return -1;
  }
}

ssize_t read_fd_fully(int fd, uint8_t* to, size_t max) {
  size_t got = 0;
  while (got < max) {
    const ssize_t n = read_fd(fd, to + got, max - got);
    if (n < 0) return -1;
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(got);
}

fd_source::fd_source(int fd, const uint8_t* head, size_t head_len)
    : m_fd(fd), m_head_len(std::min(head_len, SOURCE_HEAD_MAX)), m_total(m_head_len) {
  if (m_head_len > 0) std::memcpy(m_head, head, m_head_len);
}

ssize_t fd_source::read_some(uint8_t* to, size_t max) {
  if (m_head_pos < m_head_len) {
    const size_t n = std::min(max, m_head_len - m_head_pos);
    std::memcpy(to, m_head + m_head_pos, n);
    m_head_pos += n;
    return static_cast<ssize_t>(n);
  }
  const ssize_t n = read_fd(m_fd, to, max);
  if (n > 0) m_total += static_cast<uint64_t>(n);
  return n;
}

read_buffer::read_buffer(mapped_source& file) : m_source(file), m_mapped(&file) {}

bool read_buffer::allocate(size_t capacity) {
  m_data.reset(new (std::nothrow) uint8_t[capacity]);
  m_capacity = m_data ? capacity : 0;
  m_base = m_data.get();
  return m_data != nullptr;
}

bool read_buffer::refill(size_t want) {
  if (m_eof || m_failed) return false;
  return m_mapped != nullptr ? refill_mapped(want) : refill_read(want);
}

bool read_buffer::refill_read(size_t want) {
  if (m_begin > 0) {
    std::memmove(m_data.get(), m_data.get() + m_begin, available());
    m_end -= m_begin;
    m_begin = 0;
  }
  while (m_end < want && !m_eof && !m_failed) {
    if (m_end == m_capacity && !grow(want)) return false;
    const ssize_t n = m_source.read_some(m_data.get() + m_end, m_capacity - m_end);
    if (n > 0) {
      m_end += static_cast<size_t>(n);
      m_total += static_cast<uint64_t>(n);
      m_refilled = true;
    } else if (n == 0) {
      m_eof = true;
    } else {
      m_failed = true;
    }
  }
  return m_end >= want;
}

bool read_buffer::refill_mapped(size_t want) {
  const uint64_t at = m_mapped->window_offset() + m_begin;
  if (!m_mapped->move_window(at, want)) return read_rest(want);
  m_base = m_mapped->window();
  m_begin = static_cast<size_t>(at - m_mapped->window_offset());
  m_end = m_mapped->window_bytes();
  m_page_mask = page_size() - 1;
  m_probe_end = m_mapped->mapping().size();
  m_prefetched = 0;
  m_cut = &m_mapped->mapping().cut();
  m_total = m_mapped->window_offset() + m_end;
  m_refilled = true;
  return true;
}

// The bytes still lent are copied into the block: the page after them may be gone when the file
// was cut, so they are taken only as far as its size, and the copy is checked like a record.
bool read_buffer::read_rest(size_t want) {
  const uint64_t at = m_mapped->window_offset() + m_begin;
  const uint64_t size = m_mapped->size();
  size_t keep = available();
  if (at + keep > size) keep = size > at ? static_cast<size_t>(size - at) : 0;
  if (!allocate(std::max(READ_BUFFER_SIZE, keep))) {
    m_failed = true;
    return false;
  }
  const uint8_t* lent = m_mapped->window() + m_begin;
  if (keep > 0) std::memcpy(m_data.get(), lent, keep);
  std::atomic_signal_fence(std::memory_order_seq_cst);
  if (m_cut->load(std::memory_order_relaxed)) {
    bool unreadable = false;
    const uint64_t end = m_mapped->settle_cut(unreadable);
    if (end < at + keep) {
      keep = end > at ? static_cast<size_t>(end - at) : 0;
      if (unreadable) m_failed = true;
    }
  }
  m_mapped->read_from(at + keep);
  m_mapped = nullptr;
  m_begin = 0;
  m_end = keep;
  m_page_mask = 0;
  m_probe_end = 0;
  m_cut = &NEVER_CUT;
  m_total = at + keep;
  if (m_failed) return false;
  return refill_read(want);
}

void read_buffer::settle_cut() {
  bool unreadable = false;
  const uint64_t end = m_mapped->settle_cut(unreadable);
  const uint64_t at = m_mapped->window_offset() + m_begin;
  if (end >= m_mapped->window_offset() + m_end) return;
  // Records before `at` were handed on whole when they were checked.
  m_end = static_cast<size_t>(std::max(end, at) - m_mapped->window_offset());
  m_total = m_mapped->window_offset() + m_end;
  if (unreadable) {
    m_failed = true;
  } else {
    m_eof = true;
  }
}

// Doubles the buffer, up to what `want` needs: a header that claims a huge record in a small
// file costs at most twice the bytes the file really delivered.
bool read_buffer::grow(size_t want) {
  const size_t capacity = std::min(want, m_capacity * 2);
  std::unique_ptr<uint8_t[]> bigger(new (std::nothrow) uint8_t[capacity]);
  if (!bigger) {
    m_failed = true;
    return false;
  }
  std::memcpy(bigger.get(), m_data.get(), m_end);
  m_data = std::move(bigger);
  m_base = m_data.get();
  m_capacity = capacity;
  return true;
}

}  // namespace nelo
