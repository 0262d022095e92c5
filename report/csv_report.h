// The CSV form of the report (RFC 4180, quoted as support/csv_text.h says): one header row for
// the whole run, then a row per kept message holding what the run's JSON object of the message
// holds, key for key in the same order, each value flattened to one field. A row leaves empty
// what its message lacks; booleans are always true or false. Rows end in CRLF. Built in a stack
// buffer like the JSON line, so a message costs no allocation.
#ifndef NELO_REPORT_CSV_REPORT_H_
#define NELO_REPORT_CSV_REPORT_H_

#include <string>

#include "packet/decoded_packet.h"
#include "report/message_sink.h"
#include "report/output_settings.h"
#include "report/reply_pairing.h"

namespace nelo {

// The run shows CSV with -csv, and nothing else; -summary has rows of its own.
class csv_sink final : public text_sink {
 public:
  // `settings` and `target.out` must outlive the sink. Flushes each row when the target asks for
  // it.
  csv_sink(const output_settings& settings, const report_target& target)
      : text_sink(*target.out, target.flush_each_line), m_settings(settings), m_target(target) {}

  digest_need need() const override { return digest_need::entropy; }
  // Writes the header row: file, frame, time, proto, src, dst, ttl, wire_len, payload_len,
  // payload_md5, type, code, id, seq, request_frame, rtt, message, entropy, entropy_high, vlan,
  // tunnels, mpls, pppoe, fragments, fragment_overlap, oversized, incomplete, link_type, quoted,
  // then header_hex and payload_hex (with dump_hdr and dump_payload in the hex form) and strings
  // (in the strings form). Written once a run, so that a run that keeps no message is still a
  // CSV with its header.
  void begin_run() override;
  // The capture's name, quoted for its field here, once.
  void begin_capture(const std::string& name) override;
  // Pairs a reply with its request.
  void note_message(const decoded_packet& packet, message_note& note) override;
  size_t text_bound(const decoded_packet& packet) const override;
  // Writes the row of `packet`. The values are JSON's, as text: the time in RFC 3339 (empty where
  // JSON has null), rtt in seconds with nine decimals; the lists (vlan, mpls, fragments) with a
  // blank between items; tunnels as the report line's text after "via"; quoted as
  // "PROTO SRC>DST", the protocol named (icmp, icmpv6, tcp, udp) or else its number, an IPv6
  // address in brackets, and ":PORT" behind each address of TCP and UDP ("udp
  // 10.0.0.1:5353>10.0.0.2:53", "tcp [fd00::1]:80>[fd00::2]:443"); strings one a line (LF).
  // request_frame and rtt come from `note`.
  void format_text(const decoded_packet& packet, const payload_digest& digest,
                   const message_note& note, text_target& out) const override;
  void end_capture() override;
  uint64_t unpaired() const override { return m_pairing.untracked(); }

 private:
  const output_settings& m_settings;
  report_target m_target;
  std::string m_capture_field;  // the name as a CSV field, followed by the separator
  reply_pairing m_pairing;
};

}  // namespace nelo

#endif  // NELO_REPORT_CSV_REPORT_H_
