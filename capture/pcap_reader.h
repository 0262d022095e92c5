// The capture file reader: the only place where capture files are read. It checks the global
// header of a classic little-endian microsecond pcap file and hands every record, in file order,
// to a packet handler with a running frame number. Records are read through one large buffer
// filled by plain reads, so a walk costs a handful of system calls per megabyte, not per record.
// The reader owns its buffer and descriptor for one call; the handler may use the record only
// during its own call.
#ifndef NELO_CAPTURE_PCAP_READER_H_
#define NELO_CAPTURE_PCAP_READER_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "report/packet.h"

namespace nelo {

inline constexpr uint32_t PCAP_MAGIC_USEC = 0xA1B2C3D4;
inline constexpr uint16_t PCAP_VERSION_MAJOR = 2;
inline constexpr uint16_t PCAP_VERSION_MINOR = 4;
inline constexpr size_t PCAP_FILE_HEADER_SIZE = 24;
// A snaplen of 0 means the writer set no limit: read it as the largest any tool writes.
inline constexpr uint32_t PCAP_UNLIMITED_SNAPLEN = 262144;
// Records longer than this end the walk like a record longer than the snaplen.
inline constexpr uint32_t MAX_RECORD_LENGTH = 64u << 20;
// The read buffer; it grows only for a record that does not fit, and only as far as the bytes
// the file really holds.
inline constexpr size_t READ_BUFFER_SIZE = 1u << 20;

// Called once per record with the 1-based frame number and the record header followed by its
// captured bytes. `incl_len` in that header has been set to the bytes really present, so a
// record cut short by the end of the file never shows bytes that are not in the file.
using packet_handler = int (*)(uint64_t frame_number, const uint8_t* record, packet_ctx* ctx);

// How far a walk has got: bytes read of the file's size and the records the handler kept
// (returned 1 for).
struct walk_progress {
  const std::string* path = nullptr;
  uint64_t bytes_read = 0;
  uint64_t file_size = 0;  // 0 when unknown
  uint64_t reported = 0;
  bool finished = false;  // the last call of a walk
};

// Told how far a walk has got after every refill of the read buffer (never per record), and
// once more when the walk ends.
struct walk_observer {
  void (*on_progress)(void* user, const walk_progress& progress) = nullptr;
  void* user = nullptr;
};

// Walks one capture file. Writes "Processing file: <path>" to standard output once the file is
// open. Returns false when the file cannot be opened ("prob opening <path> for read"), is not
// a regular file or directory (same message), its header cannot be read (no message), or is not
// a little-endian microsecond pcap 2.4 file ("invalid pcap file, aborting"); true otherwise,
// however the record loop ended. A record whose captured length exceeds the snaplen, a read
// error, a record header cut by the end of the file, or a stop request ends the walk.
bool read_capture_file(const std::string& path, packet_handler handler, packet_ctx* ctx,
                       const walk_observer* observer = nullptr);

}  // namespace nelo

#endif  // NELO_CAPTURE_PCAP_READER_H_
