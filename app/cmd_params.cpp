#include "app/cmd_params.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <set>
#include <span>
#include <sstream>
#include <string_view>

#include "app/option_warnings.h"
#include "app/value_readers.h"
#include "support/ascii_text.h"
#include "support/error_writer.h"
#include "support/ko_stopwatch.h"
#include "support/ko_time.h"
#include "support/ko_time_parse.h"

namespace nelo {

namespace {

// Options of the tool family that this program accepts and ignores. Whether each takes a value
// matters: a value option swallows the next word, a flag must not.
constexpr std::string_view IGNORED_VALUE_OPTIONS[] = {
    "-hostname",    "-username",      "-cpu",         "-outdir",
    "-filter_skip", "-csv_separator", "-filter_path", "-filter_sig",
};
constexpr std::string_view IGNORED_FLAG_OPTIONS[] = {
    "-pair_datetime",
    "-csv",
    "-csvgen",
    "-csvl2t",
    "-bodyfile",
    "-xml",
    "-multiline",
    "-gzip",
    "-zlib",
    "-zlibex",
    "-signal",
    "-split_pathfile",
    "-cpuinst",
    "-fragment_files",
    "-separate_files",
    "-base10",
    "-base16",
    "-enable_quoted_csv_fields",
    "-no_whitespace",
    "-verbose",
    "-v",
    "-append",
    "-l2",
    "-l3",
};
constexpr std::string_view REFUSED_OPTIONS[] = {"-sqlite", "-sqlite_log"};
constexpr std::string_view OUTPUT_CHECK_OPTIONS[] = {"-out", "-outfile"};
constexpr std::string_view ALIAS_OPTIONS[] = {"-alias", "-aliaspath"};
// The options this parser acts on itself.
constexpr std::string_view OWN_VALUE_OPTIONS[] = {
    "-enumdir",    "-num_subdirs", "-filter", "-cmd_start_time", "-cmd_stop_time",
    "-dateformat", "-timeformat",  "-diags",  "-threads",
};
constexpr std::string_view OWN_FLAG_OPTIONS[] = {"-pipe", "-profile", "-quiet"};
// `-append` only says how `-out`/`-outfile` would open their file.
constexpr std::string_view APPEND_OPTION = "-append";

constexpr char WINDOW_DATE_ORDER[] = "YMD";
constexpr char STOP_TIME_OF_DAY[] = "23:59:59";
constexpr size_t DATE_FORMAT_SHORT = 8;
constexpr size_t DATE_FORMAT_LONG = 10;
constexpr size_t TIME_FORMAT_SHORT = 8;
constexpr size_t TIME_FORMAT_MIN_FRACTION = 12;
constexpr size_t TIME_FORMAT_MAX = 18;
constexpr mode_t CREATED_FILE_MODE = 0666;

// Replaces %NAME% with the environment value of NAME in one pass over the text: values are
// never scanned again, and an unknown name stays as written, its closing '%' free to open the
// next reference.
std::string expand_environment(std::string_view text) {
  std::string out;
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t open = text.find('%', pos);
    if (open == std::string_view::npos) break;
    const size_t close = text.find('%', open + 1);
    if (close == std::string_view::npos) break;
    out.append(text.substr(pos, open - pos));
    pos = open;
    if (out.size() >= ENUMDIR_EXPANSION_LIMIT) break;
    const std::string name(text.substr(open + 1, close - open - 1));
    const char* value = name.empty() ? nullptr : std::getenv(name.c_str());
    if (value != nullptr) {
      out += value;
      pos = close + 1;
    } else {
      out += '%';
      out += name;
      pos = close;
    }
  }
  if (pos < text.size()) out.append(text.substr(pos));
  return out;
}

// Reads "date[ time]" with the year first into whole seconds since 1970 (floor for earlier
// instants). `default_time` stands in when the value has no time part.
bool read_window_bound(const std::string& value, const char* default_time, int64_t& seconds) {
  const date_time_text text = split_date_time(value);
  const char separator = value.find('/') != std::string::npos ? '/' : '-';
  ko::_windows_systemtime st{};
  if (!ko::parse_date_time_ordered(text.date.c_str(), text.clock_or(default_time),
                                   WINDOW_DATE_ORDER, separator, st)) {
    return false;
  }
  const uint64_t ticks = ko::systemtime_to_ticks(st);
  if (ticks == 0 || ticks > static_cast<uint64_t>(INT64_MAX)) return false;
  const int64_t since_1970 =
      static_cast<int64_t>(ticks) - static_cast<int64_t>(ko::TICKS_1601_TO_1970);
  const int64_t per_second = static_cast<int64_t>(ko::TICKS_PER_SECOND);
  seconds = since_1970 / per_second;
  if (since_1970 % per_second < 0) --seconds;
  return true;
}

// Proves that `path` can be opened for writing without disturbing it: an existing file is never
// truncated, and a file this check had to create is removed again, since the report does not go
// there. O_NONBLOCK keeps a FIFO without a reader from hanging the run; FIFOs and sockets are
// refused outright.
bool can_write(const std::string& path) {
  if (path.empty()) return false;
  bool created = false;
  int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) {
    fd =
        open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NONBLOCK | O_CLOEXEC, CREATED_FILE_MODE);
    created = fd >= 0;
  }
  if (fd < 0) return false;
  struct stat st {};
  const bool usable = fstat(fd, &st) == 0 && !S_ISFIFO(st.st_mode) && !S_ISSOCK(st.st_mode);
  close(fd);
  if (created) unlink(path.c_str());
  return usable;
}

