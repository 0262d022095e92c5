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

// The tunnel filter: a message passes when one of the tunnels it came through has an outer
// source or destination under one of these prefixes.
struct tunnel_endpoints {
  std::vector<ipv4_prefix> ipv4;
  std::vector<ipv6_prefix> ipv6;

  bool on() const { return !ipv4.empty() || !ipv6.empty(); }
};

// One item of the type or code filter: a number applies to ICMP and ICMPv6 alike, a name only to
// the protocol whose messages it names ("echo" is 8 in ICMP and 128 in ICMPv6).
struct icmp_value {
  uint8_t value = 0;
  bool icmpv4 = true;
  bool icmpv6 = true;
};

// Frames `first` to `last`, both included.
struct frame_range {
  uint64_t first = 0;
  uint64_t last = 0;
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
  tunnel_endpoints tunnel_ip;
  // -proto: the protocols whose messages are kept.
  bool icmpv4 = true;
  bool icmpv6 = true;
  std::vector<icmp_value> icmp_types;
  std::vector<icmp_value> icmp_codes;
  std::set<uint64_t> icmp_ids;
  std::vector<frame_range> frames;  // sorted, none touching another; empty is off
  byte_pattern pattern;
  // -find_text also looks for its text as UTF-16LE: a packet passes when either pattern occurs.
  byte_pattern pattern_utf16;
  ko::fine_time start_time;  // ticks 0 is off, for either bound
  ko::fine_time stop_time;
};

// True when any selection or reassembly setting differs from taking every message whole: a
// summary merged from saved tables has no messages left to select.
bool selects_messages(const filter_settings& filters);

// True when the packet passes, in this order: the protocol (-proto); min_size against the
// record's wire length; the frame ranges; the time window [start_time, stop_time], inclusive, on
// the record's time to the nanosecond (a record without a time fails any window); the
// addresses, each end's filter (its IPv4 and IPv6 items together) passing an address under any
// of its prefixes of the packet's IP version, and matched against either end when track_replies
// is set; the tunnel endpoints; the byte pattern (or its UTF-16LE form) anywhere in the captured
// frame, link header included. A packet whose captured bytes do not reach an address that
// a filter needs is dropped.
bool packet_passes_filters(const decoded_packet& packet, const filter_settings& filters);

// True when the ICMP header passes the type list (an item of the packet's protocol with the
// packet's type), the code list (likewise) and the identifier set (bytes 4 and 5, big-endian, for
// every message type). False when packet.icmp does not reach through byte 5 and any of them is on.
bool packet_passes_icmp_checks(const decoded_packet& packet, const filter_settings& filters);

}  // namespace nelo

#endif  // NELO_CAPTURE_FILTERS_H_
