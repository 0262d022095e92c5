#include "report/capture_sink.h"

#include <algorithm>
#include <charconv>

#include "report/pcapng_output.h"

namespace nelo {

void capture_sink::begin_capture(const std::string& name) {
  m_name = name;
  m_section_written = false;
  m_interfaces.clear();
  m_untimed = 0;
}

void capture_sink::write_message(const decoded_packet& packet, const payload_digest& /*digest*/) {
  m_block.clear();
  // A reassembled message's record is the datagram nelo built, not a frame of the capture.
  if (packet.fragments.frames.empty()) {
    write_frame(*packet.record);
  } else {
    for (const capture_record& frame : packet.fragments.frame_records) write_frame(frame);
  }
  m_out.write(reinterpret_cast<const char*>(m_block.data()),
              static_cast<std::streamsize>(m_block.size()));
}

void capture_sink::end_capture() {
  if (m_untimed == 0 || m_notes == nullptr) return;
  m_notes->write(
      "%s: %llu frames have no time the capture file can hold (none, or before 1970); written at "
      "1970-01-01 00:00:00\n",
      m_name.c_str(), static_cast<unsigned long long>(m_untimed));
}

void capture_sink::write_frame(const capture_record& record) {
  if (!m_section_written) {
    append_section_header(m_block);
    m_section_written = true;
  }
  const std::pair<uint32_t, uint8_t> key{record.link_type, record.time_digits};
  auto found = std::find(m_interfaces.begin(), m_interfaces.end(), key);
  if (found == m_interfaces.end()) {
    append_interface(m_block, record.link_type, record.time_digits);
    m_interfaces.push_back(key);
    found = m_interfaces.end() - 1;
  }
  uint64_t stamp = 0;
  if (!pcapng_stamp(record, stamp)) ++m_untimed;
  char number[24];
  const auto end = std::to_chars(number, number + sizeof number, record.frame_number).ptr;
  m_comment.assign(m_name).append(" frame ").append(number, end);
  append_enhanced_packet(m_block, static_cast<uint32_t>(found - m_interfaces.begin()), stamp,
                         record, m_comment);
}

}  // namespace nelo
