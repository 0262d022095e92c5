// The dump step. Every form goes through one stack buffer, so no form writes to its target byte
// by byte and none allocates but the strings form.
#include "report/dumps.h"

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "report/ko_hex_view.h"
#include "report/string_extract.h"
#include "support/byte_text.h"

namespace nelo {
namespace {

constexpr std::string_view HEADER_LABEL = "packet hdr\n";
constexpr std::string_view PAYLOAD_LABEL = "payload\n";

struct region {
  const uint8_t* data = nullptr;
  uint32_t len = 0;

  bool empty() const { return data == nullptr || len == 0; }
};

// Regions come from captured lengths, so the narrowing is exact.
region make_region(byte_span bytes) {
  if (bytes.empty()) return {};
  return {bytes.data(), static_cast<uint32_t>(bytes.size())};
}

// The ASCII and strings forms show one region only, the payload taking precedence.
region text_region(const region& header, const region& payload, const output_settings& settings) {
  if (settings.dump_payload) return payload;
  if (settings.dump_hdr) return header;
  return {};
}

void write_bytes(line_buffer& line, const region& r) {
  if (!r.empty()) line.raw({reinterpret_cast<const char*>(r.data), r.len});
}

void dump_hex(line_buffer& line, const region& header, const region& payload,
              const output_settings& settings) {
  if (settings.dump_hdr) {
    line.raw(HEADER_LABEL);
    hex_dump(header.data, header.len, line, 0);
    line.put('\n');
  }
  if (settings.dump_payload) {
    line.raw(PAYLOAD_LABEL);
    hex_dump(payload.data, payload.len, line, header.len);
    line.put('\n');
  }
}

void dump_ascii(line_buffer& line, const region& r) {
  if (r.empty()) return;
  uint32_t pos = 0;
  while (pos < r.len) {
    const uint32_t n = std::min<uint32_t>(r.len - pos, line_buffer::CAPACITY);
    char* p = line.room(n);
    for (uint32_t i = 0; i < n; ++i) p[i] = SHOWN_CHARS.of[r.data[pos + i]];
    line.commit(p + n);
    pos += n;
  }
  line.raw("\n\n");
}

void write_lines(line_buffer& line, const std::vector<std::string>& lines) {
  for (const std::string& s : lines) {
    line.raw(s);
    line.put('\n');
  }
}

void dump_strings(line_buffer& line, const region& r) {
  if (r.empty()) return;
  std::vector<std::string> found;
  extract_ascii_strings(r.data, static_cast<int32_t>(r.len), MIN_STRING_LENGTH, found);
  write_lines(line, found);
  extract_utf16_strings(r.data, r.len, MIN_STRING_LENGTH, found);
  write_lines(line, found);
  line.put('\n');
}

}  // namespace

void dump_packet(const decoded_packet& packet, const output_settings& settings, text_target& out) {
  const region header = make_region(packet.headers);
  const region payload = make_region(packet.payload);
  line_buffer line(out);
  switch (settings.format) {
    case output_format::hex:
      dump_hex(line, header, payload, settings);
      break;
    case output_format::ascii:
      dump_ascii(line, text_region(header, payload, settings));
      break;
    case output_format::binary:
      if (settings.dump_hdr) write_bytes(line, header);
      if (settings.dump_payload) write_bytes(line, payload);
      break;
    case output_format::strings:
      dump_strings(line, text_region(header, payload, settings));
      break;
  }
  line.flush();
}

void dump_packet(const decoded_packet& packet, const output_settings& settings, std::ostream& out) {
  text_target target(out);
  dump_packet(packet, settings, target);
}

size_t dump_bound(const decoded_packet& packet, const output_settings& settings) {
  const region header = make_region(packet.headers);
  const region payload = make_region(packet.payload);
  switch (settings.format) {
    case output_format::hex:
      return (settings.dump_hdr ? HEADER_LABEL.size() + hex_dump_bound(header.len) + 1 : 0) +
             (settings.dump_payload ? PAYLOAD_LABEL.size() + hex_dump_bound(payload.len) + 1 : 0);
    case output_format::ascii:
      return text_region(header, payload, settings).len + 2;
    case output_format::binary:
      return (settings.dump_hdr ? header.len : 0) + (settings.dump_payload ? payload.len : 0);
    case output_format::strings:
      // The strings are runs of the region, the UTF-16 ones two bytes a character: at most
      // one and a half times the region, with a line end behind each run of at least
      // MIN_STRING_LENGTH characters.
      return 2 * static_cast<size_t>(text_region(header, payload, settings).len) + 2;
  }
  return 0;
}

void dump_sink::format_text(const decoded_packet& packet, const payload_digest& /*digest*/,
                            const message_note& /*note*/, text_target& out) const {
  dump_packet(packet, m_settings, out);
}

}  // namespace nelo
