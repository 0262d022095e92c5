// One packet record as every container reader hands it on: the same fields whatever the file
// format, so no later stage knows which container or byte order the record came from.
#ifndef NELO_PACKET_CAPTURE_RECORD_H_
#define NELO_PACKET_CAPTURE_RECORD_H_

#include <cstdint>

namespace nelo {

// How a record's time may be used. Classic pcap stamps at or before 1970 keep their tick count
// for the time window but are never shown as a date; a Simple Packet Block has no time at all.
enum class record_time : uint8_t { shown, hidden, absent };

// `bytes` points into the reader's buffer and is valid only during the handler call.
struct capture_record {
  uint64_t frame_number = 0;  // ordinal of the packet record in its file, from 1
  uint64_t ticks = 0;         // 100-ns ticks since 1601-01-01 UTC
  record_time time = record_time::shown;
  uint8_t sub_tick_ns = 0;  // nanoseconds below the tick, for captures that hold them
  // Decimal digits of a second the source's stamps carry, as far as `ticks` and `sub_tick_ns`
  // hold them exactly: 6 for a microsecond pcap, 9 for a nanosecond one, a pcapng interface's
  // decimal resolution up to 9, and 9 for a finer or binary one (kept to the nanosecond).
  uint8_t time_digits = 6;
  uint32_t link_type = 0;
  uint32_t captured_len = 0;  // bytes of the frame really present at `bytes`
  uint32_t wire_len = 0;      // the frame's length on the wire, as the capture claims
  const uint8_t* bytes = nullptr;
};

}  // namespace nelo

#endif  // NELO_PACKET_CAPTURE_RECORD_H_
