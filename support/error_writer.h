// The standard-error message writer. Every message that stops a run goes through it: it first
// clears whatever status line a terminal may show, then writes the whole message at once.
#ifndef NELO_SUPPORT_ERROR_WRITER_H_
#define NELO_SUPPORT_ERROR_WRITER_H_

#include <cstddef>

namespace nelo {

// The longest message written; a longer one is cut to this many characters, never dropped.
inline constexpr size_t ERROR_MESSAGE_LIMIT = 4096;

// Escape, "[2K", a carriage return, 27 blanks and a carriage return: clears a terminal line.
inline constexpr char LINE_CLEAR_SEQUENCE[] = "\x1b[2K\r                           \r";

// Writes the line-clearing sequence, then the printf-style message, to standard error, and
// flushes it. A message that cannot be formatted writes only the clearing sequence.
void write_error(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace nelo

#endif  // NELO_SUPPORT_ERROR_WRITER_H_
