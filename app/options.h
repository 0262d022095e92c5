// The program's own options: the `nelo_options` record, `parse_options` that fills it from the
// command line after the shared parser has taken its options, and the `packet_ctx` the driver
// builds from it for the packet stages. A value that cannot be read whole, or that lies outside
// what the option can mean, is read as far as it goes or left out, or switches its feature off,
// and says so on standard error; only an unknown option, an invalid `-start_time` or
// `-stop_time`, or a missing input source refuses the command line.
#ifndef NELO_APP_OPTIONS_H_
#define NELO_APP_OPTIONS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "app/arg_list.h"
#include "app/cmd_params.h"
#include "report/packet.h"
#include "support/error_writer.h"

namespace nelo {

class nelo_options : public cmd_params {
 public:
  ~nelo_options() override = default;

  std::string input_file;
  std::string output_file;
  std::vector<uint64_t> icmp_ids;
  std::vector<uint64_t> icmp_types;
  std::vector<uint64_t> icmp_codes;
  std::vector<uint64_t> frames;
  byte_pattern pattern;
  bool dump_meta = false;
  bool dump_hdr = false;
  bool dump_payload = false;
  output_format format = output_format::hex;
  bool track_replies = false;
  uint32_t min_size = 0;
  uint32_t dst_ip = 0;
  uint32_t src_ip = 0;
  std::vector<uint8_t> dst_ipv6;  // empty (off) or 16 bytes
  std::vector<uint8_t> src_ipv6;
  uint64_t start_time = 0;  // ticks; 0 is off
  uint64_t stop_time = 0;
  bool json = false;  // JSON Lines on the report stream, everything else on standard error
  bool binary_or_ascii_given = false;  // the forms JSON cannot carry
};

// Runs the shared parser, then looks the program's options up in a fixed order, consuming them.
// An option that takes a value given as the last word counts as absent and says so ("%s: no
// value, filter off" and the like). A value option given again is named ("%s given more than
// once, using the first value"). False when the shared parser refuses the line, when a word no
// lookup took is not an option of nelo ("Error: unknown option %s"), when `-start_time` or
// `-stop_time` is given but unreadable (after writing "Error: invalid filter start time" or "...
// stop time" to standard error), or when no input source (`-ifile`, `-pipe`, `-enumdir`) was given.
bool parse_options(nelo_options& options, arg_list& args, const message_writer& messages);

// Reads a "date[ time]" option value into a tick count: month first ("12/06/2026 20:57:03") or
// day first with the month's name, or the report's own ISO form ("2026-12-06T20:57:03.494Z"),
// whose date alone is the day's first second, or its last with `end_of_day`. False when the
// value cannot be read.
bool parse_filter_time(const std::string& value, bool end_of_day, uint64_t& ticks);

// The settings of the packet stages; `out` is left for the driver to set.
packet_ctx make_packet_ctx(const nelo_options& options);

}  // namespace nelo

#endif  // NELO_APP_OPTIONS_H_
