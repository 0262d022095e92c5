// What the report of a run looks like, fixed for the whole run, and what the report of one walk
// writes into and remembers while the walk runs. The settings are built once from the command
// line and read by const reference; each walk (and each worker) has a `report_walk` of its own.
#ifndef NELO_REPORT_OUTPUT_SETTINGS_H_
#define NELO_REPORT_OUTPUT_SETTINGS_H_

#include <cstdint>
#include <ostream>
#include <string>

namespace nelo {

enum class output_format : uint32_t { hex = 1, ascii = 2, binary = 3, strings = 4 };

struct output_settings {
  output_format format = output_format::hex;
  bool dump_meta = false;
  bool dump_hdr = false;
  bool dump_payload = false;
  // JSON Lines instead of the padded report and dumps; each object names its capture file.
  bool json = false;
};

// The report of one walk: its stream, the column header still to come and the capture's name.
struct report_walk {
  std::ostream* out = nullptr;
  // Flush the report after every line. Cleared when nobody can be reading the lines as they
  // come (a regular file, /dev/null); the stream is then flushed per input file.
  bool flush_each_line = true;
  bool header_pending = true;
  std::string capture_name;
  std::string capture_name_json;  // the name escaped for a JSON string, made once per capture
};

}  // namespace nelo

#endif  // NELO_REPORT_OUTPUT_SETTINGS_H_
