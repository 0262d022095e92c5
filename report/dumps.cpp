// The dump step. The ASCII form goes through a small stack buffer and the hex form through one
// string per region, so no form writes to the stream byte by byte.
#include "report/dumps.h"

#include <ostream>
#include <string>
#include <vector>

#include "report/ko_hex_view.h"
#include "report/string_extract.h"
#include "support/byte_text.h"

namespace nelo {
namespace {

constexpr size_t ASCII_CHUNK = 4096;

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

void write_bytes(std::ostream& out, const region& r) {
  if (!r.empty()) out.write(reinterpret_cast<const char*>(r.data), r.len);
}

void dump_hex(std::ostream& out, const region& header, const region& payload,
              const output_settings& settings) {
  if (settings.dump_hdr) {
    out.write("packet hdr\n", 11);
    hex_dump(header.data, header.len, out, 0);
    out.put('\n');
  }
  if (settings.dump_payload) {
    out.write("payload\n", 8);
    hex_dump(payload.data, payload.len, out, header.len);
    out.put('\n');
  }
}

void dump_ascii(std::ostream& out, const region& r) {
  if (r.empty()) return;
  char buf[ASCII_CHUNK];
  uint32_t pos = 0;
  while (pos < r.len) {
    size_t n = 0;
    for (; n < ASCII_CHUNK && pos < r.len; ++n, ++pos) {
      const uint8_t b = r.data[pos];
      buf[n] = is_printable_byte(b) ? static_cast<char>(b) : '.';
    }
    out.write(buf, static_cast<std::streamsize>(n));
  }
  out.write("\n\n", 2);
}

void write_lines(std::ostream& out, const std::vector<std::string>& lines) {
  for (const std::string& s : lines) {
    out.write(s.data(), static_cast<std::streamsize>(s.size()));
    out.put('\n');
  }
}

void dump_strings(std::ostream& out, const region& r) {
  if (r.empty()) return;
  std::vector<std::string> found;
  extract_ascii_strings(r.data, static_cast<int32_t>(r.len), MIN_STRING_LENGTH, found);
  write_lines(out, found);
  extract_utf16_strings(r.data, r.len, MIN_STRING_LENGTH, found);
  write_lines(out, found);
  out.put('\n');
}

}  // namespace

void dump_packet(const decoded_packet& packet, const output_settings& settings, std::ostream& out) {
  const region header = make_region(packet.headers);
  const region payload = make_region(packet.payload);
  switch (settings.format) {
    case output_format::hex:
      dump_hex(out, header, payload, settings);
      break;
    case output_format::ascii:
      dump_ascii(out, text_region(header, payload, settings));
      break;
    case output_format::binary:
      if (settings.dump_hdr) write_bytes(out, header);
      if (settings.dump_payload) write_bytes(out, payload);
      break;
    case output_format::strings:
      dump_strings(out, text_region(header, payload, settings));
      break;
  }
}

void dump_sink::write_message(const decoded_packet& packet, const payload_digest& /*digest*/) {
  dump_packet(packet, m_settings, m_out);
}

}  // namespace nelo
