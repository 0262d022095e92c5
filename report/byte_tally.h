// Counting the byte values of a payload, for the statistics behind the entropy note. The counts
// are kept in four interleaved tables so that runs of one value do not serialise on a single
// counter, and folded into one histogram at the end. Shared by the statistics and by MD5, which
// counts each block in its own loop.
#ifndef NELO_REPORT_BYTE_TALLY_H_
#define NELO_REPORT_BYTE_TALLY_H_

#include <array>
#include <cstddef>
#include <cstdint>

namespace nelo {

inline constexpr size_t BYTE_VALUES = 256;

using byte_histogram = std::array<uint32_t, BYTE_VALUES>;

struct byte_tally {
  uint32_t part[4][BYTE_VALUES] = {};

  void add(const uint8_t* data, size_t len) {
    size_t i = 0;
    for (; i + 4 <= len; i += 4) {
      ++part[0][data[i]];
      ++part[1][data[i + 1]];
      ++part[2][data[i + 2]];
      ++part[3][data[i + 3]];
    }
    for (; i < len; ++i) ++part[0][data[i]];
  }

  byte_histogram fold() const {
    byte_histogram out;
    for (size_t b = 0; b < BYTE_VALUES; ++b) {
      out[b] = part[0][b] + part[1][b] + part[2][b] + part[3][b];
    }
    return out;
  }
};

}  // namespace nelo

#endif  // NELO_REPORT_BYTE_TALLY_H_
