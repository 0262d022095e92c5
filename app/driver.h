// The program driver: help and usage, the run header, option parsing, the report stream, and
// the walk over one capture file or a list of them. `main` only hands it the argument vector,
// so a whole run can be driven from a test without a process.
#ifndef NELO_APP_DRIVER_H_
#define NELO_APP_DRIVER_H_

#include <string>

#include "app/arg_list.h"

namespace nelo {

inline constexpr char PROGRAM_BANNER[] = "nelo 0.40 - ICMP and ICMPv6 messages from pcap files";

// Runs the program; returns the exit status (0, or -1 for a refused command line, an output or
// input that cannot be opened, or a report that could not be written).
int run_nelo(int argc, const char* const* argv);

// The last component of the program path, or the whole path when it has no '/'.
std::string program_name(const std::string& program_path);

// Writes the usage text to standard error.
void print_usage(const std::string& program_path);

// The command-line line of the run header: every word joined by blanks, words holding a blank
// in single quotes, with "<filelist> ... | " in front for a -pipe run.
std::string command_line_text(const arg_list& args);

}  // namespace nelo

#endif  // NELO_APP_DRIVER_H_
