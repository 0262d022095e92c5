#include "report/json_report.h"

#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "report/address_text.h"
#include "report/detail_text.h"
#include "report/icmp_names.h"
#include "report/icmp_types.h"
#include "report/line_buffer.h"
#include "report/md5.h"
#include "report/quoted_datagram.h"
#include "report/string_extract.h"
#include "support/byte_text.h"
#include "support/wire.h"

namespace nelo {

namespace {

constexpr char REPLACEMENT_CHARACTER[] = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

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

// Writes `text` as a JSON string body: see write_json_escaped.
void put_escaped(line_buffer& line, std::string_view text) {
  while (!text.empty()) {
    // Plain printable ASCII goes out as one run.
    size_t plain = 0;
    while (plain < text.size() && is_printable_byte(static_cast<uint8_t>(text[plain])) &&
           text[plain] != '"' && text[plain] != '\\') {
      ++plain;
    }
    if (plain > 0) {
      line.raw(text.substr(0, plain));
      text.remove_prefix(plain);
      continue;
    }
    const uint8_t c = static_cast<uint8_t>(text.front());
    if (c == '"' || c == '\\') {
      line.put('\\');
      line.put(static_cast<char>(c));
      text.remove_prefix(1);
    } else if (c < FIRST_PRINTABLE_BYTE) {
      char code[8];
      std::snprintf(code, sizeof code, "\\u%04x", c);
      line.raw(code);
      text.remove_prefix(1);
    } else if (const size_t len = utf8_sequence_length(text); len > 0) {
      line.raw(text.substr(0, len));
      text.remove_prefix(len);
    } else {
      line.raw(REPLACEMENT_CHARACTER);
      text.remove_prefix(1);
    }
  }
}

// Bytes as a JSON string of lower-case hex digits.
void put_hex(line_buffer& line, const uint8_t* data, size_t len) {
  line.put('"');
  line.hex(data, len);
  line.put('"');
}

// The time as a JSON string, or null when the record shows none.
char* put_time(char* p, const capture_record& record, utc_second_memo& seconds) {
  char* end = put_utc_time(p + 1, record, seconds);
  if (end == p + 1) return put_text(p, "null");
  *p = '"';
  *end++ = '"';
  return end;
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
  quoted_datagram quoted;
  if (!read_quoted_datagram(packet, quoted)) return p;
  p = put_text(p, ",\"quoted\":{\"proto\":");
  p = put_number(p, quoted.protocol);
  p = put_text(p, ",\"src\":");
  p = put_address(p, quoted.ipv6, quoted.source);
  p = put_text(p, ",\"dst\":");
  p = put_address(p, quoted.ipv6, quoted.destination);
  if (quoted.has_ports) {
    p = put_text(p, ",\"sport\":");
    p = put_number(p, quoted.source_port);
    p = put_text(p, ",\"dport\":");
    p = put_number(p, quoted.destination_port);
  }
  *p++ = '}';
  return p;
}

void put_strings(line_buffer& line, const decoded_packet& packet, const output_settings& settings) {
  std::vector<std::string> found;
  message_strings(packet, settings.dump_payload, found);
  line.raw(",\"strings\":[");
  for (size_t i = 0; i < found.size(); ++i) {
    if (i > 0) line.put(',');
    line.put('"');
    put_escaped(line, found[i]);
    line.put('"');
  }
  line.put(']');
}

// A link-layer address option's address as a JSON string.
char* put_link_address_key(char* p, std::string_view key, const uint8_t* payload, size_t at,
                           size_t size) {
  p = put_text(p, key);
  *p++ = '"';
  p = put_link_address(p, payload + at, size);
  *p++ = '"';
  return p;
}

// What the message says beyond its name, each key only when the message has it, up to the
// lists, which put_detail_lists writes.
char* put_details(char* p, bool ipv6, const message_details& details, const uint8_t* payload) {
  const uint16_t has = details.has;
  if (has & (message_details::MTU | message_details::LINK_MTU)) {
    p = put_text(p, ",\"mtu\":");
    p = put_number(p, details.mtu);
  }
  if (has & message_details::GATEWAY) {
    p = put_text(p, ",\"gateway\":");
    p = put_address(p, false, details.gateway);
  }
  if (has & message_details::POINTER) {
    p = put_text(p, ",\"pointer\":");
    p = put_number(p, details.pointer);
  }
  if (has & message_details::TIMES) {
    p = put_text(p, ",\"originate\":");
    p = put_number(p, details.originate);
    p = put_text(p, ",\"receive\":");
    p = put_number(p, details.receive);
    p = put_text(p, ",\"transmit\":");
    p = put_number(p, details.transmit);
  }
  if (has & message_details::MASK) {
    p = put_text(p, ",\"mask\":");
    p = put_address(p, false, details.mask);
  }
  if (has & message_details::TARGET) {
    p = put_text(p, ",\"target\":");
    p = put_address(p, ipv6, details.target);
  }
  if (has & message_details::DESTINATION) {
    p = put_text(p, ",\"destination\":");
    p = put_address(p, ipv6, details.destination);
  }
  if (has & message_details::SOURCE_LL) {
    p = put_link_address_key(p, ",\"source_ll\":", payload, details.source_ll_at,
                             details.source_ll_size);
  }
  if (has & message_details::TARGET_LL) {
    p = put_link_address_key(p, ",\"target_ll\":", payload, details.target_ll_at,
                             details.target_ll_size);
  }
  if (has & message_details::ROUTER) {
    p = put_text(p, ",\"hop_limit\":");
    p = put_number(p, details.hop_limit);
    p = put_text(p, ",\"flags\":\"");
    p = put_router_flags(p, details.router_flags);
    p = put_text(p, "\",\"preference\":\"");
    p = put_text(p, router_preference(details.router_flags));
    p = put_text(p, "\",\"router_lifetime\":");
    p = put_number(p, details.router_lifetime);
  }
  if (has & message_details::GROUP) {
    p = put_text(p, ",\"group\":");
    p = put_address(p, true, details.group);
  }
  return p;
}

// Room for one prefix or MLDv2 record with its keys and the comma before it.
constexpr size_t DETAIL_ITEM_MAX = 160;
static_assert(DETAIL_ITEM_MAX >= 52 + PREFIX_TEXT_MAX + 2 * DECIMAL_TEXT_MAX + FLAG_LETTERS_MAX);

// The prefixes of a router advertisement or the records of an MLDv2 report, as arrays of
// objects, then the count of options or records left out. The lists have no bound of their own,
// so they are written an item at a time.
void put_detail_lists(line_buffer& line, const message_details& details, byte_span payload) {
  bool first = true;
  for_each_prefix(details, payload, [&](const prefix_option& prefix) {
    char* p = line.room(DETAIL_ITEM_MAX);
    p = put_text(p, first ? std::string_view(",\"prefixes\":[{\"prefix\":\"")
                          : std::string_view(",{\"prefix\":\""));
    first = false;
    p = put_prefix(p, prefix);
    p = put_text(p, "\",\"valid\":");
    p = put_number(p, prefix.valid);
    p = put_text(p, ",\"preferred\":");
    p = put_number(p, prefix.preferred);
    p = put_text(p, ",\"flags\":\"");
    p = put_prefix_flags(p, prefix.flags);
    p = put_text(p, "\"}");
    line.commit(p);
  });
  for_each_record(details, payload, [&](const group_record& record) {
    char* p = line.room(DETAIL_ITEM_MAX);
    p = put_text(
        p, first ? std::string_view(",\"records\":[{\"type\":") : std::string_view(",{\"type\":"));
    first = false;
    p = put_number(p, record.type);
    p = put_text(p, ",\"group\":");
    p = put_address(p, true, record.group);
    p = put_text(p, ",\"sources\":");
    p = put_number(p, record.sources);
    *p++ = '}';
    line.commit(p);
  });
  if (!first) line.put(']');
  if (details.has & message_details::DAMAGED) {
    char* p = line.room(DETAIL_ITEM_MAX);
    p = put_text(p, ",\"damaged\":");
    line.commit(put_number(p, details.damaged));
  }
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
    if (!layer.kind->outer_ip) continue;
    p = put_text(p, first ? std::string_view(",\"tunnels\":[") : std::string_view(","));
    first = false;
    p = put_text(p, "{\"type\":\"");
    p = put_text(p, layer.kind->name);
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
      p = put_text(p, ",\"");
      p = put_text(p, layer.kind->id_key);
      p = put_text(p, "\":");
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
    if (path.layers[i].kind == &encapsulation_kinds::PPPOE) {
      p = put_text(p, ",\"pppoe\":");
      p = put_number(p, path.layers[i].id);
      break;
    }
  }
  return p;
}

// How a message made of fragments arrived: the fragments' frame numbers, then each sign that
// holds. The list has no bound of its own, so it is written a number at a time.
constexpr size_t FRAGMENT_NUMBER_MAX = 21;  // a comma and the digits of the largest u64
// The keys and signs around the fragments' numbers.
constexpr size_t FRAGMENT_FIELDS_MAX = 96;

void put_fragments(line_buffer& line, const fragment_trail& trail) {
  constexpr size_t NUMBER_MAX = FRAGMENT_NUMBER_MAX;
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
// The details up to their lists: keys, numbers, addresses, link-layer addresses and flags.
constexpr size_t DETAIL_FIELDS_MAX = 1024;
static_assert(DETAIL_FIELDS_MAX >=
              256 + 5 * IPV6_TEXT_MAX + 2 * LINK_ADDRESS_TEXT_MAX + 9 * DECIMAL_TEXT_MAX);
// What surrounds the fields: the file key, the keys of the dumps, the brackets of the strings
// and the end of the line.
constexpr size_t LINE_FRAME_MAX = 96;

}  // namespace

void write_json_escaped(std::ostream& out, std::string_view text) {
  text_target target(out);
  line_buffer line(target);
  put_escaped(line, text);
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

void json_sink::note_message(const decoded_packet& packet, message_note& note) {
  note.reply = m_pairing.see(packet);
}

size_t json_sink::text_bound(const decoded_packet& packet) const {
  // Every piece as format_text makes room for it; hex is two digits a byte, and the strings at
  // most two characters for each byte of the region (see dump_bound) with each character
  // escaped in at most two.
  const bool hex_form = m_settings.format == output_format::hex;
  const size_t region = m_settings.dump_payload ? packet.payload.size() : packet.headers.size();
  return LINE_FRAME_MAX + m_capture_name.size() + 2 * FIXED_FIELDS_MAX +
         (packet.tunnels.count > 0 ? ENCAPSULATION_FIELDS_MAX : 0) +
         (packet.fragments.frames.empty() ? 0 : FRAGMENT_FIELDS_MAX) + DETAIL_FIELDS_MAX +
         DETAIL_ITEM_MAX * (packet.details.item_count + 1) +
         FRAGMENT_NUMBER_MAX * packet.fragments.frames.size() +
         (hex_form && m_settings.dump_hdr ? 2 * packet.headers.size() : 0) +
         (hex_form && m_settings.dump_payload ? 2 * packet.payload.size() : 0) +
         (m_settings.format == output_format::strings ? 4 * region : 0);
}

void json_sink::format_text(const decoded_packet& packet, const payload_digest& digest,
                            const message_note& note, text_target& out) const {
  const capture_record& record = *packet.record;
  const bool ipv6 = packet.ip.ipv6;
  const uint8_t* network = packet.ip.bytes.data();
  const uint8_t* icmp = packet.icmp.data();
  const uint8_t type = icmp[ICMP_TYPE_OFFSET];
  const uint8_t code = icmp[ICMP_CODE_OFFSET];
  const size_t payload_len = packet.payload.size();

  line_buffer line(out);
  line.raw("{\"file\":\"");
  line.raw(m_capture_name);
  char* p = line.room(FIXED_FIELDS_MAX);
  p = put_text(p, "\",\"frame\":");
  p = put_number(p, record.frame_number);
  p = put_text(p, ",\"time\":");
  p = put_time(p, record, out.seconds());
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
  if (const std::optional<reply_match>& match = note.reply) {
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
  line.commit(
      put_details(line.room(DETAIL_FIELDS_MAX), ipv6, packet.details, packet.payload.data()));
  put_detail_lists(line, packet.details, packet.payload);

  // The hex keys carry what the hex dumps would show; the strings form has its own key.
  const bool hex_form = m_settings.format == output_format::hex;
  if (hex_form && m_settings.dump_hdr) {
    line.raw(",\"header_hex\":");
    put_hex(line, packet.headers.data(), packet.headers.size());
  }
  if (hex_form && m_settings.dump_payload) {
    line.raw(",\"payload_hex\":");
    put_hex(line, packet.payload.data(), payload_len);
  }
  if (m_settings.format == output_format::strings) put_strings(line, packet, m_settings);
  line.raw("}\n");
  line.flush();
}

}  // namespace nelo
