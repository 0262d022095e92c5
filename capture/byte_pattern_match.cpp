// Byte-pattern search. Candidate starts are found with memchr on the first literal byte, which
// skips most of a frame at memory speed; each candidate is then checked run by run.
#include "capture/byte_pattern_match.h"

#include <cstring>

namespace nelo {
namespace {

enum class walk_result { match, mismatch, past_end };

// Walks the runs from `start`. `past_end` means the walk left the data while runs remained,
// which every later start would do as well, so the caller can stop searching.
walk_result walk_runs(const uint8_t* data, uint64_t length, const byte_pattern& pattern,
                      uint64_t start) {
  uint64_t pos = start;
  for (const pattern_run& run : pattern.runs) {
    if (pos >= length) return walk_result::past_end;
    const uint64_t lit = run.literal.size();
    if (lit > length - pos) return walk_result::past_end;
    if (lit != 0 && std::memcmp(data + pos, run.literal.data(), lit) != 0) {
      return walk_result::mismatch;
    }
    pos += lit + run.wildcards;
  }
  return walk_result::match;
}

}  // namespace

bool match_byte_pattern(const uint8_t* data, uint32_t length, const byte_pattern& pattern,
                        uint64_t* offset) {
  if (offset != nullptr) *offset = 0;
  if (data == nullptr || pattern.runs.empty() || pattern.total_len > length) return false;

  // The first literal byte sits at a fixed distance `lead` from every start (the leading
  // wildcards of a gap-only first run). Without any literal the pattern is all wildcards and
  // matches at the first start.
  uint64_t lead = 0;
  int anchor = -1;
  for (const pattern_run& run : pattern.runs) {
    if (!run.literal.empty()) {
      anchor = static_cast<unsigned char>(run.literal[0]);
      break;
    }
    lead += run.wildcards;
  }

  uint64_t start = 0;
  while (start < length) {
    if (anchor >= 0) {
      if (start + lead >= length) return false;
      const uint8_t* from = data + start + lead;
      const void* hit = std::memchr(from, anchor, length - (start + lead));
      if (hit == nullptr) return false;
      start += static_cast<uint64_t>(static_cast<const uint8_t*>(hit) - from);
    }
    switch (walk_runs(data, length, pattern, start)) {
      case walk_result::match:
        if (offset != nullptr) *offset = start;
        return true;
      case walk_result::past_end:
        return false;
      case walk_result::mismatch:
        break;
    }
    ++start;
  }
  return false;
}

}  // namespace nelo
