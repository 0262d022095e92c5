// The run timer behind `-profile` and `-diags`: stamps of the wall clock in whole seconds, laid
// out as NTP stamps, and the seconds between two of them. It counts the clock's second
// boundaries crossed, so the elapsed time is always a whole number. The terminal's progress line
// (app/progress_line.cpp) paces itself with the monotonic clock instead: it needs fractions of
// a second that a step of the wall clock cannot stretch or shrink, which these stamps do not keep.
#ifndef NELO_SUPPORT_KO_STOPWATCH_H_
#define NELO_SUPPORT_KO_STOPWATCH_H_

#include <cstdint>

namespace ko {

// The current clock to the whole second, as a stamp.
uint64_t time_stamp_now();
// The stamp of a tick count: 8 bytes in memory, seconds since 1900 then the fraction of the
// second in units of 2^-32, each a big-endian word. 0 for counts of 2^63 or more.
uint64_t time_stamp_from_ticks(uint64_t ticks);
// Absolute difference of two stamps in seconds.
double elapsed_seconds(uint64_t a, uint64_t b);

}  // namespace ko

#endif  // NELO_SUPPORT_KO_STOPWATCH_H_
