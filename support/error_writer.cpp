#include "support/error_writer.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <iostream>

namespace nelo {

void write_error(const char* format, ...) {
  if (isatty(STDERR_FILENO) != 0) {
    std::cerr << LINE_CLEAR_SEQUENCE;
    std::cerr.flush();
  }

  char text[ERROR_MESSAGE_LIMIT + 1];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (n < 0) return;
  // vsnprintf has already cut an over-long message to the limit; write what it kept.
  const size_t len =
      static_cast<size_t>(n) < ERROR_MESSAGE_LIMIT ? static_cast<size_t>(n) : ERROR_MESSAGE_LIMIT;
  std::cerr.write(text, static_cast<std::streamsize>(len));
  std::cerr.flush();
}

}  // namespace nelo
