// Decoding one capture record into an ICMP or ICMPv6 packet, and the per-packet pipeline that
// follows: filters, then the walk's sinks. The link layer is stripped by capture/link_layer; from
// the network header on, every frame is decoded alike, through the encapsulations of
// capture/encapsulation to the innermost message. Everything that is not ICMP over IPv4 or
// ICMPv6 over IPv6 (other protocols, frames too short to hold the fields we read) is dropped; of
// those, only the frames in tunnels nelo does not open are counted. Works in place on the
// reader's buffer; the only state kept between records is the fragments of datagrams not yet
// whole, in the walk's context.
#ifndef NELO_CAPTURE_PACKET_HANDLER_H_
#define NELO_CAPTURE_PACKET_HANDLER_H_

#include <cstdint>
#include <memory>
#include <vector>

#include "capture/encapsulation.h"
#include "capture/filters.h"
#include "capture/message_extensions.h"
#include "capture/reassembly.h"
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
  // The sinks write the frames of each message whole: a fragment's frame is kept with its
  // datagram until the message is reported.
  bool keep_frames = false;
  // The frames of this walk in tunnels nelo does not open.
  unopened_tally unopened = {};
  // The kept messages of this walk whose extension structure could not be read whole.
  extension_tally extensions = {};
  // The datagrams of this walk waiting for fragments, and those just given up, which are
  // reported before the record that gave them up.
  fragment_reassembly reassembly = {};
  std::vector<std::unique_ptr<reassembled_datagram>> given_up = {};
};

// The most IPv6 extension headers walked in front of an ICMPv6 header.
inline constexpr int IPV6_EXTENSION_HEADERS_MAX = 8;

// Fills `packet` from `record`, without reassembly: a first fragment is read as if it were
// whole, and the other fragments are dropped. ICMPv6 is found behind up to eight hop-by-hop,
// routing, destination-options, authentication and first-fragment headers, ICMP behind up to eight
// authentication headers, and either behind up to ENCAPSULATIONS_MAX encapsulations, which
// `packet.tunnels` lists. False for anything that is
// not ICMP or ICMPv6 as above, for a fragment other than the first (it holds no ICMP
// header), and for a frame whose captured bytes do not reach through the addresses, the hop
// limit and the ICMP identifier: no later stage ever reads past the captured bytes.
bool decode_packet(const capture_record& record, decoded_packet& packet);

// The packet handler given to the reader: decode, filter, then do the payload work the sinks
// need and hand the packet to them, or hand it to the context's pipeline. With reassembly on,
// a fragment is gathered, and the message of a datagram made whole is reported at the record
// that completed it; the datagrams this record gives up (waiting too long, or to make room) are
// reported first. Returns how many messages were kept: 0 when the context is missing.
int handle_packet(const capture_record& record, packet_ctx* ctx);

// The end of a walk: gives up every datagram still waiting and, when `report` is set, reports
// those whose first fragment arrived. Returns how many datagrams the walk gave up in all.
uint64_t finish_reassembly(packet_ctx& ctx, bool report);

}  // namespace nelo

#endif  // NELO_CAPTURE_PACKET_HANDLER_H_
