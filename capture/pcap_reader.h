// The capture file reader: the only place where capture files are opened; a stream (standard
// input, or a FIFO or pipe that the caller opened) is handed to it as a descriptor. It recognises
// the container by the first bytes (classic pcap in its four variants, or pcapng; never by the
// name), hands every packet record to a packet handler in file order, and says on standard
// error when a walk ends before the file's data does. A file compressed with gzip or zstd is
// recognised the same way and read through its decompressor. The reader owns its buffer,
// decompressor and descriptor for one call (a stream's descriptor stays the caller's); the
// handler may use a record only during its own call.
#ifndef NELO_CAPTURE_PCAP_READER_H_
#define NELO_CAPTURE_PCAP_READER_H_

#include <string>

#include "capture/capture_walk.h"
#include "report/packet.h"

namespace nelo {

// How a call of the reader went.
enum class capture_read {
  not_read,  // the file was refused, or is not a capture; nothing was handed on
  walked,    // the records were walked, however the record loop ended
  damaged,   // the compressed data is damaged or cut short; the records before it were handed on
};

// Walks one capture file. Writes "Processing file: <path>" to io.announce (and to
// io.report_announce when set) once the file is open;
// problems go through io.messages. Returns not_read when the file cannot be opened ("prob opening
// <path> for read"), is not a regular file or directory (same message), is a directory ("<path> is
// a directory, not a capture file" on standard error), or is not a capture nelo reads ("invalid
// pcap file, aborting"). A walk that ends before the data does (a record or block cut or damaged, a
// read error) says so once on standard error, naming the last frame handed on and, for a damaged
// one, why ("<path>: damaged record after frame <n> (<reason>), the rest is not read"); a stop
// request ends the walk quietly. Compressed data that is damaged or cut short says instead
// "<path>: compressed data is damaged after <n> bytes (<reason>)" (n decompressed bytes
// delivered, the reason in the decompressor's words) and returns damaged; every other walk
// returns walked. On every return, io.ended_at (when set) holds the path and the last frame
// read.
capture_read read_capture_file(const std::string& path, packet_handler handler, packet_ctx* ctx,
                               const walk_io& io);

// True when `path` names a regular file whose first bytes are those of a capture the reader
// recognises: a pcap or pcapng header, or a gzip or zstd magic number (what a compressed file
// holds is not looked at). A file that cannot be read, is not a regular file, or is too short
// for any header or magic number is not a capture. Reads at most the first 24 bytes.
bool file_holds_capture(const std::string& path);

// The name standard input goes by, on the command line and in the reader's messages.
inline constexpr char STDIN_NAME[] = "-";

// Walks the capture on `fd`, a stream such as the run's standard input (named "-") or a pipe,
// as `read_capture_file` walks a file, announcing it as `name`, with no size known for progress.
// The descriptor is left open.
capture_read read_capture_stream(int fd, const std::string& name, packet_handler handler,
                                 packet_ctx* ctx, const walk_io& io);

}  // namespace nelo

#endif  // NELO_CAPTURE_PCAP_READER_H_
