// Helpers shared by the fuzz targets: a reader that takes typed values from the front of the
// fuzzer's input (zeros once it runs dry, so every input is usable), a check that aborts with
// the failed condition so that libFuzzer and the replay runner both see a crash, and sinks for
// the report stream.
#ifndef NELO_FUZZ_FUZZ_INPUT_H_
#define NELO_FUZZ_FUZZ_INPUT_H_

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <streambuf>
#include <string>
#include <string_view>

namespace nelo::fuzz {

// A property the target checks on the code under test; a failure is a finding.
#define NELO_FUZZ_CHECK(condition)                                                       \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (0)

class byte_source {
 public:
  byte_source(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}

  size_t remaining() const { return m_size - m_pos; }

  uint8_t u8() { return m_pos < m_size ? m_data[m_pos++] : 0; }
  uint16_t u16() { return static_cast<uint16_t>(u8() | (u8() << 8)); }
  uint32_t u32() { return static_cast<uint32_t>(u16()) | (static_cast<uint32_t>(u16()) << 16); }
  uint64_t u64() { return static_cast<uint64_t>(u32()) | (static_cast<uint64_t>(u32()) << 32); }
  bool flag() { return (u8() & 1) != 0; }

  // Up to `n` bytes (fewer when the input runs out).
  std::string_view bytes(size_t n) {
    const size_t take = n < remaining() ? n : remaining();
    std::string_view out(reinterpret_cast<const char*>(m_data + m_pos), take);
    m_pos += take;
    return out;
  }
  // The bytes up to the next `separator` (consumed, not returned) or to the end.
  std::string_view until(char separator) {
    const std::string_view rest(reinterpret_cast<const char*>(m_data + m_pos), remaining());
    const size_t cut = rest.find(separator);
    if (cut == std::string_view::npos) {
      m_pos = m_size;
      return rest;
    }
    m_pos += cut + 1;
    return rest.substr(0, cut);
  }
  std::string_view rest() { return bytes(remaining()); }

 private:
  const uint8_t* m_data;
  size_t m_size;
  size_t m_pos = 0;
};

// Accepts and drops everything: the report is formatted in full but costs no I/O.
class discard_buf : public std::streambuf {
 protected:
  int_type overflow(int_type c) override { return traits_type::not_eof(c); }
  std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

// Accepts `budget` bytes, then fails every write, as a full disk or a closed pipe would.
class failing_buf : public std::streambuf {
 public:
  explicit failing_buf(size_t budget) : m_budget(budget) {}

 protected:
  int_type overflow(int_type c) override {
    if (m_budget == 0) return traits_type::eof();
    --m_budget;
    return traits_type::not_eof(c);
  }
  std::streamsize xsputn(const char*, std::streamsize n) override {
    const size_t take = static_cast<size_t>(n) < m_budget ? static_cast<size_t>(n) : m_budget;
    m_budget -= take;
    return static_cast<std::streamsize>(take);
  }

 private:
  size_t m_budget;
};

inline void silence_stdout_once() {
  static const bool done = [] {
    // The reader announces every file on standard output; fuzzing runs millions of them.
    const int null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null_fd >= 0) {
      ::dup2(null_fd, STDOUT_FILENO);
      ::close(null_fd);
    }
    return true;
  }();
  (void)done;
}

// Bytes handed to the reader as a file, so that its own open, stat and read paths run.
class memory_file {
 public:
  memory_file(const uint8_t* data, size_t size)
      : m_fd(static_cast<int>(::memfd_create("capture", MFD_CLOEXEC))) {
    size_t done = 0;
    while (m_fd >= 0 && done < size) {
      const ssize_t n = ::write(m_fd, data + done, size - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
  }
  memory_file(const memory_file&) = delete;
  memory_file& operator=(const memory_file&) = delete;
  ~memory_file() {
    if (m_fd >= 0) ::close(m_fd);
  }
  bool ok() const { return m_fd >= 0; }
  std::string path() const { return "/proc/self/fd/" + std::to_string(m_fd); }

 private:
  int m_fd;
};

}  // namespace nelo::fuzz

#endif  // NELO_FUZZ_FUZZ_INPUT_H_
