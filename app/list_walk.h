// One capture of a list run (`-pipe`, `-enumdir`), walked the same way whether the run reads its
// list alone or hands the captures to workers: the report file is never read back into itself,
// each capture's report starts with its own column header, and a report file says which capture
// each of its blocks comes from.
#ifndef NELO_APP_LIST_WALK_H_
#define NELO_APP_LIST_WALK_H_

#include <string>

#include "app/options.h"
#include "capture/capture_walk.h"
#include "report/packet.h"

namespace nelo {

// What every capture of one list run shares; built once from the options.
struct list_walk_settings {
  std::string output_file;          // -ofile, or empty when the report goes to standard output
  bool announce_in_report = false;  // the report file repeats each "Processing file" line
};

// A report file holds each "Processing file" line too, unless it carries JSON alone or raw
// bytes.
list_walk_settings make_list_walk_settings(const nelo_options& options);

// Walks the listed capture `name` into ctx->out. A name that is the output file (same device and
// inode) is not read: "<name> is the output file, skipped" goes through io.messages. After a
// capture that was read, a report on standard output gets an empty line on io.announce.
void walk_listed_capture(const std::string& name, packet_ctx& ctx, const walk_io& io,
                         const list_walk_settings& settings);

}  // namespace nelo

#endif  // NELO_APP_LIST_WALK_H_
