// Differential checks against plain reference implementations: the byte-pattern search against
// a start-by-start comparison written here, and the MD5 digest (whole and fed in pieces)
// against the crypto library's. The first byte picks the check.
#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "capture/byte_pattern_match.h"
#include "fuzz/fuzz_input.h"
#include "report/md5.h"

namespace {

using nelo::fuzz::byte_source;

constexpr size_t MAX_RUNS = 6;

// The first start at which every literal lies inside the data and equals it; wildcards after
// the last literal may run past the end, but the pattern's total length may not exceed the data.
bool reference_match(const uint8_t* data, uint32_t length, const nelo::byte_pattern& pattern,
                     uint64_t& offset) {
  offset = 0;
  if (pattern.runs.empty() || pattern.total_len > length) return false;
  for (uint64_t start = 0; start < length; ++start) {
    uint64_t pos = start;
    bool all = true;
    for (const nelo::pattern_run& run : pattern.runs) {
      const uint64_t lit = run.literal.size();
      if (pos + lit > length ||
          (lit > 0 && std::memcmp(data + pos, run.literal.data(), lit) != 0)) {
        all = false;
        break;
      }
      pos += lit + run.wildcards;
    }
    if (all) {
      offset = start;
      return true;
    }
  }
  return false;
}

void check_pattern_search(byte_source& in) {
  // Small alphabets make matches common; the data is the rest of the input.
  const uint8_t alphabet = static_cast<uint8_t>(1 + in.u8() % 4);
  nelo::byte_pattern pattern;
  const size_t runs = 1 + in.u8() % MAX_RUNS;
  for (size_t i = 0; i < runs; ++i) {
    nelo::pattern_run run;
    size_t literal_len = in.u8() % 4;
    if (i > 0 && literal_len == 0) literal_len = 1;
    for (size_t b = 0; b < literal_len; ++b)
      run.literal.push_back(static_cast<char>(in.u8() % alphabet));
    const uint8_t w = in.u8();
    run.wildcards = w >= 0xF8 ? in.u32() : w % 8;
    pattern.total_len += run.literal.size() + run.wildcards;
    pattern.runs.push_back(run);
  }
  if (pattern.total_len == 0) return;
  const std::string_view rest = in.rest();
  std::string data(rest);
  for (char& c : data) c = static_cast<char>(static_cast<uint8_t>(c) % alphabet);
  const auto* bytes = reinterpret_cast<const uint8_t*>(data.data());
  const auto length = static_cast<uint32_t>(data.size());

  uint64_t expected_offset = 0;
  const bool expected = reference_match(bytes, length, pattern, expected_offset);
  uint64_t offset = 1;
  NELO_FUZZ_CHECK(nelo::match_byte_pattern(bytes, length, pattern, &offset) == expected);
  NELO_FUZZ_CHECK(offset == expected_offset);
  NELO_FUZZ_CHECK(nelo::match_byte_pattern(bytes, length, pattern) == expected);
}

void check_md5(byte_source& in) {
  const uint8_t pieces = in.u8();
  const std::string_view message = in.rest();
  const auto* bytes = reinterpret_cast<const uint8_t*>(message.data());
  const auto length = static_cast<uint32_t>(message.size());

  uint8_t expected[nelo::MD5_DIGEST_SIZE];
  unsigned int expected_len = 0;
  NELO_FUZZ_CHECK(EVP_Digest(bytes, message.size(), expected, &expected_len, EVP_md5(), nullptr) ==
                  1);
  NELO_FUZZ_CHECK(expected_len == sizeof expected);

  uint8_t digest[nelo::MD5_DIGEST_SIZE] = {};
  const bool ok = nelo::md5_buffer(bytes, length, digest);
  NELO_FUZZ_CHECK(ok == (length > 0));
  if (ok) NELO_FUZZ_CHECK(std::memcmp(digest, expected, sizeof expected) == 0);

  // The same message fed in pieces whose sizes step through block boundaries.
  nelo::md5_context ctx;
  nelo::md5_init(&ctx);
  const size_t step = 1 + pieces % 97;
  for (size_t at = 0; at < message.size(); at += step) {
    const size_t n = message.size() - at < step ? message.size() - at : step;
    NELO_FUZZ_CHECK(nelo::md5_update(&ctx, bytes + at, static_cast<uint32_t>(n)));
  }
  uint8_t pieced[nelo::MD5_DIGEST_SIZE] = {};
  NELO_FUZZ_CHECK(nelo::md5_final(pieced, &ctx));
  NELO_FUZZ_CHECK(std::memcmp(pieced, expected, sizeof expected) == 0);

  char hex[nelo::MD5_HEX_SIZE];
  nelo::md5_to_hex(pieced, hex);
  static constexpr char DIGITS[] = "0123456789abcdef";
  for (size_t i = 0; i < nelo::MD5_DIGEST_SIZE; ++i) {
    NELO_FUZZ_CHECK(hex[2 * i] == DIGITS[expected[i] >> 4]);
    NELO_FUZZ_CHECK(hex[2 * i + 1] == DIGITS[expected[i] & 0x0F]);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  byte_source in(data, size);
  if ((in.u8() & 1) == 0)
    check_pattern_search(in);
  else
    check_md5(in);
  return 0;
}
