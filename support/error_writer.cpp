#include "support/error_writer.h"

#include <cstdarg>
#include <cstdio>

namespace nelo {

void message_writer::write(const char* format, ...) const {
  if (m_terminal) *m_stream << LINE_CLEAR_SEQUENCE;

  char text[ERROR_MESSAGE_LIMIT + 1];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (n >= 0) {
    // vsnprintf has already cut an over-long message to the limit; write what it kept.
    const size_t len =
        static_cast<size_t>(n) < ERROR_MESSAGE_LIMIT ? static_cast<size_t>(n) : ERROR_MESSAGE_LIMIT;
    m_stream->write(text, static_cast<std::streamsize>(len));
  }
  m_stream->flush();
}

}  // namespace nelo
