// The capture file reader: the only place where capture files are opened. It recognises the
// container by the file's first bytes (classic pcap in its four variants, or pcapng; never by
// the name), hands every packet record to a packet handler in file order, and says on standard
// error when a walk ends before the file's data does. The reader owns its buffer and descriptor
// for one call; the handler may use a record only during its own call.
#ifndef NELO_CAPTURE_PCAP_READER_H_
#define NELO_CAPTURE_PCAP_READER_H_

#include <string>

#include "capture/capture_walk.h"
#include "report/packet.h"

namespace nelo {

// Walks one capture file. Writes "Processing file: <path>" to standard output once the file is
// open. Returns false when the file cannot be opened ("prob opening <path> for read"), is not a
// regular file or directory (same message), is a directory ("<path> is a directory, not a
// capture file" on standard error), or is not a capture nelo reads ("invalid pcap file,
// aborting"); true otherwise, however the record loop ended. A walk that ends before the data
// does (a record or block cut or damaged, a read error) says so once on standard error, naming
// the last frame handed on; a stop request ends the walk quietly.
bool read_capture_file(const std::string& path, packet_handler handler, packet_ctx* ctx,
                       const walk_observer* observer = nullptr);

}  // namespace nelo

#endif  // NELO_CAPTURE_PCAP_READER_H_