// Each '|'-separated pair must name an alias and its true path, separated by ',' or ';'.
bool alias_balanced(std::string_view value) {
  size_t pairs = 0;
  size_t start = 0;
  while (start <= value.size()) {
    const size_t bar = value.find('|', start);
    const std::string_view pair =
        trim_blanks(value.substr(start, bar == std::string_view::npos ? bar : bar - start), " \t");
    start = bar == std::string_view::npos ? value.size() + 1 : bar + 1;
    if (pair.empty()) continue;
    ++pairs;
    const size_t split = pair.find_first_of(",;");
    if (split == std::string_view::npos) return false;
    const std::string_view alias = trim_blanks(pair.substr(0, split), " \t");
    const std::string_view target = trim_blanks(pair.substr(split + 1), " \t");
    if (alias.empty() || target.empty() || target.find_first_of(",;") != std::string_view::npos)
      return false;
  }
  return pairs > 0;
}

bool valid_time_format(std::string_view format) {
  const bool length_ok =
      format.size() == TIME_FORMAT_SHORT ||
      (format.size() >= TIME_FORMAT_MIN_FRACTION && format.size() <= TIME_FORMAT_MAX);
  return length_ok && format.find(':') != std::string_view::npos;
}

void report_invalid_format(const message_writer& messages, const std::string& value) {
  messages.write("invalid %s, using default format\n", value.c_str());
}

void record(cmd_params& params, std::string_view name, std::string value) {
  params.other_options.emplace_back(std::string(name), std::move(value));
}

// The options that end the run before anything is read.
bool take_refused_options(cmd_params& params, arg_list& args, const message_writer& messages) {
  for (std::string_view name : REFUSED_OPTIONS) {
    if (find_flag(name, args)) {
      messages.write("This option is not offered in this build\n");
      return false;
    }
  }
  std::string value;
  for (std::string_view name : OUTPUT_CHECK_OPTIONS) {
    while (find_value(name, args, value)) {
      if (!can_write(value)) {
        messages.write("prob opening file %s for output, aborting\n", value.c_str());
        return false;
      }
      record(params, name, value);
    }
  }
  for (std::string_view name : ALIAS_OPTIONS) {
    while (find_value(name, args, value)) {
      if (!alias_balanced(value)) {
        messages.write("imbalanced alias to true pathfiles, aborting\n");
        return false;
      }
      record(params, name, value);
    }
  }
  return true;
}

bool checks_output(std::string_view name) {
  return std::find(std::begin(OUTPUT_CHECK_OPTIONS), std::end(OUTPUT_CHECK_OPTIONS), name) !=
         std::end(OUTPUT_CHECK_OPTIONS);
}

// The file check is all -out and -outfile do here, but it is something, so they are not named;
// an option given twice is named once.
void warn_options_without_effect(const cmd_params& params, const message_writer& messages) {
  const auto& taken = params.other_options;
  const bool output_checked = std::any_of(
      taken.begin(), taken.end(), [](const auto& option) { return checks_output(option.first); });
  std::set<std::string_view> named;
  for (const auto& [name, value] : taken) {
    if (checks_output(name) || (name == APPEND_OPTION && output_checked)) continue;
    if (named.insert(name).second) warn_no_effect(messages, name);
  }
}

void take_file_time_window(cmd_params& params, arg_list& args, const message_writer& messages) {
  std::string value;
  if (find_value("-cmd_start_time", args, value)) {
    int64_t seconds = 0;
    if (read_window_bound(value, nullptr, seconds)) {
      params.file_time_start_given = true;
      params.file_time_start = seconds;
      params.file_time_stop = INT64_MAX;
    } else {
      messages.write("invalid start time, ignoring\n");
    }
  }
  if (find_value("-cmd_stop_time", args, value)) {
    int64_t seconds = 0;
    if (read_window_bound(value, STOP_TIME_OF_DAY, seconds)) {
      params.file_time_stop_given = true;
      params.file_time_stop = seconds;
    } else {
      messages.write("invalid stop time, ignoring\n");
    }
  }
}

