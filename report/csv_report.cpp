#include "report/csv_report.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <vector>

#include "packet/message_extensions.h"
#include "report/address_text.h"
#include "report/detail_text.h"
#include "report/icmp_names.h"
#include "report/line_buffer.h"
#include "report/md5.h"
#include "report/packet_report.h"
#include "report/string_extract.h"
#include "support/csv_text.h"

namespace nelo {

namespace {

// The columns of every run, then those the dump options add; the names are JSON's keys.
constexpr std::string_view HEADER_COLUMNS =
    "file,frame,time,proto,src,dst,ttl,wire_len,payload_len,payload_md5,type,code,id,seq,"
    "request_frame,rtt,message,entropy,entropy_high,vlan,tunnels,mpls,pppoe,fragments,"
    "fragment_overlap,oversized,incomplete,link_type,quoted,quoted_type,quoted_id,quoted_seq,mtu,"
    "gateway,pointer,originate,receive,transmit,mask,target,destination,source_ll,target_ll,"
    "hop_limit,flags,preference,router_lifetime,group,prefixes,records,damaged,mpls_labels,"
    "interfaces,extension_damage,ext_seq,local,by_name,by_index,by_address,state,active,ipv4,"
    "ipv6";
constexpr std::string_view HEADER_HEX_COLUMN = ",header_hex";
constexpr std::string_view PAYLOAD_HEX_COLUMN = ",payload_hex";
constexpr std::string_view STRINGS_COLUMN = ",strings";

constexpr char LIST_SEPARATOR = ' ';
constexpr char STRINGS_SEPARATOR = '\n';  // strings hold blanks, never a line break
// The items of a list of objects, each given as KEY=VALUE pairs between blanks.
constexpr char ITEM_SEPARATOR = ';';
// The detail columns of a message without details, from mtu to ipv6, all empty.
constexpr std::string_view NO_DETAILS = ",,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,";
static_assert(NO_DETAILS.size() ==
              static_cast<size_t>(std::count(HEADER_COLUMNS.begin() + HEADER_COLUMNS.find(",mtu,"),
                                             HEADER_COLUMNS.end(), ',')));
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
// One prefix or MLDv2 record with its keys and the separator before it.
constexpr size_t DETAIL_ITEM_MAX =
    1 + 32 + PREFIX_TEXT_MAX + 2 * (DECIMAL_TEXT_MAX + 1) + 1 + FLAG_LETTERS_MAX;
// The separators of the list fields and the count of what was left out.
constexpr size_t DETAIL_LISTS_FRAME_MAX = 3 + DECIMAL_TEXT_MAX;
// The fragment signs, the link type, the quoted datagram with its ICMP fields, and the detail
// columns of a message without details.
constexpr size_t TRAILING_FIELDS_MAX = 4 * (FALSE_TEXT.size() + 1) + DECIMAL_TEXT_MAX + 1 +
                                       DECIMAL_TEXT_MAX + 2 * QUOTED_ADDRESS_MAX + 2 +
                                       3 * (DECIMAL_TEXT_MAX + 1) + NO_DETAILS.size();
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
char* put_quoted_end(char* p, bool ipv6, const quoted_datagram& quoted, const uint8_t* address,
                     uint16_t port) {
  if (ipv6) *p++ = '[';
  p = put_address(p, ipv6, address);
  if (ipv6) *p++ = ']';
  if (quoted.has_ports) {
    *p++ = ':';
    p = put_number(p, port);
  }
  return p;
}

// "udp 10.0.0.1:5353>10.0.0.2:53", then the quoted ICMP message's type, identifier and
// sequence number, each empty when not quoted.
char* put_quoted(char* p, const decoded_packet& packet) {
  const quoted_datagram& quoted = packet.quoted;
  if (quoted.present) {
    std::string_view name;
    for (const protocol_name& known : QUOTED_PROTOCOL_NAMES) {
      if (known.protocol == quoted.protocol) name = known.name;
    }
    p = name.empty() ? put_number(p, quoted.protocol) : put_text(p, name);
    *p++ = ' ';
    const bool ipv6 = packet.ip.ipv6;
    const address_pair ends = quoted_addresses(packet);
    p = put_quoted_end(p, ipv6, quoted, ends.source, quoted.source_port);
    *p++ = '>';
    p = put_quoted_end(p, ipv6, quoted, ends.destination, quoted.destination_port);
  }
  *p++ = CSV_SEPARATOR;
  if (quoted.has_icmp_type) p = put_number(p, quoted.icmp_type);
  *p++ = CSV_SEPARATOR;
  if (quoted.has_icmp_id) p = put_number(p, quoted.icmp_id);
  *p++ = CSV_SEPARATOR;
  if (quoted.has_icmp_id) p = put_number(p, quoted.icmp_seq);
  return p;
}

// The tunnels, MPLS labels and PPPoE session fields, each empty when there is nothing to show.
char* put_encapsulations(char* p, const decoded_packet& packet, tunnel_path_memo& paths) {
  if (packet.tunnels.count > 0) p = paths.put(p, packet);
  *p++ = CSV_SEPARATOR;
  bool first = true;
  for_each_mpls_label(packet, [&](uint32_t label) {
    if (!first) *p++ = LIST_SEPARATOR;
    first = false;
    p = put_number(p, label);
  });
  *p++ = CSV_SEPARATOR;
  if (const encapsulation* pppoe = pppoe_layer(packet)) p = put_number(p, pppoe->id);
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
  const uint32_t has = details.has;
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

// The prefixes and the records columns, an item at a time, items apart by ';' and each item as
// its KEY=VALUE pairs between blanks, as the extension objects are ("prefix=2001:db8::/64
// valid=86400 preferred=14400 flags=LA", "type=4 group=ff02::fb sources=0"); then the damaged
// column.
void put_detail_lists(line_buffer& line, const message_details& details, byte_span payload) {
  line.put(CSV_SEPARATOR);
  bool first = true;
  for_each_prefix(details, payload, [&](const prefix_option& prefix) {
    char* p = line.room(DETAIL_ITEM_MAX);
    if (!first) *p++ = ITEM_SEPARATOR;
    first = false;
    p = put_text(p, "prefix=");
    p = put_prefix(p, prefix);
    p = put_text(p, " valid=");
    p = put_number(p, prefix.valid);
    p = put_text(p, " preferred=");
    p = put_number(p, prefix.preferred);
    p = put_text(p, " flags=");
    line.commit(put_prefix_flags(p, prefix.flags));
  });
  line.put(CSV_SEPARATOR);
  first = true;
  for_each_record(details, payload, [&](const group_record& record) {
    char* p = line.room(DETAIL_ITEM_MAX);
    if (!first) *p++ = ITEM_SEPARATOR;
    first = false;
    p = put_text(p, "type=");
    p = put_number(p, record.type);
    p = put_text(p, " group=");
    p = put_address(p, true, record.group);
    p = put_text(p, " sources=");
    line.commit(put_number(p, record.sources));
  });
  char* p = line.room(DETAIL_LISTS_FRAME_MAX);
  *p++ = CSV_SEPARATOR;
  if (details.has & message_details::DAMAGED) p = put_number(p, details.damaged);
  line.commit(p);
}

// Every key and value of one MPLS label stack entry and of one interface but its name, at their
// longest, with the separator in front; the extended echo fields.
constexpr size_t MPLS_ENTRY_TEXT_MAX = 48;
constexpr size_t INTERFACE_TEXT_MAX = 112;
constexpr size_t EXT_ECHO_FIELDS_MAX = 128;

// Text from the message that goes inside a field written in pieces: with its double quotes
// doubled when the field is quoted.
void put_piece(line_buffer& line, std::string_view text, bool quoted) {
  if (quoted) {
    line.commit(put_csv_quoted_text(line.room(2 * text.size()), text));
  } else {
    line.raw(text);
  }
}

// The extension and extended echo columns, each empty when the message does not have it; lists
// of any length go an item at a time.
void put_extensions(line_buffer& line, const message_details& details, byte_span payload) {
  line.put(CSV_SEPARATOR);
  bool first = true;
  for_each_mpls_label(details, payload, [&](const mpls_entry& entry) {
    char* p = line.room(MPLS_ENTRY_TEXT_MAX);
    if (!first) *p++ = ITEM_SEPARATOR;
    first = false;
    p = put_text(p, "label=");
    p = put_number(p, entry.label);
    p = put_text(p, " tc=");
    p = put_number(p, entry.traffic_class);
    p = put_text(p, " bottom=");
    p = put_bool(p, entry.bottom);
    p = put_text(p, " ttl=");
    line.commit(put_number(p, entry.ttl));
  });
  line.put(CSV_SEPARATOR);
  bool quoted = false;
  for_each_interface(details, payload, [&](const interface_info& info) {
    quoted = quoted || csv_needs_quotes(info.name);
  });
  if (quoted) line.put('"');
  first = true;
  for_each_interface(details, payload, [&](const interface_info& info) {
    char* p = line.room(INTERFACE_TEXT_MAX);
    if (!first) *p++ = ITEM_SEPARATOR;
    first = false;
    p = put_text(p, "role=");
    p = put_text(p, interface_role_name(info.role));
    if (info.has_ifindex) {
      p = put_text(p, " ifindex=");
      p = put_number(p, info.ifindex);
    }
    if (info.has_address) {
      p = put_text(p, " address=");
      p = put_address(p, info.ipv6, info.address);
    }
    if (!info.name.empty()) p = put_text(p, " name=");
    line.commit(p);
    put_piece(line, info.name, quoted);
    if (info.has_mtu) {
      p = line.room(INTERFACE_TEXT_MAX);
      p = put_text(p, " mtu=");
      line.commit(put_number(p, info.mtu));
    }
  });
  if (quoted) line.put('"');

  const uint32_t has = details.has;
  const bool request = has & message_details::EXT_REQUEST;
  const bool reply = has & message_details::EXT_REPLY;
  interface_identification identified;
  const bool named = request && identified_interface(details, payload, identified);
  char* p = line.room(EXT_ECHO_FIELDS_MAX);
  *p++ = CSV_SEPARATOR;
  if (details.damage != extension_damage::none) {
    p = put_text(p, extension_damage_name(details.damage));
  }
  *p++ = CSV_SEPARATOR;
  if (request || reply) p = put_number(p, details.ext_seq);
  *p++ = CSV_SEPARATOR;
  if (request) p = put_bool(p, details.ext_bits & EXT_ECHO_LOCAL);
  *p++ = CSV_SEPARATOR;
  line.commit(p);
  if (named && identified.kind == interface_identification::by_name) {
    const bool quote_name = csv_needs_quotes(identified.name);
    if (quote_name) line.put('"');
    put_piece(line, identified.name, quote_name);
    if (quote_name) line.put('"');
  }
  p = line.room(EXT_ECHO_FIELDS_MAX);
  *p++ = CSV_SEPARATOR;
  if (named && identified.kind == interface_identification::by_index) {
    p = put_number(p, identified.index);
  }
  *p++ = CSV_SEPARATOR;
  if (named && identified.kind == interface_identification::by_address) {
    p = put_address(p, identified.ipv6, identified.address);
  }
  *p++ = CSV_SEPARATOR;
  if (reply) p = put_number(p, details.ext_bits >> EXT_ECHO_STATE_SHIFT);
  *p++ = CSV_SEPARATOR;
  if (reply) p = put_bool(p, details.ext_bits & EXT_ECHO_ACTIVE);
  *p++ = CSV_SEPARATOR;
  if (reply) p = put_bool(p, details.ext_bits & EXT_ECHO_IPV4);
  *p++ = CSV_SEPARATOR;
  if (reply) p = put_bool(p, details.ext_bits & EXT_ECHO_IPV6);
  line.commit(p);
}

// The bytes put_extensions writes at most.
size_t extensions_bound(const message_details& details, byte_span payload) {
  size_t bound = 2 + 2 * EXT_ECHO_FIELDS_MAX;
  if (details.has & message_details::MPLS_LABELS)
    bound += MPLS_ENTRY_TEXT_MAX * details.mpls_labels;
  if (details.has & message_details::INTERFACES) {
    bound += 2 + (2 * INTERFACE_TEXT_MAX + 2 * INTERFACE_NAME_MAX) * details.interfaces;
  }
  if (details.has & message_details::IDENTIFIED) bound += 2 + 2 * payload.size();
  return bound;
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
         (m_settings.format == output_format::strings ? 3 + 4 * region : 0) +
         CSV_RECORD_END.size() + extensions_bound(packet.details, packet.payload);
}

void csv_sink::format_text(const decoded_packet& packet, const payload_digest& digest,
                           const message_note& note, text_target& out) const {
  const capture_record& record = *packet.record;
  const bool ipv6 = packet.ip.ipv6;
  const message_fields& message = packet.message;
  const size_t payload_len = packet.payload.size();

  line_buffer line(out);
  line.raw(m_capture_field);
  char* p = line.room(LEADING_FIELDS_MAX);
  p = put_number(p, record.frame_number);
  *p++ = CSV_SEPARATOR;
  p = put_utc_time(p, record, out.seconds());
  p = put_text(p, ipv6 ? std::string_view(",icmpv6,") : std::string_view(",icmp,"));
  p = put_address(p, ipv6, message.source);
  *p++ = CSV_SEPARATOR;
  p = put_address(p, ipv6, message.destination);
  *p++ = CSV_SEPARATOR;
  p = put_number(p, message.hop_limit);
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
  p = put_number(p, message.type);
  *p++ = CSV_SEPARATOR;
  p = put_number(p, message.code);
  *p++ = CSV_SEPARATOR;
  if (message.has_id) p = put_number(p, message.id);
  *p++ = CSV_SEPARATOR;
  if (message.has_seq) p = put_number(p, message.seq);
  *p++ = CSV_SEPARATOR;
  const std::optional<reply_match>& match = note.reply;
  if (match) p = put_number(p, match->request_frame);
  *p++ = CSV_SEPARATOR;
  if (match && match->rtt_ns) p = put_seconds(p, *match->rtt_ns);
  *p++ = CSV_SEPARATOR;
  p = put_csv_field(p, icmp_name(ipv6, message.type, message.code));
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
  line.commit(put_encapsulations(line.room(ENCAPSULATION_FIELDS_MAX), packet, out.tunnel_paths()));
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
  p = put_quoted(p, packet);
  const message_details& details = packet.details;
  if (details.has == 0 && details.damage == extension_damage::none) {
    // A message that says nothing beyond its name (an echo, the bulk of most captures): its
    // detail columns are empty, copied in one piece of fixed size.
    std::memcpy(p, NO_DETAILS.data(), NO_DETAILS.size());
    line.commit(p + NO_DETAILS.size());
  } else {
    line.commit(p);
    line.commit(put_details(line.room(DETAIL_FIELDS_MAX), ipv6, details, packet.payload.data()));
    put_detail_lists(line, details, packet.payload);
    put_extensions(line, details, packet.payload);
  }

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
