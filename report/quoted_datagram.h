// The datagram an ICMP error message quotes, as far as its payload holds it: the protocol, the
// addresses and, for TCP and UDP, the ports of what could not be delivered. Read once here for
// every form that shows it.
#ifndef NELO_REPORT_QUOTED_DATAGRAM_H_
#define NELO_REPORT_QUOTED_DATAGRAM_H_

#include <cstdint>

#include "packet/decoded_packet.h"

namespace nelo {

// The addresses point into the packet's payload, in network order, and live as long as it.
struct quoted_datagram {
  uint8_t protocol = 0;
  bool ipv6 = false;
  const uint8_t* source = nullptr;
  const uint8_t* destination = nullptr;
  bool has_ports = false;  // TCP or UDP, with its first 4 bytes captured
  uint16_t source_port = 0;
  uint16_t destination_port = 0;
};

// Reads the datagram quoted in the payload of `packet`, an error message that quotes one; false
// when the quoted IP header was not captured whole or is not of the message's own IP version.
bool read_quoted_datagram(const decoded_packet& packet, quoted_datagram& quoted);

}  // namespace nelo

#endif  // NELO_REPORT_QUOTED_DATAGRAM_H_
