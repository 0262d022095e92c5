// The pieces every text form (the report line, the dumps, JSON Lines, CSV) builds a message's text
// from: where the text goes (a stream, or memory of a batch of the payload pipeline), a stack
// buffer that is handed to it whenever it fills, so a message of any length costs no allocation,
// and the unchecked writers of the fields of known size. The writers put their text at `p`,
// which the caller has made room for, and return where it ends.
#ifndef NELO_REPORT_LINE_BUFFER_H_
#define NELO_REPORT_LINE_BUFFER_H_

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <string_view>

#include "packet/capture_record.h"
#include "report/tunnel_path.h"
#include "support/byte_text.h"

namespace nelo {

// The UTC date ("yyyy-mm-dd") and clock to the second ("hh:mm:ss") of the last second asked for,
// kept by whoever makes the texts of messages one after another: messages in a row mostly fall in
// the same second, and working a date out costs more than all the other fields of a report line.
class utc_second_memo {
 public:
  struct text {
    char date[10];
    char clock[8];
  };
  // The date and clock of the second `ticks` (a shown record time) fall in, as ko::time shows
  // it; null when that second names no valid time.
  const text* of(uint64_t ticks);

 private:
  uint64_t m_second = UINT64_MAX;  // none yet
  bool m_valid = false;
  text m_text = {};
};

// Where the text of messages goes: straight to a stream, or into memory the caller owns, filled
// from the front. Memory is never written past its end: a piece that does not fit is dropped, and
// so is everything after it, and overflowed() says so, so that the caller can write the message
// some other way. A target is used by one thread at a time.
class text_target {
 public:
  // Writes to `out`, which must outlive the target.
  explicit text_target(std::ostream& out) : m_out(&out) {}
  // Fills the `capacity` bytes at `begin`, which must outlive the target.
  text_target(char* begin, size_t capacity) : m_begin(begin), m_capacity(capacity) {}
  text_target(const text_target&) = delete;
  text_target& operator=(const text_target&) = delete;

  // What the texts written here remember from one message to the next.
  utc_second_memo& seconds() { return m_seconds; }
  tunnel_path_memo& tunnel_paths() { return m_tunnel_paths; }

  void write(const char* data, size_t n) {
    if (m_out != nullptr) {
      m_out->write(data, static_cast<std::streamsize>(n));
      return;
    }
    if (m_overflowed || m_capacity - m_used < n) {
      m_overflowed = true;
      return;
    }
    if (n > 0) std::memcpy(m_begin + m_used, data, n);
    m_used += n;
  }

  // Memory only: the bytes written so far, and whether a piece was dropped.
  size_t used() const { return m_used; }
  bool overflowed() const { return m_overflowed; }
  // Memory only: forgets what was written after the first `used` bytes, and any overflow.
  void rewind(size_t used) {
    m_used = used;
    m_overflowed = false;
  }

 private:
  friend class line_buffer;

  // Memory that has not overflowed: the rest of it may be written in place, and advance() then
  // counts what was.
  bool takes_in_place() const { return m_out == nullptr && !m_overflowed; }
  char* rest() const { return m_begin + m_used; }
  size_t rest_size() const { return m_capacity - m_used; }
  void advance(size_t n) { m_used += n; }

  std::ostream* m_out = nullptr;
  char* m_begin = nullptr;
  size_t m_capacity = 0;
  size_t m_used = 0;
  bool m_overflowed = false;
  utc_second_memo m_seconds;
  tunnel_path_memo m_tunnel_paths;
};

// One line, gathered in a stack buffer that is handed to a stream target whenever it fills, or
// written in place into a memory target. The fields of known size are written through
// room()/commit() with no check per piece; names, hex and strings of any length go through the
// checked calls. Nothing reaches the target before flush() or a full buffer. Only one line
// buffer at a time writes to a target, each flushed before the next is made.
class line_buffer {
 public:
  static constexpr size_t CAPACITY = 4096;

  explicit line_buffer(text_target& out) : m_out(out) {
    if (out.takes_in_place()) {
      m_buf = out.rest();
      m_capacity = out.rest_size();
      m_in_place = true;
    }
  }
  line_buffer(const line_buffer&) = delete;
  line_buffer& operator=(const line_buffer&) = delete;

  // Room for `n` (at most CAPACITY) bytes at the returned place; commit() says where they end.
  char* room(size_t n) {
    if (m_capacity - m_len < n) make_room();
    return m_buf + m_len;
  }
  void commit(const char* end) { m_len = static_cast<size_t>(end - m_buf); }

