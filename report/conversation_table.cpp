#include "report/conversation_table.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string_view>

#include "report/icmp_names.h"
#include "report/icmp_types.h"
#include "support/wire.h"

namespace nelo {

namespace {

constexpr unsigned INITIAL_SLOT_BITS = 6;
// Multiplying by 2^64 / golden ratio and keeping the top bits spreads keys whose hashes differ
// only in a few bits (addresses of one sweep) over the whole index.
constexpr uint64_t FIBONACCI_MULTIPLIER = 0x9E3779B97F4A7C15ull;

// A 64-bit fingerprint of payload bytes: equal bytes give equal fingerprints, and different ones
// almost never do. It only tells payloads apart; nothing depends on it being hard to forge.
uint64_t fingerprint(byte_span bytes) {
  return std::hash<std::string_view>{}(
      std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

bool near_seconds(uint64_t value, uint64_t seconds) {
  const uint64_t apart = value > seconds ? value - seconds : seconds - value;
  return apart <= PAYLOAD_STAMP_SLACK_SECONDS;
}

bool timed(const capture_record& record) {
  return record.time == record_time::shown;
}

// Adds `fingerprint` to the distinct payloads of `c`.
void count_distinct(conversation_state& c, uint64_t fp) {
  if (c.distinct_capped) return;
  if (c.distinct == 0) {
    c.first_fingerprint = fp;
    c.distinct = 1;
    return;
  }
  if (fp == c.first_fingerprint) return;
  if (std::find(c.more_fingerprints.begin(), c.more_fingerprints.end(), fp) !=
      c.more_fingerprints.end()) {
    return;
  }
  if (c.distinct == DISTINCT_PAYLOADS_MAX) {
    // Past the cap no fingerprint is needed any more.
    c.distinct_capped = true;
    c.more_fingerprints = {};
    return;
  }
  c.more_fingerprints.push_back(fp);
  ++c.distinct;
}

// Notes one payload of an echo request or reply: whether that direction's payloads vary.
void count_direction(bool& seen, uint64_t& first, bool& vary, uint64_t fp) {
  if (!seen) {
    seen = true;
    first = fp;
  } else if (fp != first) {
    vary = true;
  }
}

void merge_direction(bool& seen, uint64_t& first, bool& vary, bool later_seen, uint64_t later_first,
                     bool later_vary) {
  if (!later_seen) return;
  vary = vary || later_vary;
  count_direction(seen, first, vary, later_first);
}

void add_bytes(wide_histogram& histogram, std::span<const uint8_t> bytes, uint64_t times) {
  for (const uint8_t b : bytes) histogram[b] += times;
}

// Shannon entropy in bits per byte of the bytes `counts` counts, `total` of them.
double entropy_bits(const wide_histogram& counts, uint64_t total) {
  if (total == 0) return 0;
  const auto n = static_cast<double>(total);
  double sum = 0;
  for (const uint64_t count : counts) {
    if (count == 0) continue;
    const auto c = static_cast<double>(count);
    sum += c * std::log2(c);
  }
  return std::max(0.0, std::log2(n) - sum / n);
}

// The same for the few bytes of a sample, without a table of every byte value: each value's
// count is taken where it first occurs.
double sample_entropy_bits(std::span<const uint8_t> sample) {
  static_assert(PAYLOAD_SAMPLE_MAX <= UINT8_MAX);
  std::array<uint8_t, 256> counts{};
  for (const uint8_t b : sample) ++counts[b];
  double sum = 0;
  for (const uint8_t b : sample) {
    // A value seen once adds 1 * log2(1) = 0.
    if (counts[b] > 1) {
      const double c = counts[b];
      sum += c * std::log2(c);
    }
    counts[b] = 0;
  }
  const auto n = static_cast<double>(sample.size());
  return std::max(0.0, std::log2(n) - sum / n);
}

}  // namespace

size_t payload_stamp_size(byte_span payload, const capture_record& record) {
  if (!timed(record) || record.ticks < ko::TICKS_1601_TO_1970) return 0;
  const uint64_t seconds = (record.ticks - ko::TICKS_1601_TO_1970) / ko::TICKS_PER_SECOND;
  const uint8_t* p = payload.data();
  if (payload.size() >= 8) {
    const uint64_t be = load_be64(p);
    const uint64_t le = (static_cast<uint64_t>(load_le32(p + 4)) << 32) | load_le32(p);
    if (near_seconds(be, seconds) || near_seconds(le, seconds)) {
      return std::min(payload.size(), PAYLOAD_STAMP_64_SIZE);
    }
  }
  if (payload.size() >= 4 &&
      (near_seconds(load_be32(p), seconds) || near_seconds(load_le32(p), seconds))) {
    return std::min(payload.size(), PAYLOAD_STAMP_32_SIZE);
  }
  return 0;
}

void conversation_table::begin_capture(const std::string& name) {
  m_captures.push_back(name);
  ++m_walked;
}

uint32_t& conversation_table::slot_of(const conversation_key& key) {
  const size_t mask = m_slots.size() - 1;
  const uint64_t hash = conversation_key_hash{}(key);
  size_t i = static_cast<size_t>((hash * FIBONACCI_MULTIPLIER) >> (64 - m_slot_bits));
  while (m_slots[i] != 0 && !(m_rows[m_slots[i] - 1].key == key)) i = (i + 1) & mask;
  return m_slots[i];
}

void conversation_table::grow_index() {
  m_slot_bits = m_slots.empty() ? INITIAL_SLOT_BITS : m_slot_bits + 1;
  m_slots.assign(size_t{1} << m_slot_bits, 0);
  for (size_t i = 0; i < m_rows.size(); ++i) slot_of(m_rows[i].key) = static_cast<uint32_t>(i + 1);
}

conversation_state* conversation_table::find_or_open(const conversation_key& key) {
  // At most half full, so a probe ends soon.
  if (2 * (m_rows.size() + 1) > m_slots.size()) grow_index();
  uint32_t& slot = slot_of(key);
  if (slot != 0) return &m_rows[slot - 1];
  if (m_rows.size() >= CONVERSATIONS_MAX) return nullptr;
  m_rows.emplace_back();
  m_rows.back().key = key;
  slot = static_cast<uint32_t>(m_rows.size());
  return &m_rows.back();
}

std::span<const uint8_t> conversation_table::sample_of(const conversation_state& c) const {
  return {m_samples.data() + c.sample_at, c.sample_len};
}

void conversation_table::add_payload_bytes(conversation_state& c, byte_span past) {
  if (past.empty()) return;
  if (c.histogram) {
    add_bytes(*c.histogram, past, 1);
    return;
  }
  if (c.sample_copies == 0 && past.size() <= PAYLOAD_SAMPLE_MAX) {
    c.sample_at = static_cast<uint32_t>(m_samples.size());
    c.sample_len = static_cast<uint8_t>(past.size());
    m_samples.insert(m_samples.end(), past.begin(), past.end());
    c.sample_copies = 1;
    return;
  }
  if (c.sample_copies > 0) {
    const std::span<const uint8_t> sample = sample_of(c);
    if (std::equal(past.begin(), past.end(), sample.begin(), sample.end())) {
      ++c.sample_copies;
      return;
    }
  }
  c.histogram = std::make_unique<wide_histogram>();
  add_bytes(*c.histogram, sample_of(c), c.sample_copies);
  c.sample_copies = 0;
  c.sample_len = 0;
  add_bytes(*c.histogram, past, 1);
}

void conversation_table::add(const decoded_packet& packet) {
  const message_place place = place_message(packet);
  conversation_state* found = find_or_open(place.key);
  if (found == nullptr) {
    ++m_untracked;
    return;
  }
  conversation_state& c = *found;
  const capture_record& record = *packet.record;
  const byte_span payload = packet.payload;
  // Captured lengths are bounded well below 4 GiB.
  const auto size = static_cast<uint32_t>(payload.size());
  if (c.message == nullptr) {
    const uint8_t type = packet.icmp[ICMP_TYPE_OFFSET];
    const uint8_t code = packet.icmp[ICMP_CODE_OFFSET];
    c.message = place.key.ipv6 ? icmpv6_message_name(type, code) : icmp_message_name(type, code);
    c.first_capture = static_cast<uint32_t>(m_captures.empty() ? 0 : m_captures.size() - 1);
    c.first_frame = record.frame_number;
  }
  if (timed(record)) {
    const ko::fine_time at{record.ticks, record.sub_tick_ns};
    if (!c.timed || at < c.first) c.first = at;
    if (!c.timed || at > c.last) c.last = at;
    c.timed = true;
  }
  c.bytes += size;
  c.size_min = std::min(c.size_min, size);
  c.size_max = std::max(c.size_max, size);

  const byte_span past = payload.subspan(payload_stamp_size(payload, record));
  const uint64_t past_fp = fingerprint(past);
  count_distinct(c, past_fp);
  add_payload_bytes(c, past);

  const bool echo = place.key.kind == exchange_kind::echo;
  // Requests and replies are compared whole, time stamp and all.
  const uint64_t whole_fp = !echo                           ? 0
                            : past.size() == payload.size() ? past_fp
                                                            : fingerprint(payload);
  if (place.role == message_role::reply) {
    ++c.replies;
    if (echo) count_direction(c.replies_seen, c.reply_fingerprint, c.replies_vary, past_fp);
    if (!place.has_seq) return;
    const std::optional<pending_request> request = c.window.answer(place.seq);
    if (request && echo && request->tag != whole_fp) c.reply_differs = true;
    return;
  }
  ++c.requests;
  if (echo) count_direction(c.requests_seen, c.request_fingerprint, c.requests_vary, past_fp);
  // A message of one direction expects no reply: it is never unanswered.
  if (place.role == message_role::single) return;
  // A request whose sequence number was not captured can be answered by nothing.
  if (!place.has_seq) {
    ++c.unanswered;
    return;
  }
  pending_request request;
  request.frame = record.frame_number;
  request.ticks = record.ticks;
  request.sub_tick_ns = record.sub_tick_ns;
  request.timed = timed(record);
  request.seq = place.seq;
  request.tag = whole_fp;
  if (c.window.add(request)) ++c.unanswered;
}

void conversation_table::end_capture() {
  for (conversation_state& c : m_rows) {
    c.unanswered += c.window.size();
    c.window.clear();
  }
}

void conversation_table::take_payload_bytes(conversation_state& c, const conversation_state& later,
                                            const conversation_table& from) {
  const std::span<const uint8_t> later_sample = from.sample_of(later);
  if (later.sample_copies == 0 && !later.histogram) return;
  if (c.sample_copies == 0 && !c.histogram) {
    if (later.histogram) {
      c.histogram = std::make_unique<wide_histogram>(*later.histogram);
    } else {
      c.sample_at = static_cast<uint32_t>(m_samples.size());
      c.sample_len = later.sample_len;
      c.sample_copies = later.sample_copies;
      m_samples.insert(m_samples.end(), later_sample.begin(), later_sample.end());
    }
    return;
  }
  if (!c.histogram && !later.histogram) {
    const std::span<const uint8_t> sample = sample_of(c);
    if (std::equal(sample.begin(), sample.end(), later_sample.begin(), later_sample.end())) {
      c.sample_copies += later.sample_copies;
      return;
    }
  }
  if (!c.histogram) {
    c.histogram = std::make_unique<wide_histogram>();
    add_bytes(*c.histogram, sample_of(c), c.sample_copies);
    c.sample_copies = 0;
    c.sample_len = 0;
  }
  if (later.histogram) {
    for (size_t b = 0; b < later.histogram->size(); ++b) (*c.histogram)[b] += (*later.histogram)[b];
  } else {
    add_bytes(*c.histogram, later_sample, later.sample_copies);
  }
}

void conversation_table::merge(conversation_table&& later) {
  if (m_rows.empty() && m_untracked == 0) {
    later.m_walked += m_walked;
    *this = std::move(later);
    later = {};
    return;
  }
  m_untracked += later.m_untracked;
  m_walked += later.m_walked;
  // Where each capture name of `later` stands here, once one of its rows needs it.
  std::vector<uint32_t> renamed(later.m_captures.size(), UINT32_MAX);
  for (conversation_state& l : later.m_rows) {
    if (2 * (m_rows.size() + 1) > m_slots.size()) grow_index();
    uint32_t& slot = slot_of(l.key);
    if (slot == 0) {
      if (m_rows.size() >= CONVERSATIONS_MAX) {
        m_untracked += l.requests + l.replies;
        continue;
      }
      uint32_t& name = renamed[l.first_capture];
      if (name == UINT32_MAX) {
        name = static_cast<uint32_t>(m_captures.size());
        m_captures.push_back(later.m_captures[l.first_capture]);
      }
      const std::span<const uint8_t> sample = later.sample_of(l);
      l.first_capture = name;
      l.sample_at = static_cast<uint32_t>(m_samples.size());
      m_samples.insert(m_samples.end(), sample.begin(), sample.end());
      m_rows.push_back(std::move(l));
      slot = static_cast<uint32_t>(m_rows.size());
      continue;
    }
    conversation_state& c = m_rows[slot - 1];
    c.requests += l.requests;
    c.replies += l.replies;
    c.unanswered += l.unanswered + l.window.size();
    c.bytes += l.bytes;
    c.size_min = std::min(c.size_min, l.size_min);
    c.size_max = std::max(c.size_max, l.size_max);
    c.files += l.files;
    if (l.timed) {
      if (!c.timed || l.first < c.first) c.first = l.first;
      if (!c.timed || l.last > c.last) c.last = l.last;
      c.timed = true;
    }
    if (l.distinct_capped) {
      c.distinct_capped = true;
      c.more_fingerprints = {};
    } else if (l.distinct > 0) {
      count_distinct(c, l.first_fingerprint);
      for (const uint64_t fp : l.more_fingerprints) count_distinct(c, fp);
    }
    merge_direction(c.requests_seen, c.request_fingerprint, c.requests_vary, l.requests_seen,
                    l.request_fingerprint, l.requests_vary);
    merge_direction(c.replies_seen, c.reply_fingerprint, c.replies_vary, l.replies_seen,
                    l.reply_fingerprint, l.replies_vary);
    c.reply_differs = c.reply_differs || l.reply_differs;
    take_payload_bytes(c, l, later);
  }
  later = {};
}

summary_row conversation_table::row(size_t index) const {
  const conversation_state& c = m_rows[index];
  summary_row row;
  row.key = &c.key;
  row.message = c.message;
  if (c.timed) {
    row.first = c.first;
    row.last = c.last;
  }
  row.requests = c.requests;
  row.replies = c.replies;
  row.unanswered = c.unanswered;
  row.bytes = c.bytes;
  row.size_min = c.size_min;
  row.size_max = c.size_max;
  row.payloads = c.distinct_capped ? DISTINCT_PAYLOADS_MAX : c.distinct;
  row.payloads_capped = c.distinct_capped;
  row.files = c.files;
  row.first_file = &m_captures[c.first_capture];
  row.first_frame = c.first_frame;

  uint64_t counted = 0;
  if (c.histogram) {
    for (const uint64_t count : *c.histogram) counted += count;
    row.entropy = entropy_bits(*c.histogram, counted);
  } else if (c.sample_copies > 0) {
    // The same bytes again and again have the entropy of one copy.
    counted = c.sample_copies * c.sample_len;
    const std::span<const uint8_t> sample = sample_of(c);
    entropy_memo& memo = m_entropy_memo;
    if (!memo.set ||
        !std::equal(sample.begin(), sample.end(), memo.sample.begin(), memo.sample.end())) {
      memo.sample.assign(sample.begin(), sample.end());
      memo.bits = sample_entropy_bits(sample);
      memo.set = true;
    }
    row.entropy = memo.bits;
  }
  const bool vary = c.requests_vary || c.replies_vary;
  const bool echo = c.key.kind == exchange_kind::echo;
  if (c.reply_differs) row.notes |= NOTE_REPLY_DIFFERS;
  if (vary) row.notes |= NOTE_PAYLOADS_VARY;
  if (vary && row.entropy >= HIGH_ENTROPY_BITS && counted >= HIGH_ENTROPY_BYTES_MIN) {
    row.notes |= NOTE_ENTROPY_HIGH;
  }
  if (echo && c.requests >= NO_REPLIES_REQUESTS_MIN && c.replies == 0) {
    row.notes |= NOTE_NO_REPLIES;
  }
  return row;
}

}  // namespace nelo
