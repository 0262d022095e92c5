// The JSON Lines form of the report: one object per kept message, on one line, with the fields
// of the report line as numbers and strings a script can load without parsing columns, plus
// what the padded report has no room for (the echo sequence number, the entropy value, VLAN
// ids, the link type and the datagram an error message quotes). Built in a stack buffer that is
// handed on as it fills, so a packet costs no allocation, whatever the size of its dumps.
#ifndef NELO_REPORT_JSON_REPORT_H_
#define NELO_REPORT_JSON_REPORT_H_

#include <cstddef>
#include <ostream>
#include <string>
#include <string_view>

#include "packet/decoded_packet.h"
#include "report/message_sink.h"
#include "report/output_settings.h"
#include "report/reply_pairing.h"

namespace nelo {

// Writes `text` as a JSON string body (without the quotes): '"', '\' and control characters
// escaped, and every byte that is not part of well-formed UTF-8 replaced by U+FFFD.
void write_json_escaped(std::ostream& out, std::string_view text);

// The run shows JSON with -json, and nothing else.
class json_sink final : public text_sink {
 public:
  // `settings` and `out` must outlive the sink.
  json_sink(const output_settings& settings, std::ostream& out)
      : text_sink(out, false), m_settings(settings) {}

  digest_need need() const override { return digest_need::entropy; }
  // The capture's records name it; the name is escaped for JSON here, once.
  void begin_capture(const std::string& name) override;
  // Pairs a reply with its request.
  void note_message(const decoded_packet& packet, message_note& note) override;
  size_t text_bound(const decoded_packet& packet) const override;
  // Writes the object of `packet` and a newline. Keys, in order: file, frame, time (RFC 3339
  // UTC with nine fraction digits, or null), proto, src, dst, ttl, wire_len, payload_len,
  // payload_md5, type, code, id and seq (for the messages whose report line shows an
  // identifier), request_frame and rtt (for a reply that answers a request), message, entropy,
  // entropy_high, vlan (only for tagged frames), link_type, quoted (for error messages whose quoted
  // IP header was captured), header_hex and payload_hex (with dump_hdr and dump_payload), strings
  // (with the strings form); request_frame and rtt come from `note`.
  void format_text(const decoded_packet& packet, const payload_digest& digest,
                   const message_note& note, text_target& out) const override;
  void end_capture() override;
  uint64_t unpaired() const override { return m_pairing.untracked(); }

 private:
  const output_settings& m_settings;
  std::string m_capture_name;  // escaped for a JSON string
  reply_pairing m_pairing;
};

}  // namespace nelo

#endif  // NELO_REPORT_JSON_REPORT_H_
