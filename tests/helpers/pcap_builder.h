// Test helpers that write crafted pcap and pcapng files and frames, for the cases a real capture
// cannot show (damaged headers, odd lengths, foreign frame types), and run the tool.
#ifndef NELO_TESTS_HELPERS_PCAP_BUILDER_H_
#define NELO_TESTS_HELPERS_PCAP_BUILDER_H_

#include <cstdint>
#include <initializer_list>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "capture/capture_walk.h"
#include "capture/pcap_reader.h"
#include "packet/decoded_packet.h"

namespace nelo::testing {

using bytes = std::vector<uint8_t>;

// The bytes of `parts` one after another.
bytes cat(std::initializer_list<bytes> parts);
inline bytes cat(bytes a, const bytes& b) {
  return cat({std::move(a), b});
}

// A record as a walk handed it on, copied out of the reader's buffer.
struct seen_record {
  uint64_t frame_number;
  bytes frame;
  uint64_t ticks;
  record_time time;
  uint32_t wire_len;
  uint32_t link_type;
  int sub_tick_ns;
  bool operator==(const seen_record&) const = default;
};

// What a walk with a handler that only records came to, and what the run would say of it.
struct recorded_walk {
  walk_outcome outcome = walk_outcome::not_capture;
  std::vector<seen_record> seen;
  std::string said;                          // walk_end_text of the result
  std::vector<uint32_t> skipped_link_types;  // as the observer was told of them
};
recorded_walk record_walk(const std::string& path);

struct record_parts {
  uint32_t ts_sec = 1600000000;
  uint32_t ts_usec = 0;
  bytes frame;
  // Overrides for crafted damage; by default both are the frame's size.
  int64_t incl_len = -1;
  int64_t orig_len = -1;
};

bytes pcap_record(const record_parts& record, bool big_endian = false);
// The file offsets of the records of a little-endian classic capture, read from their captured
// lengths, and of its end.
std::vector<size_t> record_offsets(const bytes& file);
// A pcap 2.4 file in the byte order and stamp resolution asked for (ts_usec holds the fraction
// in the file's unit); with no records, its global header alone.
bytes pcap_file(const std::vector<record_parts>& records, uint32_t snaplen = 262144,
                bool big_endian = false, bool nanoseconds = false, uint32_t link_type = 1);

// Writes pcapng blocks in the byte order of the last section().
class pcapng_writer {
 public:
  void section(bool big_endian, uint16_t major = 1);
  // tsresol < 0 and no tsoffset leave the options out.
  void interface(uint16_t link_type, uint32_t snaplen = 0, int tsresol = -1,
                 const int64_t* tsoffset = nullptr);
  void enhanced(uint32_t iface, uint64_t stamp, const bytes& frame, int64_t orig_len = -1);
  void simple(const bytes& frame, int64_t orig_len = -1);
  void obsolete(uint16_t iface, uint64_t stamp, const bytes& frame);
  void block(uint32_t type, const bytes& body);
  bytes& data() { return m_out; }

 private:
  bytes body(std::initializer_list<std::pair<uint64_t, int>> fields, const bytes& data = {}) const;
  bool m_big_endian = false;
  bytes m_out;
};

// Ethernet II + IPv4 (IHL from `options` length) + ICMP header + payload.
bytes ipv4_icmp_frame(const uint8_t src[4], const uint8_t dst[4], uint8_t type, uint8_t code,
                      uint16_t id, const bytes& payload, uint8_t ttl = 64,
                      const bytes& ip_options = {});
// Ethernet II + fixed IPv6 header + ICMPv6 header + payload.
bytes ipv6_icmp_frame(const uint8_t src[16], const uint8_t dst[16], uint8_t type, uint8_t code,
                      uint16_t id, const bytes& payload, uint8_t hop_limit = 64,
                      uint8_t next_header = 58);
// A frame of the given EtherType with `body` after the Ethernet header.
bytes ether_frame(uint16_t ether_type, const bytes& body);

// The record a reader would hand on for `frame` as frame 1, `captured` bytes of it captured (-1:
// all).
capture_record record_of(const bytes& frame, uint32_t link_type = 1, int64_t captured = -1);

// A frame, the record a reader would hand on for it and the decoder's view of it; the record
// and the view point into the frame, so it is not copyable.
struct decoded_frame {
  bytes frame;
  capture_record record;
  decoded_packet packet;
  decoded_frame(bytes bytes_of_frame, uint64_t ticks, record_time time, uint32_t wire_len,
                uint64_t frame_number = 1);
  decoded_frame(const decoded_frame&) = delete;
  decoded_frame& operator=(const decoded_frame&) = delete;
};

// Writes `data` to a fresh file in a per-test temporary directory and returns its path.
std::string write_temp_file(const std::string& name, const bytes& data);
std::string temp_dir();
bytes read_file(const std::string& path);
std::string read_text(const std::string& path);

// The lines of `text`, each without its line end; a last line without one is left out.
std::vector<std::string> lines_of(const std::string& text);
// Where two long texts part, with a little of each from there; empty when they are the same.
// Printing both would bury the place that matters.
std::string difference(const std::string& a, const std::string& b);
// The value of `"key":` in a JSON line as written (a number, a string with its quotes, a list
// with its brackets); empty when the line lacks the key.
std::string json_value(const std::string& line, const std::string& key);

// A capture of ICMP echo records in the test's temporary directory. By default 1.6 million
// small ones (about 180 MB): long enough that a full walk with dumps lasts a second or more.
std::string write_long_capture(size_t payload_size = 56, int blocks = 400);

struct run_result {
  int status = -1;
  std::string out;
  std::string err;
};
// Runs `command` with /bin/sh; its standard error goes through a file so both streams are kept.
run_result run_shell(const std::string& command);

// Runs nelo in this process on the same terms as the binary on pipes, with `input` as its
// standard input; the status is the one the process would exit with.
run_result run_nelo_in_process(const std::vector<std::string>& args, const std::string& input = "");

// What a run reported after announcing its capture: its lines without the run header and the
// announcements.
std::string report_of(const std::string& out);

// `text` without the run header's time and command line, which differ between two runs; they
// are written once, before anything else.
std::string without_run_header(std::string text);

}  // namespace nelo::testing

#endif  // NELO_TESTS_HELPERS_PCAP_BUILDER_H_
