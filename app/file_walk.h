// Walking one capture, the one way every input takes: `-ifile` (a file, a FIFO or standard
// input) and every capture of a list run (`-pipe`, `-enumdir`), whether the run reads its list
// alone or hands the captures to workers. The capture layer opens and walks and says what
// happened as data; here it is put into words: the "Processing file" line before the capture's
// report and before any message of its walk, the refusals, and the line that says where a walk
// ended early and why.
#ifndef NELO_APP_FILE_WALK_H_
#define NELO_APP_FILE_WALK_H_

#include <cstdint>
#include <ostream>
#include <string>

#include "app/options.h"
#include "capture/capture_walk.h"
#include "capture/encapsulation.h"
#include "capture/mapped_file.h"
#include "capture/message_extensions.h"
#include "capture/pcap_reader.h"
#include "report/output_settings.h"
#include "report/sink_set.h"
#include "support/error_writer.h"

namespace nelo {

// What every capture of one run shares; built once from the options, which it points into and
// which must outlive it.
struct walk_settings {
  const filter_settings* selection = nullptr;
  const output_settings* output = nullptr;
  bool list = false;                // the captures come from a list (-pipe, -enumdir)
  std::string output_file;          // -ofile, or empty when the report goes to standard output
  std::string capture_file;         // -write_capture, or empty
  bool announce_in_report = false;  // the report file repeats each "Processing file" line
  uint32_t payload_threads = 0;     // threads that share the payload work of one capture
  // The bytes of a regular file mapped at a time; the captures of a list walked at once share
  // LIST_MAP_BUDGET, and a capture whose windows another thread populates takes larger ones.
  size_t map_window = MAP_WINDOW_SIZE;
  // A second thread populates the next window of a capture's mapping: a run of one capture with
  // threads to spare (a list walk already keeps every core busy).
  bool populate_ahead = false;
};

inline constexpr size_t LIST_MAP_BUDGET = 16u << 20;
inline constexpr size_t LIST_MAP_WINDOW_MIN = 256u << 10;

// A list's report file holds each "Processing file" line too, unless it carries JSON alone or
// raw bytes. Only a run of one capture shares its payload work: a list run with threads walks
// several captures at once instead.
walk_settings make_walk_settings(const nelo_options& options);

// Where a walk ended: the capture's name as the walk announced it, and the number of the last
// frame it read (0 when none), so that a run cut short can say where.
struct walk_position {
  std::string capture;
  uint64_t frame = 0;
};

// Where a walk says what it does: the lines that announce a capture or refuse it (the run's
// standard output, or standard error with -json), the problems it meets (through the
// standard-error writer), how far it has got (the progress observer, or null) and where it
// ended (filled in when the walk returns, or null).
struct walk_io {
  std::ostream& announce;
  const message_writer& messages;
  const walk_observer* progress = nullptr;
  walk_position* ended_at = nullptr;
};

// How the walk of one capture went.
enum class capture_read {
  not_read,  // refused, or not a capture; nothing was handed on
  walked,    // the records were walked, however the record loop ended
  damaged,   // the compressed data is damaged or cut short; the records before it were handed on
};

// Walks the capture `name` into `sinks`, reading the stream on `stream_fd` (left open) or, when
// it is -1, opening the name. The sinks are told where a capture whose records are walked
// begins and ends, so its report starts with its own column header and, for JSON, its own name.
//  - A listed name that is the -ofile report or the -write_capture file (same device and inode)
//    is not read: "<name> is the output file, skipped".
//  - A capture that cannot be opened says "prob opening <name> for read" on io.announce when
//    listed, "prob accessing file <name> for read, aborting" through io.messages otherwise.
//  - Every other one is announced, "Processing file: <name>" on io.announce (and in a list's
//    report file when the settings say so); then a directory says "<name> is a directory, not a
//    capture file", an empty file "<name>: empty file", and a file that is no capture "<name>:
//    not a capture, skipped" when listed, "invalid pcap file, aborting" otherwise, on io.announce.
//  - A walk that ends before the data does says so once (walk_end_text), after the report lines
//    of the frames before, as does the first frame of each link type nelo does not decode;
//    then the frames in tunnels nelo does not open (unopened_tunnels_text), then the messages
//    whose extensions could not be read (damaged_extensions_text), then the
//    fragmented datagrams given up before they were whole (incomplete_datagrams_text). The
//    messages of those whose first fragment came are reported before all of these lines.
//  - After a listed capture that was read, a report on standard output gets an empty line.
// With settings.payload_threads of 2 or more, the payload work is shared with other threads.
capture_read walk_capture(const std::string& name, int stream_fd, sink_set& sinks,
                          const walk_io& io, const walk_settings& settings);

// The line that tells how the walk of `name` ended early, or "" when there is nothing to say (it
// ran to the end of the data, was stopped on request, or was not a capture):
//  "<name>: compressed data is damaged after <n> bytes (<reason>)",
//  "<name>: read error, the file is not read",
//  "<name>: frame <n> is cut short, <present> of <claimed> bytes present",
//  "<name>: the file ends inside the record header after frame <n>",
//  "<name>: damaged record after frame <n> (<reason>), the rest is not read",
//  "<name>: read error after frame <n>, the rest is not read".
std::string walk_end_text(const std::string& name, const walk_result& result);

// One line per kind of tunnel met and not opened, in the order first met:
//  "<name>: <n> frames in <kind> tunnels are not decoded".
std::string unopened_tunnels_text(const std::string& name, const unopened_tally& tally);

// One line per kind of damage met in the extension structures of the kept messages:
//  "<name>: <n> extension structures have a wrong checksum: not read" and so on.
std::string damaged_extensions_text(const std::string& name, const extension_tally& tally);

// The line that counts the fragmented datagrams of capture `name` given up before they were
// whole, or nothing when there were none.
std::string incomplete_datagrams_text(const std::string& name, uint64_t count);

// The reason a record or block is damaged, in words ("block length 7 is not a multiple of 4",
// "record of 80 MiB is above the 64 MiB limit").
std::string damage_text(const walk_damage& damage);

}  // namespace nelo

#endif  // NELO_APP_FILE_WALK_H_
