// Packet selection: the filters of `packet_ctx` applied to one decoded ICMP or ICMPv6 packet.
// Every filter is off until its field is set; a packet is kept only when it passes all that
// are on. The filters only read the context and the packet, and print nothing.
#ifndef NELO_CAPTURE_FILTERS_H_
#define NELO_CAPTURE_FILTERS_H_

#include <cstdint>

#include "report/packet.h"

namespace nelo {

// `packet` is one that decode_packet filled. True when it passes, in this order: a present
// context; min_size against the record's wire length; the frame number set; the time window
// [start_time, stop_time], inclusive, on the record's time to the nanosecond (a record without a
// time fails any window); the IPv4 or IPv6 addresses, each filter passing an address under any
// of its prefixes and matched against either end when track_replies is set (an address filter
// of the other IP version drops the packet); the byte pattern anywhere in the captured frame,
// link header included.
bool packet_passes_filters(const decoded_packet& packet, const packet_ctx* ctx);

// True when the ICMP header passes the type list (against the low 8 bits of each listed value),
// the code list (likewise) and the identifier set (bytes 4 and 5, big-endian, for every message
// type). `packet` is one that decode_packet filled, so its ICMP header reaches through byte 5.
bool packet_passes_icmp_checks(const decoded_packet& packet, const packet_ctx& ctx);

}  // namespace nelo

#endif  // NELO_CAPTURE_FILTERS_H_
