// nelo: reports the ICMP and ICMPv6 messages of packet captures.
#include <unistd.h>

#include <cstdio>
#include <iostream>

#include "app/driver.h"
#include "support/run_control.h"

namespace {

// Reports nobody reads line by line leave in blocks of this size: a few writes per megabyte.
constexpr size_t STDOUT_BUFFER_SIZE = 1u << 20;

}  // namespace

int main(int argc, char** argv) {
  const bool line_flush = nelo::output_wants_line_flush(STDOUT_FILENO);
  if (!line_flush) {
    // glibc ignores the size unless it is given the buffer; stdio keeps using it until exit.
    static char stdout_buffer[STDOUT_BUFFER_SIZE];
    std::setvbuf(stdout, stdout_buffer, _IOFBF, sizeof stdout_buffer);
  }
  nelo::install_stop_signals();
  const nelo::run_io io{std::cout,
                        std::cerr,
                        line_flush,
                        isatty(STDERR_FILENO) != 0,
                        stdin,
                        STDIN_FILENO,
                        isatty(STDIN_FILENO) != 0};
  const int status = nelo::run_nelo(nelo::make_arg_list(argc, argv), io);
  nelo::reraise_stop_signal();
  return status;
}
