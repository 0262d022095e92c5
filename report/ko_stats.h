// Byte statistics behind the report's "payload has entropy high" note.
// `ko::stats` keeps the histogram, moments and normalised entropy of one run of bytes and owns
// nothing beyond itself; `payload_looks_random` is the per-packet shortcut the report uses and
// answers exactly as `ko::stats(data, len).looks_random()` would.
#ifndef NELO_REPORT_KO_STATS_H_
#define NELO_REPORT_KO_STATS_H_

#include <array>
#include <cstddef>
#include <cstdint>

#include "packet/decoded_packet.h"
#include "report/byte_tally.h"

namespace ko {

inline constexpr size_t HISTOGRAM_BINS = 256;

// Bounds of `looks_random`, all inclusive.
inline constexpr double RANDOM_MEAN_MIN = 120.0;
inline constexpr double RANDOM_MEAN_MAX = 130.0;
inline constexpr double RANDOM_STDDEV_MIN = 65.0;
inline constexpr double RANDOM_ENTROPY_MIN = 0.987;
inline constexpr double RANDOM_SPREAD_MAX = 40.0;  // percent of the fullest bin

class stats {
 public:
  // Computes the statistics of the `len` bytes at `data`. With null `data` or `len` <= 0 the
  // object keeps its reset state: every value 0 except `min_hist` (65535), and `valid` false.
  stats(const uint8_t* data, int32_t len);
  virtual ~stats();

  // True when the bytes look random or encrypted: 120 <= mean <= 130, stddev >= 65,
  // entropy >= 0.987 and (max_hist - min_hist) / max_hist * 100 <= 40, tested in that order.
  // Always false for an object without data.
  bool looks_random() const;

  uint64_t num_values() const { return m_num_values; }
  const std::array<uint32_t, HISTOGRAM_BINS>& histogram() const { return m_histogram; }
  double sum() const { return m_sum; }
  double sum_of_squares() const { return m_sum_of_squares; }
  double mean() const { return m_mean; }
  // Population variance.
  double variance() const { return m_variance; }
  double stddev() const { return m_stddev; }
  // Shannon entropy of the byte distribution in bits per byte, divided by 8: 0 to 1.
  double entropy() const { return m_entropy; }
  // Smallest bin count; the scan starts from 65535, which no bin of a capture record exceeds.
  uint32_t min_hist() const { return m_min_hist; }
  uint32_t max_hist() const { return m_max_hist; }
  bool valid() const { return m_valid; }

 private:
  uint64_t m_num_values = 0;
  std::array<uint32_t, HISTOGRAM_BINS> m_histogram{};
  double m_sum = 0;
  double m_sum_of_squares = 0;
  double m_mean = 0;
  double m_variance = 0;
  double m_stddev = 0;
  double m_entropy = 0;
  uint32_t m_min_hist = 0;
  uint32_t m_max_hist = 0;
  bool m_valid = false;
};

}  // namespace ko

namespace nelo {

// Same answer as `ko::stats(data, len).looks_random()`, without the work that cannot change it:
// fewer than 256 bytes always leave a bin empty (spread 100), so they fail at once, and the
// logarithms of the entropy are taken only when every cheaper test has passed.
bool payload_looks_random(const uint8_t* data, int32_t len);

// The same answer from the counts of each byte value of a payload of `len` bytes, already made.
bool byte_counts_look_random(const byte_histogram& counts, int32_t len);

// The normalised Shannon entropy of the `len` bytes at `data` (0 to 1; 0 for none), as
// `ko::stats::entropy` gives it up to rounding in the last bits, at the cost of one logarithm
// per call rather than one per byte value: it is computed for every message of a JSON report.
double payload_entropy(const uint8_t* data, int32_t len);
// The same value for a payload whose byte counts are already made (`counts`): long payloads
// are not counted a second time.
double payload_entropy(const uint8_t* data, int32_t len, const byte_histogram& counts);

// What pingers fill their payloads with. A payload is a sender field (a clock or counter, at most
// SENDER_FIELD_MAX bytes) and a body; the body of an ordinary ping is a pattern: empty, stepping
// by a constant mod 256, or repeating a period of at most PATTERN_PERIOD_MAX bytes, cut to any
// length and starting at any byte.
inline constexpr size_t SENDER_FIELD_MAX = 16;
inline constexpr size_t PATTERN_PERIOD_MAX = 64;
// A period counts as repeated when at least this many of its bytes come again (all of a shorter
// period), or any of them when the period itself steps: Windows' 23 letters in 32 bytes.
inline constexpr size_t PATTERN_REPEAT_MIN = 8;

// What a body is. Bodies of one shape are one pattern cut to other lengths or started at another
// byte; a body of at most 2 bytes is a pattern of no particular shape.
struct body_look {
  bool pattern = true;
  bool shaped = false;  // `shape` names the pattern; never for data
  uint32_t shape = 0;
};

body_look look_at_body(byte_span body);

// True when the payload's body is a pattern taking either no sender field or the first
// SENDER_FIELD_MAX bytes as one: what a lone message of a pinger shows.
bool payload_body_is_pattern(byte_span payload);

}  // namespace nelo

#endif  // NELO_REPORT_KO_STATS_H_
