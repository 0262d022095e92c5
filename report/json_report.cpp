#include "report/json_report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "report/address_text.h"
#include "report/icmp_names.h"
#include "report/icmp_types.h"
#include "report/md5.h"
#include "report/string_extract.h"
#include "support/byte_text.h"
#include "support/ko_time.h"
#include "support/wire.h"

namespace nelo {

namespace {

constexpr size_t LINE_BUFFER_SIZE = 4096;
constexpr char REPLACEMENT_CHARACTER[] = "\xEF\xBF\xBD";  // U+FFFD in UTF-8
constexpr int FRACTION_DIGITS = 9;

// The quoted IP header of an error message.
constexpr size_t QUOTED_IPV4_MIN = 20;
constexpr size_t QUOTED_IPV6_SIZE = 40;
constexpr uint8_t IP_PROTOCOL_TCP = 6;
constexpr uint8_t IP_PROTOCOL_UDP = 17;
constexpr size_t PORTS_SIZE = 4;

// Length of the well-formed UTF-8 sequence at the start of `s`, or 0 when its first byte does
// not begin one (RFC 3629: no overlong forms, no surrogates, nothing above U+10FFFF).
size_t utf8_sequence_length(std::string_view s) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(s[i]); };
  const uint8_t b0 = byte(0);
  if (b0 < 0x80) return 1;
  size_t len = 0;
  uint8_t lo = 0x80, hi = 0xBF;  // bounds of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (s.size() < len || byte(1) < lo || byte(1) > hi) return 0;
  for (size_t i = 2; i < len; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  }
  return len;
}

// One line of JSON, gathered in a stack buffer and handed to the stream whenever it fills. The
// fields of known size are written through room()/commit() with no check per piece; names,
// hex and strings of any length go through the checked calls.
class json_line {
 public:
  static constexpr size_t CAPACITY = LINE_BUFFER_SIZE;

  explicit json_line(std::ostream& out) : m_out(out) {}
  json_line(const json_line&) = delete;
  json_line& operator=(const json_line&) = delete;

  // Room for `n` (at most CAPACITY) bytes at the returned place; commit() says where they end.
  char* room(size_t n) {
    if (CAPACITY - m_len < n) flush();
    return m_buf + m_len;
  }
  void commit(const char* end) { m_len = static_cast<size_t>(end - m_buf); }

  void raw(std::string_view text) {
    while (!text.empty()) {
      if (m_len == CAPACITY) flush();
      const size_t n = std::min(text.size(), CAPACITY - m_len);
      std::memcpy(m_buf + m_len, text.data(), n);
      m_len += n;
      text.remove_prefix(n);
    }
  }
  void put(char c) {
    if (m_len == CAPACITY) flush();
    m_buf[m_len++] = c;
  }

  void escaped(std::string_view text) {
    while (!text.empty()) {
      // Plain printable ASCII goes out as one run.
      size_t plain = 0;
      while (plain < text.size() && is_printable_byte(static_cast<uint8_t>(text[plain])) &&
             text[plain] != '"' && text[plain] != '\\') {
        ++plain;
      }
      if (plain > 0) {
        raw(text.substr(0, plain));
        text.remove_prefix(plain);
        continue;
      }
      const uint8_t c = static_cast<uint8_t>(text.front());
      if (c == '"' || c == '\\') {
        put('\\');
        put(static_cast<char>(c));
        text.remove_prefix(1);
      } else if (c < FIRST_PRINTABLE_BYTE) {
        char code[8];
        std::snprintf(code, sizeof code, "\\u%04x", c);
        raw(code);
        text.remove_prefix(1);
      } else if (const size_t len = utf8_sequence_length(text); len > 0) {
        raw(text.substr(0, len));
        text.remove_prefix(len);
      } else {
        raw(REPLACEMENT_CHARACTER);
        text.remove_prefix(1);
      }
    }
  }

