// The program's own options: the `nelo_options` record, and `parse_options` that fills it from
// the command line after the shared parser has taken its options. The settings of the packet
// stages (what selects a packet, what the report looks like) are filled in place, so the run
// hands them on by const reference as they are. A value that cannot be read whole, or that lies
// outside what the option can mean, refuses the command line before anything is read or written,
// as an unknown option does: a filter read as something else gives a wrong answer with status 0.
#ifndef NELO_APP_OPTIONS_H_
#define NELO_APP_OPTIONS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "app/arg_list.h"
#include "app/cmd_params.h"
#include "capture/filters.h"
#include "report/output_settings.h"
#include "support/error_writer.h"

namespace nelo {

class nelo_options : public cmd_params {
 public:
  ~nelo_options() override = default;

  std::string input_file;
  std::string output_file;
  std::string capture_file;  // -write_capture: the kept messages' frames as pcapng
  std::string save_summary;  // -save_summary: the -summary run's table, saved for -merge
  std::string merge_from;    // -merge: a saved table, or - for their names on standard input
  filter_settings selection;
  // With json, the report stream carries JSON Lines alone and everything else goes to standard
  // error.
  output_settings output;
  bool binary_or_ascii_given = false;  // the forms JSON and CSV cannot carry
  bool dumps_given = false;            // a -dump_* flag, which the summary has no room for
};

// Runs the shared parser, then looks the program's options up in a fixed order, consuming them.
// A value option given again is named ("%s given more than once, using the first value"). False
// when the line is refused, with the line that says why in `refusal` ("Error: -srcip: cannot
// read "10.99.0.256" (an IPv4 or IPv6 address, a prefix, or a list of them)", "Error: -frame: no
// value (...)" for one given last, "Error: unknown option -icmptype" for a word no lookup took),
// for the caller to write; and false with `refusal` empty after the shared parser's own message,
// or when no input source (`-ifile`, `-pipe`, `-enumdir`) was given. A window that starts after
// it stops is said once ("-start_time is after -stop_time: no message can match") and kept.
bool parse_options(nelo_options& options, arg_list& args, const message_writer& messages,
                   std::string& refusal);

// Options read one by one that cannot go together: the line that says why, and whether the usage
// follows it (a form the report cannot take is said alone).
struct option_conflict {
  std::string reason;
  bool with_usage = true;
};

// The first pair of parsed options that cannot go together, into `conflict`; false then. -merge
// reads saved tables, so it takes no input, capture or filter and shows the summary, which has no
// room for dumps; -save_summary needs a summary; JSON and CSV exclude each other and the binary
// and ASCII forms. When true, a -merge run has its summary set.
bool check_option_combinations(nelo_options& options, option_conflict& conflict);

}  // namespace nelo

#endif  // NELO_APP_OPTIONS_H_
