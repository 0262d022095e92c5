// What a message says beyond its type and code, read once from its bytes when the message is
// kept, so every output form only writes it: the MTU, gateway and pointer of the errors that carry
// them, the times of a timestamp message, the mask of an address-mask message, and the target
// (and destination) of an ICMPv6 neighbor solicitation, advertisement or redirect, the extension
// objects behind an error or an extended echo request and the fields of extended echo. Values are
// copied out of the frame, and what is a list stays in the payload, placed by its offset, so the
// record holds nothing that points into it (packet/message_extensions.h walks the lists).
#ifndef NELO_PACKET_MESSAGE_DETAILS_H_
#define NELO_PACKET_MESSAGE_DETAILS_H_

#include <cstdint>

#include "packet/protocol_fields.h"

namespace nelo {

// What keeps the objects of an extension structure from being read: the message ends before the
// structure or an object does, the structure has another version than 2 or a wrong checksum, or an
// object's length or contents cannot be those of its kind.
enum class extension_damage : uint8_t { none, cut_short, version, checksum, object };
inline constexpr int EXTENSION_DAMAGE_KINDS = 4;

struct message_details {
  // Which of the fields below the message has.
  enum field : uint32_t {
    MTU = 1,                // frag needed, packet too big
    GATEWAY = 2,            // IPv4 redirect
    POINTER = 4,            // parameter problem
    TIMES = 8,              // timestamp request and reply
    MASK = 16,              // address-mask request and reply
    TARGET = 32,            // ICMPv6 neighbor solicitation, advertisement and redirect
    DESTINATION = 64,       // ICMPv6 redirect
    MPLS_LABELS = 1 << 16,  // an error's extension objects hold an MPLS label stack
    INTERFACES = 1 << 17,   // an error's extension objects hold interface information
    EXT_REQUEST = 1 << 18,  // extended echo request: ext_seq and the L bit of ext_bits
    EXT_REPLY = 1 << 19,    // extended echo reply: ext_seq, and state and A, 4, 6 in ext_bits
    IDENTIFIED = 1 << 20    // extended echo request: its objects name the interface probed
  };
  uint32_t has = 0;
  uint32_t mtu = 0;
  uint32_t pointer = 0;
  uint32_t originate = 0;  // milliseconds since midnight UTC, as the message gives them
  uint32_t receive = 0;
  uint32_t transmit = 0;
  uint8_t gateway[IPV4_ADDRESS_SIZE] = {};
  uint8_t mask[IPV4_ADDRESS_SIZE] = {};
  uint8_t target[IPV6_ADDRESS_SIZE] = {};
  uint8_t destination[IPV6_ADDRESS_SIZE] = {};
  // The whole, plausible objects of the extension structure behind the message (RFC 4884): where
  // they start in the payload and how many bytes they take, and how many MPLS label stack
  // entries and interface information objects are among them.
  uint32_t objects_at = 0;
  uint32_t objects_size = 0;
  uint16_t mpls_labels = 0;
  uint16_t interfaces = 0;
  uint8_t ext_seq = 0;
  uint8_t ext_bits = 0;  // the last byte of an extended echo header, as sent
  // Why an extension structure the message has was not read, or read only up to a damaged object.
  extension_damage damage = extension_damage::none;
};

}  // namespace nelo

#endif  // NELO_PACKET_MESSAGE_DETAILS_H_
