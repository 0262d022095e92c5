// Decoding one pcap record as an Ethernet II frame carrying ICMP over IPv4 or ICMPv6 directly
// behind the fixed IPv6 header, and the per-packet pipeline that follows: filters, report line,
// dumps. Everything else (other EtherTypes, VLAN tags, TCP, UDP, extension headers, frames too
// short to hold the fields we read) is dropped without a trace. Works in place on the reader's
// buffer; keeps no state between records.
#ifndef NELO_CAPTURE_PACKET_HANDLER_H_
#define NELO_CAPTURE_PACKET_HANDLER_H_

#include <cstdint>

#include "report/packet.h"

namespace nelo {

// Fills `packet` from a record (its 16-byte header followed by `incl_len` captured bytes).
// False for anything that is not ICMP or ICMPv6 as above, and for a frame whose captured bytes
// do not reach through the addresses, the hop limit and the ICMP identifier: no later stage
// ever reads past the captured bytes.
bool decode_packet(const uint8_t* record, decoded_packet& packet);

// The packet handler given to the reader: decode, filter, report, dump. Returns 1 when the
// packet was kept, 0 when it was dropped or an argument was missing. Asks the walk to stop when
// the report stream has failed.
int handle_packet(uint64_t frame_number, const uint8_t* record, packet_ctx* ctx);

}  // namespace nelo

#endif  // NELO_CAPTURE_PACKET_HANDLER_H_
