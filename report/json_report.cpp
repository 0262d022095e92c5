#include "report/json_report.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "report/address_text.h"
#include "report/icmp_names.h"
#include "report/icmp_types.h"
#include "report/ko_stats.h"
#include "report/md5.h"
#include "report/string_extract.h"
#include "support/byte_text.h"
#include "support/ko_time.h"
#include "support/wire.h"

namespace nelo {

namespace {

constexpr size_t LINE_BUFFER_SIZE = 4096;
// Room for the longest piece put in one go (an address, a number, a time, a hex pair).
constexpr size_t PIECE_MAX = 64;
constexpr char REPLACEMENT_CHARACTER[] = "\xEF\xBF\xBD";  // U+FFFD in UTF-8
constexpr uint64_t NANOSECONDS_PER_TICK = 100;
constexpr int FRACTION_DIGITS_MAX = 9;

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

// One line of JSON, gathered in a stack buffer and handed to the stream whenever it fills.
class json_line {
 public:
  explicit json_line(std::ostream& out) : m_out(out) {}
  json_line(const json_line&) = delete;
  json_line& operator=(const json_line&) = delete;

  void raw(std::string_view text) {
    while (!text.empty()) {
      if (m_len == sizeof m_buf) flush();
      const size_t n = std::min(text.size(), sizeof m_buf - m_len);
      std::memcpy(m_buf + m_len, text.data(), n);
      m_len += n;
      text.remove_prefix(n);
    }
    m_after_open = false;
  }
  void put(char c) { raw(std::string_view(&c, 1)); }

  void open(char bracket) {
    put(bracket);
    m_after_open = true;
  }
  void key(std::string_view name) {
    separate();
    put('"');
    raw(name);
    raw("\":");
  }
  void separate() {
    if (!m_after_open) put(',');
    m_after_open = false;
  }

  void string(std::string_view text) {
    put('"');
    escaped(text);
    put('"');
  }

