#include "report/csv_report.h"

#include <cstring>
#include <string_view>
#include <vector>

#include "report/address_text.h"
#include "report/detail_text.h"
#include "report/icmp_names.h"
#include "report/icmp_types.h"
#include "report/line_buffer.h"
#include "report/md5.h"
#include "report/packet_report.h"
#include "report/quoted_datagram.h"
#include "report/string_extract.h"
#include "support/csv_text.h"
#include "support/wire.h"

namespace nelo {

namespace {

// The columns of every run, then those the dump options add; the names are JSON's keys.
constexpr std::string_view HEADER_COLUMNS =
    "file,frame,time,proto,src,dst,ttl,wire_len,payload_len,payload_md5,type,code,id,seq,"
    "request_frame,rtt,message,entropy,entropy_high,vlan,tunnels,mpls,pppoe,fragments,"
    "fragment_overlap,oversized,incomplete,link_type,quoted,mtu,gateway,pointer,originate,"
    "receive,transmit,mask,target,destination,source_ll,target_ll,hop_limit,flags,preference,"
    "router_lifetime,group,prefixes,records,damaged";
constexpr std::string_view HEADER_HEX_COLUMN = ",header_hex";
constexpr std::string_view PAYLOAD_HEX_COLUMN = ",payload_hex";
constexpr std::string_view STRINGS_COLUMN = ",strings";

constexpr char LIST_SEPARATOR = ' ';
constexpr char ITEM_SEPARATOR = ';';  // between the prefixes or records of a message, each of words
constexpr char STRINGS_SEPARATOR = '\n';  // strings hold blanks, never a line break
constexpr std::string_view TRUE_TEXT = "true";
constexpr std::string_view FALSE_TEXT = "false";

// The protocols a quoted datagram is named by; any other shows its number.
struct protocol_name {
  uint8_t protocol;
  std::string_view name;
};
constexpr protocol_name QUOTED_PROTOCOL_NAMES[] = {
    {IP_PROTOCOL_ICMP, "icmp"},
    {IP_PROTOCOL_TCP, "tcp"},
    {IP_PROTOCOL_UDP, "udp"},
    {IP_PROTOCOL_ICMPV6, "icmpv6"},
};

constexpr size_t PORT_TEXT_MAX = 6;  // ":65535"
constexpr size_t QUOTED_ADDRESS_MAX = IPV6_TEXT_MAX + 2 + PORT_TEXT_MAX;
// Every field from the frame to the VLAN ids at its longest, separators included.
constexpr size_t LEADING_FIELDS_MAX =
    20 * (DECIMAL_TEXT_MAX + 1) + UTC_TIME_TEXT_MAX + 2 * IPV6_TEXT_MAX + MD5_HEX_SIZE +
    csv_field_max(MESSAGE_NAME_MAX) + MAX_VLAN_TAGS * (DECIMAL_TEXT_MAX + 1);
// The tunnel path, every MPLS label and the PPPoE session.
constexpr size_t ENCAPSULATION_FIELDS_MAX =
    3 + TUNNEL_PATH_MAX + ENCAPSULATIONS_MAX * MPLS_LABELS_MAX * (DECIMAL_TEXT_MAX + 1) +
    DECIMAL_TEXT_MAX;
// What the message says beyond its name up to its lists, separators included.
constexpr size_t DETAIL_FIELDS_MAX = 8 * (DECIMAL_TEXT_MAX + 1) + 4 * (IPV6_TEXT_MAX + 1) +
                                     2 * (LINK_ADDRESS_TEXT_MAX + 1) + FLAG_LETTERS_MAX + 1 +
                                     PREFERENCE_TEXT_MAX + 1;
// One prefix or MLDv2 record with the separator before it.
constexpr size_t DETAIL_ITEM_MAX =
    1 + PREFIX_TEXT_MAX + 2 * (DECIMAL_TEXT_MAX + 1) + 1 + FLAG_LETTERS_MAX;
// The separators of the list fields and the count of what was left out.
constexpr size_t DETAIL_LISTS_FRAME_MAX = 3 + DECIMAL_TEXT_MAX;
// The fragment signs, the link type and the quoted datagram.
constexpr size_t TRAILING_FIELDS_MAX = 4 * (FALSE_TEXT.size() + 1) + DECIMAL_TEXT_MAX + 1 +
                                       DECIMAL_TEXT_MAX + 2 * QUOTED_ADDRESS_MAX + 2;
static_assert(LEADING_FIELDS_MAX <= line_buffer::CAPACITY &&
              ENCAPSULATION_FIELDS_MAX <= line_buffer::CAPACITY &&
              TRAILING_FIELDS_MAX <= line_buffer::CAPACITY);

char* put_bool(char* p, bool value) {
  return put_text(p, value ? TRUE_TEXT : FALSE_TEXT);
}

char* put_address(char* p, bool ipv6, const uint8_t* bytes) {
  return p + (ipv6 ? ipv6_to_text(bytes, p) : ip_to_text(bytes, p));
}

// One end of a quoted datagram: "10.0.0.1", "10.0.0.1:53", "[fd00::1]" or "[fd00::1]:53".
char* put_quoted_end(char* p, const quoted_datagram& quoted, const uint8_t* address,
                     uint16_t port) {
  if (quoted.ipv6) *p++ = '[';
  p = put_address(p, quoted.ipv6, address);
  if (quoted.ipv6) *p++ = ']';
  if (quoted.has_ports) {
    *p++ = ':';
    p = put_number(p, port);
  }
  return p;
}

// "udp 10.0.0.1:5353>10.0.0.2:53", or nothing when the quoted IP header was not captured whole.
char* put_quoted(char* p, const decoded_packet& packet) {
  quoted_datagram quoted;
  if (!read_quoted_datagram(packet, quoted)) return p;
  std::string_view name;
  for (const protocol_name& known : QUOTED_PROTOCOL_NAMES) {
    if (known.protocol == quoted.protocol) name = known.name;
  }
  p = name.empty() ? put_number(p, quoted.protocol) : put_text(p, name);
  *p++ = ' ';
  p = put_quoted_end(p, quoted, quoted.source, quoted.source_port);
  *p++ = '>';
  return put_quoted_end(p, quoted, quoted.destination, quoted.destination_port);
}

// The tunnels, MPLS labels and PPPoE session fields, each empty when there is nothing to show.
char* put_encapsulations(char* p, const decoded_packet& packet) {
  const encapsulation_path& path = packet.tunnels;
  const uint8_t* frame = packet.frame.data();
  p = put_tunnel_path(p, packet);
  *p++ = CSV_SEPARATOR;
  bool first = true;
  for (int i = 0; i < path.count; ++i) {
    const encapsulation& layer = path.layers[i];
    for (int label = 0; label < layer.labels; ++label) {
      if (!first) *p++ = LIST_SEPARATOR;
      first = false;
      p = put_number(
          p, load_be32(frame + layer.header + label * MPLS_LABEL_ENTRY_SIZE) >> MPLS_LABEL_SHIFT);
    }
  }
  *p++ = CSV_SEPARATOR;
  for (int i = 0; i < path.count; ++i) {
    if (path.layers[i].kind == &encapsulation_kinds::PPPOE) {
      p = put_number(p, path.layers[i].id);
      break;
    }
  }
  return p;
}

// The fragments' frame numbers; the list has no bound of its own, so it goes a number at a time.
void put_fragment_frames(line_buffer& line, const fragment_trail& trail) {
  for (size_t i = 0; i < trail.frames.size(); ++i) {
    char* p = line.room(DECIMAL_TEXT_MAX + 1);
    if (i > 0) *p++ = LIST_SEPARATOR;
    line.commit(put_number(p, trail.frames[i]));
  }
}

// The strings, one a line; quoted when there is more than one or one holds a comma or a quote.
void put_strings(line_buffer& line, const std::vector<std::string>& strings) {
  bool quoted = strings.size() > 1;
  for (const std::string& text : strings) quoted = quoted || csv_needs_quotes(text);
  if (quoted) line.put('"');
  constexpr size_t PIECE = line_buffer::CAPACITY / 2;
  for (size_t i = 0; i < strings.size(); ++i) {
    if (i > 0) line.put(STRINGS_SEPARATOR);
    std::string_view rest = strings[i];
    while (!rest.empty()) {
      const std::string_view piece = rest.substr(0, PIECE);
      line.commit(put_csv_quoted_text(line.room(2 * piece.size()), piece));
      rest.remove_prefix(piece.size());
    }
  }
  if (quoted) line.put('"');
}

// The detail columns up to the lists, each empty when the message does not have it.
char* put_details(char* p, bool ipv6, const message_details& details, const uint8_t* payload) {
  const uint16_t has = details.has;
  *p++ = CSV_SEPARATOR;
  if (has & (message_details::MTU | message_details::LINK_MTU)) p = put_number(p, details.mtu);
  *p++ = CSV_SEPARATOR;
  if (has & message_details::GATEWAY) p = put_address(p, false, details.gateway);
  *p++ = CSV_SEPARATOR;
  if (has & message_details::POINTER) p = put_number(p, details.pointer);
  for (const uint32_t time : {details.originate, details.receive, details.transmit}) {
    *p++ = CSV_SEPARATOR;
    if (has & message_details::TIMES) p = put_number(p, time);
  }
  *p++ = CSV_SEPARATOR;
  if (has & message_details::MASK) p = put_address(p, false, details.mask);
  *p++ = CSV_SEPARATOR;
  if (has & message_details::TARGET) p = put_address(p, ipv6, details.target);
  *p++ = CSV_SEPARATOR;
  if (has & message_details::DESTINATION) p = put_address(p, ipv6, details.destination);
  *p++ = CSV_SEPARATOR;
  if (has & message_details::SOURCE_LL) {
    p = put_link_address(p, payload + details.source_ll_at, details.source_ll_size);
  }
  *p++ = CSV_SEPARATOR;
  if (has & message_details::TARGET_LL) {
    p = put_link_address(p, payload + details.target_ll_at, details.target_ll_size);
  }
  const bool router = has & message_details::ROUTER;
  *p++ = CSV_SEPARATOR;
  if (router) p = put_number(p, details.hop_limit);
  *p++ = CSV_SEPARATOR;
  if (router) p = put_router_flags(p, details.router_flags);
  *p++ = CSV_SEPARATOR;
  if (router) p = put_text(p, router_preference(details.router_flags));
  *p++ = CSV_SEPARATOR;
  if (router) p = put_number(p, details.router_lifetime);
  *p++ = CSV_SEPARATOR;
  if (has & message_details::GROUP) p = put_address(p, true, details.group);
  return p;
}

// The prefixes and the records columns, an item at a time, items apart by ';' and the words of
// an item by blanks ("2001:db8::/64 86400 14400 LA", "4 ff02::fb 0"); then the damaged column.
void put_detail_lists(line_buffer& line, const message_details& details, byte_span payload) {
  line.put(CSV_SEPARATOR);
  bool first = true;
  for_each_prefix(details, payload, [&](const prefix_option& prefix) {
    char* p = line.room(DETAIL_ITEM_MAX);
    if (!first) *p++ = ITEM_SEPARATOR;
    first = false;
    p = put_prefix(p, prefix);
    *p++ = LIST_SEPARATOR;
    p = put_number(p, prefix.valid);
    *p++ = LIST_SEPARATOR;
    p = put_number(p, prefix.preferred);
    char* flags = p + 1;
    char* end = put_prefix_flags(flags, prefix.flags);
    if (end != flags) {
      *p = LIST_SEPARATOR;
      p = end;
    }
    line.commit(p);
  });
  line.put(CSV_SEPARATOR);
  first = true;
  for_each_record(details, payload, [&](const group_record& record) {
    char* p = line.room(DETAIL_ITEM_MAX);
    if (!first) *p++ = ITEM_SEPARATOR;
    first = false;
    p = put_number(p, record.type);
    *p++ = LIST_SEPARATOR;
    p = put_address(p, true, record.group);
    *p++ = LIST_SEPARATOR;
    line.commit(put_number(p, record.sources));
  });
  char* p = line.room(DETAIL_LISTS_FRAME_MAX);
  *p++ = CSV_SEPARATOR;
  if (details.has & message_details::DAMAGED) p = put_number(p, details.damaged);
  line.commit(p);
}

}  // namespace

void csv_sink::begin_run() {
  text_target target(*m_target.out);
  line_buffer line(target);
  line.raw(HEADER_COLUMNS);
  const bool hex_form = m_settings.format == output_format::hex;
  if (hex_form && m_settings.dump_hdr) line.raw(HEADER_HEX_COLUMN);
  if (hex_form && m_settings.dump_payload) line.raw(PAYLOAD_HEX_COLUMN);
  if (m_settings.format == output_format::strings) line.raw(STRINGS_COLUMN);
  line.raw(CSV_RECORD_END);
  line.flush();
  if (m_target.flush_each_line) m_target.out->flush();
}

void csv_sink::begin_capture(const std::string& name) {
  m_capture_field = csv_field(name);
  m_capture_field += CSV_SEPARATOR;
}

void csv_sink::end_capture() {
  m_pairing.end_capture();
}

void csv_sink::note_message(const decoded_packet& packet, message_note& note) {
  note.reply = m_pairing.see(packet);
}

size_t csv_sink::text_bound(const decoded_packet& packet) const {
  // Every piece as format_text makes room for it; hex is two digits a byte, and the strings at
  // most two characters for each byte of the region (see dump_bound), each doubled at most by
  // the quoting.
  const bool hex_form = m_settings.format == output_format::hex;
  const size_t region = m_settings.dump_payload ? packet.payload.size() : packet.headers.size();
  // Without encapsulations, their fields are empty: two separators.
  const size_t encapsulations = packet.tunnels.count > 0 ? ENCAPSULATION_FIELDS_MAX : 2;
  return m_capture_field.size() + LEADING_FIELDS_MAX + encapsulations + 1 +
         (DECIMAL_TEXT_MAX + 1) * packet.fragments.frames.size() + TRAILING_FIELDS_MAX +
         DETAIL_FIELDS_MAX + DETAIL_LISTS_FRAME_MAX + DETAIL_ITEM_MAX * packet.details.item_count +
         (hex_form && m_settings.dump_hdr ? 1 + 2 * packet.headers.size() : 0) +
         (hex_form && m_settings.dump_payload ? 1 + 2 * packet.payload.size() : 0) +
         (m_settings.format == output_format::strings ? 3 + 4 * region : 0) + CSV_RECORD_END.size();
}

void csv_sink::format_text(const decoded_packet& packet, const payload_digest& digest,
                           const message_note& note, text_target& out) const {
  const capture_record& record = *packet.record;
  const bool ipv6 = packet.ip.ipv6;
  const uint8_t* network = packet.ip.bytes.data();
  const uint8_t* icmp = packet.icmp.data();
  const uint8_t type = icmp[ICMP_TYPE_OFFSET];
  const uint8_t code = icmp[ICMP_CODE_OFFSET];
  const size_t payload_len = packet.payload.size();

  line_buffer line(out);
  line.raw(m_capture_field);
  char* p = line.room(LEADING_FIELDS_MAX);
  p = put_number(p, record.frame_number);
  *p++ = CSV_SEPARATOR;
  p = put_utc_time(p, record, out.seconds());
  p = put_text(p, ipv6 ? std::string_view(",icmpv6,") : std::string_view(",icmp,"));
  p = put_address(p, ipv6, network + (ipv6 ? IPV6_SOURCE_OFFSET : IPV4_SOURCE_OFFSET));
  *p++ = CSV_SEPARATOR;
  p = put_address(p, ipv6, network + (ipv6 ? IPV6_DESTINATION_OFFSET : IPV4_DESTINATION_OFFSET));
  *p++ = CSV_SEPARATOR;
  p = put_number(p, network[ipv6 ? IPV6_HOP_LIMIT_OFFSET : IPV4_TTL_OFFSET]);
  *p++ = CSV_SEPARATOR;
  p = put_number(p, record.wire_len);
  *p++ = CSV_SEPARATOR;
  p = put_number(p, payload_len);
  *p++ = CSV_SEPARATOR;
  if (payload_len > 0) {
    md5_to_hex(digest.md5, p);
    p += MD5_HEX_SIZE;
  }
  *p++ = CSV_SEPARATOR;
  p = put_number(p, type);
  *p++ = CSV_SEPARATOR;
  p = put_number(p, code);
  *p++ = CSV_SEPARATOR;
  // The sequence number follows the identifier; the decoder guarantees only the identifier.
  const bool has_identifier = icmp_has_identifier(ipv6, type);
  if (has_identifier) p = put_number(p, load_be16(icmp + ICMP_ID_OFFSET));
  *p++ = CSV_SEPARATOR;
  if (has_identifier && packet.icmp.size() >= ICMP_HEADER_SIZE) {
    p = put_number(p, load_be16(icmp + ICMP_ID_END));
  }
  *p++ = CSV_SEPARATOR;
  const std::optional<reply_match>& match = note.reply;
  if (match) p = put_number(p, match->request_frame);
  *p++ = CSV_SEPARATOR;
  if (match && match->rtt_ns) p = put_seconds(p, *match->rtt_ns);
  *p++ = CSV_SEPARATOR;
  const char* name = ipv6 ? icmpv6_message_name(type, code) : icmp_message_name(type, code);
  p = put_csv_field(p, std::string_view(name, strnlen(name, MESSAGE_NAME_MAX)));
  *p++ = CSV_SEPARATOR;
  p = put_fraction4(p, digest.entropy);
  *p++ = CSV_SEPARATOR;
  p = put_bool(p, digest.random);
  *p++ = CSV_SEPARATOR;
  for (int i = 0; i < packet.link.vlan_count; ++i) {
    if (i > 0) *p++ = LIST_SEPARATOR;
    p = put_number(p, packet.link.vlan_ids[i]);
  }
  *p++ = CSV_SEPARATOR;
  line.commit(p);
  line.commit(put_encapsulations(line.room(ENCAPSULATION_FIELDS_MAX), packet));
  line.put(CSV_SEPARATOR);
  put_fragment_frames(line, packet.fragments);

  p = line.room(TRAILING_FIELDS_MAX);
  *p++ = CSV_SEPARATOR;
  p = put_bool(p, packet.fragments.overlap);
  *p++ = CSV_SEPARATOR;
  p = put_bool(p, packet.fragments.oversized);
  *p++ = CSV_SEPARATOR;
  p = put_bool(p, packet.fragments.incomplete);
  *p++ = CSV_SEPARATOR;
  p = put_number(p, record.link_type);
  *p++ = CSV_SEPARATOR;
  if (icmp_quotes_datagram(ipv6, type)) p = put_quoted(p, packet);
  line.commit(p);
  line.commit(
      put_details(line.room(DETAIL_FIELDS_MAX), ipv6, packet.details, packet.payload.data()));
  put_detail_lists(line, packet.details, packet.payload);

  // The dump columns carry what the dumps would show, as JSON's keys do.
  const bool hex_form = m_settings.format == output_format::hex;
  if (hex_form && m_settings.dump_hdr) {
    line.put(CSV_SEPARATOR);
    line.hex(packet.headers.data(), packet.headers.size());
  }
  if (hex_form && m_settings.dump_payload) {
    line.put(CSV_SEPARATOR);
    line.hex(packet.payload.data(), payload_len);
  }
  if (m_settings.format == output_format::strings) {
    std::vector<std::string> strings;
    message_strings(packet, m_settings.dump_payload, strings);
    line.put(CSV_SEPARATOR);
    put_strings(line, strings);
  }
  line.raw(CSV_RECORD_END);
  line.flush();
}

}  // namespace nelo
