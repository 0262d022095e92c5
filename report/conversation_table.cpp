#include "report/conversation_table.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string_view>
#include <utility>

#include "report/icmp_names.h"
#include "report/icmp_types.h"
#include "report/packet_report.h"
#include "support/wire.h"

namespace nelo {

namespace {

constexpr unsigned INITIAL_SLOT_BITS = 6;
// Multiplying by 2^64 / golden ratio and keeping the top bits spreads keys whose hashes differ
// only in a few bits (addresses of one sweep) over the whole index.
constexpr uint64_t FIBONACCI_MULTIPLIER = 0x9E3779B97F4A7C15ull;

bool near_seconds(uint64_t value, uint64_t seconds) {
  const uint64_t apart = value > seconds ? value - seconds : seconds - value;
  return apart <= PAYLOAD_STAMP_SLACK_SECONDS;
}

bool timed(const capture_record& record) {
  return record.time == record_time::shown;
}

// Widens the conversation's time span to take in `first` to `last`.
void take_times(conversation_state& c, ko::fine_time first, ko::fine_time last) {
  if (!c.timed || first < ko::fine_time{c.first_ticks, c.first_sub_tick_ns}) {
    c.first_ticks = first.ticks;
    c.first_sub_tick_ns = first.sub_tick_ns;
  }
  if (!c.timed || last > ko::fine_time{c.last_ticks, c.last_sub_tick_ns}) {
    c.last_ticks = last.ticks;
    c.last_sub_tick_ns = last.sub_tick_ns;
  }
  c.timed = true;
}

conversation_extra& extra_of(conversation_state& c) {
  if (!c.extra) c.extra = std::make_unique<conversation_extra>();
  return *c.extra;
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
  std::vector<uint64_t>& more = extra_of(c).more_fingerprints;
  if (std::find(more.begin(), more.end(), fp) != more.end()) return;
  if (c.distinct == DISTINCT_PAYLOADS_MAX) {
    // Past the cap no fingerprint is needed any more.
    c.distinct_capped = true;
    more = {};
    return;
  }
  more.push_back(fp);
  ++c.distinct;
}

uint64_t le64_at(const uint8_t* p) {
  return (static_cast<uint64_t>(load_le32(p + 4)) << 32) | load_le32(p);
}

using head_bytes = std::array<uint8_t, SENDER_FIELD_MAX>;

// The first SENDER_FIELD_MAX bytes of a payload, zero-filled.
head_bytes head_of(byte_span payload) {
  head_bytes head{};
  std::copy_n(payload.begin(), std::min(payload.size(), head.size()), head.begin());
  return head;
}

// Whether `later` follows `earlier` as a clock or counter does, read as `words`, most significant
// first: equal, or larger where they first differ, by less than CLOCK_STEP_MAX in the first word
// (seconds, or a counter) and less than CLOCK_FRACTION_STEP_MAX in a later one (its fraction).
// Text and random bytes climb by far more, when they climb at all.
template <size_t N>
bool follows(const std::array<uint64_t, N>& earlier, const std::array<uint64_t, N>& later) {
  for (size_t i = 0; i < N; ++i) {
    if (later[i] == earlier[i]) continue;
    return later[i] > earlier[i] &&
           later[i] - earlier[i] < (i == 0 ? CLOCK_STEP_MAX : CLOCK_FRACTION_STEP_MAX);
  }
  return true;
}

std::array<uint64_t, 4> big_endian_words(const head_bytes& h) {
  return {load_be32(h.data()), load_be32(h.data() + 4), load_be32(h.data() + 8),
          load_be32(h.data() + 12)};
}

std::array<uint64_t, 4> le32_words(const head_bytes& h) {
  return {load_le32(h.data()), load_le32(h.data() + 4), load_le32(h.data() + 8),
          load_le32(h.data() + 12)};
}

// Keeps the layouts in which `later` follows `earlier`.
void keep_rising(direction_signs& d, const head_bytes& earlier, const head_bytes& later) {
  d.rising_big_endian =
      d.rising_big_endian && follows(big_endian_words(earlier), big_endian_words(later));
  d.rising_le32 = d.rising_le32 && follows(le32_words(earlier), le32_words(later));
}

// Takes in the shape of one body: whether the bodies so far are all of one shape.
void take_shape(bool& shaped, uint32_t& first, bool& vary, bool later_shaped, uint32_t later) {
  if (!later_shaped) return;
  if (!shaped) {
    shaped = true;
    first = later;
  } else if (later != first) {
    vary = true;
  }
}

// Takes in the head of a payload of `size` bytes that follows the last one. Only whole heads are
// read as clocks: a payload shorter than a sender field cannot hold one.
void take_head(direction_signs& d, const head_bytes& head, size_t size) {
  const bool whole = size >= SENDER_FIELD_MAX;
  if (!d.seen) {
    d.seen = true;
    d.rising_big_endian = d.rising_le32 = true;
  } else if (head != d.head) {
    d.heads_differ = true;
    if (whole && d.last_whole) {
      keep_rising(d, d.head, head);
      d.rose = true;
    }
  }
  d.head = head;
  d.last_whole = whole;
}

// A body as a name for "payloads vary": the shape of a pattern, a fingerprint for data.
struct named_body {
  bool data = false;
  bool named = false;
  uint32_t name = 0;
};

// `fingerprint_of` gives the body's fingerprint, asked for data only.
template <typename fingerprint_fn>
named_body name_body(byte_span body, fingerprint_fn fingerprint_of) {
  const body_look look = look_at_body(body);
  if (look.pattern) return {false, look.shaped, look.shape};
  const uint64_t fp = fingerprint_of();
  return {true, true, static_cast<uint32_t>(fp ^ (fp >> 32))};
}

void take_body(direction_signs& d, byte_span payload, const named_body& whole,
               const named_body& tail) {
  take_head(d, head_of(payload), payload.size());
  d.whole_data = d.whole_data || whole.data;
  d.tail_data = d.tail_data || tail.data;
  bool shaped = d.whole_shaped, vary = d.whole_vary;
  take_shape(shaped, d.whole_shape, vary, whole.named, whole.name);
  d.whole_shaped = shaped;
  d.whole_vary = vary;
  shaped = d.tail_shaped;
  vary = d.tail_vary;
  take_shape(shaped, d.tail_shape, vary, tail.named, tail.name);
  d.tail_shaped = shaped;
  d.tail_vary = vary;
}

// Adds the signs of a later capture's messages of one direction. Sender fields are followed
// within each capture: the captures of a list need not come in the order they were made.
void merge_signs(direction_signs& d, const direction_signs& later) {
  if (!later.seen) return;
  if (!d.seen) {
    d = later;
    return;
  }
  d.heads_differ = d.heads_differ || later.heads_differ || d.head != later.head;
  d.head = later.head;
  d.last_whole = later.last_whole;
  d.rose = d.rose || later.rose;
  d.rising_big_endian = d.rising_big_endian && later.rising_big_endian;
  d.rising_le32 = d.rising_le32 && later.rising_le32;
  d.whole_data = d.whole_data || later.whole_data;
  d.tail_data = d.tail_data || later.tail_data;
  bool shaped = d.whole_shaped, vary = d.whole_vary || later.whole_vary;
  take_shape(shaped, d.whole_shape, vary, later.whole_shaped, later.whole_shape);
  d.whole_shaped = shaped;
  d.whole_vary = vary;
  shaped = d.tail_shaped;
  vary = d.tail_vary || later.tail_vary;
  take_shape(shaped, d.tail_shape, vary, later.tail_shaped, later.tail_shape);
  d.tail_shaped = shaped;
  d.tail_vary = vary;
}

// What one direction's bodies came to, once its sender field is known.
struct direction_verdict {
  bool data = false;
  bool vary = false;
};

direction_verdict judge(const direction_signs& d) {
  if (!d.seen) return {};
  const bool clock = d.rose && (d.rising_big_endian || d.rising_le32);
  // Heads all alike are a lone message, as often as it came: it has a sender field when the
  // rest is a pattern.
  const bool field = d.heads_differ ? clock : !d.tail_data;
  if (field) return {d.tail_data, d.tail_vary};
  return {d.whole_data, d.whole_vary};
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

uint64_t payload_fingerprint(byte_span bytes) {
  return std::hash<std::string_view>{}(
      std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

size_t payload_stamp_size(byte_span payload, const capture_record& record) {
  if (!timed(record) || record.ticks < ko::TICKS_1601_TO_1970) return 0;
  const uint64_t seconds = (record.ticks - ko::TICKS_1601_TO_1970) / ko::TICKS_PER_SECOND;
  const uint8_t* p = payload.data();
  if (payload.size() >= 8) {
    const uint64_t be = load_be64(p);
    const uint64_t le = le64_at(p);
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

conversation_table::slot_ref conversation_table::slot_of(const conversation_key& key) {
  const size_t mask = m_slots.size() - 1;
  const uint64_t hash = conversation_key_hash{}(key);
  const uint64_t tag = (hash & SLOT_TAG_MASK) << SLOT_TAG_SHIFT;
  size_t i = static_cast<size_t>((hash * FIBONACCI_MULTIPLIER) >> (64 - m_slot_bits));
  // The tag spares a look at the rows of other keys, which a large table has far apart.
  while (m_slots[i] != 0 && !((m_slots[i] & ~SLOT_ROW_MASK) == tag &&
                              m_rows[(m_slots[i] & SLOT_ROW_MASK) - 1].key == key)) {
    i = (i + 1) & mask;
  }
  return {&m_slots[i], tag};
}

void conversation_table::grow_index() {
  m_slot_bits = m_slots.empty() ? INITIAL_SLOT_BITS : m_slot_bits + 1;
  m_slots.assign(size_t{1} << m_slot_bits, 0);
  for (size_t i = 0; i < m_rows.size(); ++i) slot_of(m_rows[i].key).fill(i);
}

conversation_state* conversation_table::find_or_open(const conversation_key& key) {
  // At most half full, so a probe ends soon.
  if (2 * (m_rows.size() + 1) > m_slots.size()) grow_index();
  const slot_ref slot = slot_of(key);
  if (*slot.at != 0) return &m_rows[slot.row()];
  if (m_rows.size() >= CONVERSATIONS_MAX) return nullptr;
  conversation_state& c = m_rows.add();
  c.key = key;
  slot.fill(m_rows.size() - 1);
  return &c;
}

std::span<const uint8_t> conversation_table::sample_of(const conversation_state& c) const {
  return {m_samples.data() + c.sample_at, c.sample_len};
}

void conversation_table::keep_sample(conversation_state& c, std::span<const uint8_t> past) {
  const std::span<const uint8_t> last{m_samples.data() + m_last_sample_at, m_last_sample_len};
  if (m_samples.empty() || !std::equal(past.begin(), past.end(), last.begin(), last.end())) {
    m_last_sample_at = static_cast<uint32_t>(m_samples.size());
    m_last_sample_len = static_cast<uint8_t>(past.size());
    m_samples.insert(m_samples.end(), past.begin(), past.end());
  }
  c.sample_at = m_last_sample_at;
  c.sample_len = m_last_sample_len;
}

// The payload bytes past the time stamp of `c` so far, all in a histogram: the sample as many
// times as `c` has messages.
static wide_histogram& histogram_of(conversation_state& c, std::span<const uint8_t> sample) {
  conversation_extra& extra = extra_of(c);
  if (!extra.histogram) {
    extra.histogram = std::make_unique<wide_histogram>();
    add_bytes(*extra.histogram, sample, c.requests + c.replies);
  }
  return *extra.histogram;
}

// A conversation's payloads past the time stamp are the sample over and over while every one of
// them is (none is empty), all empty while there is neither sample nor histogram, and in the
// histogram once they differ.
void conversation_table::add_payload_bytes(conversation_state& c, byte_span past) {
  if (c.extra && c.extra->histogram) {
    add_bytes(*c.extra->histogram, past, 1);
    return;
  }
  const bool first = c.requests + c.replies == 0;
  if (c.sample_len > 0) {
    const std::span<const uint8_t> sample = sample_of(c);
    if (std::equal(past.begin(), past.end(), sample.begin(), sample.end())) return;
  } else if (past.empty()) {
    return;
  } else if (first && past.size() <= PAYLOAD_SAMPLE_MAX) {
    keep_sample(c, past);
    return;
  }
  add_bytes(histogram_of(c, sample_of(c)), past, 1);
  c.sample_len = 0;
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
  const bool first = c.requests + c.replies == 0;
  if (first) {
    c.first_type = packet.message.type;
    c.first_code = packet.message.code;
    c.first_capture = static_cast<uint32_t>(m_captures.empty() ? 0 : m_captures.size() - 1);
    c.first_frame = record.frame_number;
    if (packet.tunnels.count > 0) {
      char path[TUNNEL_PATH_MAX];
      char* end = put_tunnel_path(path, packet);
      if (end != path) extra_of(c).tunnels.assign(path, static_cast<size_t>(end - path));
    }
  }
  if (timed(record)) {
    const ko::fine_time at{record.ticks, record.sub_tick_ns};
    take_times(c, at, at);
  }
  c.bytes += size;
  c.size_min = std::min(c.size_min, size);
  c.size_max = std::max(c.size_max, size);

  const byte_span past = payload.subspan(payload_stamp_size(payload, record));
  const uint64_t past_fp = payload_fingerprint(past);
  count_distinct(c, past_fp);
  add_payload_bytes(c, past);

  const bool echo = place.key.kind == exchange_kind::echo;
  const bool reply = place.role == message_role::reply;
  uint32_t whole_tag = 0;
  if (echo) {
    // Requests and replies are compared whole, sender field and all.
    const uint64_t whole_fp =
        past.size() == payload.size() ? past_fp : payload_fingerprint(payload);
    whole_tag = static_cast<uint32_t>(whole_fp ^ (whole_fp >> 32));
    const byte_span tail = payload.subspan(std::min(payload.size(), SENDER_FIELD_MAX));
    const named_body tail_body = name_body(tail, [&] {
      return tail.size() == past.size()      ? past_fp
             : tail.size() == payload.size() ? whole_fp
                                             : payload_fingerprint(tail);
    });
    if (tail_body.data) {
      conversation_extra& extra = extra_of(c);
      if (!extra.data_histogram) extra.data_histogram = std::make_unique<wide_histogram>();
      add_bytes(*extra.data_histogram, tail, 1);
    }
    direction_signs& signs = reply ? c.reply_signs : c.request_signs;
    // Whole payloads that were data and varied have nothing more to tell, as in every ping.
    const named_body whole_body = signs.whole_data && signs.whole_vary
                                      ? named_body{true, false, 0}
                                      : name_body(payload, [&] { return whole_fp; });
    take_body(signs, payload, whole_body, tail_body);
  }
  if (reply) {
    ++c.replies;
    const bool answered = place.has_seq && answer(c, place.seq, echo, whole_tag);
    if (echo && !answered && c.requests_in_capture) ++c.stray_replies;
    return;
  }
  ++c.requests;
  if (echo) c.requests_in_capture = true;
  // A message of one direction expects no reply: it is never unanswered.
  if (place.role == message_role::single) return;
  // A request whose sequence number was not captured can be answered by nothing.
  if (!place.has_seq) {
    ++c.unanswered;
    return;
  }
  if (!c.pending_set && !(c.extra && !c.extra->window.empty())) {
    c.pending_set = true;
    c.pending_seq = place.seq;
    c.pending_tag = whole_tag;
    return;
  }
  request_window& window = extra_of(c).window;
  if (c.pending_set) {
    // The one waiting request goes first into the window, being the oldest.
    pending_request earlier;
    earlier.seq = c.pending_seq;
    earlier.tag = c.pending_tag;
    window.add(earlier);
    c.pending_set = false;
  }
  pending_request request;
  request.seq = place.seq;
  request.tag = whole_tag;
  if (window.add(request)) ++c.unanswered;
}

bool conversation_table::answer(conversation_state& c, uint16_t seq, bool echo, uint32_t tag) {
  std::optional<uint32_t> request_tag;
  if (c.pending_set) {
    if (c.pending_seq != seq) return false;
    c.pending_set = false;
    request_tag = c.pending_tag;
  } else if (c.extra && !c.extra->window.empty()) {
    const std::optional<pending_request> request = c.extra->window.answer(seq);
    if (!request) return false;
    request_tag = static_cast<uint32_t>(request->tag);
  } else {
    return false;
  }
  if (echo && *request_tag != tag) c.reply_differs = true;
  return true;
}

void conversation_table::end_capture() {
  for (size_t i = 0; i < m_rows.size(); ++i) {
    conversation_state& c = m_rows[i];
    c.requests_in_capture = false;
    if (c.pending_set) ++c.unanswered;
    c.pending_set = false;
    if (c.extra) {
      c.unanswered += c.extra->window.size();
      c.extra->window.clear();
    }
  }
}

void conversation_table::take_payload_bytes(conversation_state& c, const conversation_state& later,
                                            const conversation_table& from) {
  const std::span<const uint8_t> later_sample = from.sample_of(later);
  const wide_histogram* later_histogram =
      later.extra && later.extra->histogram ? later.extra->histogram.get() : nullptr;
  const uint64_t later_messages = later.requests + later.replies;
  // All empty: nothing to add.
  if (later.sample_len == 0 && later_histogram == nullptr) return;
  if (later_histogram == nullptr && c.sample_len > 0) {
    const std::span<const uint8_t> sample = sample_of(c);
    if (std::equal(sample.begin(), sample.end(), later_sample.begin(), later_sample.end())) return;
  }
  wide_histogram& h = histogram_of(c, sample_of(c));
  c.sample_len = 0;
  if (later_histogram != nullptr) {
    for (size_t b = 0; b < h.size(); ++b) h[b] += (*later_histogram)[b];
  } else {
    add_bytes(h, later_sample, later_messages);
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
  for (size_t i = 0; i < later.m_rows.size(); ++i) {
    conversation_state& l = later.m_rows[i];
    if (2 * (m_rows.size() + 1) > m_slots.size()) grow_index();
    const slot_ref slot = slot_of(l.key);
    if (*slot.at == 0) {
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
      if (l.sample_len > 0) keep_sample(l, sample);
      m_rows.add() = std::move(l);
      slot.fill(m_rows.size() - 1);
      continue;
    }
    conversation_state& c = m_rows[slot.row()];
    // Before the counts: the sample stands for as many messages as there are so far.
    take_payload_bytes(c, l, later);
    c.requests += l.requests;
    c.replies += l.replies;
    c.unanswered += l.unanswered;
    c.stray_replies += l.stray_replies;
    c.bytes += l.bytes;
    c.size_min = std::min(c.size_min, l.size_min);
    c.size_max = std::max(c.size_max, l.size_max);
    c.files += l.files;
    if (l.timed) {
      take_times(c, {l.first_ticks, l.first_sub_tick_ns}, {l.last_ticks, l.last_sub_tick_ns});
    }
    if (l.distinct_capped) {
      c.distinct_capped = true;
      if (c.extra) c.extra->more_fingerprints = {};
    } else if (l.distinct > 0) {
      count_distinct(c, l.first_fingerprint);
      if (l.extra) {
        for (const uint64_t fp : l.extra->more_fingerprints) count_distinct(c, fp);
      }
    }
    merge_signs(c.request_signs, l.request_signs);
    merge_signs(c.reply_signs, l.reply_signs);
    c.reply_differs = c.reply_differs || l.reply_differs;
    if (l.extra && l.extra->data_histogram) {
      conversation_extra& extra = extra_of(c);
      if (!extra.data_histogram) {
        extra.data_histogram = std::move(l.extra->data_histogram);
      } else {
        for (size_t b = 0; b < extra.data_histogram->size(); ++b) {
          (*extra.data_histogram)[b] += (*l.extra->data_histogram)[b];
        }
      }
    }
  }
  later = {};
}

summary_row conversation_table::row(size_t index) const {
  const conversation_state& c = m_rows[index];
  summary_row row;
  row.key = &c.key;
  row.message = c.key.ipv6 ? icmpv6_message_name(c.first_type, c.first_code)
                           : icmp_message_name(c.first_type, c.first_code);
  if (c.extra) row.tunnels = c.extra->tunnels;
  if (c.timed) {
    row.first = ko::fine_time{c.first_ticks, c.first_sub_tick_ns};
    row.last = ko::fine_time{c.last_ticks, c.last_sub_tick_ns};
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

  if (c.extra && c.extra->histogram) {
    uint64_t counted = 0;
    for (const uint64_t count : *c.extra->histogram) counted += count;
    row.entropy = entropy_bits(*c.extra->histogram, counted);
  } else if (c.sample_len > 0) {
    // The same bytes again and again have the entropy of one copy.
    const std::span<const uint8_t> sample = sample_of(c);
    entropy_memo& memo = m_entropy_memo;
    // Conversations share equal samples, so the same place holds the same bytes.
    if (!memo.set || memo.at != c.sample_at || memo.len != c.sample_len) {
      memo.at = c.sample_at;
      memo.len = c.sample_len;
      memo.bits = sample_entropy_bits(sample);
      memo.set = true;
    }
    row.entropy = memo.bits;
  }
  if (c.key.kind != exchange_kind::echo) return row;
  const direction_verdict requests = judge(c.request_signs);
  const direction_verdict replies = judge(c.reply_signs);
  const bool data = requests.data || replies.data;
  if (data) row.notes |= NOTE_CARRIES_DATA;
  if (requests.vary || replies.vary) row.notes |= NOTE_PAYLOADS_VARY;
  if (data && c.extra && c.extra->data_histogram) {
    uint64_t counted = 0;
    for (const uint64_t count : *c.extra->data_histogram) counted += count;
    if (counted >= HIGH_ENTROPY_BYTES_MIN &&
        entropy_bits(*c.extra->data_histogram, counted) >= HIGH_ENTROPY_BITS) {
      row.notes |= NOTE_ENTROPY_HIGH;
    }
  }
  if (c.reply_differs) row.notes |= NOTE_REPLY_DIFFERS;
  if (c.requests > 0 && c.stray_replies >= STRAY_REPLIES_MIN &&
      c.stray_replies * STRAY_REPLIES_SHARE > c.replies) {
    row.notes |= NOTE_STRAY_REPLIES;
  }
  if (c.requests >= NO_REPLIES_REQUESTS_MIN && c.replies == 0) row.notes |= NOTE_NO_REPLIES;
  return row;
}

}  // namespace nelo
