// Byte statistics and the random-looking test. Sums are accumulated as integers and converted
// once: every partial sum of bytes and squared bytes of a 32-bit length is exact in a double, so
// this gives the very values a per-byte double accumulation would, only faster. The object and
// the shortcut share these helpers, which is what keeps their answers identical.
#include "report/ko_stats.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>

namespace ko {

namespace {

constexpr uint32_t MIN_HIST_START = 65535;
constexpr double ENTROPY_BITS = 8.0;  // log2 of the number of bins
constexpr double PERCENT = 100.0;

using histogram_t = nelo::byte_histogram;

histogram_t count_bytes(const uint8_t* data, size_t len) {
  nelo::byte_tally tally;
  tally.add(data, len);
  return tally.fold();
}

struct moments {
  double sum;
  double sum_of_squares;
  double mean;
  double variance;
  double stddev;
  uint32_t min_hist;
  uint32_t max_hist;
};

moments compute_moments(const histogram_t& histogram, size_t len) {
  uint64_t sum = 0;
  uint64_t sum_of_squares = 0;
  uint32_t min_hist = MIN_HIST_START;
  uint32_t max_hist = 0;
  for (uint64_t b = 0; b < HISTOGRAM_BINS; ++b) {
    const uint32_t k = histogram[b];
    sum += b * k;
    sum_of_squares += b * b * k;
    if (k > max_hist) max_hist = k;
    if (k < min_hist) min_hist = k;
  }
  moments m{};
  m.sum = static_cast<double>(sum);
  m.sum_of_squares = static_cast<double>(sum_of_squares);
  const double n = static_cast<double>(len);
  m.mean = m.sum / n;
  m.variance = m.sum_of_squares / n - m.mean * m.mean;
  m.stddev = std::sqrt(m.variance);
  m.min_hist = min_hist;
  m.max_hist = max_hist;
  return m;
}

double compute_entropy(const histogram_t& histogram, size_t len) {
  const double n = static_cast<double>(len);
  const double ln2 = std::log(2.0);
  double h = 0;
  for (uint32_t k : histogram) {
    if (k == 0) continue;
    const double p = k / n;
    h -= p * (std::log(p) / ln2);
  }
  return h / ENTROPY_BITS;
}

bool moments_pass(double mean, double stddev) {
  return mean >= RANDOM_MEAN_MIN && mean <= RANDOM_MEAN_MAX && stddev >= RANDOM_STDDEV_MIN;
}

bool spread_passes(uint32_t min_hist, uint32_t max_hist) {
  const double spread =
      static_cast<double>(max_hist - min_hist) / static_cast<double>(max_hist) * PERCENT;
  return spread <= RANDOM_SPREAD_MAX;
}

}  // namespace

stats::stats(const uint8_t* data, int32_t len) : m_min_hist(MIN_HIST_START) {
  if (data == nullptr || len <= 0) return;
  const size_t count = static_cast<size_t>(len);
  m_num_values = count;
  m_histogram = count_bytes(data, count);
  const moments m = compute_moments(m_histogram, count);
  m_sum = m.sum;
  m_sum_of_squares = m.sum_of_squares;
  m_mean = m.mean;
  m_variance = m.variance;
  m_stddev = m.stddev;
  m_min_hist = m.min_hist;
  m_max_hist = m.max_hist;
  m_entropy = compute_entropy(m_histogram, count);
  m_valid = true;
}

stats::~stats() = default;

bool stats::looks_random() const {
  if (!m_valid) return false;
  return moments_pass(m_mean, m_stddev) && m_entropy >= RANDOM_ENTROPY_MIN &&
         spread_passes(m_min_hist, m_max_hist);
}

}  // namespace ko

