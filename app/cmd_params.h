// The shared command-line layer: `cmd_params`, the parameters common to the tool family that
// `nelo_options` derives; `parse_shared_options`, which takes those options off the argument list
// before the program's own lookups run; and `cmdline_ctx`, the run-scope object that flushes
// standard error and reports the run time when the run ends.
#ifndef NELO_APP_CMD_PARAMS_H_
#define NELO_APP_CMD_PARAMS_H_

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/arg_list.h"
#include "app/name_filter.h"
#include "support/error_writer.h"

namespace nelo {

// Environment references in the `-enumdir` path are expanded until the path reaches this length.
inline constexpr size_t ENUMDIR_EXPANSION_LIMIT = 513;

class cmd_params {
 public:
  virtual ~cmd_params();

  bool pipe = false;
  bool enumdir = false;
  std::string enumdir_path;
  uint32_t num_subdirs = 0;
  std::vector<filter_entry> filters;
  // File-time window for listed files, in whole seconds since 1970-01-01 UTC.
  bool file_time_start_given = false;
  bool file_time_stop_given = false;
  int64_t file_time_start = 0;
  int64_t file_time_stop = INT64_MAX;
  bool profile = false;
  bool flush_stderr = true;
  std::string diags_file;
  // Threads of the run (`-threads`): captures of a list walked at once, or threads sharing the
  // payload work of one capture. At least 1; 0 gives the number of online
  // processors. Without the option, every online processor up to THREADS_DEFAULT_MAX.
  uint32_t threads = 1;
  // The accepted options this program does not act on, in the order they were taken, with their
  // values ("" for flags). Kept so they never reach the program's own lookups as stray words.
  std::vector<std::pair<std::string, std::string>> other_options;
};

// More workers than this only add memory: each holds a read buffer and a capture's output.
inline constexpr uint32_t THREADS_MAX = 64;
// Past this many threads a run without -threads gains little and costs memory on a large host.
inline constexpr uint32_t THREADS_DEFAULT_MAX = 16;

// The threads of a run that does not say: every online processor, at most THREADS_DEFAULT_MAX.
uint32_t default_thread_count();

// Takes the shared options off `args` and fills `params`. False for an empty list and for the
// options that stop a run at once, each after its message: `-sqlite`/`-sqlite_log` ("This option
// is not offered in this build"), an `-out`/`-outfile` that cannot be opened for writing ("prob
// opening file %s for output, aborting"), and an unbalanced `-alias`/`-aliaspath` value
// ("imbalanced alias to true pathfiles, aborting"). An alias value is a list of pairs separated
// by '|', each an alias and a true path separated by ',' or ';'; every pair must hold exactly two
// non-empty names. False too, with the line that says why in `refusal` and nothing written, for a
// value that cannot be read: a `-num_subdirs` or `-threads` that is not a whole number without a
// sign (or, for -threads, is above 64), a `-cmd_start_time`/`-cmd_stop_time` that is no date, a
// `-dateformat`/`-timeformat` the formatter cannot lay out, and a value option given last with no
// value. `-threads 0` means the online processors; without -threads, default_thread_count().
// Each accepted option that does nothing in this program draws "option %s has no effect in nelo,
// ignoring" (`-append` only without `-out`/`-outfile`).
bool parse_shared_options(cmd_params& params, arg_list& args, const message_writer& messages,
                          std::string& refusal);

// True for a `-dateformat` value the date formatter can lay a date out by: 8 or 10 characters.
bool valid_date_format(std::string_view format);

enum class option_arity { unknown, flag, value };
// How the shared parser takes the option `name` (any case): as a flag, with a value, or not.
option_arity shared_option_arity(std::string_view name);

// The same answer from any table of options whose entries have `name` and `takes_value`.
template <typename Option>
option_arity arity_in(std::span<const Option> options, std::string_view name) {
  for (const Option& option : options) {
    if (same_option(name, option.name)) {
      return option.takes_value ? option_arity::value : option_arity::flag;
    }
  }
  return option_arity::unknown;
}

// Lives for the whole run. Once bound to options that ask for timing (`-profile` or `-diags`),
// its destruction reports "->" + elapsed seconds + " secs": as a line on the run's standard
// error with `-profile`, appended as a line to the diagnostics file with `-diags`. That stream
// is flushed at destruction unless `-quiet` was given.
class cmdline_ctx {
 public:
  explicit cmdline_ctx(std::ostream& err);
  cmdline_ctx(const cmdline_ctx&) = delete;
  cmdline_ctx& operator=(const cmdline_ctx&) = delete;
  virtual ~cmdline_ctx();

  // Copies the profile and flush flags and the diagnostics file; starts the clock when timing is
  // asked for.
  void bind(const cmd_params& params);

 private:
  std::ostream& m_err;
  bool m_profile = false;
  bool m_flush = true;
  std::string m_diags_file;
  bool m_timing = false;
  uint64_t m_start = 0;
};

}  // namespace nelo

#endif  // NELO_APP_CMD_PARAMS_H_
