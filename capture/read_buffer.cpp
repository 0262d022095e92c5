#include "capture/read_buffer.h"

#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <new>

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

bool read_buffer::allocate(size_t capacity) {
  m_data.reset(new (std::nothrow) uint8_t[capacity]);
  m_capacity = m_data ? capacity : 0;
  return m_data != nullptr;
}

bool read_buffer::refill(size_t want) {
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
  m_capacity = capacity;
  return true;
}

}  // namespace nelo
