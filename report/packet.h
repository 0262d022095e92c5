// The settings every packet stage shares: the byte pattern, the address prefixes and
// `packet_ctx`, the settings the driver builds from the command line. They live here, at the
// lowest stage that reads them, so that the reader, decoder and filters (capture/) and the report
// and dumps (report/) see one definition. `packet_ctx` is owned by the driver; the stages only read
// it, except for `header_pending`.
#ifndef NELO_REPORT_PACKET_H_
#define NELO_REPORT_PACKET_H_

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "packet/capture_record.h"
#include "packet/decoded_packet.h"
#include "packet/protocol_fields.h"
#include "support/ko_time.h"

namespace nelo {

enum class output_format : uint32_t { hex = 1, ascii = 2, binary = 3, strings = 4 };

// One run of a byte pattern: literal bytes followed by `wildcards` bytes of any value. Only the
// first run may lack a literal (wildcards before the first literal byte). Counts are 32-bit so
// that long runs of wildcards are never wrapped.
struct pattern_run {
  std::string literal;
  uint32_t wildcards = 0;
};

struct byte_pattern {
  std::vector<pattern_run> runs;
  uint64_t total_len = 0;  // sum of literal lengths and wildcard counts; 0 means off

  bool on() const { return total_len > 0; }
  void reset() {
    runs.clear();
    total_len = 0;
  }
};

// One item of an address filter: an address passes when its bits under `mask` equal `address`,
// whose other bits are 0. IPv4 values are in the order the filters load packet addresses, the
// address's first byte lowest; IPv6 values are the address's two halves, read big-endian.
struct ipv4_prefix {
  uint32_t address = 0;
  uint32_t mask = 0;
};

struct ipv6_prefix {
  uint64_t high = 0;
  uint64_t low = 0;
  uint64_t mask_high = 0;
  uint64_t mask_low = 0;
};

class payload_pipeline;

struct packet_ctx {
  uint32_t min_size = 0;
  // Each address filter passes an address that any of its items holds; empty is off.
  std::vector<ipv4_prefix> src_ip;
  std::vector<ipv4_prefix> dst_ip;
  std::vector<ipv6_prefix> src_ipv6;
  std::vector<ipv6_prefix> dst_ipv6;
  bool track_replies = false;
  std::vector<uint64_t> icmp_types;
  std::vector<uint64_t> icmp_codes;
  std::set<uint64_t> icmp_ids;
  output_format format = output_format::hex;
  bool dump_meta = false;
  bool dump_hdr = false;
  bool dump_payload = false;
  bool header_pending = true;
  std::set<uint64_t> frames;
  byte_pattern pattern;
  ko::fine_time start_time;  // ticks 0 is off, for either bound
  ko::fine_time stop_time;
  std::ostream* out = nullptr;
  // JSON Lines instead of the padded report and dumps; each object names its capture file.
  bool json = false;
  std::string capture_name;
  std::string capture_name_json;  // the name escaped for a JSON string, made once per capture
  // Flush the report after every line. The driver clears it when nobody can be reading the
  // lines as they come (a regular file, /dev/null); the stream is then flushed per input file.
  bool flush_each_line = true;
  // Payload work on other threads for this walk, or null: the handler does it itself.
  payload_pipeline* pipeline = nullptr;
};

}  // namespace nelo

#endif  // NELO_REPORT_PACKET_H_
