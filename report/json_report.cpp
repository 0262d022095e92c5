#include "report/json_report.h"

#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "packet/message_extensions.h"
#include "report/address_text.h"
#include "report/detail_text.h"
#include "report/icmp_names.h"
#include "report/line_buffer.h"
#include "report/md5.h"
#include "report/string_extract.h"
#include "support/byte_text.h"

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
// when its IP header was captured whole; for a quoted ICMP message, its type, identifier and
// sequence number.
char* put_quoted(char* p, const decoded_packet& packet) {
  const quoted_datagram& quoted = packet.quoted;
  const bool ipv6 = packet.ip.ipv6;
  const address_pair ends = quoted_addresses(packet);
  p = put_text(p, ",\"quoted\":{\"proto\":");
  p = put_number(p, quoted.protocol);
  p = put_text(p, ",\"src\":");
  p = put_address(p, ipv6, ends.source);
  p = put_text(p, ",\"dst\":");
  p = put_address(p, ipv6, ends.destination);
  if (quoted.has_ports) {
    p = put_text(p, ",\"sport\":");
    p = put_number(p, quoted.source_port);
    p = put_text(p, ",\"dport\":");
    p = put_number(p, quoted.destination_port);
  }
  if (quoted.has_icmp_type) {
    p = put_text(p, ",\"type\":");
    p = put_number(p, quoted.icmp_type);
  }
  if (quoted.has_icmp_id) {
    p = put_text(p, ",\"id\":");
    p = put_number(p, quoted.icmp_id);
    p = put_text(p, ",\"seq\":");
    p = put_number(p, quoted.icmp_seq);
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
// lists, which put_detail_lists and put_extensions write.
char* put_details(char* p, bool ipv6, const message_details& details, const uint8_t* payload) {
  const uint32_t has = details.has;
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

char* put_bool(char* p, bool value) {
  return put_text(p, value ? std::string_view("true") : std::string_view("false"));
}

// Every key and value of one MPLS label stack entry, and of one interface but its name, at their
// longest, the key of the list in front; the extension damage and extended echo keys.
constexpr size_t MPLS_ENTRY_TEXT_MAX = 80;
constexpr size_t INTERFACE_TEXT_MAX = 160;
constexpr size_t EXT_ECHO_TEXT_MAX = 160;
// A name escaped at its longest: every byte as \u00XX.
constexpr size_t escaped_max(size_t size) {
  return 6 * size;
}

// The extension objects and extended echo fields, each key only when the message has it; lists
// of any length go an item at a time.
void put_extensions(line_buffer& line, const message_details& details, byte_span payload) {
  const uint32_t has = details.has;
  bool first = true;
  for_each_mpls_label(details, payload, [&](const mpls_entry& entry) {
    char* p = line.room(MPLS_ENTRY_TEXT_MAX);
    p = put_text(p, first ? std::string_view(",\"mpls_labels\":[{\"label\":")
                          : std::string_view(",{\"label\":"));
    first = false;
    p = put_number(p, entry.label);
    p = put_text(p, ",\"tc\":");
    p = put_number(p, entry.traffic_class);
    p = put_text(p, ",\"bottom\":");
    p = put_bool(p, entry.bottom);
    p = put_text(p, ",\"ttl\":");
    p = put_number(p, entry.ttl);
    *p++ = '}';
    line.commit(p);
  });
  if (!first) line.put(']');
  first = true;
  for_each_interface(details, payload, [&](const interface_info& info) {
    char* p = line.room(INTERFACE_TEXT_MAX);
    p = put_text(p, first ? std::string_view(",\"interfaces\":[{\"role\":\"")
                          : std::string_view(",{\"role\":\""));
    first = false;
    p = put_text(p, interface_role_name(info.role));
    *p++ = '"';
    if (info.has_ifindex) {
      p = put_text(p, ",\"ifindex\":");
      p = put_number(p, info.ifindex);
    }
    if (info.has_address) {
      p = put_text(p, ",\"address\":");
      p = put_address(p, info.ipv6, info.address);
    }
    line.commit(p);
    if (!info.name.empty()) {
      line.raw(",\"name\":\"");
      put_escaped(line, info.name);
      line.put('"');
    }
    p = line.room(INTERFACE_TEXT_MAX);
    if (info.has_mtu) {
      p = put_text(p, ",\"mtu\":");
      p = put_number(p, info.mtu);
    }
    *p++ = '}';
    line.commit(p);
  });
  if (!first) line.put(']');
  char* p = line.room(EXT_ECHO_TEXT_MAX);
  if (details.damage != extension_damage::none) {
    p = put_text(p, ",\"extension_damage\":\"");
    p = put_text(p, extension_damage_name(details.damage));
    *p++ = '"';
  }
  if (!(has & (message_details::EXT_REQUEST | message_details::EXT_REPLY))) {
    line.commit(p);
    return;
  }
  p = put_text(p, ",\"ext_seq\":");
  p = put_number(p, details.ext_seq);
  if (has & message_details::EXT_REQUEST) {
    p = put_text(p, ",\"local\":");
    p = put_bool(p, details.ext_bits & EXT_ECHO_LOCAL);
    interface_identification identified;
    if (identified_interface(details, payload, identified)) {
      switch (identified.kind) {
        case interface_identification::by_name:
          line.commit(p);
          line.raw(",\"by_name\":\"");
          put_escaped(line, identified.name);
          line.put('"');
          return;
        case interface_identification::by_index:
          p = put_text(p, ",\"by_index\":");
          p = put_number(p, identified.index);
          break;
        case interface_identification::by_address:
          p = put_text(p, ",\"by_address\":");
          p = put_address(p, identified.ipv6, identified.address);
          break;
      }
    }
  } else {
    p = put_text(p, ",\"state\":");
    p = put_number(p, details.ext_bits >> EXT_ECHO_STATE_SHIFT);
    p = put_text(p, ",\"active\":");
    p = put_bool(p, details.ext_bits & EXT_ECHO_ACTIVE);
    p = put_text(p, ",\"ipv4\":");
    p = put_bool(p, details.ext_bits & EXT_ECHO_IPV4);
    p = put_text(p, ",\"ipv6\":");
    p = put_bool(p, details.ext_bits & EXT_ECHO_IPV6);
  }
  line.commit(p);
}

// The bytes put_extensions writes at most: the closing brackets, each item, and the name an
// extended echo request gives, escaped.
size_t extensions_bound(const message_details& details, byte_span payload) {
  size_t bound = EXT_ECHO_TEXT_MAX;
  if (details.has & message_details::MPLS_LABELS) {
    bound += 1 + MPLS_ENTRY_TEXT_MAX * details.mpls_labels;
  }
  if (details.has & message_details::INTERFACES) {
    bound += 1 + (2 * INTERFACE_TEXT_MAX + escaped_max(INTERFACE_NAME_MAX)) * details.interfaces;
  }
  if (details.has & message_details::IDENTIFIED) bound += escaped_max(payload.size());
  return bound;
}

// What the message travelled through: "tunnels" (those with an outer IP header, outermost
// first), the labels of every MPLS stack, and the PPPoE session; each key only when there is
// something to show.
char* put_encapsulations(char* p, const decoded_packet& packet) {
  const encapsulation_path& path = packet.tunnels;
  bool first = true;
  for (int i = 0; i < path.count; ++i) {
    const encapsulation& layer = path.layers[i];
    if (!layer.kind->outer_ip) continue;
    p = put_text(p, first ? std::string_view(",\"tunnels\":[") : std::string_view(","));
    first = false;
    p = put_text(p, "{\"type\":\"");
    p = put_text(p, layer.kind->name);
    p = put_text(p, "\",\"src\":");
    const address_pair ends = outer_addresses(packet, layer);
    p = put_address(p, layer.outer_ipv6, ends.source);
    p = put_text(p, ",\"dst\":");
    p = put_address(p, layer.outer_ipv6, ends.destination);
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
  for_each_mpls_label(packet, [&](uint32_t label) {
    p = put_text(p, first ? std::string_view(",\"mpls\":[") : std::string_view(","));
    first = false;
    p = put_number(p, label);
  });
  if (!first) *p++ = ']';

  if (const encapsulation* pppoe = pppoe_layer(packet)) {
    p = put_text(p, ",\"pppoe\":");
    p = put_number(p, pppoe->id);
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
         (m_settings.format == output_format::strings ? 4 * region : 0) +
         extensions_bound(packet.details, packet.payload);
}

void json_sink::format_text(const decoded_packet& packet, const payload_digest& digest,
                            const message_note& note, text_target& out) const {
  const capture_record& record = *packet.record;
  const bool ipv6 = packet.ip.ipv6;
  const message_fields& message = packet.message;
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
  p = put_address(p, ipv6, message.source);
  p = put_text(p, ",\"dst\":");
  p = put_address(p, ipv6, message.destination);
  p = put_text(p, ",\"ttl\":");
  p = put_number(p, message.hop_limit);
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
  p = put_number(p, message.type);
  p = put_text(p, ",\"code\":");
  p = put_number(p, message.code);
  if (message.has_id) {
    p = put_text(p, ",\"id\":");
    p = put_number(p, message.id);
  }
  if (message.has_seq) {
    p = put_text(p, ",\"seq\":");
    p = put_number(p, message.seq);
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
  p = put_text(p, ",\"message\":\"");
  p = put_text(p, icmp_name(ipv6, message.type, message.code));
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
  if (packet.quoted.present) p = put_quoted(p, packet);
  line.commit(p);
  // Most messages (echoes above all) say nothing beyond their name.
  const message_details& details = packet.details;
  if (details.has != 0 || details.damage != extension_damage::none) {
    line.commit(put_details(line.room(DETAIL_FIELDS_MAX), ipv6, details, packet.payload.data()));
    if (details.has & message_details::LIST_FIELDS) put_detail_lists(line, details, packet.payload);
    if ((details.has & message_details::EXTENSION_FIELDS) ||
        details.damage != extension_damage::none) {
      put_extensions(line, details, packet.payload);
    }
  }

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
