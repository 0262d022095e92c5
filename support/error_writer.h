// The standard-error message writer. Every message meant for a person goes through one: it
// writes the whole message at once to the stream it was given (the process's standard error,
// or a test's string) and, when that stream is a terminal, first clears whatever status line
// the terminal may show.
#ifndef NELO_SUPPORT_ERROR_WRITER_H_
#define NELO_SUPPORT_ERROR_WRITER_H_

#include <cstddef>
#include <ostream>

namespace nelo {

// The longest message written; a longer one is cut to this many characters, never dropped.
inline constexpr size_t ERROR_MESSAGE_LIMIT = 4096;

// Escape, "[2K", a carriage return, 27 blanks and a carriage return: clears a terminal line.
inline constexpr char LINE_CLEAR_SEQUENCE[] = "\x1b[2K\r                           \r";

class message_writer {
 public:
  // `terminal`: the stream shows on a terminal, where a progress line may need clearing.
  message_writer(std::ostream& stream, bool terminal) : m_stream(&stream), m_terminal(terminal) {}

  // Writes the printf-style message, after the line-clearing sequence on a terminal, and
  // flushes. A message that cannot be formatted writes nothing but that sequence.
  void write(const char* format, ...) const __attribute__((format(printf, 2, 3)));

 private:
  std::ostream* m_stream;
  bool m_terminal;
};

}  // namespace nelo

#endif  // NELO_SUPPORT_ERROR_WRITER_H_
