// Reads what lies behind the 8-byte header of an error or an extended echo message into its record:
// the objects of the extension structure (RFC 4884) an ICMP or ICMPv6 error may carry after the
// datagram it quotes, and the fields of extended echo (RFC 8335). A structure that cannot be read
// is counted by the kind of damage, so the walk can say how many there were.
#ifndef NELO_CAPTURE_MESSAGE_EXTENSIONS_H_
#define NELO_CAPTURE_MESSAGE_EXTENSIONS_H_

#include <cstdint>

#include "packet/decoded_packet.h"

namespace nelo {

// The messages of one walk whose extension structure was not read, or read only up to a
// damaged object, by the kind of damage.
struct extension_tally {
  uint64_t messages[EXTENSION_DAMAGE_KINDS + 1] = {};

  void count(extension_damage damage) { ++messages[static_cast<int>(damage)]; }
};

// Fills the extension fields of `out` from `packet`, whose type is `type`, and sets out.damage.
// Nothing is read from a message the capture cut short; an ICMP error whose length field is 0 is
// taken to carry a structure after its first 128 quoted bytes only when one of version 2 with a
// checksum that holds is there, as older senders put it, and is otherwise read as all quoted.
void read_message_extensions(const decoded_packet& packet, uint8_t type, message_details& out);

// A kind of damage and what it leaves of the structure, in words for the line that counts them:
// "have a wrong checksum: not read" and so on.
const char* extension_damage_phrase(extension_damage damage);

}  // namespace nelo

#endif  // NELO_CAPTURE_MESSAGE_EXTENSIONS_H_
