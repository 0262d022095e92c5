#include "report/summary_file.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <span>
#include <utility>

namespace nelo {

namespace {

constexpr char MAGIC[8] = {'N', 'E', 'L', 'O', 'S', 'U', 'M', '\n'};
// magic, version, four layout sizes, body length, fingerprint probe.
constexpr uint32_t HEADER_SIZE = 8 + 4 + 4 * 4 + 8 + 8;
constexpr uint32_t KEY_SIZE = 16 + 16 + 2 + 1 + 1 + 1 + 1;
constexpr uint32_t SIGNS_SIZE = SENDER_FIELD_MAX + 4 + 4 + 2;
constexpr uint32_t ROW_FIXED_SIZE = KEY_SIZE + 5 + 1 + 2 + 4 * 5 + 8 * 9 + 2 * SIGNS_SIZE + 1;
constexpr uint32_t CHECKSUM_SIZE = 4;

// Fingerprints saved by one build are compared with those of another only when both hash these
// bytes alike: the standard library's hash may differ between builds and platforms.
uint64_t fingerprint_probe() {
  constexpr char PROBE[] = "nelo payload fingerprint probe";
  return payload_fingerprint(byte_span(reinterpret_cast<const uint8_t*>(PROBE), sizeof(PROBE) - 1));
}

// What a row's flags byte says follows its fixed part.
enum row_part : uint8_t {
  ROW_TUNNELS = 1 << 0,
  ROW_FINGERPRINTS = 1 << 1,
  ROW_HISTOGRAM = 1 << 2,
  ROW_DATA_HISTOGRAM = 1 << 3,
};
constexpr uint8_t ROW_PARTS = ROW_TUNNELS | ROW_FINGERPRINTS | ROW_HISTOGRAM | ROW_DATA_HISTOGRAM;

class writer {
 public:
  std::string bytes;
  void u8(uint8_t v) { bytes.push_back(static_cast<char>(v)); }
  void u16(uint16_t v) { put(v, 2); }
  void u32(uint32_t v) { put(v, 4); }
  void u64(uint64_t v) { put(v, 8); }
  void raw(std::span<const uint8_t> v) {
    bytes.append(reinterpret_cast<const char*>(v.data()), v.size());
  }
  void text(std::string_view v) {
    u32(static_cast<uint32_t>(v.size()));
    bytes.append(v);
  }

 private:
  void put(uint64_t v, int size) {
    for (int i = 0; i < size; ++i) u8(static_cast<uint8_t>(v >> (8 * i)));
  }
};

// Reads what a writer wrote; a read past the end leaves zeros and makes the reader fail.
class reader {
 public:
  explicit reader(std::string_view bytes) : m_bytes(bytes) {}
  bool failed() const { return m_failed; }
  bool at_end() const { return m_at == m_bytes.size(); }
  size_t left() const { return m_bytes.size() - m_at; }
  uint8_t u8() { return static_cast<uint8_t>(get(1)); }
  uint16_t u16() { return static_cast<uint16_t>(get(2)); }
  uint32_t u32() { return static_cast<uint32_t>(get(4)); }
  uint64_t u64() { return get(8); }
  // `size` bytes, or nothing when fewer are left.
  std::string_view raw(size_t size) {
    if (size > left()) {
      m_failed = true;
      m_at = m_bytes.size();
      return {};
    }
    const std::string_view v = m_bytes.substr(m_at, size);
    m_at += size;
    return v;
  }
  template <size_t N>
  void into(std::array<uint8_t, N>& out) {
    const std::string_view v = raw(N);
    if (v.size() == N) std::memcpy(out.data(), v.data(), N);
  }