  void hex(const uint8_t* data, size_t len) {
    put('"');
    while (len > 0) {
      const size_t n = std::min(len, CAPACITY / 2);
      char* p = room(2 * n);
      for (size_t i = 0; i < n; ++i) {
        *p++ = HEX_DIGITS_LOWER[data[i] >> 4];
        *p++ = HEX_DIGITS_LOWER[data[i] & 0xF];
      }
      commit(p);
      data += n;
      len -= n;
    }
    put('"');
  }

  void finish() {
    put('\n');
    flush();
  }

  void flush() {
    m_out.write(m_buf, static_cast<std::streamsize>(m_len));
    m_len = 0;
  }

 private:
  std::ostream& m_out;
  char m_buf[CAPACITY];
  size_t m_len = 0;
};

// Unchecked writers for the fields of known size; each returns the end of what it wrote.
template <size_t N>
char* put_text(char* p, const char (&text)[N]) {
  std::memcpy(p, text, N - 1);
  return p + N - 1;
}

// Short texts: a plain loop, where a call into the library's memcpy costs more than the copy.
char* put_text(char* p, std::string_view text) {
  for (char c : text) *p++ = c;
  return p;
}

char* put_number(char* p, uint64_t value) {
  int width = 1;
  for (uint64_t rest = value / 10; rest != 0; rest /= 10) ++width;
  char* end = p + width;
  do {
    *--end = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  return p + width;
}

// `value` with exactly `width` digits, zeros in front.
char* put_digits(char* p, uint64_t value, int width) {
  for (int i = width - 1; i >= 0; --i) {
    p[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  return p + width;
}

// Seconds with nine decimals, as a time difference is shown.
char* put_seconds(char* p, int64_t ns) {
  constexpr uint64_t NS_PER_SECOND = 1'000'000'000;
  if (ns < 0) *p++ = '-';
  const uint64_t magnitude = ns < 0 ? 0 - static_cast<uint64_t>(ns) : static_cast<uint64_t>(ns);
  p = put_number(p, magnitude / NS_PER_SECOND);
  *p++ = '.';
  return put_digits(p, magnitude % NS_PER_SECOND, 9);
}

char* put_time(char* p, const capture_record& record) {
  ko::time value;
  if (record.time != record_time::shown || !value.set_ticks(record.ticks)) {
    return put_text(p, "null");
  }
  const ko::_windows_systemtime& utc = value.utc();
  *p++ = '"';
  p = put_digits(p, utc.year, 4);
  *p++ = '-';
  p = put_digits(p, utc.month, 2);
  *p++ = '-';
  p = put_digits(p, utc.day, 2);
  *p++ = 'T';
  p = put_digits(p, utc.hour, 2);
  *p++ = ':';
  p = put_digits(p, utc.minute, 2);
  *p++ = ':';
  p = put_digits(p, utc.second, 2);
  // Every time has nine fraction digits, whatever the capture holds, so that times of captures
  // of different resolutions sort as text.
  const uint64_t fraction =
      (record.ticks % ko::TICKS_PER_SECOND) * ko::NANOSECONDS_PER_TICK + record.sub_tick_ns;
  *p++ = '.';
  p = put_digits(p, fraction, FRACTION_DIGITS);
  return put_text(p, "Z\"");
}

// A value from 0 to 1 with four decimals.
char* put_fraction4(char* p, double value) {
  constexpr uint64_t SCALE = 10000;
  const auto scaled =
      static_cast<uint64_t>(std::llround(std::clamp(value, 0.0, 1.0) * static_cast<double>(SCALE)));
  p = put_number(p, scaled / SCALE);
  *p++ = '.';
  return put_digits(p, scaled % SCALE, 4);
}

char* put_address(char* p, bool ipv6, const uint8_t* bytes) {
  *p++ = '"';
  p += ipv6 ? ipv6_to_text(bytes, p) : ip_to_text(bytes, p);
  *p++ = '"';
  return p;
}

// The protocol, addresses and (for TCP and UDP) ports of the datagram an error message quotes,
// when its IP header was captured whole.
char* put_quoted(char* p, const decoded_packet& packet) {
  const uint8_t* q = packet.payload.data();
  const size_t len = packet.payload.size();
  const bool ipv6 = packet.ip.ipv6;
  uint8_t protocol = 0;
  size_t ports_at = 0;
  const uint8_t version = len > 0 ? q[0] >> 4 : 0;
  if (!ipv6 && len >= QUOTED_IPV4_MIN && version == 4) {
    protocol = q[IPV4_PROTOCOL_OFFSET];
    ports_at = (q[0] & 0x0F) * 4u;
  } else if (ipv6 && len >= QUOTED_IPV6_SIZE && version == 6) {
    protocol = q[IPV6_NEXT_HEADER_OFFSET];
    ports_at = QUOTED_IPV6_SIZE;
  } else {
    return p;
  }
  p = put_text(p, ",\"quoted\":{\"proto\":");
  p = put_number(p, protocol);
  p = put_text(p, ",\"src\":");
  p = put_address(p, ipv6, q + (ipv6 ? IPV6_SOURCE_OFFSET : IPV4_SOURCE_OFFSET));
  p = put_text(p, ",\"dst\":");
  p = put_address(p, ipv6, q + (ipv6 ? IPV6_DESTINATION_OFFSET : IPV4_DESTINATION_OFFSET));
  if ((protocol == IP_PROTOCOL_TCP || protocol == IP_PROTOCOL_UDP) &&
      ports_at >= (ipv6 ? QUOTED_IPV6_SIZE : QUOTED_IPV4_MIN) && len >= ports_at + PORTS_SIZE) {
    p = put_text(p, ",\"sport\":");
    p = put_number(p, load_be16(q + ports_at));
    p = put_text(p, ",\"dport\":");
    p = put_number(p, load_be16(q + ports_at + 2));
  }
  *p++ = '}';
  return p;
}

// The strings the strings dump would show: those of the payload when it is dumped, else of the
// header.
void put_strings(json_line& line, const decoded_packet& packet, const output_settings& settings) {
  const byte_span bytes = settings.dump_payload ? packet.payload : packet.headers;
  const uint8_t* data = bytes.data();
  // Captured lengths, so the narrowing is exact.
  const auto len = static_cast<int32_t>(bytes.size());
  std::vector<std::string> found;
  if (len > 0) {
    extract_ascii_strings(data, len, MIN_STRING_LENGTH, found);
    std::vector<std::string> wide;
    extract_utf16_strings(data, static_cast<uint32_t>(len), MIN_STRING_LENGTH, wide);
    found.insert(found.end(), wide.begin(), wide.end());
  }
  line.raw(",\"strings\":[");
  for (size_t i = 0; i < found.size(); ++i) {
    if (i > 0) line.put(',');
    line.put('"');
    line.escaped(found[i]);
    line.put('"');
  }
  line.put(']');
}

// What the message travelled through: "tunnels" (those with an outer IP header, outermost
// first), the labels of every MPLS stack, and the PPPoE session; each key only when there is
// something to show.
char* put_encapsulations(char* p, const decoded_packet& packet) {
  const encapsulation_path& path = packet.tunnels;
  const uint8_t* frame = packet.frame.data();
  bool first = true;
  for (int i = 0; i < path.count; ++i) {
    const encapsulation& layer = path.layers[i];
    if (!tunnel_has_outer_ip(layer.type)) continue;
    p = put_text(p, first ? std::string_view(",\"tunnels\":[") : std::string_view(","));
    first = false;
    p = put_text(p, "{\"type\":\"");
    p = put_text(p, tunnel_type_name(layer.type));
    p = put_text(p, "\",\"src\":");
    const uint8_t* ip = frame + layer.outer_ip;
    const bool ipv6 = layer.outer_ipv6;
    p = put_address(p, ipv6, ip + (ipv6 ? IPV6_SOURCE_OFFSET : IPV4_SOURCE_OFFSET));
    p = put_text(p, ",\"dst\":");
    p = put_address(p, ipv6, ip + (ipv6 ? IPV6_DESTINATION_OFFSET : IPV4_DESTINATION_OFFSET));
    if (layer.has_key) {
      p = put_text(p, ",\"key\":");
      p = put_number(p, layer.key);
    }
    if (layer.has_id) {
      switch (layer.type) {
        case tunnel_type::vxlan:
        case tunnel_type::geneve:
          p = put_text(p, ",\"vni\":");
          break;
        case tunnel_type::gtpu:
          p = put_text(p, ",\"teid\":");
          break;
        default:
          p = put_text(p, ",\"session\":");
          break;
      }
      p = put_number(p, layer.id);
    }
    *p++ = '}';
  }
  if (!first) *p++ = ']';

  first = true;
  for (int i = 0; i < path.count; ++i) {
    const encapsulation& layer = path.layers[i];
    for (int label = 0; label < layer.labels; ++label) {
      p = put_text(p, first ? std::string_view(",\"mpls\":[") : std::string_view(","));
      first = false;
      p = put_number(
          p, load_be32(frame + layer.header + label * MPLS_LABEL_ENTRY_SIZE) >> MPLS_LABEL_SHIFT);
    }
  }
  if (!first) *p++ = ']';

  for (int i = 0; i < path.count; ++i) {
    if (path.layers[i].type == tunnel_type::pppoe) {
      p = put_text(p, ",\"pppoe\":");
      p = put_number(p, path.layers[i].id);
      break;
    }
  }
  return p;
}

// How a message made of fragments arrived: the fragments' frame numbers, then each sign that
// holds. The list has no bound of its own, so it is written a number at a time.
void put_fragments(json_line& line, const fragment_trail& trail) {
  constexpr size_t NUMBER_MAX = 21;  // a comma and the digits of the largest u64
  line.raw(",\"fragments\":[");
  for (size_t i = 0; i < trail.frames.size(); ++i) {
    char* p = line.room(NUMBER_MAX);
    if (i > 0) *p++ = ',';
    line.commit(put_number(p, trail.frames[i]));
  }
  line.put(']');
  if (trail.overlap) line.raw(",\"fragment_overlap\":true");
  if (trail.oversized) line.raw(",\"oversized\":true");
  if (trail.incomplete) line.raw(",\"incomplete\":true");
}

// Every key and value of one tunnel at its longest, and of one MPLS label.
constexpr size_t TUNNEL_FIELDS_MAX = 160;
constexpr size_t MPLS_LABEL_TEXT_MAX = 8;
constexpr size_t ENCAPSULATION_FIELDS_MAX =
    64 + ENCAPSULATIONS_MAX * (TUNNEL_FIELDS_MAX + MPLS_LABELS_MAX * MPLS_LABEL_TEXT_MAX);

// Room for every field of known size at its longest: keys, numbers, time, addresses, digest,
// message name, VLAN ids and the quoted datagram.
constexpr size_t FIXED_FIELDS_MAX = 1024;
constexpr size_t MESSAGE_NAME_MAX = 64;

}  // namespace

void write_json_escaped(std::ostream& out, std::string_view text) {
  json_line line(out);
  line.escaped(text);
  line.flush();
}

void json_sink::begin_capture(const std::string& name) {
  std::ostringstream escaped;
  write_json_escaped(escaped, name);
  m_capture_name = escaped.str();
}

void json_sink::end_capture() {
  m_pairing.end_capture();
}

void json_sink::write_message(const decoded_packet& packet, const payload_digest& digest) {
  const capture_record& record = *packet.record;
  const bool ipv6 = packet.ip.ipv6;
  const uint8_t* network = packet.ip.bytes.data();
  const uint8_t* icmp = packet.icmp.data();
  const uint8_t type = icmp[ICMP_TYPE_OFFSET];
  const uint8_t code = icmp[ICMP_CODE_OFFSET];
  const size_t payload_len = packet.payload.size();

  json_line line(m_out);
  line.raw("{\"file\":\"");
  line.raw(m_capture_name);
  char* p = line.room(FIXED_FIELDS_MAX);
  p = put_text(p, "\",\"frame\":");
  p = put_number(p, record.frame_number);
  p = put_text(p, ",\"time\":");
  p = put_time(p, record);
  p = put_text(p, ipv6 ? std::string_view(",\"proto\":\"icmpv6\",\"src\":")
                       : std::string_view(",\"proto\":\"icmp\",\"src\":"));
  p = put_address(p, ipv6, network + (ipv6 ? IPV6_SOURCE_OFFSET : IPV4_SOURCE_OFFSET));
  p = put_text(p, ",\"dst\":");
  p = put_address(p, ipv6, network + (ipv6 ? IPV6_DESTINATION_OFFSET : IPV4_DESTINATION_OFFSET));
  p = put_text(p, ",\"ttl\":");
  p = put_number(p, network[ipv6 ? IPV6_HOP_LIMIT_OFFSET : IPV4_TTL_OFFSET]);
  p = put_text(p, ",\"wire_len\":");
  p = put_number(p, record.wire_len);
  p = put_text(p, ",\"payload_len\":");
  p = put_number(p, payload_len);
  p = put_text(p, ",\"payload_md5\":\"");
  if (payload_len > 0) {
    md5_to_hex(digest.md5, p);
    p += MD5_HEX_SIZE;
  }
  p = put_text(p, "\",\"type\":");
  p = put_number(p, type);
  p = put_text(p, ",\"code\":");
  p = put_number(p, code);
  // The sequence number follows the identifier; the decoder guarantees only the identifier.
  if (icmp_has_identifier(ipv6, type)) {
    p = put_text(p, ",\"id\":");
    p = put_number(p, load_be16(icmp + ICMP_ID_OFFSET));
    if (packet.icmp.size() >= ICMP_HEADER_SIZE) {
      p = put_text(p, ",\"seq\":");
      p = put_number(p, load_be16(icmp + ICMP_ID_END));
    }
  }
  if (const std::optional<reply_match> match = m_pairing.see(packet)) {
    p = put_text(p, ",\"request_frame\":");
    p = put_number(p, match->request_frame);
    if (match->rtt_ns) {
      p = put_text(p, ",\"rtt\":");
      p = put_seconds(p, *match->rtt_ns);
    }
  }
  // Message names are plain ASCII of the tables; nothing in them needs escaping.
  const char* name = ipv6 ? icmpv6_message_name(type, code) : icmp_message_name(type, code);
  p = put_text(p, ",\"message\":\"");
  p = put_text(p, std::string_view(name, strnlen(name, MESSAGE_NAME_MAX)));
  p = put_text(p, "\",\"entropy\":");
  p = put_fraction4(p, digest.entropy);
  p = put_text(p, digest.random ? std::string_view(",\"entropy_high\":true")
                                : std::string_view(",\"entropy_high\":false"));
  if (packet.link.vlan_count > 0) {
    p = put_text(p, ",\"vlan\":[");
    for (int i = 0; i < packet.link.vlan_count; ++i) {
      if (i > 0) *p++ = ',';
      p = put_number(p, packet.link.vlan_ids[i]);
    }
    *p++ = ']';
  }
  line.commit(p);
  if (packet.tunnels.count > 0) {
    line.commit(put_encapsulations(line.room(ENCAPSULATION_FIELDS_MAX), packet));
  }
  if (!packet.fragments.frames.empty()) put_fragments(line, packet.fragments);
  p = line.room(FIXED_FIELDS_MAX);
  p = put_text(p, ",\"link_type\":");
  p = put_number(p, record.link_type);
  if (icmp_quotes_datagram(ipv6, type)) p = put_quoted(p, packet);
  line.commit(p);

  // The hex keys carry what the hex dumps would show; the strings form has its own key.
  const bool hex_form = m_settings.format == output_format::hex;
  if (hex_form && m_settings.dump_hdr) {
    line.raw(",\"header_hex\":");
    line.hex(packet.headers.data(), packet.headers.size());
  }
  if (hex_form && m_settings.dump_payload) {
    line.raw(",\"payload_hex\":");
    line.hex(packet.payload.data(), payload_len);
  }
  if (m_settings.format == output_format::strings) put_strings(line, packet, m_settings);
  line.put('}');
  line.finish();
}

}  // namespace nelo
