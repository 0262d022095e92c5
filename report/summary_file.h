// A conversation table saved by -save_summary and read back by -merge, so that summaries made on
// several machines, or over parts of a list, add up to the summary of the whole list.
//
// The file, integers little-endian:
//  - a header: the magic "NELOSUM\n", the format version (u32), then the sizes of the layouts
//    that follow (u32 each: header, fixed part of a row, a direction's signs, a sender field),
//    the length of the body (u64) and the fingerprint of a fixed text (u64), which tells
//    whether the saving build fingerprints payloads as this one does;
//  - the body: captures walked and messages untracked (u64 each), the counts of capture names,
//    rows and sample bytes (u32 each); the capture names in order (u32 length, bytes); the
//    sample bytes; then each row: its fixed part (key, counts, times, sizes, first fingerprint,
//    both directions' signs) and, as its flags byte says, its tunnels, its fingerprints beyond
//    the first, and its byte histograms: (byte, count) pairs for the bytes counted, or all 256
//    counts when the pairs would take more room;
//  - the CRC-32 of everything before it (u32).
// A file that does not read exactly so is refused whole: nothing of it reaches a table.
#ifndef NELO_REPORT_SUMMARY_FILE_H_
#define NELO_REPORT_SUMMARY_FILE_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "report/conversation_table.h"

namespace nelo {

inline constexpr uint32_t SUMMARY_FILE_VERSION = 1;

// The saved form of `table`, which has ended its last capture.
std::string summary_file_bytes(const conversation_table& table);
// Reads `bytes` as a saved table into `table`, which must be empty; false with why in `error`
// ("not a saved summary", "version 2, this nelo reads version 1", "checksum does not match",
// ...), `table` left empty.
bool read_summary_file(std::string_view bytes, conversation_table& table, std::string& error);

// Writes the saved form of `table` to `path`; false with why in `error`.
bool save_summary_file(const conversation_table& table, const std::string& path,
                       std::string& error);
// Reads the saved table at `path` into `table`, as read_summary_file does.
bool load_summary_file(const std::string& path, conversation_table& table, std::string& error);

// The names in `list`, one a line or, when it holds a NUL, NUL-separated; empty ones skipped.
std::vector<std::string> summary_file_names(std::string_view list);
// Reads the saved tables at `paths` and merges them in that order into `merged`; false with
// "FILE: why" in `error` at the first that cannot be read, `merged` then left empty.
bool merge_summary_files(const std::vector<std::string>& paths, conversation_table& merged,
                         std::string& error);

}  // namespace nelo

#endif  // NELO_REPORT_SUMMARY_FILE_H_
