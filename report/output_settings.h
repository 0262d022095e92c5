// What the report of a run looks like, fixed for the whole run, and where it goes. The settings
// are built once from the command line and read by const reference; what a walk remembers while
// it runs belongs to its sinks (report/sink_set.h).
#ifndef NELO_REPORT_OUTPUT_SETTINGS_H_
#define NELO_REPORT_OUTPUT_SETTINGS_H_

#include <cstdint>
#include <ostream>

namespace nelo {

class message_writer;

enum class output_format : uint32_t { hex = 1, ascii = 2, binary = 3, strings = 4 };

struct output_settings {
  output_format format = output_format::hex;
  bool dump_meta = false;
  bool dump_hdr = false;
  bool dump_payload = false;
  // JSON Lines instead of the padded report and dumps; each object names its capture file.
  bool json = false;
  // RFC 4180 CSV instead of the padded report: one header row for the run, a row per message.
  bool csv = false;
  // One row per conversation, for the whole run, instead of a line per message; in the padded
  // form, or as JSON or CSV with those.
  bool summary = false;
};

// Where the report of a walker goes: standard output, the -ofile file, or a list worker's
// stream that keeps the captures in order.
struct report_target {
  std::ostream* out = nullptr;
  // Flush the report after every line. Cleared when nobody can be reading the lines as they
  // come (a regular file, /dev/null); the stream is then flushed per input file.
  bool flush_each_line = true;
  // The -write_capture block stream (report/pcapng_output.h), or null; and where its sink says
  // what it could not write, or null.
  std::ostream* capture = nullptr;
  const message_writer* notes = nullptr;
};

}  // namespace nelo

#endif  // NELO_REPORT_OUTPUT_SETTINGS_H_
