// The pcapng container: blocks of a type, a total length and a body, in sections that each open
// with a Section Header Block giving their byte order and that each describe their own
// interfaces. Packets come from Enhanced, Simple and the obsolete Packet Blocks; every other
// block is skipped by its length.
#ifndef NELO_CAPTURE_PCAPNG_FILE_H_
#define NELO_CAPTURE_PCAPNG_FILE_H_

#include <cstddef>
#include <cstdint>

#include "capture/capture_walk.h"

namespace nelo {

inline constexpr uint32_t PCAPNG_SECTION_HEADER = 0x0A0D0D0A;
inline constexpr uint32_t PCAPNG_BYTE_ORDER_MAGIC = 0x1A2B3C4D;
inline constexpr uint16_t PCAPNG_VERSION_MAJOR = 1;
// Enough of a file to recognise it: block type, length, byte-order magic and major version.
inline constexpr size_t PCAPNG_PROBE_SIZE = 14;

// True when the first `len` bytes of a file open a pcapng section of major version 1.
bool pcapng_header_matches(const uint8_t* head, size_t len);

// Walks a file whose header `pcapng_header_matches` accepted, from the start of the buffer. A
// block whose total length is below 12, not a multiple of 4, past the end of the data, above
// MAX_RECORD_LENGTH or unequal to its trailing copy, a packet block whose captured length runs
// past its block, and a later section of another major version end the walk as damaged, the
// reason in `walk.damage`. A packet block naming an interface not yet described is counted as a
// frame and not handed on.
walk_end walk_pcapng_file(capture_walk& walk);

}  // namespace nelo

#endif  // NELO_CAPTURE_PCAPNG_FILE_H_
