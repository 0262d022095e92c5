// The report line: one comma-separated, blank-padded line of metadata per kept packet, preceded
// once per armed report by the column header. The line is built in place on the stack from the
// decoded packet; nothing is kept between calls except the `header_pending` flag of the walk's
// report.
#ifndef NELO_REPORT_PACKET_REPORT_H_
#define NELO_REPORT_PACKET_REPORT_H_

#include <cstdint>
#include <string_view>

#include "packet/decoded_packet.h"
#include "report/output_settings.h"
#include "report/payload_digest.h"

namespace nelo {

// The column header, written before the first line while `header_pending` is set, followed by
// an empty line. Its blank padding matches the data widths of the line.
inline constexpr std::string_view REPORT_HEADER =
    "  frame , date [utc] ,   time [utc] , proto  ,         source ip         ,      "
    "destination ip      , ttl , Tsize , Psize ,          payload md5 hash        ,         "
    "comments";

// Writes the report line of `packet` to `report.out`:
// frame, UTC date and time of capture, protocol, source and destination address, hop limit,
// wire size, payload size, payload MD5 (empty for an empty payload) and the comment naming the
// ICMP message, ending either in "payload has entropy high" or in one blank; the MD5 and the
// note come from `digest`. Writes the header first when `report.header_pending` is set, and
// clears it. The packet's captured bytes must reach through the ICMP identifier (the decoder
// guarantees it).
// Returns false and writes nothing, leaving `header_pending` alone, when the stream is null,
// `dump_meta` is off or the format is binary; true otherwise.
bool write_packet_report(const decoded_packet& packet, const payload_digest& digest,
                         const output_settings& settings, report_walk& report);

}  // namespace nelo

#endif  // NELO_REPORT_PACKET_REPORT_H_
