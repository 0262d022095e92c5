#include "report/pcapng_output.h"

#include <algorithm>

#include "support/ko_time.h"
#include "support/wire.h"

namespace nelo {

namespace {

__extension__ using uint128 = unsigned __int128;

constexpr uint32_t BLOCK_SECTION_HEADER = 0x0A0D0D0A;
constexpr uint32_t BLOCK_INTERFACE_DESCRIPTION = 1;
constexpr uint32_t BLOCK_ENHANCED_PACKET = 6;
constexpr uint32_t BYTE_ORDER_MAGIC = 0x1A2B3C4D;
constexpr uint16_t VERSION_MAJOR = 1;
constexpr uint16_t VERSION_MINOR = 0;
constexpr uint64_t SECTION_LENGTH_UNKNOWN = ~uint64_t{0};
constexpr uint32_t SNAPLEN_NONE = 0;
constexpr uint16_t OPTION_END = 0;

constexpr size_t BLOCK_TOTAL_LENGTH = 4;
constexpr uint32_t BLOCK_MIN_SIZE = 12;
constexpr size_t BLOCK_TRAILER_SIZE = 4;
constexpr size_t INTERFACE_LINK_TYPE = 8;
constexpr size_t INTERFACE_OPTIONS = 16;
constexpr size_t PACKET_INTERFACE = 8;
constexpr size_t OPTION_HEADER_SIZE = 4;
constexpr uint8_t MICROSECOND_DIGITS = 6;
constexpr uint8_t NANOSECOND_DIGITS = 9;

void put16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}

void put32(std::vector<uint8_t>& out, uint32_t v) {
  const size_t at = out.size();
  out.resize(at + 4);
  store_le32(out.data() + at, v);
}

void put64(std::vector<uint8_t>& out, uint64_t v) {
  put32(out, static_cast<uint32_t>(v));
  put32(out, static_cast<uint32_t>(v >> 32));
}

// Bytes and then zeros up to the next multiple of 4.
void put_padded(std::vector<uint8_t>& out, const uint8_t* bytes, size_t size) {
  out.insert(out.end(), bytes, bytes + size);
  out.resize(out.size() + (4 - size % 4) % 4, 0);
}

// Opens a block of `type` at the end of `out`; returns where it starts, for close_block.
size_t open_block(std::vector<uint8_t>& out, uint32_t type) {
  const size_t start = out.size();
  put32(out, type);
  put32(out, 0);  // the total length, once known
  return start;
}

void close_block(std::vector<uint8_t>& out, size_t start) {
  const auto total = static_cast<uint32_t>(out.size() + BLOCK_TRAILER_SIZE - start);
  store_le32(out.data() + start + BLOCK_TOTAL_LENGTH, total);
  put32(out, total);
}

uint64_t power_of_ten(int exponent) {
  uint64_t value = 1;
  for (int i = 0; i < exponent; ++i) value *= 10;
  return value;
}

// The resolution of an interface block: its if_tsresol, or microseconds when it has none.
uint8_t interface_digits(const uint8_t* block, uint32_t size) {
  size_t at = INTERFACE_OPTIONS;
  const size_t end = size - BLOCK_TRAILER_SIZE;
  while (at + OPTION_HEADER_SIZE <= end) {
    const uint16_t code = load_le16(block + at);
    const uint16_t len = load_le16(block + at + 2);
    const size_t value = at + OPTION_HEADER_SIZE;
    if (code == OPTION_END || value + len > end) break;
    if (code == PCAPNG_OPTION_TSRESOL && len >= 1) return block[value];
    at = value + ((len + 3u) & ~3u);
  }
  return MICROSECOND_DIGITS;
}

}  // namespace

void append_section_header(std::vector<uint8_t>& out) {
  const size_t start = open_block(out, BLOCK_SECTION_HEADER);
  put32(out, BYTE_ORDER_MAGIC);
  put16(out, VERSION_MAJOR);
  put16(out, VERSION_MINOR);
  put64(out, SECTION_LENGTH_UNKNOWN);
  close_block(out, start);
}

void append_interface(std::vector<uint8_t>& out, uint32_t link_type, uint8_t time_digits) {
  const size_t start = open_block(out, BLOCK_INTERFACE_DESCRIPTION);
  put16(out, static_cast<uint16_t>(link_type));
  put16(out, 0);  // reserved
  put32(out, SNAPLEN_NONE);
  put16(out, PCAPNG_OPTION_TSRESOL);
  put16(out, 1);
  put_padded(out, &time_digits, 1);
  put32(out, OPTION_END);
  close_block(out, start);
}

void append_enhanced_packet(std::vector<uint8_t>& out, uint32_t interface, uint64_t stamp,
                            const capture_record& record, std::string_view comment) {
  const size_t start = open_block(out, BLOCK_ENHANCED_PACKET);
  put32(out, interface);
  put32(out, static_cast<uint32_t>(stamp >> 32));
  put32(out, static_cast<uint32_t>(stamp));
  put32(out, record.captured_len);
  put32(out, record.wire_len);
  put_padded(out, record.bytes, record.captured_len);
  // An option's length has 16 bits; no capture name comes near it.
  comment = comment.substr(0, UINT16_MAX);
  put16(out, PCAPNG_OPTION_COMMENT);
  put16(out, static_cast<uint16_t>(comment.size()));
  put_padded(out, reinterpret_cast<const uint8_t*>(comment.data()), comment.size());
  put32(out, OPTION_END);
  close_block(out, start);
}

