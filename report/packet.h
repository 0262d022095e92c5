// The records every packet stage shares: the pcap record header, the decoded positions of one
// ICMP or ICMPv6 packet, the byte pattern, and `packet_ctx`, the settings the driver builds from
// the command line. They live here, at the lowest stage that reads them, so that the reader,
// decoder and filters (capture/) and the report and dumps (report/) see one definition.
// `packet_ctx` is owned by the driver; the stages only read it, except for `header_pending`.
#ifndef NELO_REPORT_PACKET_H_
#define NELO_REPORT_PACKET_H_

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "support/wire.h"

namespace nelo {

// Frame layout of an Ethernet II frame carrying IPv4 or IPv6.
inline constexpr size_t ETH_HEADER_SIZE = 14;
inline constexpr size_t ETH_TYPE_OFFSET = 12;
inline constexpr uint16_t ETHERTYPE_IPV4 = 0x0800;
inline constexpr uint16_t ETHERTYPE_IPV6 = 0x86DD;
inline constexpr size_t IPV4_TTL_OFFSET = 22;
inline constexpr size_t IPV4_PROTOCOL_OFFSET = 23;
inline constexpr size_t IPV4_SOURCE_OFFSET = 26;
inline constexpr size_t IPV4_DESTINATION_OFFSET = 30;
inline constexpr uint8_t IP_PROTOCOL_ICMP = 1;
inline constexpr size_t IPV6_NEXT_HEADER_OFFSET = 20;
inline constexpr size_t IPV6_HOP_LIMIT_OFFSET = 21;
inline constexpr size_t IPV6_SOURCE_OFFSET = 22;
inline constexpr size_t IPV6_DESTINATION_OFFSET = 38;
inline constexpr size_t IPV6_ICMP_OFFSET = 54;
inline constexpr uint8_t IP_PROTOCOL_ICMPV6 = 58;
inline constexpr size_t ICMP_HEADER_SIZE = 8;
inline constexpr size_t ICMP_TYPE_OFFSET = 0;
inline constexpr size_t ICMP_CODE_OFFSET = 1;
inline constexpr size_t ICMP_ID_OFFSET = 4;
// The identifier (bytes 4 and 5) is the last ICMP field any stage reads.
inline constexpr size_t ICMP_ID_END = 6;

// The 16-byte pcap record header; the captured frame follows it directly.
inline constexpr size_t PCAP_RECORD_HEADER_SIZE = 16;

struct pcap_record_header {
  uint32_t ts_sec = 0;
  uint32_t ts_usec = 0;
  uint32_t incl_len = 0;
  uint32_t orig_len = 0;
};

inline pcap_record_header load_record_header(const uint8_t* record) {
  return {load_le32(record), load_le32(record + 4), load_le32(record + 8), load_le32(record + 12)};
}

enum class output_format : uint32_t { hex = 1, ascii = 2, binary = 3, strings = 4 };

// One run of a byte pattern: literal bytes followed by `wildcards` bytes of any value. Only the
// first run may lack a literal (wildcards before the first literal byte). Counts are 32-bit so
// that long runs of wildcards are never wrapped.
struct pattern_run {
  std::string literal;
  bool has_literal = false;
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

struct packet_ctx {
  uint32_t min_size = 0;
  uint32_t src_ip = 0;
  uint32_t dst_ip = 0;
  std::vector<uint8_t> src_ipv6;  // empty, or exactly 16 bytes
  std::vector<uint8_t> dst_ipv6;
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
  uint64_t start_time = 0;
  uint64_t stop_time = 0;
  std::ostream* out = nullptr;
  // Flush the report after every line. The driver clears it when nobody can be reading the
  // lines as they come (a regular file, /dev/null); the stream is then flushed per input file.
  bool flush_each_line = true;
};

// Positions of one decoded ICMP or ICMPv6 packet inside the reader's buffer. The decoder only
// produces one when the captured bytes reach through the ICMP identifier.
struct decoded_packet {
  const uint8_t* record = nullptr;   // the record header; the frame follows it
  const uint8_t* frame = nullptr;    // record + 16
  const uint8_t* icmp = nullptr;     // the ICMP or ICMPv6 header
  const uint8_t* payload = nullptr;  // the byte after the 8-byte ICMP header
  uint32_t incl_len = 0;             // captured bytes of the frame really present
  int32_t hdr_len = 0;               // header bytes within the captured ones
  int32_t payload_len = 0;           // payload bytes within the captured ones, never negative
  bool ipv6 = false;
};

}  // namespace nelo

#endif  // NELO_REPORT_PACKET_H_