  void escaped(std::string_view text) {
    while (!text.empty()) {
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

  void number(uint64_t value) {
    char digits[24];
    const int n =
        std::snprintf(digits, sizeof digits, "%llu", static_cast<unsigned long long>(value));
    raw(std::string_view(digits, static_cast<size_t>(n)));
  }

  void hex(const uint8_t* data, size_t len) {
    put('"');
    for (size_t i = 0; i < len; ++i) {
      const char pair[2] = {HEX_DIGITS_LOWER[data[i] >> 4], HEX_DIGITS_LOWER[data[i] & 0xF]};
      raw(std::string_view(pair, 2));
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
  char m_buf[LINE_BUFFER_SIZE];
  size_t m_len = 0;
  bool m_after_open = false;
};

void put_time(json_line& line, const capture_record& record) {
  ko::time value;
  if (record.time != record_time::shown || !value.set_ticks(record.ticks)) {
    line.raw("null");
    return;
  }
  const ko::_windows_systemtime& utc = value.utc();
  char text[PIECE_MAX];
  int n = std::snprintf(text, sizeof text, "\"%04u-%02u-%02uT%02u:%02u:%02u", utc.year, utc.month,
                        utc.day, utc.hour, utc.minute, utc.second);
  const int digits =
      record.time_digits < FRACTION_DIGITS_MAX ? record.time_digits : FRACTION_DIGITS_MAX;
  if (digits > 0) {
    const uint64_t nanoseconds =
        (record.ticks % ko::TICKS_PER_SECOND) * NANOSECONDS_PER_TICK + record.sub_tick_ns;
    char fraction[16];
    std::snprintf(fraction, sizeof fraction, "%09llu",
                  static_cast<unsigned long long>(nanoseconds));
    n += std::snprintf(text + n, sizeof text - static_cast<size_t>(n), ".%.*s", digits, fraction);
  }
  std::snprintf(text + n, sizeof text - static_cast<size_t>(n), "Z\"");
  line.raw(text);
}

void put_address(json_line& line, bool ipv6, const uint8_t* bytes) {
  char text[IPV6_TEXT_MAX];
  const size_t len = ipv6 ? ipv6_to_text(bytes, text) : ip_to_text(bytes, text);
  line.put('"');
  line.raw(std::string_view(text, len));
  line.put('"');
}

// The protocol, addresses and (for TCP and UDP) ports of the datagram an error message quotes,
// when its IP header was captured whole.
void put_quoted(json_line& line, const decoded_packet& packet) {
  const uint8_t* q = packet.payload;
  const size_t len = static_cast<size_t>(packet.payload_len);
  uint8_t protocol = 0;
  size_t ports_at = 0;
  const uint8_t version = len > 0 ? q[0] >> 4 : 0;
  if (!packet.ipv6 && len >= QUOTED_IPV4_MIN && version == 4) {
    protocol = q[IPV4_PROTOCOL_OFFSET];
    ports_at = (q[0] & 0x0F) * 4u;
  } else if (packet.ipv6 && len >= QUOTED_IPV6_SIZE && version == 6) {
    protocol = q[IPV6_NEXT_HEADER_OFFSET];
    ports_at = QUOTED_IPV6_SIZE;
  } else {
    return;
  }
  line.key("quoted");
  line.open('{');
  line.key("proto");
  line.number(protocol);
  line.key("src");
  put_address(line, packet.ipv6, q + (packet.ipv6 ? IPV6_SOURCE_OFFSET : IPV4_SOURCE_OFFSET));
  line.key("dst");
  put_address(line, packet.ipv6,
              q + (packet.ipv6 ? IPV6_DESTINATION_OFFSET : IPV4_DESTINATION_OFFSET));
  if ((protocol == IP_PROTOCOL_TCP || protocol == IP_PROTOCOL_UDP) &&
      ports_at >= (packet.ipv6 ? QUOTED_IPV6_SIZE : QUOTED_IPV4_MIN) &&
      len >= ports_at + PORTS_SIZE) {
    line.key("sport");
    line.number(load_be16(q + ports_at));
    line.key("dport");
    line.number(load_be16(q + ports_at + 2));
  }
  line.put('}');
}

// The strings the strings dump would show: those of the payload when it is dumped, else of the
// header.
void put_strings(json_line& line, const decoded_packet& packet, const packet_ctx& ctx) {
  const uint8_t* data = ctx.dump_payload ? packet.payload : packet.frame;
  const int32_t len = ctx.dump_payload ? packet.payload_len : packet.hdr_len;
  std::vector<std::string> found;
  line.key("strings");
  line.open('[');
  if (len > 0) {
    extract_ascii_strings(data, len, MIN_STRING_LENGTH, found);
    std::vector<std::string> wide;
    extract_utf16_strings(data, static_cast<uint32_t>(len), MIN_STRING_LENGTH, wide);
    found.insert(found.end(), wide.begin(), wide.end());
  }
  for (const std::string& s : found) {
    line.separate();
    line.string(s);
  }
  line.put(']');
}

}  // namespace

void write_json_escaped(std::ostream& out, std::string_view text) {
  json_line line(out);
  line.escaped(text);
  line.flush();
}

bool write_json_record(const decoded_packet& packet, const packet_ctx* ctx) {
  if (ctx == nullptr || ctx->out == nullptr) return false;
  const capture_record& record = *packet.record;
  const bool ipv6 = packet.ipv6;
  const uint8_t* network = packet.network;
  const uint8_t type = packet.icmp[ICMP_TYPE_OFFSET];
  const uint8_t code = packet.icmp[ICMP_CODE_OFFSET];
  const int32_t payload_len = packet.payload_len > 0 ? packet.payload_len : 0;

  json_line line(*ctx->out);
  line.open('{');
  line.key("file");
  line.string(ctx->capture_name);
  line.key("frame");
  line.number(record.frame_number);
  line.key("time");
  put_time(line, record);
  line.key("proto");
  line.raw(ipv6 ? "\"icmpv6\"" : "\"icmp\"");
  line.key("src");
  put_address(line, ipv6, network + (ipv6 ? IPV6_SOURCE_OFFSET : IPV4_SOURCE_OFFSET));
  line.key("dst");
  put_address(line, ipv6, network + (ipv6 ? IPV6_DESTINATION_OFFSET : IPV4_DESTINATION_OFFSET));
  line.key("ttl");
  line.number(network[ipv6 ? IPV6_HOP_LIMIT_OFFSET : IPV4_TTL_OFFSET]);
  line.key("wire_len");
  line.number(record.wire_len);
  line.key("payload_len");
  line.number(static_cast<uint64_t>(payload_len));
  line.key("payload_md5");
  char digest_text[MD5_HEX_SIZE];
  size_t digest_len = 0;
  if (payload_len > 0) {
    uint8_t digest[MD5_DIGEST_SIZE] = {};
    md5_buffer(packet.payload, static_cast<uint32_t>(payload_len), digest);
    md5_to_hex(digest, digest_text);
    digest_len = MD5_HEX_SIZE;
  }
  line.string(std::string_view(digest_text, digest_len));
  line.key("type");
  line.number(type);
  line.key("code");
  line.number(code);
  // The sequence number follows the identifier; the decoder guarantees only the identifier.
  if (icmp_has_identifier(ipv6, type)) {
    line.key("id");
    line.number(load_be16(packet.icmp + ICMP_ID_OFFSET));
    if (packet.incl_len >= static_cast<uint32_t>(packet.icmp - packet.frame) + ICMP_HEADER_SIZE) {
      line.key("seq");
      line.number(load_be16(packet.icmp + ICMP_ID_END));
    }
  }
  line.key("message");
  line.string(ipv6 ? icmpv6_message_name(type, code) : icmp_message_name(type, code));
  const ko::stats stats(packet.payload, payload_len);
  char entropy[PIECE_MAX];
  std::snprintf(entropy, sizeof entropy, "%.4f", stats.entropy());
  line.key("entropy");
  line.raw(entropy);
  line.key("entropy_high");
  line.raw(payload_looks_random(packet.payload, payload_len) ? "true" : "false");
  if (packet.vlan_count > 0) {
    line.key("vlan");
    line.open('[');
    for (int i = 0; i < packet.vlan_count; ++i) {
      line.separate();
      line.number(packet.vlan_ids[i]);
    }
    line.put(']');
  }
  line.key("link_type");
  line.number(record.link_type);
  if (icmp_quotes_datagram(ipv6, type)) put_quoted(line, packet);
  // The hex keys carry what the hex dumps would show; the strings form has its own key.
  const bool hex_form = ctx->format == output_format::hex;
  if (hex_form && ctx->dump_hdr) {
    line.key("header_hex");
    line.hex(packet.frame, static_cast<size_t>(packet.hdr_len > 0 ? packet.hdr_len : 0));
  }
  if (hex_form && ctx->dump_payload) {
    line.key("payload_hex");
    line.hex(packet.payload, static_cast<size_t>(payload_len));
  }
  if (ctx->format == output_format::strings) put_strings(line, packet, *ctx);
  line.put('}');
  line.finish();
  return true;
}

}  // namespace nelo
