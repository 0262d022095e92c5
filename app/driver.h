// The program driver: help and usage, the run header, option parsing, the report stream, and
// the walk over one capture file or a list of them. It writes only to the streams it is given
// and reads only the input it is given, so a whole run can be driven from a test without a
// process; `main` owns the process state (the standard-output buffer, the stop signals).
#ifndef NELO_APP_DRIVER_H_
#define NELO_APP_DRIVER_H_

#include <cstdio>
#include <ostream>
#include <string>

#include "app/arg_list.h"

namespace nelo {

inline constexpr char PROGRAM_BANNER[] = "nelo 0.40 - ICMP and ICMPv6 messages from pcap files";

// What a run talks to: the process's standard streams in `main`, strings and files in a test.
struct run_io {
  std::ostream& out;           // standard output: run header, file announcements, the report
  std::ostream& err;           // standard error: usage and messages
  bool out_line_flush = true;  // someone may read standard output line by line
  bool err_terminal = false;   // standard error is a terminal (progress line, line clearing)
  std::FILE* names = nullptr;  // the list of capture names for -pipe
  int in_fd = -1;              // the capture for -ifile -
  bool in_terminal = false;    // standard input is a terminal, not a capture
};

// Runs the program on `args` (program path first); returns the exit status (0, or -1 for a
// refused command line, an output or input that cannot be opened, or a report that could not be
// written). A stop request ends the walk early; the caller re-raises the signal.
int run_nelo(const arg_list& args, const run_io& io);

// Whether someone may be reading what goes to `fd` line by line: a terminal, a pipe or a
// socket. A regular file or a device other than a terminal (such as /dev/null) is only read once
// the run is over, so its lines may wait in a buffer. Standard output and the -ofile report both
// follow this rule.
bool output_wants_line_flush(int fd);

// The last component of the program path, or the whole path when it has no '/'.
std::string program_name(const std::string& program_path);

// Writes the usage text to `out`: standard error for -help, standard output for --help.
void print_usage(std::ostream& out, const std::string& program_path);

// The command-line line of the run header: every word joined by blanks, words holding a blank
// in single quotes, with "<filelist> ... | " in front for a -pipe run.
std::string command_line_text(const arg_list& args);

}  // namespace nelo

#endif  // NELO_APP_DRIVER_H_
