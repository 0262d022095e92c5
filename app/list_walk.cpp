#include "app/list_walk.h"

#include "capture/packet_handler.h"
#include "capture/pcap_reader.h"
#include "report/json_report.h"
#include "support/fileio.h"

namespace nelo {

list_walk_settings make_list_walk_settings(const nelo_options& options) {
  list_walk_settings settings;
  settings.output_file = options.output_file;
  settings.announce_in_report =
      !options.output_file.empty() && !options.json && options.format != output_format::binary;
  return settings;
}

void walk_listed_capture(const std::string& name, packet_ctx& ctx, const walk_io& io,
                         const list_walk_settings& settings) {
  const bool to_file = !settings.output_file.empty();
  // Reading the report file back into itself would grow it without end.
  if (to_file && uni::same_file(name, settings.output_file)) {
    io.messages.write("%s is the output file, skipped\n", name.c_str());
    return;
  }
  ctx.header_pending = true;
  set_capture_name(ctx, name);
  const walk_io listed{io.announce, io.messages, io.observer, io.ended_at,
                       settings.announce_in_report ? ctx.out : nullptr};
  // A damaged compressed file has had its say; the list goes on.
  const bool read = read_capture_file(name, handle_packet, &ctx, listed) != capture_read::not_read;
  if (read && !to_file) io.announce << '\n';
}

}  // namespace nelo
