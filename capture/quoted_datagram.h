// Reads the datagram an ICMP error message quotes into the message's record (see
// packet/decoded_packet.h), once the message is kept, for every form that shows it.
#ifndef NELO_CAPTURE_QUOTED_DATAGRAM_H_
#define NELO_CAPTURE_QUOTED_DATAGRAM_H_

#include "packet/decoded_packet.h"

namespace nelo {

// Fills `packet.quoted` from the payload of `packet`, an error message that quotes a datagram; it
// stays absent when the quoted IP header was not captured whole or is not of the message's own IP
// version, and each field behind the header stays unset as far as its bytes were not captured.
void read_quoted_datagram(decoded_packet& packet);

}  // namespace nelo

#endif  // NELO_CAPTURE_QUOTED_DATAGRAM_H_
