// Byte statistics behind the report's "payload has entropy high" note.
// `ko::stats` keeps the histogram, moments and normalised entropy of one run of bytes and owns
// nothing beyond itself; `payload_looks_random` is the per-packet shortcut the report uses and
// answers exactly as `ko::stats(data, len).looks_random()` would.
#ifndef NELO_REPORT_KO_STATS_H_
#define NELO_REPORT_KO_STATS_H_

#include <array>
#include <cstddef>
#include <cstdint>

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

}  // namespace nelo

#endif  // NELO_REPORT_KO_STATS_H_
