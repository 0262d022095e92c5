// The objects of an ICMP extension structure (RFC 4884) as the output forms read them: the MPLS
// label stack entries (RFC 4950) and interface information (RFC 5837) behind an error, and the
// interface an extended echo request identifies (RFC 8335). The reader in
// capture/message_extensions.cpp checks the structure once and keeps in the record only where its
// whole, plausible objects lie in the payload; the walkers here take each object apart with the
// same functions the reader checked it with, so both read one layout. What they hand out points
// into the payload and is valid as long as it is.
#ifndef NELO_PACKET_MESSAGE_EXTENSIONS_H_
#define NELO_PACKET_MESSAGE_EXTENSIONS_H_

#include <cstdint>
#include <string_view>

#include "packet/decoded_packet.h"
#include "packet/message_details.h"
#include "support/wire.h"

namespace nelo {

inline constexpr size_t EXTENSION_HEADER_SIZE = 4;         // version, reserved, checksum
inline constexpr size_t EXTENSION_OBJECT_HEADER_SIZE = 4;  // length, class, c-type
inline constexpr uint8_t EXTENSION_VERSION = 2;
inline constexpr uint8_t EXTENSION_CLASS_MPLS = 1;            // RFC 4950
inline constexpr uint8_t EXTENSION_CLASS_INTERFACE = 2;       // RFC 5837
inline constexpr uint8_t EXTENSION_CLASS_IDENTIFICATION = 3;  // RFC 8335
inline constexpr uint8_t MPLS_CTYPE_INCOMING_STACK = 1;

// Address family numbers of the sub-objects and objects that carry an address.
inline constexpr uint16_t ADDRESS_FAMILY_IPV4 = 1;
inline constexpr uint16_t ADDRESS_FAMILY_IPV6 = 2;

// One object: its class, c-type and the bytes behind its header.
struct extension_object {
  uint8_t class_number = 0;
  uint8_t ctype = 0;
  byte_span data;
};

// Takes the object at the front of `objects` into `out` and drops it from `objects`; false when
// no object is left, or the one left has a length shorter than its header or longer than what is
// left.
inline bool next_extension_object(byte_span& objects, extension_object& out) {
  if (objects.size() < EXTENSION_OBJECT_HEADER_SIZE) return false;
  const size_t length = load_be16(objects.data());
  if (length < EXTENSION_OBJECT_HEADER_SIZE || length > objects.size()) return false;
  out.class_number = objects[2];
  out.ctype = objects[3];
  out.data = objects.subspan(EXTENSION_OBJECT_HEADER_SIZE, length - EXTENSION_OBJECT_HEADER_SIZE);
  objects = objects.subspan(length);
  return true;
}

// One MPLS label stack entry.
struct mpls_entry {
  uint32_t label;
  uint8_t traffic_class;
  bool bottom;  // the bottom of the stack
  uint8_t ttl;
};

inline mpls_entry mpls_entry_at(const uint8_t* p) {
  const uint32_t entry = load_be32(p);
  return {entry >> MPLS_LABEL_SHIFT, static_cast<uint8_t>(entry >> 9 & 7),
          (entry & MPLS_BOTTOM_OF_STACK) != 0, static_cast<uint8_t>(entry)};
}

// The entries of an MPLS object, or 0 when its c-type is another or its bytes are no whole
// entries.
inline size_t mpls_entries(const extension_object& object) {
  if (object.ctype != MPLS_CTYPE_INCOMING_STACK || object.data.empty() ||
      object.data.size() % MPLS_LABEL_ENTRY_SIZE != 0) {
    return 0;
  }
  return object.data.size() / MPLS_LABEL_ENTRY_SIZE;
}

// What an interface information object says of one interface; each part only when its flag in
// the c-type is set.
struct interface_info {
  uint8_t role = 0;  // 0 the interface the datagram came in on, 1 its sub-IP part, 2 the
                     // interface it would have left by, 3 the next hop it would have gone to
  bool has_ifindex = false;
  bool has_address = false;
  bool has_mtu = false;
  bool ipv6 = false;
  uint32_t ifindex = 0;
  uint32_t mtu = 0;
  const uint8_t* address = nullptr;
  std::string_view name;  // empty when the object names no interface
};

// The kinds of damage as the output forms name them, from extension_damage::cut_short on.
inline constexpr std::string_view EXTENSION_DAMAGE_NAMES[EXTENSION_DAMAGE_KINDS] = {
    "cut_short", "version", "checksum", "object"};
inline std::string_view extension_damage_name(extension_damage damage) {
  return EXTENSION_DAMAGE_NAMES[static_cast<int>(damage) - 1];
}

// The roles by their two bits, as the output forms name them.
inline constexpr std::string_view INTERFACE_ROLE_NAMES[] = {"incoming", "incoming_sub_ip",
                                                            "outgoing", "next_hop"};
inline std::string_view interface_role_name(uint8_t role) {
  return INTERFACE_ROLE_NAMES[role & 3];
}

inline constexpr size_t INTERFACE_NAME_MAX = 63;  // a name sub-object is at most 64 bytes

// Reads an interface information object into `out`; false when its parts do not fill its bytes
// exactly, or one is not plausible: an address of a family other than IPv4 and IPv6, a name
// sub-object whose length is not a multiple of 4 from 4 to 64 or that holds no name.
inline bool read_interface_info(const extension_object& object, interface_info& out) {
  constexpr uint8_t IFINDEX = 8, ADDRESS = 4, NAME = 2, MTU = 1;
  constexpr size_t NAME_SUBOBJECT_MAX = INTERFACE_NAME_MAX + 1;
  const uint8_t flags = object.ctype;
  byte_span rest = object.data;
  out = {};
  out.role = flags >> 6;
  if (flags & IFINDEX) {
    if (rest.size() < 4) return false;
    out.has_ifindex = true;
    out.ifindex = load_be32(rest.data());
    rest = rest.subspan(4);
  }
  if (flags & ADDRESS) {
    if (rest.size() < 4) return false;
    const uint16_t family = load_be16(rest.data());
    const size_t size = family == ADDRESS_FAMILY_IPV4   ? IPV4_ADDRESS_SIZE
                        : family == ADDRESS_FAMILY_IPV6 ? IPV6_ADDRESS_SIZE
                                                        : 0;
    if (size == 0 || rest.size() < 4 + size) return false;
    out.has_address = true;
    out.ipv6 = family == ADDRESS_FAMILY_IPV6;
    out.address = rest.data() + 4;
    rest = rest.subspan(4 + size);
  }
  if (flags & NAME) {
    if (rest.empty()) return false;
    const size_t length = rest[0];
    if (length < 4 || length > NAME_SUBOBJECT_MAX || length % 4 != 0 || length > rest.size()) {
      return false;
    }
    const std::string_view padded(reinterpret_cast<const char*>(rest.data()) + 1, length - 1);
    out.name = padded.substr(0, padded.find('\0'));
    if (out.name.empty()) return false;
    rest = rest.subspan(length);
  }
  if (flags & MTU) {
    if (rest.size() < 4) return false;
    out.has_mtu = true;
    out.mtu = load_be32(rest.data());
    rest = rest.subspan(4);
  }
  return rest.empty();
}

// How an extended echo request names the interface it asks about.
struct interface_identification {
  enum kind_of : uint8_t { by_name = 1, by_index = 2, by_address = 3 };
  kind_of kind = by_name;
  std::string_view name;
  uint32_t index = 0;
  bool ipv6 = false;
  const uint8_t* address = nullptr;
};

// Reads an interface identification object into `out`; false for a c-type other than the three,
// and for one whose bytes cannot be it: a name that is empty or not padded to 32 bits, an index
// not of 4 bytes, an address that is not IPv4 or IPv6 of its size.
inline bool read_identification(const extension_object& object, interface_identification& out) {
  const byte_span data = object.data;
  out = {};
  switch (object.ctype) {
    case interface_identification::by_name: {
      const std::string_view padded(reinterpret_cast<const char*>(data.data()), data.size());
      out.kind = interface_identification::by_name;
      out.name = padded.substr(0, padded.find('\0'));
      return !out.name.empty() && data.size() % 4 == 0;
    }
    case interface_identification::by_index:
      out.kind = interface_identification::by_index;
      if (data.size() != 4) return false;
      out.index = load_be32(data.data());
      return true;
    case interface_identification::by_address: {
      if (data.size() < 4) return false;
      const uint16_t family = load_be16(data.data());
      const size_t size = data[2];
      const bool known = (family == ADDRESS_FAMILY_IPV4 && size == IPV4_ADDRESS_SIZE) ||
                         (family == ADDRESS_FAMILY_IPV6 && size == IPV6_ADDRESS_SIZE);
      if (!known || data.size() != 4 + size) return false;
      out.kind = interface_identification::by_address;
      out.ipv6 = family == ADDRESS_FAMILY_IPV6;
      out.address = data.data() + 4;
      return true;
    }
    default:
      return false;
  }
}

// Calls `fn` with each object of class `class_number` among the message's extension objects.
template <typename Fn>
void for_each_extension_object(const message_details& details, byte_span payload,
                               uint8_t class_number, Fn&& fn) {
  byte_span objects = payload.subspan(details.objects_at, details.objects_size);
  extension_object object;
  while (next_extension_object(objects, object)) {
    if (object.class_number == class_number) fn(object);
  }
}

// Calls `fn` with each MPLS label stack entry of the message's extension objects, in order.
template <typename Fn>
void for_each_mpls_label(const message_details& details, byte_span payload, Fn&& fn) {
  if (!(details.has & message_details::MPLS_LABELS)) return;
  for_each_extension_object(details, payload, EXTENSION_CLASS_MPLS,
                            [&](const extension_object& object) {
                              const size_t entries = mpls_entries(object);
                              for (size_t i = 0; i < entries; ++i) {
                                fn(mpls_entry_at(object.data.data() + i * MPLS_LABEL_ENTRY_SIZE));
                              }
                            });
}

// Calls `fn` with each interface information object of the message's extension objects.
template <typename Fn>
void for_each_interface(const message_details& details, byte_span payload, Fn&& fn) {
  if (!(details.has & message_details::INTERFACES)) return;
  for_each_extension_object(details, payload, EXTENSION_CLASS_INTERFACE,
                            [&](const extension_object& object) {
                              interface_info info;
                              if (read_interface_info(object, info)) fn(info);
                            });
}

// The interface an extended echo request identifies; false when it identifies none.
inline bool identified_interface(const message_details& details, byte_span payload,
                                 interface_identification& out) {
  if (!(details.has & message_details::IDENTIFIED)) return false;
  bool found = false;
  for_each_extension_object(
      details, payload, EXTENSION_CLASS_IDENTIFICATION,
      [&](const extension_object& object) { found = found || read_identification(object, out); });
  return found;
}

// The bits of an extended echo header's last byte.
inline constexpr uint8_t EXT_ECHO_LOCAL = 1;  // request: the interface is the probed node's own
inline constexpr uint8_t EXT_ECHO_ACTIVE = 4;
inline constexpr uint8_t EXT_ECHO_IPV4 = 2;
inline constexpr uint8_t EXT_ECHO_IPV6 = 1;
inline constexpr int EXT_ECHO_STATE_SHIFT = 5;

}  // namespace nelo

#endif  // NELO_PACKET_MESSAGE_EXTENSIONS_H_
