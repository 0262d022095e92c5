#include "capture/byte_pattern_match.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <ostream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace nelo {
namespace {

// Builds a pattern from tokens: "?" is one wildcard, anything else one hex byte.
byte_pattern make_pattern(const std::string& text) {
  byte_pattern p;
  std::istringstream in(text);
  std::string tok;
  while (in >> tok) {
    if (tok == "?") {
      if (p.runs.empty()) p.runs.push_back({});
      ++p.runs.back().wildcards;
    } else {
      if (p.runs.empty() || !p.runs.back().has_literal || p.runs.back().wildcards != 0) {
        p.runs.push_back({});
      }
      p.runs.back().has_literal = true;
      p.runs.back().literal.push_back(static_cast<char>(std::stoul(tok, nullptr, 16)));
    }
    ++p.total_len;
  }
  return p;
}

byte_pattern literal_then_wildcards(std::string literal, uint32_t wildcards) {
  byte_pattern p;
  p.runs.push_back({literal, true, wildcards});
  p.total_len = literal.size() + wildcards;
  return p;
}

struct match_case {
  const char* name;
  std::vector<uint8_t> data;
  const char* pattern;
  std::optional<uint64_t> offset;  // nullopt: no match
};
void PrintTo(const match_case& c, std::ostream* os) {
  *os << c.name;
}

class ByteMatchTable : public ::testing::TestWithParam<match_case> {};

TEST_P(ByteMatchTable, FindsFirstMatchOrNone) {
  const match_case& c = GetParam();
  uint64_t offset = 99;
  const bool found = match_byte_pattern(c.data.data(), static_cast<uint32_t>(c.data.size()),
                                        make_pattern(c.pattern), &offset);
  EXPECT_EQ(found, c.offset.has_value());
  EXPECT_EQ(offset, c.offset.value_or(0));
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, ByteMatchTable,
    ::testing::Values(
        match_case{"LeadingWildcardMatchesAtZero", {0x78, 0x41}, "? 41", 0},
        match_case{"TrailingWildcardMayLiePastTheEnd", {0x78, 0x41}, "41 ?", 1},
        match_case{"PatternLongerThanDataNeverMatches", {0x41, 0x42}, "41 42 43", std::nullopt},
        match_case{
            "LiteralRunningPastTheEndDoesNotMatch", {0x00, 0x41, 0x42}, "41 42 ? 43", std::nullopt},
        match_case{
            "WildcardsBetweenLiteralsSkipAnyBytes", {0x41, 0xff, 0xfe, 0x43}, "41 ? ? 43", 0},
        match_case{"FirstOfSeveralMatchesWins", {0x41, 0x41, 0x41}, "41 41", 0},
        match_case{"FalseStartIsRetriedOneByteLater", {0x41, 0x41, 0x42}, "41 42", 1},
        match_case{"ComparisonIsCaseSensitive", {'a', 'b'}, "41 42", std::nullopt},
        match_case{"OnlyWildcardsMatchAtZero", {1, 2, 3}, "? ? ?", 0},
        match_case{"OnlyWildcardsLongerThanDataFail", {1, 2}, "? ? ?", std::nullopt},
        match_case{"GapPushingLiteralPastTheEndFails", {0x41, 0x00}, "? ? 41", std::nullopt},
        match_case{"MatchAtTheLastByte", {0, 0, 0, 0x7f}, "7f", 3},
        match_case{"EmptyDataNeverMatches", {}, "41", std::nullopt}),
    [](const ::testing::TestParamInfo<match_case>& i) { return std::string(i.param.name); });

TEST(ByteMatch, MissingDataOrEmptyPatternNeverMatches) {
  const uint8_t data[] = {0x41};
  EXPECT_FALSE(match_byte_pattern(nullptr, 1, make_pattern("41")));
  EXPECT_FALSE(match_byte_pattern(data, 1, byte_pattern{}));
}

TEST(ByteMatch, WildcardRunsBeyondSixteenBitsAreCountedExactly) {
  constexpr uint32_t gap = 70000;
  std::vector<uint8_t> data(gap + 10, 0);
  data[5] = 0x41;
  data[5 + 1 + gap] = 0x42;

  byte_pattern p = literal_then_wildcards("A", gap);
  p.runs.push_back({"B", true, 0});
  p.total_len += 1;
  uint64_t offset = 0;
  EXPECT_TRUE(match_byte_pattern(data.data(), static_cast<uint32_t>(data.size()), p, &offset));
  EXPECT_EQ(offset, 5u);

  // A gap wrapped to 16 bits (70000 - 65536 = 4464) would find this one instead.
  data[5 + 1 + gap] = 0;
  data[5 + 1 + (gap - 65536)] = 0x42;
  EXPECT_FALSE(match_byte_pattern(data.data(), static_cast<uint32_t>(data.size()), p));
}

TEST(ByteMatch, TrailingWildcardsAreLimitedOnlyByTotalLength) {
  constexpr uint32_t gap = 70000;
  const byte_pattern p = literal_then_wildcards("A", gap);
  std::vector<uint8_t> data(gap, 0);
  data[1] = 0x41;
  EXPECT_FALSE(match_byte_pattern(data.data(), gap, p));  // total 70001 > 70000

  data.push_back(0);
  uint64_t offset = 0;
  EXPECT_TRUE(match_byte_pattern(data.data(), gap + 1, p, &offset));
  EXPECT_EQ(offset, 1u);  // the last wildcard lies past the end
}

// The matcher's rules applied literally: every start, every run, no shortcuts.
std::optional<uint64_t> reference_match(const std::vector<uint8_t>& data, const byte_pattern& p) {
  if (p.runs.empty() || p.total_len > data.size()) return std::nullopt;
  for (uint64_t s = 0; s < data.size(); ++s) {
    uint64_t pos = s;
    bool ok = true;
    for (const pattern_run& run : p.runs) {
      if (pos >= data.size()) {
        ok = false;
        break;
      }
      for (size_t k = 0; k < run.literal.size(); ++k) {
        if (pos + k >= data.size() || data[pos + k] != static_cast<uint8_t>(run.literal[k])) {
          ok = false;
          break;
        }
      }
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
    const uint32_t runs = pick(1, 4);
    for (uint32_t r = 0; r < runs; ++r) {
      pattern_run run;
      run.has_literal = r > 0 || pick(0, 3) != 0;
      if (run.has_literal) {
        for (uint32_t k = pick(1, 3); k > 0; --k) run.literal.push_back('a' + pick(0, 2));
      }
      run.wildcards = run.has_literal ? pick(0, 3) : pick(1, 3);
      p.total_len += run.literal.size() + run.wildcards;
      p.runs.push_back(run);
    }

    uint64_t offset = 0;
    const bool found =
        match_byte_pattern(data.data(), static_cast<uint32_t>(data.size()), p, &offset);
    const std::optional<uint64_t> expected = reference_match(data, p);
    ASSERT_EQ(found, expected.has_value()) << "iteration " << iter;
    if (found) {
      ASSERT_EQ(offset, *expected) << "iteration " << iter;
      ++matches;
    }
  }
  EXPECT_GT(matches, 1000);  // the sample must not be all misses
}

}  // namespace
}  // namespace nelo
