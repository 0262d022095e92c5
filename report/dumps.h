// The dump step of a kept packet: its header bytes, its ICMP payload or both, written to the
// report stream as a hex view, ASCII text, raw bytes or the strings found in them, as the output
// settings ask. Reads the packet's bytes in place; keeps nothing between messages.
#ifndef NELO_REPORT_DUMPS_H_
#define NELO_REPORT_DUMPS_H_

#include <cstddef>
#include <ostream>

#include "packet/decoded_packet.h"
#include "report/line_buffer.h"
#include "report/message_sink.h"
#include "report/output_settings.h"

namespace nelo {

// Writes the dumps selected by settings.dump_hdr and settings.dump_payload in settings.format
// to `out`. The header region is packet.headers, the payload packet.payload.
//  - hex: "packet hdr\n", the header's hex view from offset 0 and "\n"; then "payload\n", the
//    payload's hex view with offsets continuing from the header's size, and "\n".
//  - ascii: the payload if asked for, else the header; printable bytes as themselves, others
//    as "."; "\n\n" after a non-empty region.
//  - binary: the header bytes then the payload bytes, unchanged.
//  - strings: the region chosen as for ascii; its ASCII strings, then its UTF-16LE strings,
//    one a line, then an empty line; nothing for an empty region.
void dump_packet(const decoded_packet& packet, const output_settings& settings, text_target& out);
// The same to a stream; does not flush.
void dump_packet(const decoded_packet& packet, const output_settings& settings, std::ostream& out);
// The most bytes dump_packet writes for `packet`.
size_t dump_bound(const decoded_packet& packet, const output_settings& settings);

// The run shows dumps with dump_hdr or dump_payload, and not with JSON; after a message's report
// line when there is one.
class dump_sink final : public text_sink {
 public:
  // `settings` and `out` must outlive the sink.
  dump_sink(const output_settings& settings, std::ostream& out)
      : text_sink(out, false), m_settings(settings) {}

  digest_need need() const override { return digest_need::none; }
  size_t text_bound(const decoded_packet& packet) const override {
    return dump_bound(packet, m_settings);
  }
  void format_text(const decoded_packet& packet, const payload_digest& digest,
                   const message_note& note, text_target& out) const override;
  // The raw bytes are the bytes themselves, and the ASCII form a table lookup a byte: on the
  // flood, two threads spend twice the processor time of one on it and end no sooner.
  bool text_is_cheap() const override {
    return m_settings.format == output_format::binary || m_settings.format == output_format::ascii;
  }

 private:
  const output_settings& m_settings;
};

}  // namespace nelo

#endif  // NELO_REPORT_DUMPS_H_
