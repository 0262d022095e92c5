// The JSON Lines form of the report: one object per kept message, on one line, with the fields
// of the report line as numbers and strings a script can load without parsing columns, plus
// what the padded report has no room for (the echo sequence number, the entropy value, VLAN
// ids, the link type and the datagram an error message quotes). Built in a stack buffer that is
// written out as it fills, so a packet costs no allocation, whatever the size of its dumps.
#ifndef NELO_REPORT_JSON_REPORT_H_
#define NELO_REPORT_JSON_REPORT_H_

#include <cstddef>
#include <ostream>
#include <string_view>

#include "packet/decoded_packet.h"
#include "report/output_settings.h"
#include "report/payload_digest.h"

namespace nelo {

// Writes `text` as a JSON string body (without the quotes): '"', '\' and control characters
// escaped, and every byte that is not part of well-formed UTF-8 replaced by U+FFFD.
void write_json_escaped(std::ostream& out, std::string_view text);

// Sets the capture name the records name, as it stands and escaped once for JSON.
void set_capture_name(report_walk& report, const std::string& name);

// Writes the object of `packet` and a newline to `report.out`. Keys, in order: file, frame,
// time (RFC 3339 UTC with nine fraction digits, or null), proto, src, dst, ttl,
// wire_len, payload_len, payload_md5, type, code, id and seq (for the messages whose report line
// shows an identifier), message, entropy, entropy_high, vlan (only for tagged frames),
// link_type, quoted (for error messages whose quoted IP header was captured), header_hex and
// payload_hex (with dump_hdr and dump_payload), strings (with the strings form). Returns false
// and writes nothing when the stream is null.
bool write_json_record(const decoded_packet& packet, const payload_digest& digest,
                       const output_settings& settings, const report_walk& report);

}  // namespace nelo

#endif  // NELO_REPORT_JSON_REPORT_H_
