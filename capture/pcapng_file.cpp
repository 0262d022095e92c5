#include "capture/pcapng_file.h"

#include <algorithm>
#include <vector>

#include "support/ko_time.h"
#include "support/run_control.h"
#include "support/wire.h"

namespace nelo {

namespace {

__extension__ using uint128 = unsigned __int128;
__extension__ using int128 = __int128;

constexpr uint32_t BLOCK_INTERFACE_DESCRIPTION = 1;
constexpr uint32_t BLOCK_PACKET = 2;  // obsolete, still written by old tools
constexpr uint32_t BLOCK_SIMPLE_PACKET = 3;
constexpr uint32_t BLOCK_ENHANCED_PACKET = 6;

constexpr size_t BLOCK_HEADER_SIZE = 8;   // type and total length
constexpr size_t BLOCK_TRAILER_SIZE = 4;  // the total length again
constexpr uint32_t BLOCK_MIN_SIZE = 12;
constexpr size_t BLOCK_TOTAL_LENGTH = 4;
constexpr size_t SECTION_BYTE_ORDER = 8;
constexpr size_t SECTION_VERSION_MAJOR = 12;
constexpr uint32_t SECTION_MIN_SIZE = 28;
constexpr size_t INTERFACE_LINK_TYPE = 8;
constexpr size_t INTERFACE_SNAPLEN = 12;
constexpr size_t INTERFACE_OPTIONS = 16;
constexpr uint32_t INTERFACE_MIN_SIZE = 20;
// Enhanced and obsolete Packet Blocks share the layout after the interface field.
constexpr size_t PACKET_INTERFACE = 8;
constexpr size_t PACKET_STAMP_HIGH = 12;
constexpr size_t PACKET_STAMP_LOW = 16;
constexpr size_t PACKET_CAPTURED_LENGTH = 20;
constexpr size_t PACKET_WIRE_LENGTH = 24;
constexpr size_t PACKET_DATA = 28;
constexpr size_t SIMPLE_WIRE_LENGTH = 8;
constexpr size_t SIMPLE_DATA = 12;

constexpr uint16_t OPTION_END = 0;
constexpr uint16_t OPTION_TSRESOL = 9;
constexpr uint16_t OPTION_TSOFFSET = 14;
constexpr size_t OPTION_HEADER_SIZE = 4;
constexpr uint8_t TSRESOL_POWER_OF_TWO = 0x80;
constexpr uint8_t DEFAULT_TSRESOL = 6;  // microseconds
constexpr int NANOSECOND_DIGITS = 9;
constexpr int UINT64_DIGITS = 19;  // 10^19 is the largest power of 10 in 64 bits

// How an interface's stamps become nanoseconds: multiplied and divided by powers of 10, or
// multiplied by 10^9 and shifted right for a resolution of 2^-n. Worked out once per interface.
struct stamp_scale {
  bool binary = false;
  int shift = 0;
  uint64_t multiplier = 1;  // 0: every stamp is below a nanosecond
  uint64_t divisor = 1;
};

struct interface_info {
  uint32_t link_type = 0;
  uint32_t snaplen = 0;  // 0: no limit
  int64_t tsoffset = 0;  // seconds added to every stamp
  stamp_scale scale;
  uint8_t time_digits = DEFAULT_TSRESOL;  // as capture_record::time_digits
};

class section_reader {
 public:
  explicit section_reader(bool big_endian) : m_big_endian(big_endian) {}
  uint16_t u16(const uint8_t* p) const { return load_u16(p, m_big_endian); }
  uint32_t u32(const uint8_t* p) const { return load_u32(p, m_big_endian); }
  uint64_t u64(const uint8_t* p) const {
    const uint64_t first = u32(p);
    const uint64_t second = u32(p + 4);
    return m_big_endian ? (first << 32) | second : (second << 32) | first;
  }

