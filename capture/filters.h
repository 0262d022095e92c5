// Packet selection: the filter settings of a run, built once from the command line, applied to
// one decoded ICMP or ICMPv6 packet. Every filter is off until its field is set; a packet is kept
// only when it passes all that are on. The filters only read the settings and the packet, and
// print nothing.
#ifndef NELO_CAPTURE_FILTERS_H_
#define NELO_CAPTURE_FILTERS_H_

#include <cstdint>
#include <set>
#include <vector>

#include "capture/byte_pattern_match.h"
#include "packet/decoded_packet.h"
#include "support/ko_time.h"

namespace nelo {

// One item of an address filter: an address passes when its bits under `mask` equal `address`,
// whose other bits are 0. IPv4 values are in the order the filters load packet addresses, the
// address's first byte lowest; IPv6 values are the address's two halves, read big-endian.
struct ipv4_prefix {
  uint32_t address = 0;
  uint32_t mask = 0;
};

struct ipv6_prefix {
  uint64_t high = 0;
  uint64_t low = 0;
  uint64_t mask_high = 0;
  uint64_t mask_low = 0;
};

// A tunnel endpoint: a message passes when one of the tunnels it came through has this address
// as its outer source or destination.
struct tunnel_endpoint {
  bool on = false;
  bool ipv6 = false;
  uint8_t address[IPV6_ADDRESS_SIZE] = {};  // IPv4 in the first 4 bytes
};

// What selects the packets of a run. Fixed for the whole run: every walk, and every worker,
// reads the one value by const reference.
struct filter_settings {
  // Fragments are gathered into whole datagrams; off, a first fragment is read as if it were
  // whole and the others are dropped.
  bool reassemble = true;
  uint32_t min_size = 0;
  // Each address filter passes an address that any of its items holds; empty is off.
  std::vector<ipv4_prefix> src_ip;
  std::vector<ipv4_prefix> dst_ip;
  std::vector<ipv6_prefix> src_ipv6;
  std::vector<ipv6_prefix> dst_ipv6;
  bool track_replies = false;
  tunnel_endpoint tunnel_ip;
  std::vector<uint64_t> icmp_types;
  std::vector<uint64_t> icmp_codes;
  std::set<uint64_t> icmp_ids;
  std::set<uint64_t> frames;
  byte_pattern pattern;
  ko::fine_time start_time;  // ticks 0 is off, for either bound
  ko::fine_time stop_time;
};

// True when the packet passes, in this order: present arguments (record, IP header); min_size
// against the record's wire length; the frame number set; the time window [start_time,
// stop_time], inclusive, on the record's time to the nanosecond (a record without a time fails
// any window); the IPv4 or IPv6 addresses, each filter passing an address under any of its
// prefixes and matched against either end when track_replies is set (an address filter of the
// other IP version drops the packet); the tunnel endpoint; the byte pattern anywhere in the
// captured frame, link header included. A packet whose captured bytes do not reach an address that
// a filter needs is dropped.
bool packet_passes_filters(const decoded_packet& packet, const filter_settings& filters);

// True when the ICMP header passes the type list (against the low 8 bits of each listed value),
// the code list (likewise) and the identifier set (bytes 4 and 5, big-endian, for every message
// type). False when packet.icmp does not reach through byte 5 and any of them is on.
bool packet_passes_icmp_checks(const decoded_packet& packet, const filter_settings& filters);

}  // namespace nelo

#endif  // NELO_CAPTURE_FILTERS_H_
