#include "capture/byte_pattern_match.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <random>
#include <vector>

namespace nelo {
namespace {

std::optional<uint64_t> find(const std::vector<uint8_t>& data, const byte_pattern& p) {
  uint64_t offset = 99;
  const bool found =
      match_byte_pattern(data.data(), static_cast<uint32_t>(data.size()), p, &offset);
  EXPECT_TRUE(found || offset == 0) << offset;
  return found ? std::optional<uint64_t>(offset) : std::nullopt;
}

TEST(ByteMatch, WildcardRunsBeyondSixteenBitsAreCountedExactly) {
  constexpr uint32_t gap = 70000;
  byte_pattern p{{{"A", gap}}, gap + 1};
  // Trailing wildcards are limited only by the total length.
  std::vector<uint8_t> data(gap, 0);
  data[1] = 0x41;
  EXPECT_EQ(find(data, p), std::nullopt);  // total 70001 > 70000
  data.push_back(0);
  EXPECT_EQ(find(data, p), 1u);  // the last wildcard lies past the end

  p.runs.push_back({"B", 0});
  p.total_len += 1;
  data.assign(gap + 10, 0);
  data[5] = 0x41;
  data[5 + 1 + gap] = 0x42;
  EXPECT_EQ(find(data, p), 5u);
  // A gap wrapped to 16 bits (70000 - 65536 = 4464) would find this one instead.
  data[5 + 1 + gap] = 0;
  data[5 + 1 + (gap - 65536)] = 0x42;
  EXPECT_EQ(find(data, p), std::nullopt);
}

// The matcher's rules applied literally: every start, every run, no shortcuts.
std::optional<uint64_t> reference_match(const std::vector<uint8_t>& data, const byte_pattern& p) {
  if (p.runs.empty() || p.total_len > data.size()) return std::nullopt;
  for (uint64_t s = 0; s < data.size(); ++s) {
    uint64_t pos = s;
    bool ok = true;
    for (const pattern_run& run : p.runs) {
      ok = pos < data.size();
      for (size_t k = 0; ok && k < run.literal.size(); ++k)
        ok = pos + k < data.size() && data[pos + k] == static_cast<uint8_t>(run.literal[k]);
      if (!ok) break;
      pos += run.literal.size() + run.wildcards;
    }
    if (ok) return s;
  }
  return std::nullopt;
}

TEST(ByteMatch, AgreesWithReferenceSearchOnRandomInputs) {
  std::mt19937 rng(20240531);
  auto pick = [&rng](uint32_t lo, uint32_t hi) {
    return std::uniform_int_distribution<uint32_t>(lo, hi)(rng);
  };
  int matches = 0;
  for (int iter = 0; iter < 20000; ++iter) {
    // A three-letter alphabet makes matches common enough to exercise every path.
    std::vector<uint8_t> data(pick(0, 40));
    for (uint8_t& b : data) b = static_cast<uint8_t>('a' + pick(0, 2));
    byte_pattern p;
    for (uint32_t r = 0, runs = pick(1, 4); r < runs; ++r) {
      pattern_run run;
      const bool has_literal = r > 0 || pick(0, 3) != 0;
      for (uint32_t k = has_literal ? pick(1, 3) : 0; k > 0; --k)
        run.literal.push_back('a' + pick(0, 2));
      run.wildcards = has_literal ? pick(0, 3) : pick(1, 3);
      p.total_len += run.literal.size() + run.wildcards;
      p.runs.push_back(run);
    }
    const std::optional<uint64_t> expected = reference_match(data, p);
    ASSERT_EQ(find(data, p), expected) << "iteration " << iter;
    matches += expected.has_value();
  }
  EXPECT_GT(matches, 1000);  // the sample must not be all misses
  const uint8_t byte = 0x41;
  EXPECT_FALSE(match_byte_pattern(nullptr, 1, byte_pattern{{{"A", 0}}, 1}));
  EXPECT_FALSE(match_byte_pattern(&byte, 1, byte_pattern{}));
}

}  // namespace
}  // namespace nelo
