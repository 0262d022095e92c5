#include "report/message_sink.h"

namespace nelo {

void text_sink::write_message(const decoded_packet& packet, const payload_digest& digest) {
  message_note note;
  note_message(packet, note);
  before_text(m_out);
  format_text(packet, digest, note, m_direct);
  if (m_flush_each_line) m_out.flush();
}

}  // namespace nelo
