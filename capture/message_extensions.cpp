#include "capture/message_extensions.h"

#include "packet/message_extensions.h"
#include "report/icmp_types.h"
#include "support/wire.h"

namespace nelo {

namespace {

// Where an error gives the length of the datagram it quotes, and in what unit: ICMP in 32-bit
// words, ICMPv6 in 64-bit words.
constexpr size_t ICMP_LENGTH_OFFSET = 5;
constexpr size_t ICMP_LENGTH_UNIT = 4;
constexpr size_t ICMP6_LENGTH_OFFSET = 4;
constexpr size_t ICMP6_LENGTH_UNIT = 8;
// What an error with extensions quotes at least, and where a sender that gives no length puts
// them.
constexpr size_t ORIGINAL_DATAGRAM_MIN = 128;
constexpr size_t EXT_ECHO_SEQ_OFFSET = 6;
constexpr size_t EXT_ECHO_BITS_OFFSET = 7;
constexpr size_t IPV4_TOTAL_LENGTH_OFFSET = 2;
constexpr size_t IPV6_PAYLOAD_LENGTH_OFFSET = 4;

// The message's payload as far as its IP header claims it, so that a link layer's padding or
// trailer is not taken for part of it; `cut` is set when the capture holds less. A datagram made
// whole from fragments is exactly its payload.
byte_span claimed_payload(const decoded_packet& packet, bool& cut) {
  const byte_span payload = packet.payload;
  if (!packet.fragments.frames.empty()) {
    cut = packet.fragments.incomplete;
    return payload;
  }
  const uint8_t* ip = packet.ip.bytes.data();
  const size_t claimed = packet.ip.ipv6
                             ? IPV6_HEADER_SIZE + load_be16(ip + IPV6_PAYLOAD_LENGTH_OFFSET)
                             : load_be16(ip + IPV4_TOTAL_LENGTH_OFFSET);
  const auto before = static_cast<size_t>(payload.data() - ip);
  cut = claimed < before || claimed - before > payload.size();
  return cut ? payload : payload.first(claimed - before);
}

// The one's complement sum of `bytes` as 16-bit big-endian words, folded.
uint16_t ones_complement_sum(byte_span bytes) {
  uint32_t sum = 0;
  size_t i = 0;
  for (; i + 1 < bytes.size(); i += 2) sum += load_be16(bytes.data() + i);
  if (i < bytes.size()) sum += static_cast<uint32_t>(bytes[i]) << 8;
  while (sum > 0xFFFF) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(sum);
}

// Why the object at the front of `objects` could not be taken: it reaches past the end, or its
// length is shorter than its header.
extension_damage object_damage(byte_span objects) {
  if (objects.size() < EXTENSION_OBJECT_HEADER_SIZE) return extension_damage::cut_short;
  return load_be16(objects.data()) > objects.size() ? extension_damage::cut_short
                                                    : extension_damage::object;
}

// Counts what `object` holds into `out` (interface identifications into `identifications`); false
// when it is of a kind nelo shows and cannot be that kind. Other kinds are passed over whole.
bool take_object(const extension_object& object, message_details& out, int& identifications) {
  switch (object.class_number) {
    case EXTENSION_CLASS_MPLS: {
      const size_t entries = mpls_entries(object);
      out.mpls_labels = static_cast<uint16_t>(out.mpls_labels + entries);
      return entries > 0;
    }
    case EXTENSION_CLASS_INTERFACE: {
      interface_info info;
      if (!read_interface_info(object, info)) return false;
      ++out.interfaces;
      return true;
    }
    case EXTENSION_CLASS_IDENTIFICATION: {
      interface_identification identification;
      if (!read_identification(object, identification)) return false;
      ++identifications;
      return true;
    }
    default:
      return true;
  }
}

// Reads the extension structure at `at` in `payload` into `out`. A structure found by guessing
// (`guessed`) that does not hold together is no structure: the bytes are the quoted datagram's,
// and nothing is said. Returns how many interface identification objects it holds.
int read_structure(byte_span payload, size_t at, bool guessed, message_details& out) {
  const byte_span structure = payload.subspan(at);
  const auto refuse = [&](extension_damage damage) {
    if (!guessed) out.damage = damage;
    return 0;
  };
  if (structure.size() < EXTENSION_HEADER_SIZE) return refuse(extension_damage::cut_short);
  if (structure[0] >> 4 != EXTENSION_VERSION) return refuse(extension_damage::version);
  const bool summed = load_be16(structure.data() + 2) != 0;
  if ((summed || guessed) && ones_complement_sum(structure) != 0xFFFF) {
    return refuse(extension_damage::checksum);
  }
  out.objects_at = static_cast<uint32_t>(at + EXTENSION_HEADER_SIZE);
  byte_span objects = structure.subspan(EXTENSION_HEADER_SIZE);
  int identifications = 0;
  extension_object object;
  while (!objects.empty()) {
    const byte_span rest = objects;
    if (!next_extension_object(objects, object)) {
      out.damage = object_damage(rest);
      break;
    }
    if (!take_object(object, out, identifications)) {
      out.damage = extension_damage::object;
      break;
    }
    out.objects_size = static_cast<uint32_t>(objects.data() - payload.data()) - out.objects_at;
  }
  return identifications;
}

// An error's structure, after the quoted datagram whose length it gives, or after 128 bytes when
// it gives none; ICMPv6 senders have always given the length. A length that reaches the end of
// the message leaves no room for one: the sender quotes more than it sent, and says nothing of
// extensions.
void read_error_extensions(const decoded_packet& packet, byte_span payload, message_details& out) {
  const bool ipv6 = packet.ip.ipv6;
  const size_t length = packet.icmp[ipv6 ? ICMP6_LENGTH_OFFSET : ICMP_LENGTH_OFFSET] *
                        (ipv6 ? ICMP6_LENGTH_UNIT : ICMP_LENGTH_UNIT);
  if (length == 0) {
    if (!ipv6 && payload.size() > ORIGINAL_DATAGRAM_MIN) {
      read_structure(payload, ORIGINAL_DATAGRAM_MIN, true, out);
    }
  } else if (length < payload.size()) {
    read_structure(payload, length, false, out);
  }
  if (out.mpls_labels > 0) out.has |= message_details::MPLS_LABELS;
  if (out.interfaces > 0) out.has |= message_details::INTERFACES;
}

}  // namespace

void read_message_extensions(const decoded_packet& packet, uint8_t type, message_details& out) {
  out.damage = extension_damage::none;
  out.objects_at = out.objects_size = 0;
  out.mpls_labels = out.interfaces = 0;
  if (packet.icmp.size() < ICMP_HEADER_SIZE) return;
  const bool ipv6 = packet.ip.ipv6;
  const bool request = type == (ipv6 ? ICMP6_EXT_ECHO_REQUEST : ICMP_EXT_ECHO_REQUEST);
  const bool reply = type == (ipv6 ? ICMP6_EXT_ECHO_REPLY : ICMP_EXT_ECHO_REPLY);
  const bool error = ipv6 ? type == ICMP6_DST_UNREACH || type == ICMP6_TIME_EXCEEDED
                          : type == ICMP_UNREACH || type == ICMP_TIMXCEED || type == ICMP_PARAMPROB;
  if (request || reply) {
    out.ext_seq = packet.icmp[EXT_ECHO_SEQ_OFFSET];
    out.ext_bits = packet.icmp[EXT_ECHO_BITS_OFFSET];
    out.has |= request ? message_details::EXT_REQUEST : message_details::EXT_REPLY;
  }
  if (!request && !error) return;
  bool cut = false;
  const byte_span payload = claimed_payload(packet, cut);
  if (cut) return;
  if (error) {
    read_error_extensions(packet, payload, out);
  } else if (!payload.empty()) {
    // A request asks about one interface: a second identification makes it unreadable.
    const int identifications = read_structure(payload, 0, false, out);
    if (identifications == 1) out.has |= message_details::IDENTIFIED;
    if (identifications > 1) out.damage = extension_damage::object;
  }
}

const char* extension_damage_phrase(extension_damage damage) {
  switch (damage) {
    case extension_damage::none:
      break;
    case extension_damage::cut_short:
      return "reach past the end of their message: read up to their last whole object";
    case extension_damage::version:
      return "have a version other than 2: not read";
    case extension_damage::checksum:
      return "have a wrong checksum: not read";
    case extension_damage::object:
      return "hold an object that cannot be read: read up to it";
  }
  return "";
}

}  // namespace nelo