  void raw(std::string_view text) {
    while (!text.empty()) {
      if (m_len == m_capacity) make_room();
      const size_t n = std::min(text.size(), m_capacity - m_len);
      std::memcpy(m_buf + m_len, text.data(), n);
      m_len += n;
      text.remove_prefix(n);
    }
  }
  void put(char c) {
    if (m_len == m_capacity) make_room();
    m_buf[m_len++] = c;
  }

  // The `len` bytes at `data` as lower-case hex digits, two a byte.
  void hex(const uint8_t* data, size_t len) {
    while (len > 0) {
      const size_t n = std::min(len, CAPACITY / 2);
      char* p = room(2 * n);
      for (size_t i = 0; i < n; ++i) {
        *p++ = HEX_DIGITS_LOWER[data[i] >> 4];
        *p++ = HEX_DIGITS_LOWER[data[i] & 0xF];
      }
      commit(p);
      data += n;
      len -= n;
    }
  }

  void flush() {
    if (m_in_place) {
      m_out.advance(m_len);
      m_buf += m_len;
      m_capacity -= m_len;
    } else {
      m_out.write(m_buf, m_len);
    }
    m_len = 0;
  }

 private:
  // Makes room for CAPACITY bytes: hands the buffer on and, when the memory written in place has
  // less left, goes on in the stack buffer, which the target then takes as far as it has room.
  void make_room() {
    flush();
    if (m_in_place && m_capacity < CAPACITY) {
      m_in_place = false;
      m_buf = m_stack;
      m_capacity = CAPACITY;
    }
  }

  text_target& m_out;
  char m_stack[CAPACITY];
  char* m_buf = m_stack;
  size_t m_capacity = CAPACITY;
  size_t m_len = 0;
  bool m_in_place = false;
};

// The longest texts of the writers below.
inline constexpr size_t DECIMAL_TEXT_MAX = 20;   // the digits of the largest u64
inline constexpr size_t UTC_TIME_TEXT_MAX = 30;  // "yyyy-mm-ddThh:mm:ss.nnnnnnnnnZ"

template <size_t N>
char* put_text(char* p, const char (&text)[N]) {
  std::memcpy(p, text, N - 1);
  return p + N - 1;
}

// Short texts: a plain loop, where a call into the library's memcpy costs more than the copy.
inline char* put_text(char* p, std::string_view text) {
  for (char c : text) *p++ = c;
  return p;
}

inline char* put_number(char* p, uint64_t value) {
  int width = 1;
  for (uint64_t rest = value / 10; rest != 0; rest /= 10) ++width;
  char* end = p + width;
  do {
    *--end = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  return p + width;
}

// `value` with exactly `width` digits, zeros in front.
inline char* put_digits(char* p, uint64_t value, int width) {
  for (int i = width - 1; i >= 0; --i) {
    p[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  return p + width;
}

// Seconds with nine decimals, as a time difference is shown.
inline char* put_seconds(char* p, int64_t ns) {
  constexpr uint64_t NS_PER_SECOND = 1'000'000'000;
  if (ns < 0) *p++ = '-';
  const uint64_t magnitude = ns < 0 ? 0 - static_cast<uint64_t>(ns) : static_cast<uint64_t>(ns);
  p = put_number(p, magnitude / NS_PER_SECOND);
  *p++ = '.';
  return put_digits(p, magnitude % NS_PER_SECOND, 9);
}

// A value from 0 to 1 with four decimals.
inline char* put_fraction4(char* p, double value) {
  constexpr uint64_t SCALE = 10000;
  const auto scaled =
      static_cast<uint64_t>(std::llround(std::clamp(value, 0.0, 1.0) * static_cast<double>(SCALE)));
  p = put_number(p, scaled / SCALE);
  *p++ = '.';
  return put_digits(p, scaled % SCALE, 4);
}

// The record's time in RFC 3339, UTC, always with nine fraction digits
// ("2026-12-06T20:57:02.405123000Z"); nothing, returning `p`, when the record shows no time.
char* put_utc_time(char* p, const capture_record& record);
// The same, the date and clock taken from `seconds`.
char* put_utc_time(char* p, const capture_record& record, utc_second_memo& seconds);

}  // namespace nelo

#endif  // NELO_REPORT_LINE_BUFFER_H_
