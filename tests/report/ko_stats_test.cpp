#include "report/ko_stats.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>
#include <vector>

namespace {

using histogram = std::array<uint32_t, ko::HISTOGRAM_BINS>;

histogram flat(uint32_t count) {
  histogram counts;
  counts.fill(count);
  return counts;
}

// Bytes holding each value as often as `counts` says, shuffled.
std::vector<uint8_t> bytes_with(const histogram& counts, uint32_t seed) {
  std::vector<uint8_t> bytes;
  for (size_t value = 0; value < counts.size(); ++value) {
    bytes.insert(bytes.end(), counts[value], static_cast<uint8_t>(value));
  }
  std::shuffle(bytes.begin(), bytes.end(), std::mt19937(seed));
  return bytes;
}

// 2048 values, every bin between 6 and 10 (spread exactly 40), summing to `target`: units are
// moved between mirrored bins from a flat 8.
histogram with_sum(int64_t target) {
  histogram counts = flat(8);
  int64_t need = target - 8 * (255 * 256 / 2);
  for (int low = 0; low < 128; ++low) {
    const int high = 255 - low;
    for (int unit = 0; unit < 2; ++unit) {
      const int step = need < 0 ? -1 : 1;  // move a unit up (+1) or down (-1) the values
      if (step * need >= high - low) {
        counts[step < 0 ? high : low] -= 1;
        counts[step < 0 ? low : high] += 1;
        need -= step * (high - low);
      }
    }
  }
  EXPECT_EQ(need, 0);
  return counts;
}

bool full_answer(const std::vector<uint8_t>& b) {
  return ko::stats(b.data(), static_cast<int32_t>(b.size())).looks_random();
}
bool fast_answer(const std::vector<uint8_t>& b) {
  return nelo::payload_looks_random(b.data(), static_cast<int32_t>(b.size()));
}

TEST(KoStats, VerdictsOnCraftedPayloadsIncludeTheLimits) {
  histogram one_missing = flat(256);
  one_missing[77] = 0;
  histogram spread_40 = flat(10);
  spread_40[0] = spread_40[255] = 6;
  histogram spread_50 = spread_40;
  spread_50[255] = 5;
  std::vector<uint8_t> echo(56);
  for (size_t i = 0; i < echo.size(); ++i) echo[i] = static_cast<uint8_t>(0x08 + i);

  const struct {
    const char* name;
    std::vector<uint8_t> bytes;
    bool looks_random;
  } cases[] = {
      {"every value once", bytes_with(flat(1), 2), true},
      {"one value removed", bytes_with(one_missing, 4), false},
      {"56-byte echo payload", echo, false},
      {"spread exactly 40", bytes_with(spread_40, 6), true},
      {"spread 50", bytes_with(spread_50, 7), false},
      // 2048 values: 245760 / 2048 is exactly 120, 266240 / 2048 exactly 130.
      {"mean exactly 120", bytes_with(with_sum(245760), 8), true},
      {"mean just under 120", bytes_with(with_sum(245759), 9), false},
      {"mean exactly 130", bytes_with(with_sum(266240), 10), true},
      {"mean just over 130", bytes_with(with_sum(266241), 11), false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(full_answer(c.bytes), c.looks_random) << c.name;
    EXPECT_EQ(fast_answer(c.bytes), c.looks_random) << c.name;
  }
  const uint8_t byte = 200;
  EXPECT_FALSE(nelo::payload_looks_random(&byte, 0) || nelo::payload_looks_random(&byte, -1));
  EXPECT_FALSE(ko::stats(&byte, -1).valid() || ko::stats(nullptr, 10).valid());
}

TEST(KoStats, PayloadEntropyAgreesWithTheFullStatistics) {
  std::mt19937 gen(7);
  // Both sides of the table the short path uses, a single repeated byte, and random bytes.
  for (size_t len : {1, 2, 56, 255, 1023, 1024, 1025, 60000}) {
    for (const unsigned spread : {1u, 7u, 256u}) {
      std::vector<uint8_t> bytes(len);
      for (uint8_t& b : bytes) b = static_cast<uint8_t>(gen() % spread);
      const double full = ko::stats(bytes.data(), static_cast<int32_t>(len)).entropy();
      EXPECT_NEAR(nelo::payload_entropy(bytes.data(), static_cast<int32_t>(len)), full, 1e-12)
          << "length " << len << ", " << spread << " values";
    }
  }
  EXPECT_EQ(nelo::payload_entropy(nullptr, 10), 0.0);
}

}  // namespace
