// The classic pcap container: a 24-byte file header, then records of a 16-byte header and the
// captured bytes. All four variants are read: microsecond and nanosecond stamps, each written in
// either byte order; every field is read in the file's own order.
#ifndef NELO_CAPTURE_PCAP_FILE_H_
#define NELO_CAPTURE_PCAP_FILE_H_

#include <cstddef>
#include <cstdint>

#include "capture/capture_walk.h"

namespace nelo {

inline constexpr uint32_t PCAP_MAGIC_USEC = 0xA1B2C3D4;
inline constexpr uint32_t PCAP_MAGIC_NSEC = 0xA1B23C4D;
inline constexpr uint16_t PCAP_VERSION_MAJOR = 2;
inline constexpr uint16_t PCAP_VERSION_MINOR = 4;
inline constexpr size_t PCAP_FILE_HEADER_SIZE = 24;
inline constexpr size_t PCAP_RECORD_HEADER_SIZE = 16;
// A snaplen of 0 means the writer set no limit: read it as the largest any tool writes.
inline constexpr uint32_t PCAP_UNLIMITED_SNAPLEN = 262144;

// True when the first `len` bytes of a file start a pcap 2.4 file of any of the four variants.
bool pcap_header_matches(const uint8_t* head, size_t len);

// Walks a file whose header `pcap_header_matches` accepted, from the start of the buffer. A
// record whose captured length is above the snaplen or MAX_RECORD_LENGTH ends the walk as
// damaged, its reason in `walk.damage`; a final record cut short is handed on with the bytes
// present.
walk_end walk_pcap_file(capture_walk& walk);

}  // namespace nelo

#endif  // NELO_CAPTURE_PCAP_FILE_H_
