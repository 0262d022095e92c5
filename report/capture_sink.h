// The -write_capture sink: the frames of each kept message, whole as captured, as pcapng blocks.
// A message in one frame gives that frame; a message made of fragments gives each fragment's
// frame in the order they arrived. Each capture's frames are one block stream of its own
// (report/pcapng_output.h), which the run's joiner makes one file of.
#ifndef NELO_REPORT_CAPTURE_SINK_H_
#define NELO_REPORT_CAPTURE_SINK_H_

#include <cstdint>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "packet/decoded_packet.h"
#include "report/message_sink.h"
#include "support/error_writer.h"

namespace nelo {

class capture_sink final : public message_sink {
 public:
  // Writes to `out`, and says through `notes` (or nowhere, when null) what it could not write;
  // both must outlive the sink.
  capture_sink(std::ostream& out, const message_writer* notes) : m_out(out), m_notes(notes) {}

  digest_need need() const override { return digest_need::none; }
  void begin_capture(const std::string& name) override;
  // Writes the message's frames, each with the comment "<capture> frame <n>": the capture's
  // name as the run gives it, and the frame's number in it. A frame with no time a packet block
  // can hold (none, or one before 1970) is written at 0.
  void write_message(const decoded_packet& packet, const payload_digest& digest) override;
  // Says, when some frame of the capture was written at 0:
  //  "<capture>: <n> frames have no time the capture file can hold (none, or before 1970);
  //   written at 1970-01-01 00:00:00".
  void end_capture() override;

 private:
  void write_frame(const capture_record& record);

  std::ostream& m_out;
  const message_writer* m_notes;
  std::string m_name;
  bool m_section_written = false;
  std::vector<std::pair<uint32_t, uint8_t>> m_interfaces;  // of the capture, by local id
  uint64_t m_untimed = 0;
  // Reused message after message.
  std::vector<uint8_t> m_block;
  std::string m_comment;
};

}  // namespace nelo

#endif  // NELO_REPORT_CAPTURE_SINK_H_
