#include "capture/pcap_file.h"

#include <algorithm>

#include "support/ko_time.h"
#include "support/run_control.h"
#include "support/wire.h"

namespace nelo {

namespace {

constexpr size_t HEADER_VERSION_MAJOR = 4;
constexpr size_t HEADER_VERSION_MINOR = 6;
constexpr size_t HEADER_SNAPLEN = 16;
constexpr size_t HEADER_LINK_TYPE = 20;
constexpr size_t RECORD_SECONDS = 0;
constexpr size_t RECORD_FRACTION = 4;
constexpr size_t RECORD_CAPTURED_LENGTH = 8;
constexpr size_t RECORD_WIRE_LENGTH = 12;
// The upper bits of the header's link-type field carry FCS information, not the link type.
constexpr uint32_t LINK_TYPE_MASK = 0xFFFF;
constexpr uint8_t MICROSECOND_DIGITS = 6;
constexpr uint8_t NANOSECOND_DIGITS = 9;

struct file_layout {
  bool big_endian = false;
  bool nanoseconds = false;
};

bool read_layout(const uint8_t* head, size_t len, file_layout& layout) {
  if (len < PCAP_FILE_HEADER_SIZE) return false;
  const uint32_t le = load_le32(head);
  const uint32_t be = load_be32(head);
  if (le == PCAP_MAGIC_USEC || le == PCAP_MAGIC_NSEC) {
    layout = {false, le == PCAP_MAGIC_NSEC};
  } else if (be == PCAP_MAGIC_USEC || be == PCAP_MAGIC_NSEC) {
    layout = {true, be == PCAP_MAGIC_NSEC};
  } else {
    return false;
  }
  return load_u16(head + HEADER_VERSION_MAJOR, layout.big_endian) == PCAP_VERSION_MAJOR &&
         load_u16(head + HEADER_VERSION_MINOR, layout.big_endian) == PCAP_VERSION_MINOR;
}

// The record's stamp: seconds are signed, and the fraction counts microseconds or nanoseconds.
void set_record_time(int32_t seconds, int32_t fraction, bool nanoseconds, capture_record& record) {
  const int64_t ticks = nanoseconds
                            ? fraction / static_cast<int64_t>(ko::NANOSECONDS_PER_TICK)
                            : int64_t{fraction} * static_cast<int64_t>(ko::TICKS_PER_MICROSECOND);
  const auto sub_tick_ns =
      nanoseconds && fraction > 0
          ? static_cast<uint8_t>(static_cast<uint32_t>(fraction) % ko::NANOSECONDS_PER_TICK)
          : uint8_t{0};
  set_record_stamp(record, seconds, ticks, sub_tick_ns);
}

template <bool BigEndian>
walk_end walk_records(capture_walk& walk, uint32_t snaplen, uint32_t link_type, bool nanoseconds) {
  read_buffer& buffer = walk.buffer;
  capture_record record;
  record.link_type = link_type;
  record.time_digits = nanoseconds ? NANOSECOND_DIGITS : MICROSECOND_DIGITS;
  while (!stop_requested()) {
    note_progress(walk);
    if (!buffer.fill(PCAP_RECORD_HEADER_SIZE)) return end_at_header(buffer);
    const uint32_t incl_len = load_u32(buffer.front() + RECORD_CAPTURED_LENGTH, BigEndian);
    // A header is damaged only while its bytes are still the file's: a file cut short under the
    // walk reads as zeros past its new end, and the record is then read again as the cut file
    // holds it.
    if (incl_len > snaplen) {
      if (!buffer.intact(PCAP_RECORD_HEADER_SIZE)) continue;
      return end_damaged(walk, damage_cause::captured_above_snaplen, incl_len, snaplen);
    }
    if (incl_len > MAX_RECORD_LENGTH) {
      if (!buffer.intact(PCAP_RECORD_HEADER_SIZE)) continue;
      return end_damaged(walk, damage_cause::record_above_limit, incl_len, MAX_RECORD_LENGTH);
    }
    const size_t record_len = PCAP_RECORD_HEADER_SIZE + incl_len;
    const bool whole = buffer.fill(record_len);
    const size_t got = std::min(record_len, buffer.available());
    if (!buffer.intact(got)) continue;
    const uint8_t* header = buffer.front();
    set_record_time(static_cast<int32_t>(load_u32(header + RECORD_SECONDS, BigEndian)),
                    static_cast<int32_t>(load_u32(header + RECORD_FRACTION, BigEndian)),
                    nanoseconds, record);
    record.captured_len = static_cast<uint32_t>(got - PCAP_RECORD_HEADER_SIZE);
    record.wire_len = load_u32(header + RECORD_WIRE_LENGTH, BigEndian);
    record.bytes = header + PCAP_RECORD_HEADER_SIZE;
    hand_on(walk, record);
    buffer.consume(got);
    if (!whole) {
      walk.cut_present = record.captured_len;
      walk.cut_claimed = incl_len;
      return buffer.failed() ? walk_end::read_error : walk_end::cut_record;
    }
  }
  return walk_end::stopped;
}

}  // namespace

bool pcap_header_matches(const uint8_t* head, size_t len) {
  file_layout layout;
  return read_layout(head, len, layout);
}

walk_end walk_pcap_file(capture_walk& walk) {
  read_buffer& buffer = walk.buffer;
  file_layout layout;
  if (!read_layout(buffer.front(), buffer.available(), layout)) {
    return end_damaged(walk, damage_cause::file_header);
  }
  const uint8_t* head = buffer.front();
  uint32_t snaplen = load_u32(head + HEADER_SNAPLEN, layout.big_endian);
  if (snaplen == 0) snaplen = PCAP_UNLIMITED_SNAPLEN;
  const uint32_t link_type = load_u32(head + HEADER_LINK_TYPE, layout.big_endian) & LINK_TYPE_MASK;
  buffer.consume(PCAP_FILE_HEADER_SIZE);
  return layout.big_endian ? walk_records<true>(walk, snaplen, link_type, layout.nanoseconds)
                           : walk_records<false>(walk, snaplen, link_type, layout.nanoseconds);
}

}  // namespace nelo
