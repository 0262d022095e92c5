// Decoding one capture record into an ICMP or ICMPv6 packet, and the per-packet pipeline that
// follows: filters, then the walk's sinks. The link layer is stripped by capture/link_layer; from
// the network header on, every frame is decoded alike, through the encapsulations of
// capture/encapsulation to the innermost message. Everything that is not ICMP over IPv4 or
// ICMPv6 over IPv6 (other protocols, later IPv4 fragments, frames too short to hold the fields
// we read) is dropped; of those, only the frames in tunnels nelo does not open are counted.
// Works in place on the reader's buffer; keeps no state between records.
#ifndef NELO_CAPTURE_PACKET_HANDLER_H_
#define NELO_CAPTURE_PACKET_HANDLER_H_

#include <cstdint>

#include "capture/encapsulation.h"
#include "capture/filters.h"
#include "packet/capture_record.h"
#include "packet/decoded_packet.h"

namespace nelo {

class payload_pipeline;
class sink_set;

// What the packet stages read while one capture is walked: the run's filter settings, fixed for
// the run and shared by every walk and worker, and the walker's own sinks and payload pipeline.
// Every pointer but `pipeline` must be set.
struct packet_ctx {
  const filter_settings* filters = nullptr;
  sink_set* sinks = nullptr;
  // Payload work on other threads for this walk, or null: the handler does it itself.
  payload_pipeline* pipeline = nullptr;
  // The frames of this walk in tunnels nelo does not open.
  unopened_tally unopened = {};
};

// The most IPv6 extension headers walked in front of an ICMPv6 header.
inline constexpr int IPV6_EXTENSION_HEADERS_MAX = 8;

// Fills `packet` from `record`. ICMPv6 is found behind up to eight hop-by-hop, routing,
// destination-options, authentication and first-fragment headers, ICMP behind up to eight
// authentication headers, and either behind up to ENCAPSULATIONS_MAX encapsulations, which
// `packet.tunnels` lists. False for anything that is
// not ICMP or ICMPv6 as above, for an IPv4 fragment other than the first (it holds no ICMP
// header), and for a frame whose captured bytes do not reach through the addresses, the hop
// limit and the ICMP identifier: no later stage ever reads past the captured bytes.
bool decode_packet(const capture_record& record, decoded_packet& packet);

// The packet handler given to the reader: decode, filter, then do the payload work the sinks
// need and hand the packet to them, or hand it to the context's pipeline. Returns 1 when the
// packet was kept, 0 when it was dropped or the context was missing.
int handle_packet(const capture_record& record, packet_ctx* ctx);

}  // namespace nelo

#endif  // NELO_CAPTURE_PACKET_HANDLER_H_
