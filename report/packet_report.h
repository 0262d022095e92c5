// The report line: one comma-separated, blank-padded line of metadata per kept packet, preceded
// once per capture by the column header. The line is built in place from the decoded packet;
// nothing is kept between messages except whether the header is still to come.
#ifndef NELO_REPORT_PACKET_REPORT_H_
#define NELO_REPORT_PACKET_REPORT_H_

#include <string>
#include <string_view>

#include "packet/decoded_packet.h"
#include "report/address_text.h"
#include "report/message_sink.h"
#include "report/output_settings.h"
#include "report/tunnel_path.h"

namespace nelo {

// The column header, written before the first line of each capture, followed by an empty line. Its
// blank padding matches the data widths of the line.
inline constexpr std::string_view REPORT_HEADER =
    "  frame , date [utc] ,   time [utc] , proto  ,         source ip         ,      "
    "destination ip      , ttl , Tsize , Psize ,          payload md5 hash        ,         "
    "comments";

// The run shows report lines with dump_meta in a form other than binary, and not with JSON.
class report_line_sink final : public text_sink {
 public:
  // `target.out` must be set and outlive the sink. Flushes each line when the target asks for it.
  explicit report_line_sink(const report_target& target)
      : text_sink(*target.out, target.flush_each_line) {}

  digest_need need() const override { return digest_need::md5; }
  // The capture's first line gets the column header again.
  void begin_capture(const std::string& name) override;
  // The longest line of a message with as many tunnels as `packet`.
  size_t text_bound(const decoded_packet& packet) const override;
  // Writes the report line of `packet`: frame, UTC date and time of capture, protocol, source
  // and destination address, hop limit, wire size, payload size, payload MD5 (empty for an empty
  // payload) and the comment naming the ICMP message, ending either in "payload has entropy
  // high" or in one blank; the MD5 and the note come from `digest`. The packet's captured bytes
  // must reach through the ICMP identifier (the decoder guarantees it).
  void format_text(const decoded_packet& packet, const payload_digest& digest,
                   const message_note& note, text_target& out) const override;
  // The column header and an empty line, before the capture's first line.
  void before_text(std::ostream& out) override;

 private:
  bool m_header_pending = true;
};

}  // namespace nelo

#endif  // NELO_REPORT_PACKET_REPORT_H_