 private:
  bool m_big_endian;
};

uint64_t power_of_ten(int exponent) {
  uint64_t value = 1;
  for (int i = 0; i < exponent; ++i) value *= 10;
  return value;
}

stamp_scale scale_of(uint8_t tsresol) {
  stamp_scale scale;
  const int exponent = tsresol & ~TSRESOL_POWER_OF_TWO;
  if ((tsresol & TSRESOL_POWER_OF_TWO) != 0) {
    scale.binary = true;
    scale.shift = exponent;
  } else if (exponent <= NANOSECOND_DIGITS) {
    scale.multiplier = power_of_ten(NANOSECOND_DIGITS - exponent);
  } else if (exponent - NANOSECOND_DIGITS <= UINT64_DIGITS) {
    scale.divisor = power_of_ten(exponent - NANOSECOND_DIGITS);
  } else {
    scale.multiplier = 0;
  }
  return scale;
}

// A stamp in the interface's units as the record's time; digits finer than a nanosecond are
// dropped.
void set_record_time(uint64_t stamp, const interface_info& iface, capture_record& record) {
  const stamp_scale& scale = iface.scale;
  const uint128 nanoseconds =
      scale.binary ? (static_cast<uint128>(stamp) * ko::NANOSECONDS_PER_SECOND) >> scale.shift
                   : static_cast<uint128>(stamp / scale.divisor) * scale.multiplier;
  // Every stamp of this century fits in 64 bits of nanoseconds, where division is one
  // instruction rather than a library call.
  uint128 whole = 0;
  uint64_t part = 0;
  if ((nanoseconds >> 64) == 0) {
    const auto ns = static_cast<uint64_t>(nanoseconds);
    whole = ns / ko::NANOSECONDS_PER_SECOND;
    part = ns % ko::NANOSECONDS_PER_SECOND;
  } else {
    whole = nanoseconds / ko::NANOSECONDS_PER_SECOND;
    part = static_cast<uint64_t>(nanoseconds % ko::NANOSECONDS_PER_SECOND);
  }
  // Seconds beyond 64 bits are beyond the tick range as well; any such count says so.
  const int128 seconds = static_cast<int128>(whole) + iface.tsoffset;
  const int64_t clamped = seconds > INT64_MAX   ? INT64_MAX
                          : seconds < INT64_MIN ? INT64_MIN
                                                : static_cast<int64_t>(seconds);
  set_record_stamp(record, clamped, static_cast<int64_t>(part / ko::NANOSECONDS_PER_TICK),
                   static_cast<uint8_t>(part % ko::NANOSECONDS_PER_TICK));
}

// Reads the link type, snaplen and the two time options of an Interface Description Block.
// Options that do not fit the block end the option list, not the walk.
interface_info read_interface(const uint8_t* block, uint32_t total, const section_reader& r) {
  interface_info iface;
  iface.link_type = r.u16(block + INTERFACE_LINK_TYPE);
  iface.snaplen = r.u32(block + INTERFACE_SNAPLEN);
  uint8_t tsresol = DEFAULT_TSRESOL;
  size_t at = INTERFACE_OPTIONS;
  const size_t end = total - BLOCK_TRAILER_SIZE;
  while (at + OPTION_HEADER_SIZE <= end) {
    const uint16_t code = r.u16(block + at);
    const uint16_t len = r.u16(block + at + 2);
    const size_t value = at + OPTION_HEADER_SIZE;
    if (code == OPTION_END || value + len > end) break;
    if (code == OPTION_TSRESOL && len >= 1) tsresol = block[value];
    if (code == OPTION_TSOFFSET && len >= 8)
      iface.tsoffset = static_cast<int64_t>(r.u64(block + value));
    at = value + ((len + 3u) & ~3u);
  }
  iface.scale = scale_of(tsresol);
  // A decimal resolution up to the nanosecond reaches the record whole; any other is kept to
  // the nanosecond.
  iface.time_digits = (tsresol & TSRESOL_POWER_OF_TWO) == 0 && tsresol <= NANOSECOND_DIGITS
                          ? tsresol
                          : static_cast<uint8_t>(NANOSECOND_DIGITS);
  return iface;
}

bool byte_order(const uint8_t* block, bool& big_endian) {
  if (load_le32(block + SECTION_BYTE_ORDER) == PCAPNG_BYTE_ORDER_MAGIC) {
    big_endian = false;
  } else if (load_be32(block + SECTION_BYTE_ORDER) == PCAPNG_BYTE_ORDER_MAGIC) {
    big_endian = true;
  } else {
    return false;
  }
  return true;
}

// Hands on the packet of an Enhanced, Simple or obsolete Packet Block. False, with the walk's
// damage set, when the block is damaged.
bool read_packet(capture_walk& walk, uint32_t type, const uint8_t* block, uint32_t total,
                 const section_reader& r, const std::vector<interface_info>& interfaces) {
  const size_t body_end = total - BLOCK_TRAILER_SIZE;
  capture_record record;
  if (type == BLOCK_SIMPLE_PACKET) {
    if (body_end < SIMPLE_DATA) {
      end_damaged(walk, damage_cause::simple_packet_short, total, SIMPLE_DATA + BLOCK_TRAILER_SIZE);
      return false;
    }
    if (interfaces.empty()) {
      skip_frame(walk);
      return true;
    }
    const interface_info& iface = interfaces.front();
    record.wire_len = r.u32(block + SIMPLE_WIRE_LENGTH);
    uint32_t captured =
        std::min<uint32_t>(record.wire_len, static_cast<uint32_t>(body_end - SIMPLE_DATA));
    if (iface.snaplen != 0) captured = std::min(captured, iface.snaplen);
    record.captured_len = captured;
    record.time = record_time::absent;
    record.time_digits = iface.time_digits;
    record.link_type = iface.link_type;
    record.bytes = block + SIMPLE_DATA;
    hand_on(walk, record);
    return true;
  }
  if (body_end < PACKET_DATA) {
    end_damaged(walk, damage_cause::packet_block_short, total, PACKET_DATA + BLOCK_TRAILER_SIZE);
    return false;
  }
  const uint32_t captured = r.u32(block + PACKET_CAPTURED_LENGTH);
  if (captured > body_end - PACKET_DATA) {
    end_damaged(walk, damage_cause::captured_past_block, captured, body_end - PACKET_DATA);
    return false;
  }
  const uint32_t id =
      type == BLOCK_PACKET ? r.u16(block + PACKET_INTERFACE) : r.u32(block + PACKET_INTERFACE);
  if (id >= interfaces.size()) {
    skip_frame(walk);
    return true;
  }
  const interface_info& iface = interfaces[id];
  const uint64_t stamp = (static_cast<uint64_t>(r.u32(block + PACKET_STAMP_HIGH)) << 32) |
                         r.u32(block + PACKET_STAMP_LOW);
  set_record_time(stamp, iface, record);
  record.time_digits = iface.time_digits;
  record.captured_len = captured;
  record.wire_len = r.u32(block + PACKET_WIRE_LENGTH);
  record.link_type = iface.link_type;
  record.bytes = block + PACKET_DATA;
  hand_on(walk, record);
  return true;
}

}  // namespace

bool pcapng_header_matches(const uint8_t* head, size_t len) {
  bool big_endian = false;
  return len >= PCAPNG_PROBE_SIZE && load_le32(head) == PCAPNG_SECTION_HEADER &&
         byte_order(head, big_endian) &&
         section_reader(big_endian).u16(head + SECTION_VERSION_MAJOR) == PCAPNG_VERSION_MAJOR;
}

walk_end walk_pcapng_file(capture_walk& walk) {
  read_buffer& buffer = walk.buffer;
  section_reader reader(false);
  std::vector<interface_info> interfaces;
  while (!stop_requested()) {
    note_progress(walk);
    if (!buffer.fill(BLOCK_HEADER_SIZE)) return end_at_header(buffer);
    // The section header's type reads the same in both byte orders; its own byte order then
    // rules every length of the section, its own included.
    if (load_le32(buffer.front()) == PCAPNG_SECTION_HEADER) {
      if (!buffer.fill(PCAPNG_PROBE_SIZE)) return end_at_header(buffer);
      bool big_endian = false;
      // A block is damaged only while its bytes are still the file's: a file cut short under the
      // walk reads as zeros past its new end, and the block is then read again as the cut file
      // holds it.
      if (!byte_order(buffer.front(), big_endian)) {
        if (!buffer.intact(PCAPNG_PROBE_SIZE)) continue;
        return end_damaged(walk, damage_cause::byte_order_unknown,
                           load_le32(buffer.front() + SECTION_BYTE_ORDER));
      }
      reader = section_reader(big_endian);
      const uint16_t major = reader.u16(buffer.front() + SECTION_VERSION_MAJOR);
      if (major != PCAPNG_VERSION_MAJOR) {
        if (!buffer.intact(PCAPNG_PROBE_SIZE)) continue;
        return end_damaged(walk, damage_cause::section_version, major);
      }
      interfaces.clear();
    }
    const uint32_t type = reader.u32(buffer.front());
    const uint32_t total = reader.u32(buffer.front() + BLOCK_TOTAL_LENGTH);
    if (total < BLOCK_MIN_SIZE || total % 4 != 0 || total > MAX_RECORD_LENGTH) {
      if (!buffer.intact(BLOCK_HEADER_SIZE)) continue;
      if (total < BLOCK_MIN_SIZE) {
        return end_damaged(walk, damage_cause::block_below_minimum, total, BLOCK_MIN_SIZE);
      }
      if (total % 4 != 0) return end_damaged(walk, damage_cause::block_not_multiple_of_4, total);
      return end_damaged(walk, damage_cause::block_above_limit, total, MAX_RECORD_LENGTH);
    }
    if (!buffer.fill(total)) {
      if (buffer.failed()) return walk_end::read_error;
      if (!buffer.intact(buffer.available())) continue;
      return end_damaged(walk, damage_cause::block_past_end, total, buffer.available());
    }
    if (!buffer.intact(total)) continue;
    const uint8_t* block = buffer.front();
    const uint32_t trailer = reader.u32(block + total - BLOCK_TRAILER_SIZE);
    if (trailer != total) return end_damaged(walk, damage_cause::trailer_differs, trailer, total);
    switch (type) {
      case PCAPNG_SECTION_HEADER:
        if (total < SECTION_MIN_SIZE) {
          return end_damaged(walk, damage_cause::section_header_short, total, SECTION_MIN_SIZE);
        }
        break;
      case BLOCK_INTERFACE_DESCRIPTION:
        if (total < INTERFACE_MIN_SIZE) {
          return end_damaged(walk, damage_cause::interface_short, total, INTERFACE_MIN_SIZE);
        }
        interfaces.push_back(read_interface(block, total, reader));
        break;
      case BLOCK_ENHANCED_PACKET:
      case BLOCK_SIMPLE_PACKET:
      case BLOCK_PACKET:
        if (!read_packet(walk, type, block, total, reader, interfaces)) return walk_end::damaged;
        break;
      default:
        break;
    }
    buffer.consume(total);
  }
  return walk_end::stopped;
}

}  // namespace nelo
