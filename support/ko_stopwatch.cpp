// The run timer's stamps, built and read back through the byte-order helpers.
#include "support/ko_stopwatch.h"

#include <cstring>

#include "support/ko_time.h"
#include "support/wire.h"

namespace ko {

namespace {

constexpr uint64_t TICKS_1601_TO_1900 = 94354848000000000ULL;

}  // namespace

uint64_t time_stamp_from_ticks(uint64_t ticks) {
  if (ticks >= TICKS_LIMIT) return 0;
  const uint32_t seconds = static_cast<uint32_t>((ticks - TICKS_1601_TO_1900) / TICKS_PER_SECOND);
  uint8_t bytes[8] = {};  // the fraction word stays 0
  nelo::store_be32(bytes, seconds);
  uint64_t stamp;
  std::memcpy(&stamp, bytes, sizeof stamp);
  return stamp;
}

uint64_t time_stamp_now() {
  // The stamp keeps whole seconds only, so the microseconds of the clock fall away here.
  return time_stamp_from_ticks(time_now().ticks());
}

double elapsed_seconds(uint64_t a, uint64_t b) {
  auto read_stamp = [](uint64_t stamp) {
    uint8_t bytes[8];
    std::memcpy(bytes, &stamp, sizeof bytes);
    constexpr double FRACTION_UNIT = 1.0 / 4294967296.0;
    return static_cast<double>(nelo::load_be32(bytes)) +
           static_cast<double>(nelo::load_be32(bytes + 4)) * FRACTION_UNIT;
  };
  const double x = read_stamp(a);
  const double y = read_stamp(b);
  return x > y ? x - y : y - x;
}

}  // namespace ko