bool pcapng_stamp(const capture_record& record, uint64_t& stamp) {
  stamp = 0;
  // A time shown is after 1970 by the readers' rule.
  if (record.time != record_time::shown || record.ticks < ko::TICKS_1601_TO_1970) return false;
  const int digits = std::min(record.time_digits, NANOSECOND_DIGITS);
  const uint64_t since = record.ticks - ko::TICKS_1601_TO_1970;
  const uint64_t nanoseconds =
      since % ko::TICKS_PER_SECOND * ko::NANOSECONDS_PER_TICK + record.sub_tick_ns;
  const uint128 units = static_cast<uint128>(since / ko::TICKS_PER_SECOND) * power_of_ten(digits) +
                        nanoseconds / power_of_ten(NANOSECOND_DIGITS - digits);
  if ((units >> 64) != 0) return false;
  stamp = static_cast<uint64_t>(units);
  return true;
}

pcapng_joiner::pcapng_joiner(std::ostream& file) : m_file(file) {
  std::vector<uint8_t> header;
  append_section_header(header);
  m_file.write(reinterpret_cast<const char*>(header.data()),
               static_cast<std::streamsize>(header.size()));
}

std::streamsize pcapng_joiner::xsputn(const char* s, std::streamsize n) {
  if (n <= 0) return 0;
  if (m_failed) return 0;
  const auto* data = reinterpret_cast<const uint8_t*>(s);
  auto size = static_cast<size_t>(n);
  // Whole blocks are taken straight from the caller's bytes; only a block cut between two
  // writes is gathered here first.
  if (m_partial.empty()) {
    const int64_t taken = take_blocks(data, size);
    if (taken < 0) return 0;
    data += taken;
    size -= static_cast<size_t>(taken);
    m_partial.assign(data, data + size);
    return n;
  }
  m_partial.insert(m_partial.end(), data, data + size);
  const int64_t taken = take_blocks(m_partial.data(), m_partial.size());
  if (taken < 0) return 0;
  m_partial.erase(m_partial.begin(), m_partial.begin() + taken);
  return n;
}

pcapng_joiner::int_type pcapng_joiner::overflow(int_type c) {
  if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
  const char ch = traits_type::to_char_type(c);
  return xsputn(&ch, 1) == 1 ? c : traits_type::eof();
}

int pcapng_joiner::sync() {
  m_file.flush();
  return m_failed || m_file.fail() ? -1 : 0;
}

int64_t pcapng_joiner::take_blocks(const uint8_t* data, size_t size) {
  size_t at = 0;
  while (size - at >= BLOCK_MIN_SIZE) {
    const uint32_t total = load_le32(data + at + BLOCK_TOTAL_LENGTH);
    if (total < BLOCK_MIN_SIZE || total % 4 != 0) {
      m_failed = true;
      return -1;
    }
    if (size - at < total) break;
    if (!take_block(data + at, total)) {
      m_failed = true;
      return -1;
    }
    at += total;
  }
  return static_cast<int64_t>(at);
}

bool pcapng_joiner::take_block(const uint8_t* block, uint32_t size) {
  const char* bytes = reinterpret_cast<const char*>(block);
  switch (load_le32(block)) {
    case BLOCK_SECTION_HEADER:
      m_local.clear();
      return true;
    case BLOCK_INTERFACE_DESCRIPTION: {
      if (size < INTERFACE_OPTIONS + BLOCK_TRAILER_SIZE) return false;
      const std::pair<uint32_t, uint8_t> key{load_le16(block + INTERFACE_LINK_TYPE),
                                             interface_digits(block, size)};
      const auto known = std::find(m_interfaces.begin(), m_interfaces.end(), key);
      m_local.push_back(static_cast<uint32_t>(known - m_interfaces.begin()));
      if (known != m_interfaces.end()) return true;
      m_interfaces.push_back(key);
      break;
    }
    case BLOCK_ENHANCED_PACKET: {
      if (size < PACKET_INTERFACE + 4 + BLOCK_TRAILER_SIZE) return false;
      const uint32_t local = load_le32(block + PACKET_INTERFACE);
      if (local >= m_local.size()) return false;
      uint8_t id[4];
      store_le32(id, m_local[local]);
      m_file.write(bytes, PACKET_INTERFACE);
      m_file.write(reinterpret_cast<const char*>(id), sizeof id);
      m_file.write(bytes + PACKET_INTERFACE + sizeof id,
                   static_cast<std::streamsize>(size - PACKET_INTERFACE - sizeof id));
      return !m_file.fail();
    }
    default:
      return false;
  }
  m_file.write(bytes, size);
  return !m_file.fail();
}

}  // namespace nelo
