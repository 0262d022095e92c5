// The standard-error message writer. Every message that stops a run, and every warning about the
// command line, goes through it: on a terminal it first clears whatever status line is shown,
// then it writes the whole message at once.
#ifndef NELO_SUPPORT_ERROR_WRITER_H_
#define NELO_SUPPORT_ERROR_WRITER_H_

#include <cstddef>

namespace nelo {

// The longest message written; a longer one is cut to this many characters, never dropped.
inline constexpr size_t ERROR_MESSAGE_LIMIT = 4096;

// Escape, "[2K", a carriage return, 27 blanks and a carriage return: clears a terminal line.
inline constexpr char LINE_CLEAR_SEQUENCE[] = "\x1b[2K\r                           \r";

// Writes the printf-style message to standard error and flushes it. When standard error is a
// terminal, the line-clearing sequence goes first; in a file or pipe it would only be noise
// around the text. A message that cannot be formatted writes nothing after the sequence.
void write_error(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace nelo

#endif  // NELO_SUPPORT_ERROR_WRITER_H_