// More workers than this only add memory: each holds a read buffer and a capture's output.
constexpr uint32_t THREADS_MAX = 64;

uint32_t online_processors() {
  const long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n < 1 ? 1 : static_cast<uint32_t>(std::min<long>(n, THREADS_MAX));
}

uint32_t read_thread_count(const std::string& value, const message_writer& messages) {
  uint32_t n = 0;
  bool whole = false;
  if (!parse_number(value, n, &whole) || !whole) {
    warn_unread_value(messages, "-threads", value, "read as 0");
    n = 0;
  }
  if (n == 0) return online_processors();
  return std::min(n, THREADS_MAX);
}

}  // namespace

cmd_params::~cmd_params() = default;

bool parse_shared_options(cmd_params& params, arg_list& args, const message_writer& messages) {
  if (args.empty()) return false;
  if (!take_refused_options(params, args, messages)) return false;

  // Value options are taken before flags, so a value that happens to look like a flag stays the
  // value its position says it is.
  std::string value;
  if (find_value("-enumdir", args, value)) {
    params.enumdir = true;
    params.enumdir_path = expand_environment(value);
  }
  if (find_value("-num_subdirs", args, value)) {
    bool whole = false;
    if (!parse_number(value, params.num_subdirs, &whole)) params.num_subdirs = 0;
    if (!whole) {
      warn_unread_value(messages, "-num_subdirs", value,
                        "read as " + std::to_string(params.num_subdirs));
    }
  }
  // Stops when no occurrence with a value is left; a trailing bare -filter is not one.
  while (find_value("-filter", args, value)) {
    std::vector<filter_entry> entries = parse_filters(value);
    params.filters.insert(params.filters.end(), std::make_move_iterator(entries.begin()),
                          std::make_move_iterator(entries.end()));
  }
  take_file_time_window(params, args, messages);
  if (find_value("-dateformat", args, value)) {
    if (valid_date_format(value)) {
      params.date_format = value;
    } else {
      report_invalid_format(messages, value);
    }
  }
  if (find_value("-timeformat", args, value)) {
    if (valid_time_format(value)) {
      params.time_format = value;
    } else {
      report_invalid_format(messages, value);
    }
  }
  if (find_value("-diags", args, value)) params.diags_file = value;
  if (find_value("-threads", args, value)) params.threads = read_thread_count(value, messages);
  for (std::string_view name : IGNORED_VALUE_OPTIONS) {
    while (find_value(name, args, value)) record(params, name, value);
  }

  if (find_flag("-pipe", args)) params.pipe = true;
  if (find_flag("-profile", args)) params.profile = true;
  if (find_flag("-quiet", args)) params.flush_stderr = false;
  for (std::string_view name : IGNORED_FLAG_OPTIONS) {
    while (find_flag(name, args)) record(params, name, "");
  }
  warn_options_without_effect(params, messages);
  return true;
}

option_arity shared_option_arity(std::string_view name) {
  auto listed = [name](std::span<const std::string_view> names) {
    return std::any_of(names.begin(), names.end(),
                       [name](std::string_view n) { return same_option(name, n); });
  };
  if (listed(OWN_VALUE_OPTIONS) || listed(IGNORED_VALUE_OPTIONS) || listed(OUTPUT_CHECK_OPTIONS) ||
      listed(ALIAS_OPTIONS)) {
    return option_arity::value;
  }
  if (listed(OWN_FLAG_OPTIONS) || listed(IGNORED_FLAG_OPTIONS) || listed(REFUSED_OPTIONS)) {
    return option_arity::flag;
  }
  return option_arity::unknown;
}

bool valid_date_format(std::string_view format) {
  return format.size() == DATE_FORMAT_SHORT || format.size() == DATE_FORMAT_LONG;
}

cmdline_ctx::cmdline_ctx(std::ostream& err) : m_err(err) {}

cmdline_ctx::~cmdline_ctx() {
  if (m_flush) {
    m_err.flush();
  }
  if (!m_timing) return;
  try {
    std::ostringstream text;
    text << "->" << ko::elapsed_seconds(m_start, ko::time_stamp_now()) << " secs";
    if (m_profile) m_err << text.str() << std::endl;
    if (!m_diags_file.empty()) {
      std::ofstream diags(m_diags_file, std::ios::app);
      diags << text.str() << '\n';
    }
  } catch (...) {
    // The timing line is a courtesy; a run that got this far must not end in terminate().
  }
}

void cmdline_ctx::bind(const cmd_params& params) {
  m_profile = params.profile;
  m_flush = params.flush_stderr;
  m_diags_file = params.diags_file;
  if (m_profile || !m_diags_file.empty()) {
    m_start = ko::time_stamp_now();
    m_timing = true;
  }
}

}  // namespace nelo
