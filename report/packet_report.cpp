// The report line. Built with hand-written formatting into one stack buffer and handed to the
// target in a single write: on large captures this line is the program's hottest output path.
#include "report/packet_report.h"

#include <cstring>

#include "report/address_text.h"
#include "report/icmp_names.h"
#include "report/md5.h"
#include "support/byte_text.h"
#include "support/ko_time.h"

namespace nelo {

namespace {

constexpr std::string_view SEPARATOR = " , ";
constexpr std::string_view PROTO_ICMP = "icmp  ";
constexpr std::string_view PROTO_ICMPV6 = "icmpv6";
constexpr std::string_view ID_PREFIX = "id: 0x";
constexpr std::string_view ID_SUFFIX = ", ";
constexpr std::string_view ENTROPY_NOTE = ", payload has entropy high";
constexpr std::string_view OVERLAP_NOTE = ", fragments overlap with different bytes";
constexpr std::string_view OVERSIZED_NOTE = ", oversized datagram";
constexpr std::string_view INCOMPLETE_NOTE = ", incomplete datagram";
constexpr std::string_view VIA = ", via ";
constexpr std::string_view MTU_NOTE = ", mtu ";
constexpr std::string_view GATEWAY_NOTE = ", gateway ";
constexpr std::string_view POINTER_NOTE = ", pointer ";

constexpr size_t FRAME_WIDTH = 7;
constexpr size_t SOURCE_WIDTH = 25;
constexpr size_t DESTINATION_WIDTH = 24;
constexpr size_t TTL_WIDTH = 3;
constexpr size_t LENGTH_WIDTH = 5;

constexpr size_t DATE_SIZE = 10;   // "yyyy-mm-dd"
constexpr size_t CLOCK_SIZE = 12;  // "hh:mm:ss.mmm"
static_assert(sizeof(utc_second_memo::text::date) == DATE_SIZE &&
              sizeof(utc_second_memo::text::clock) + 4 == CLOCK_SIZE);
constexpr size_t DECIMAL_MAX = 20;  // digits of the largest u64
// Every piece of the line at its longest but the tunnels, and one tunnel with its separator, so
// no write can pass the end of the buffer.
constexpr size_t REPORT_LINE_UNTUNNELLED_MAX =
    DECIMAL_MAX + DATE_SIZE + CLOCK_SIZE + PROTO_ICMPV6.size() + 2 * IPV6_TEXT_MAX +
    3 * DECIMAL_MAX + MD5_HEX_SIZE + ID_PREFIX.size() + 4 + ID_SUFFIX.size() + MESSAGE_NAME_MAX +
    GATEWAY_NOTE.size() + DECIMAL_MAX + ENTROPY_NOTE.size() + OVERLAP_NOTE.size() +
    OVERSIZED_NOTE.size() + INCOMPLETE_NOTE.size() + VIA.size() + 10 * SEPARATOR.size() + 2;
constexpr size_t TUNNEL_TEXT_MAX = TUNNEL_PATH_MAX / ENCAPSULATIONS_MAX;
static_assert(TUNNEL_PATH_MAX % ENCAPSULATIONS_MAX == 0);
constexpr size_t REPORT_LINE_MAX = REPORT_LINE_UNTUNNELLED_MAX + TUNNEL_PATH_MAX;

char* put_blanks(char* p, size_t count) {
  std::memset(p, ' ', count);
  return p + count;
}

// `value` in decimal, padded on the left with blanks to `width`; never cut.
char* put_decimal_right(char* p, uint64_t value, size_t width) {
  char digits[DECIMAL_MAX];
  char* end = digits + DECIMAL_MAX;
  char* d = end;
  do {
    *--d = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  const size_t len = static_cast<size_t>(end - d);
  if (len < width) p = put_blanks(p, width - len);
  std::memcpy(p, d, len);
  return p + len;
}

// Writes an address column and returns the end; the text goes straight into the line.
char* put_address(char* p, bool ipv6, const uint8_t* bytes, size_t width) {
  const size_t len = ipv6 ? ipv6_to_text(bytes, p) : ip_to_text(bytes, p);
  p += len;
  if (len < width) p = put_blanks(p, width - len);
  return p;
}

// ", via " and the tunnel path, or nothing when the message came through no tunnel.
char* put_tunnels(char* p, const decoded_packet& packet, tunnel_path_memo& paths) {
  char* path = put_text(p, VIA);
  char* end = paths.put(path, packet);
  return end == path ? p : end;
}

// What was odd about how a message made of fragments arrived.
// The one detail the line shows after the message name: an MTU, a gateway or a pointer.
char* put_detail(char* p, const message_details& details) {
  if (details.has & message_details::MTU) {
    p = put_text(p, MTU_NOTE);
    p = put_number(p, details.mtu);
  } else if (details.has & message_details::GATEWAY) {
    p = put_text(p, GATEWAY_NOTE);
    p += ip_to_text(details.gateway, p);
  } else if (details.has & message_details::POINTER) {
    p = put_text(p, POINTER_NOTE);
    p = put_number(p, details.pointer);
  }
  return p;
}

char* put_fragment_notes(char* p, const fragment_trail& trail) {
  if (trail.overlap) p = put_text(p, OVERLAP_NOTE);
  if (trail.oversized) p = put_text(p, OVERSIZED_NOTE);
  if (trail.incomplete) p = put_text(p, INCOMPLETE_NOTE);
  return p;
}

}  // namespace

void report_line_sink::begin_capture(const std::string& /*name*/) {
  m_header_pending = true;
}

size_t report_line_sink::text_bound(const decoded_packet& packet) const {
  return REPORT_LINE_UNTUNNELLED_MAX + packet.tunnels.count * TUNNEL_TEXT_MAX;
}

void report_line_sink::before_text(std::ostream& out) {
  if (!m_header_pending) return;
  m_header_pending = false;
  char text[REPORT_HEADER.size() + 2];
  char* p = put_text(text, REPORT_HEADER);
  *p++ = '\n';
  *p++ = '\n';
  out.write(text, p - text);
}

void report_line_sink::format_text(const decoded_packet& packet, const payload_digest& digest,
                                   const message_note& /*note*/, text_target& out) const {
  const capture_record& record = *packet.record;
  const utc_second_memo::text* second =
      record.time == record_time::shown ? out.seconds().of(record.ticks) : nullptr;

  const message_fields& message = packet.message;
  const bool ipv6 = packet.ip.ipv6;

  char line[REPORT_LINE_MAX];
  char* p = put_decimal_right(line, record.frame_number, FRAME_WIDTH);
  p = put_text(p, SEPARATOR);
  if (second != nullptr) {
    p = put_text(p, std::string_view(second->date, sizeof second->date));
    p = put_text(p, SEPARATOR);
    p = put_text(p, std::string_view(second->clock, sizeof second->clock));
    *p++ = '.';
    p = put_digits(p, record.ticks % ko::TICKS_PER_SECOND / ko::TICKS_PER_MILLISECOND, 3);
  } else {
    p = put_text(p, SEPARATOR);
  }
  p = put_text(p, SEPARATOR);
  p = put_text(p, ipv6 ? PROTO_ICMPV6 : PROTO_ICMP);
  p = put_text(p, SEPARATOR);
  p = put_address(p, ipv6, message.source, SOURCE_WIDTH);
  p = put_text(p, SEPARATOR);
  p = put_address(p, ipv6, message.destination, DESTINATION_WIDTH);
  p = put_text(p, SEPARATOR);
  p = put_decimal_right(p, message.hop_limit, TTL_WIDTH);
  p = put_text(p, SEPARATOR);
  p = put_decimal_right(p, record.wire_len, LENGTH_WIDTH);
  p = put_text(p, SEPARATOR);
  p = put_decimal_right(p, packet.payload.size(), LENGTH_WIDTH);
  p = put_text(p, SEPARATOR);

  if (!packet.payload.empty()) {
    md5_to_hex(digest.md5, p);
    p += MD5_HEX_SIZE;
  }
  p = put_text(p, SEPARATOR);

  if (message.has_id) {
    p = put_text(p, ID_PREFIX);
    p = put_hex4(p, message.id);
    p = put_text(p, ID_SUFFIX);
  }
  p = put_text(p, icmp_name(ipv6, message.type, message.code));
  p = put_detail(p, packet.details);
  // Every message has a name, so the comment is never empty and the note always takes ", ".
  if (digest.random) p = put_text(p, ENTROPY_NOTE);
  if (!packet.fragments.frames.empty()) p = put_fragment_notes(p, packet.fragments);
  if (packet.tunnels.count > 0) p = put_tunnels(p, packet, out.tunnel_paths());
  if (!digest.random) *p++ = ' ';
  *p++ = '\n';

  out.write(line, static_cast<size_t>(p - line));
}

}  // namespace nelo