namespace nelo {

bool payload_looks_random(const uint8_t* data, int32_t len) {
  if (data == nullptr || len < static_cast<int32_t>(ko::HISTOGRAM_BINS)) return false;
  return byte_counts_look_random(ko::count_bytes(data, static_cast<size_t>(len)), len);
}

bool byte_counts_look_random(const byte_histogram& histogram, int32_t len) {
  if (len < static_cast<int32_t>(ko::HISTOGRAM_BINS)) return false;
  const size_t count = static_cast<size_t>(len);
  const ko::moments m = ko::compute_moments(histogram, count);
  if (!ko::moments_pass(m.mean, m.stddev)) return false;
  if (!ko::spread_passes(m.min_hist, m.max_hist)) return false;
  return ko::compute_entropy(histogram, count) >= ko::RANDOM_ENTROPY_MIN;
}

namespace {

// k log2 k for the counts small payloads have; larger counts are computed as they come.
constexpr uint32_t COUNT_TABLE_SIZE = 1024;

// How much k log2 k grows when a count reaches k, and log2 k itself.
struct count_log_steps {
  double step[COUNT_TABLE_SIZE];
  double log2[COUNT_TABLE_SIZE];
  count_log_steps() {
    step[0] = 0;
    log2[0] = 0;
    double previous = 0;
    for (uint32_t k = 1; k < COUNT_TABLE_SIZE; ++k) {
      log2[k] = std::log2(static_cast<double>(k));
      const double value = k * log2[k];
      step[k] = value - previous;
      previous = value;
    }
  }
};

double count_log(uint32_t k) {
  return k == 0 ? 0 : k * std::log2(static_cast<double>(k));
}

// log2 n - (1/n) sum k log2 k for fewer than COUNT_TABLE_SIZE bytes, with counters just wide
// enough for `count`, in four sums so that the additions do not wait on one another.
template <typename Counter>
double sum_small_counts(const uint8_t* data, size_t count) {
  static const count_log_steps table;
  Counter histogram[ko::HISTOGRAM_BINS] = {};
  double s0 = 0, s1 = 0, s2 = 0, s3 = 0;
  size_t i = 0;
  for (; i + 4 <= count; i += 4) {
    s0 += table.step[++histogram[data[i]]];
    s1 += table.step[++histogram[data[i + 1]]];
    s2 += table.step[++histogram[data[i + 2]]];
    s3 += table.step[++histogram[data[i + 3]]];
  }
  for (; i < count; ++i) s0 += table.step[++histogram[data[i]]];
  return table.log2[count] - ((s0 + s1) + (s2 + s3)) / static_cast<double>(count);
}

// H = log2 n - (1/n) sum k log2 k over the byte counts k, in bits per byte, over 8 bits.
// `counts`, when given, are those of the `len` bytes at `data`, already made.
double entropy_of(const uint8_t* data, int32_t len, const byte_histogram* counts) {
  if (data == nullptr || len <= 0) return 0;
  const size_t count = static_cast<size_t>(len);
  const double n = static_cast<double>(count);
  double bits = 0;
  if (count < COUNT_TABLE_SIZE) {
    // Every count stays inside the table: keep the sum as the counts grow, in one pass.
    bits = count <= UINT8_MAX ? sum_small_counts<uint8_t>(data, count)
                              : sum_small_counts<uint16_t>(data, count);
  } else {
    const byte_histogram histogram = counts != nullptr ? *counts : ko::count_bytes(data, count);
    double sum = 0;
    for (uint32_t k : histogram) sum += count_log(k);
    bits = std::log2(n) - sum / n;
  }
  return (bits > 0 ? bits : 0) / ko::ENTROPY_BITS;
}

}  // namespace

double payload_entropy(const uint8_t* data, int32_t len) {
  return entropy_of(data, len, nullptr);
}

double payload_entropy(const uint8_t* data, int32_t len, const byte_histogram& counts) {
  return entropy_of(data, len, &counts);
}

namespace {

// Shapes of the two kinds of pattern are told apart by their top bit.
constexpr uint32_t PERIOD_SHAPE = 1u << 31;
constexpr size_t SHAPELESS_MAX = 2;

// The constant difference of consecutive bytes, when they have one.
std::optional<uint8_t> step_of(const uint8_t* b, size_t n) {
  if (n < 2) return uint8_t{0};
  const auto step = static_cast<uint8_t>(b[1] - b[0]);
  for (size_t i = 2; i < n; ++i) {
    if (static_cast<uint8_t>(b[i] - b[i - 1]) != step) return std::nullopt;
  }
  return step;
}

// The shortest period the bytes repeat, as far as PATTERN_PERIOD_MAX; 0 when none. Only the
// shortest can qualify: a longer one repeats fewer bytes, and contains a period that does not step.
size_t period_of(const uint8_t* b, size_t n) {
  const size_t longest = std::min(PATTERN_PERIOD_MAX, n - 1);
  // Only where the first byte comes again can a period end.
  for (const void* at = b + 1;
       (at = std::memchr(at, b[0], longest - (static_cast<const uint8_t*>(at) - b) + 1)) != nullptr;
       at = static_cast<const uint8_t*>(at) + 1) {
    const auto p = static_cast<size_t>(static_cast<const uint8_t*>(at) - b);
    if (std::memcmp(b, b + p, n - p) != 0) continue;
    const bool repeated = n - p >= std::min(p, PATTERN_REPEAT_MIN) || step_of(b, p).has_value();
    return repeated ? p : 0;
  }
  return 0;
}

// A name for the period `b` of `p` bytes that is the same whichever byte it starts at: FNV-1a over
// its least rotation.
uint32_t period_shape(const uint8_t* b, size_t p) {
  size_t least = 0;
  for (size_t r = 1; r < p; ++r) {
    for (size_t k = 0; k < p; ++k) {
      const uint8_t x = b[(r + k) % p], y = b[(least + k) % p];
      if (x == y) continue;
      if (x < y) least = r;
      break;
    }
  }
  uint32_t h = 2166136261u;
  for (size_t k = 0; k < p; ++k) h = (h ^ b[(least + k) % p]) * 16777619u;
  return h | PERIOD_SHAPE;
}

}  // namespace

body_look look_at_body(byte_span body) {
  const uint8_t* b = body.data();
  const size_t n = body.size();
  body_look look;
  if (n <= SHAPELESS_MAX) return look;
  if (const std::optional<uint8_t> step = step_of(b, n)) {
    look.shaped = true;
    look.shape = *step;
    return look;
  }
  const size_t p = period_of(b, n);
  if (p == 0) {
    look.pattern = false;
    return look;
  }
  look.shaped = true;
  // A period that steps is the step cut short: Windows' letters at any length are one shape.
  const std::optional<uint8_t> step = step_of(b, p);
  look.shape = step ? *step : period_shape(b, p);
  return look;
}

bool payload_body_is_pattern(byte_span payload) {
  return look_at_body(payload).pattern ||
         look_at_body(payload.subspan(std::min(payload.size(), SENDER_FIELD_MAX))).pattern;
}

}  // namespace nelo
