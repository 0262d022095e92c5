// Reads what a kept message says beyond its name into its record (see packet/message_details.h).
#ifndef NELO_CAPTURE_MESSAGE_DETAILS_H_
#define NELO_CAPTURE_MESSAGE_DETAILS_H_

#include "packet/decoded_packet.h"

namespace nelo {

// Fills `packet.details` from its ICMP header and payload; a field whose bytes were not captured
// stays unset.
void read_message_details(decoded_packet& packet);

}  // namespace nelo

#endif  // NELO_CAPTURE_MESSAGE_DETAILS_H_
