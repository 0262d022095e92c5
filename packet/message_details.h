// What a message says beyond its type and code, read once from its bytes when the message is
// kept, so every output form only writes it: the MTU, gateway and pointer of the errors that carry
// them, the times of a timestamp message, the mask of an address-mask message, and the target
// (and destination) of an ICMPv6 neighbor solicitation, advertisement or redirect. Values are
// copied out of the frame, so the record holds nothing that points into it.
#ifndef NELO_PACKET_MESSAGE_DETAILS_H_
#define NELO_PACKET_MESSAGE_DETAILS_H_

#include <cstdint>

#include "packet/protocol_fields.h"

namespace nelo {

struct message_details {
  // Which of the fields below the message has.
  enum field : uint8_t {
    MTU = 1,          // frag needed, packet too big
    GATEWAY = 2,      // IPv4 redirect
    POINTER = 4,      // parameter problem
    TIMES = 8,        // timestamp request and reply
    MASK = 16,        // address-mask request and reply
    TARGET = 32,      // ICMPv6 neighbor solicitation, advertisement and redirect
    DESTINATION = 64  // ICMPv6 redirect
  };
  uint8_t has = 0;
  uint32_t mtu = 0;
  uint32_t pointer = 0;
  uint32_t originate = 0;  // milliseconds since midnight UTC, as the message gives them
  uint32_t receive = 0;
  uint32_t transmit = 0;
  uint8_t gateway[IPV4_ADDRESS_SIZE] = {};
  uint8_t mask[IPV4_ADDRESS_SIZE] = {};
  uint8_t target[IPV6_ADDRESS_SIZE] = {};
  uint8_t destination[IPV6_ADDRESS_SIZE] = {};
};

}  // namespace nelo

#endif  // NELO_PACKET_MESSAGE_DETAILS_H_