 private:
  uint64_t get(int size) {
    const std::string_view v = raw(static_cast<size_t>(size));
    uint64_t value = 0;
    for (size_t i = 0; i < v.size(); ++i) {
      value |= static_cast<uint64_t>(static_cast<uint8_t>(v[i])) << (8 * i);
    }
    return value;
  }
  std::string_view m_bytes;
  size_t m_at = 0;
  bool m_failed = false;
};

uint32_t checksum_of(std::string_view bytes) {
  uLong crc = crc32(0L, Z_NULL, 0);
  // crc32 takes its length as a uInt; a summary may be larger than one such length.
  while (!bytes.empty()) {
    const size_t part = std::min<size_t>(bytes.size(), 1u << 30);
    crc = crc32(crc, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(part));
    bytes.remove_prefix(part);
  }
  return static_cast<uint32_t>(crc);
}

void write_signs(writer& w, const direction_signs& d) {
  w.raw(d.head);
  w.u32(d.whole_shape);
  w.u32(d.tail_shape);
  const bool bits[] = {d.seen,        d.heads_differ,      d.last_whole,
                       d.rose,        d.rising_big_endian, d.rising_le32,
                       d.whole_data,  d.tail_data,         d.whole_shaped,
                       d.tail_shaped, d.whole_vary,        d.tail_vary};
  uint16_t flags = 0;
  for (size_t i = 0; i < std::size(bits); ++i) flags |= static_cast<uint16_t>(bits[i] << i);
  w.u16(flags);
}

void read_signs(reader& r, direction_signs& d) {
  r.into(d.head);
  d.whole_shape = r.u32();
  d.tail_shape = r.u32();
  const uint16_t flags = r.u16();
  const auto bit = [&](int i) { return ((flags >> i) & 1) != 0; };
  d.seen = bit(0);
  d.heads_differ = bit(1);
  d.last_whole = bit(2);
  d.rose = bit(3);
  d.rising_big_endian = bit(4);
  d.rising_le32 = bit(5);
  d.whole_data = bit(6);
  d.tail_data = bit(7);
  d.whole_shaped = bit(8);
  d.tail_shaped = bit(9);
  d.whole_vary = bit(10);
  d.tail_vary = bit(11);
}

// A histogram as the bytes it counted: their number, then (byte, count) for each; or, when that
// would take more room than the counts themselves, DENSE_HISTOGRAM and the 256 counts.
constexpr uint16_t DENSE_HISTOGRAM = 0xffff;
constexpr size_t SPARSE_ENTRY_SIZE = 1 + 8;

void write_histogram(writer& w, const wide_histogram& h) {
  uint16_t counted = 0;
  for (const uint64_t count : h) counted += count != 0 ? 1 : 0;
  if (counted * SPARSE_ENTRY_SIZE >= sizeof(wide_histogram)) {
    w.u16(DENSE_HISTOGRAM);
    for (const uint64_t count : h) w.u64(count);
    return;
  }
  w.u16(counted);
  for (size_t b = 0; b < h.size(); ++b) {
    if (h[b] == 0) continue;
    w.u8(static_cast<uint8_t>(b));
    w.u64(h[b]);
  }
}

bool read_histogram(reader& r, std::unique_ptr<wide_histogram>& h) {
  const uint16_t counted = r.u16();
  h = std::make_unique<wide_histogram>();
  if (counted == DENSE_HISTOGRAM) {
    for (uint64_t& count : *h) count = r.u64();
    return !r.failed();
  }
  if (counted > h->size()) return false;
  for (uint16_t i = 0; i < counted; ++i) {
    const uint8_t b = r.u8();
    (*h)[b] = r.u64();
  }
  return !r.failed();
}

}  // namespace

// The table's own parts, which only the saved form reads and fills.
struct summary_file_codec {
  static std::string save(const conversation_table& table);
  static bool load(std::string_view body, conversation_table& table, std::string& error);
};

std::string summary_file_codec::save(const conversation_table& t) {
  writer w;
  w.u64(t.m_walked);
  w.u64(t.m_untracked);
  w.u32(static_cast<uint32_t>(t.m_captures.size()));
  w.u32(static_cast<uint32_t>(t.m_rows.size()));
  w.u32(static_cast<uint32_t>(t.m_samples.size()));
  for (const std::string& name : t.m_captures) w.text(name);
  w.raw(t.m_samples);
  for (size_t i = 0; i < t.m_rows.size(); ++i) {
    const conversation_state& c = t.m_rows[i];
    w.raw(c.key.requester);
    w.raw(c.key.responder);
    w.u16(c.key.id);
    w.u8(c.key.type);
    w.u8(c.key.code);
    w.u8(static_cast<uint8_t>(c.key.kind));
    w.u8(c.key.ipv6 ? 1 : 0);
    w.u8(c.first_type);
    w.u8(c.first_code);
    w.u8(c.first_sub_tick_ns);
    w.u8(c.last_sub_tick_ns);
    w.u8(c.sample_len);
    w.u8(static_cast<uint8_t>(c.timed | c.distinct_capped << 1 | c.reply_differs << 2));
    w.u16(c.distinct);
    w.u32(c.sample_at);
    w.u32(c.first_capture);
    w.u32(c.files);
    w.u32(c.size_min);
    w.u32(c.size_max);
    for (const uint64_t v : {c.first_frame, c.requests, c.replies, c.unanswered, c.stray_replies,
                             c.bytes, c.first_ticks, c.last_ticks, c.first_fingerprint}) {
      w.u64(v);
    }
    write_signs(w, c.request_signs);
    write_signs(w, c.reply_signs);
    const conversation_extra* extra = c.extra.get();
    uint8_t parts = 0;
    if (extra != nullptr) {
      if (!extra->tunnels.empty()) parts |= ROW_TUNNELS;
      if (!extra->more_fingerprints.empty()) parts |= ROW_FINGERPRINTS;
      if (extra->histogram) parts |= ROW_HISTOGRAM;
      if (extra->data_histogram) parts |= ROW_DATA_HISTOGRAM;
    }
    w.u8(parts);
    if ((parts & ROW_TUNNELS) != 0) w.text(extra->tunnels);
    if ((parts & ROW_FINGERPRINTS) != 0) {
      w.u32(static_cast<uint32_t>(extra->more_fingerprints.size()));
      for (const uint64_t fp : extra->more_fingerprints) w.u64(fp);
    }
    if ((parts & ROW_HISTOGRAM) != 0) write_histogram(w, *extra->histogram);
    if ((parts & ROW_DATA_HISTOGRAM) != 0) write_histogram(w, *extra->data_histogram);
  }
  return std::move(w.bytes);
}

bool summary_file_codec::load(std::string_view body, conversation_table& t, std::string& error) {
  reader r(body);
  t.m_walked = r.u64();
  t.m_untracked = r.u64();
  const uint32_t captures = r.u32();
  const uint32_t rows = r.u32();
  const uint32_t samples = r.u32();
  // Every name takes at least its length, every row its fixed part: counts the body cannot hold
  // are refused before anything is made for them.
  if (r.failed() || captures > r.left() / 4 || rows > CONVERSATIONS_MAX ||
      rows > r.left() / ROW_FIXED_SIZE || samples > r.left()) {
    error = "damaged (counts beyond its size)";
    return false;
  }
  t.m_captures.reserve(captures);
  for (uint32_t i = 0; i < captures; ++i) t.m_captures.emplace_back(r.raw(r.u32()));
  const std::string_view sample_bytes = r.raw(samples);
  t.m_samples.assign(sample_bytes.begin(), sample_bytes.end());
  for (uint32_t i = 0; i < rows && !r.failed(); ++i) {
    conversation_state c;
    r.into(c.key.requester);
    r.into(c.key.responder);
    c.key.id = r.u16();
    c.key.type = r.u8();
    c.key.code = r.u8();
    const uint8_t kind = r.u8();
    const uint8_t ipv6 = r.u8();
    c.key.kind = static_cast<exchange_kind>(kind);
    c.key.ipv6 = ipv6 != 0;
    c.first_type = r.u8();
    c.first_code = r.u8();
    c.first_sub_tick_ns = r.u8();
    c.last_sub_tick_ns = r.u8();
    c.sample_len = r.u8();
    const uint8_t flags = r.u8();
    c.timed = (flags & 1) != 0;
    c.distinct_capped = (flags & 2) != 0;
    c.reply_differs = (flags & 4) != 0;
    c.distinct = r.u16();
    c.sample_at = r.u32();
    c.first_capture = r.u32();
    c.files = r.u32();
    c.size_min = r.u32();
    c.size_max = r.u32();
    for (uint64_t* v : {&c.first_frame, &c.requests, &c.replies, &c.unanswered, &c.stray_replies,
                        &c.bytes, &c.first_ticks, &c.last_ticks, &c.first_fingerprint}) {
      *v = r.u64();
    }
    read_signs(r, c.request_signs);
    read_signs(r, c.reply_signs);
    const uint8_t parts = r.u8();
    if (kind > static_cast<uint8_t>(exchange_kind::address_mask) || ipv6 > 1 || flags > 7 ||
        (parts & ~ROW_PARTS) != 0 || c.first_capture >= captures ||
        uint64_t{c.sample_at} + c.sample_len > samples || c.sample_len > PAYLOAD_SAMPLE_MAX ||
        c.distinct > DISTINCT_PAYLOADS_MAX) {
      error = "damaged (row " + std::to_string(i + 1) + ")";
      return false;
    }
    if (parts != 0) {
      conversation_extra& extra = *(c.extra = std::make_unique<conversation_extra>());
      if ((parts & ROW_TUNNELS) != 0) extra.tunnels = r.raw(r.u32());
      if ((parts & ROW_FINGERPRINTS) != 0) {
        const uint32_t count = r.u32();
        if (count >= DISTINCT_PAYLOADS_MAX || count > r.left() / 8) {
          error = "damaged (row " + std::to_string(i + 1) + ")";
          return false;
        }
        extra.more_fingerprints.resize(count);
        for (uint64_t& fp : extra.more_fingerprints) fp = r.u64();
      }
      if (((parts & ROW_HISTOGRAM) != 0 && !read_histogram(r, extra.histogram)) ||
          ((parts & ROW_DATA_HISTOGRAM) != 0 && !read_histogram(r, extra.data_histogram))) {
        error = "damaged (row " + std::to_string(i + 1) + ")";
        return false;
      }
    }
    if (2 * (t.m_rows.size() + 1) > t.m_slots.size()) t.grow_index();
    const conversation_table::slot_ref slot = t.slot_of(c.key);
    if (*slot.at != 0) {
      error = "damaged (a conversation twice)";
      return false;
    }
    t.m_rows.add() = std::move(c);
    slot.fill(t.m_rows.size() - 1);
  }
  if (r.failed() || !r.at_end()) {
    error = "damaged (its body does not read to its end)";
    return false;
  }
  return true;
}

std::string summary_file_bytes(const conversation_table& table) {
  const std::string body = summary_file_codec::save(table);
  writer w;
  w.bytes.reserve(HEADER_SIZE + body.size() + CHECKSUM_SIZE);
  w.bytes.append(MAGIC, sizeof(MAGIC));
  w.u32(SUMMARY_FILE_VERSION);
  w.u32(HEADER_SIZE);
  w.u32(ROW_FIXED_SIZE);
  w.u32(SIGNS_SIZE);
  w.u32(SENDER_FIELD_MAX);
  w.u64(body.size());
  w.u64(fingerprint_probe());
  w.bytes += body;
  w.u32(checksum_of(w.bytes));
  return std::move(w.bytes);
}

bool read_summary_file(std::string_view bytes, conversation_table& table, std::string& error) {
  reader r(bytes);
  if (r.raw(sizeof(MAGIC)) != std::string_view(MAGIC, sizeof(MAGIC))) {
    error = "not a saved summary";
    return false;
  }
  if (const uint32_t version = r.u32(); version != SUMMARY_FILE_VERSION) {
    error = "version " + std::to_string(version) + ", this nelo reads version " +
            std::to_string(SUMMARY_FILE_VERSION);
    return false;
  }
  const uint32_t header = r.u32(), row = r.u32(), signs = r.u32(), field = r.u32();
  const uint64_t body = r.u64();
  const uint64_t probe = r.u64();
  if (r.failed() || header != HEADER_SIZE || row != ROW_FIXED_SIZE || signs != SIGNS_SIZE ||
      field != SENDER_FIELD_MAX) {
    error = "damaged or of another layout (its header)";
    return false;
  }
  if (probe != fingerprint_probe()) {
    error = "saved by a build whose payload fingerprints differ from this one's";
    return false;
  }
  if (body != r.left() - std::min<size_t>(r.left(), CHECKSUM_SIZE) || r.left() < CHECKSUM_SIZE) {
    error = "truncated or damaged (its length)";
    return false;
  }
  const std::string_view covered = bytes.substr(0, bytes.size() - CHECKSUM_SIZE);
  reader tail(bytes.substr(covered.size()));
  if (tail.u32() != checksum_of(covered)) {
    error = "damaged (checksum does not match)";
    return false;
  }
  conversation_table loaded;
  if (!summary_file_codec::load(covered.substr(HEADER_SIZE), loaded, error)) return false;
  table = std::move(loaded);
  return true;
}

bool save_summary_file(const conversation_table& table, const std::string& path,
                       std::string& error) {
  const std::string bytes = summary_file_bytes(table);
  std::ofstream out(path, std::ios::out | std::ios::trunc | std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (out.fail()) {
    error = "cannot write " + path;
    return false;
  }
  return true;
}

bool load_summary_file(const std::string& path, conversation_table& table, std::string& error) {
  std::ifstream in(path, std::ios::in | std::ios::binary);
  if (!in) {
    error = "cannot be opened";
    return false;
  }
  const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (in.bad()) {
    error = "cannot be read";
    return false;
  }
  return read_summary_file(bytes, table, error);
}

std::vector<std::string> summary_file_names(std::string_view list) {
  const char separator = list.find('\0') != std::string_view::npos ? '\0' : '\n';
  std::vector<std::string> names;
  while (!list.empty()) {
    const size_t end = std::min(list.find(separator), list.size());
    std::string_view name = list.substr(0, end);
    if (separator == '\n' && name.ends_with('\r')) name.remove_suffix(1);
    if (!name.empty()) names.emplace_back(name);
    list.remove_prefix(std::min(end + 1, list.size()));
  }
  return names;
}

bool merge_summary_files(const std::vector<std::string>& paths, conversation_table& merged,
                         std::string& error) {
  conversation_table all;
  for (const std::string& path : paths) {
    conversation_table one;
    if (!load_summary_file(path, one, error)) {
      error = path + ": " + error;
      return false;
    }
    all.merge(std::move(one));
  }
  merged = std::move(all);
  return true;
}

}  // namespace nelo
