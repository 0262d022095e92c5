// The records every packet stage shares: the capture record every container reader fills, the
// decoded positions of one ICMP or ICMPv6 packet, the byte pattern, and `packet_ctx`, the settings
// the driver builds from the command line. They live here, at the lowest stage that reads them, so
// that the reader, decoder and filters (capture/) and the report and dumps (report/) see one
// definition. `packet_ctx` is owned by the driver; the stages only read it, except for
// `header_pending`.
#ifndef NELO_REPORT_PACKET_H_
#define NELO_REPORT_PACKET_H_

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "support/ko_time.h"

namespace nelo {

// Fields of the network header, as offsets from its first byte.
inline constexpr uint16_t ETHERTYPE_IPV4 = 0x0800;
inline constexpr uint16_t ETHERTYPE_IPV6 = 0x86DD;
inline constexpr size_t IPV4_FRAGMENT_OFFSET = 6;  // flags and fragment offset, big-endian
inline constexpr uint16_t IPV4_FRAGMENT_OFFSET_MASK = 0x1FFF;
inline constexpr size_t IPV4_TTL_OFFSET = 8;
inline constexpr size_t IPV4_PROTOCOL_OFFSET = 9;
inline constexpr size_t IPV4_SOURCE_OFFSET = 12;
inline constexpr size_t IPV4_DESTINATION_OFFSET = 16;
inline constexpr size_t IPV4_ADDRESS_SIZE = 4;
inline constexpr uint8_t IP_PROTOCOL_ICMP = 1;
inline constexpr size_t IPV6_HEADER_SIZE = 40;
inline constexpr size_t IPV6_NEXT_HEADER_OFFSET = 6;
inline constexpr size_t IPV6_HOP_LIMIT_OFFSET = 7;
inline constexpr size_t IPV6_SOURCE_OFFSET = 8;
inline constexpr size_t IPV6_DESTINATION_OFFSET = 24;
inline constexpr size_t IPV6_ADDRESS_SIZE = 16;
inline constexpr uint8_t IP_PROTOCOL_ICMPV6 = 58;
inline constexpr size_t ICMP_HEADER_SIZE = 8;
inline constexpr size_t ICMP_TYPE_OFFSET = 0;
inline constexpr size_t ICMP_CODE_OFFSET = 1;
inline constexpr size_t ICMP_ID_OFFSET = 4;
// The identifier (bytes 4 and 5) is the last ICMP field any stage reads.
inline constexpr size_t ICMP_ID_END = 6;

// How a record's time may be used. Classic pcap stamps at or before 1970 keep their tick count
// for the time window but are never shown as a date; a Simple Packet Block has no time at all.
enum class record_time : uint8_t { shown, hidden, absent };

// One packet record as every container reader hands it on: the same fields whatever the file
// format, so no later stage knows which container or byte order the record came from. `bytes`
// points into the reader's buffer and is valid only during the handler call.
struct capture_record {
  uint64_t frame_number = 0;  // ordinal of the packet record in its file, from 1
  uint64_t ticks = 0;         // 100-ns ticks since 1601-01-01 UTC
  record_time time = record_time::shown;
  uint8_t sub_tick_ns = 0;  // nanoseconds below the tick, for captures that hold them
  uint32_t link_type = 0;
  uint32_t captured_len = 0;  // bytes of the frame really present at `bytes`
  uint32_t wire_len = 0;      // the frame's length on the wire, as the capture claims
  const uint8_t* bytes = nullptr;
};

enum class output_format : uint32_t { hex = 1, ascii = 2, binary = 3, strings = 4 };

// One run of a byte pattern: literal bytes followed by `wildcards` bytes of any value. Only the
// first run may lack a literal (wildcards before the first literal byte). Counts are 32-bit so
// that long runs of wildcards are never wrapped.
struct pattern_run {
  std::string literal;
  uint32_t wildcards = 0;
};

struct byte_pattern {
  std::vector<pattern_run> runs;
  uint64_t total_len = 0;  // sum of literal lengths and wildcard counts; 0 means off

  bool on() const { return total_len > 0; }
  void reset() {
    runs.clear();
    total_len = 0;
  }
};

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

class payload_pipeline;

struct packet_ctx {
  uint32_t min_size = 0;
  // Each address filter passes an address that any of its items holds; empty is off.
  std::vector<ipv4_prefix> src_ip;
  std::vector<ipv4_prefix> dst_ip;
  std::vector<ipv6_prefix> src_ipv6;
  std::vector<ipv6_prefix> dst_ipv6;
  bool track_replies = false;
  std::vector<uint64_t> icmp_types;
  std::vector<uint64_t> icmp_codes;
  std::set<uint64_t> icmp_ids;
  output_format format = output_format::hex;
  bool dump_meta = false;
  bool dump_hdr = false;
  bool dump_payload = false;
  bool header_pending = true;
  std::set<uint64_t> frames;
  byte_pattern pattern;
  ko::fine_time start_time;  // ticks 0 is off, for either bound
  ko::fine_time stop_time;
  std::ostream* out = nullptr;
  // JSON Lines instead of the padded report and dumps; each object names its capture file.
  bool json = false;
  std::string capture_name;
  std::string capture_name_json;  // the name escaped for a JSON string, made once per capture
  // Flush the report after every line. The driver clears it when nobody can be reading the
  // lines as they come (a regular file, /dev/null); the stream is then flushed per input file.
  bool flush_each_line = true;
  // Payload work on other threads for this walk, or null: the handler does it itself.
  payload_pipeline* pipeline = nullptr;
};

// Positions of one decoded ICMP or ICMPv6 packet inside the reader's buffer. Offsets count from
// the frame's first captured byte, so the dumps and the byte pattern see the whole frame, link
// header included. The decoder only produces one when the captured bytes reach through the
// addresses, the hop limit and the ICMP identifier.
inline constexpr size_t MAX_VLAN_TAGS = 2;

struct decoded_packet {
  const capture_record* record = nullptr;
  const uint8_t* frame = nullptr;    // the first captured byte
  const uint8_t* network = nullptr;  // the IPv4 or IPv6 header
  const uint8_t* icmp = nullptr;     // the ICMP or ICMPv6 header
  const uint8_t* payload = nullptr;  // the byte after the 8-byte ICMP header
  uint32_t incl_len = 0;             // captured bytes of the frame really present
  int32_t hdr_len = 0;               // header bytes within the captured ones, link header included
  int32_t payload_len = 0;           // payload bytes within the captured ones, never negative
  bool ipv6 = false;
  uint8_t vlan_count = 0;
  uint16_t vlan_ids[MAX_VLAN_TAGS] = {};
};

}  // namespace nelo

#endif  // NELO_REPORT_PACKET_H_
