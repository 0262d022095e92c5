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

// What the shared parser does with an option it takes.
enum class option_action {
  refuse,        // ends the run before anything is read
  check_output,  // must name a file that could be written, or the run ends
  check_alias,   // must hold balanced alias pairs, or the run ends
  ignore,        // of the tool family, accepted and kept in `other_options`
  enumdir,
  num_subdirs,
  filter,
  start_time,
  stop_time,
  date_format,
  time_format,
  diags,
  threads,
  pipe,
  profile,
  quiet,
};

struct shared_option {
  std::string_view name;
  bool takes_value;  // a value option swallows the next word, a flag must not
  option_action action;
};

// Taken in this order: the options that end the run first, then every value option before any
// flag, so that a value that happens to look like a flag stays the value its position says it
// is. -cmd_start_time comes before -cmd_stop_time, whose bound it resets.
constexpr shared_option SHARED_OPTIONS[] = {
    {"-sqlite", false, option_action::refuse},
    {"-sqlite_log", false, option_action::refuse},
    {"-out", true, option_action::check_output},
    {"-outfile", true, option_action::check_output},
    {"-alias", true, option_action::check_alias},
    {"-aliaspath", true, option_action::check_alias},
    {"-enumdir", true, option_action::enumdir},
    {"-num_subdirs", true, option_action::num_subdirs},
    {"-filter", true, option_action::filter},
    {"-cmd_start_time", true, option_action::start_time},
    {"-cmd_stop_time", true, option_action::stop_time},
    {"-dateformat", true, option_action::date_format},
    {"-timeformat", true, option_action::time_format},
    {"-diags", true, option_action::diags},
    {"-threads", true, option_action::threads},
    {"-hostname", true, option_action::ignore},
    {"-username", true, option_action::ignore},
    {"-cpu", true, option_action::ignore},
    {"-outdir", true, option_action::ignore},
    {"-filter_skip", true, option_action::ignore},
    {"-csv_separator", true, option_action::ignore},
    {"-filter_path", true, option_action::ignore},
    {"-filter_sig", true, option_action::ignore},
    {"-pipe", false, option_action::pipe},
    {"-profile", false, option_action::profile},
    {"-quiet", false, option_action::quiet},
    {"-pair_datetime", false, option_action::ignore},
    {"-csvgen", false, option_action::ignore},
    {"-csvl2t", false, option_action::ignore},
    {"-bodyfile", false, option_action::ignore},
    {"-xml", false, option_action::ignore},
    {"-multiline", false, option_action::ignore},
    {"-gzip", false, option_action::ignore},
    {"-zlib", false, option_action::ignore},
    {"-zlibex", false, option_action::ignore},
    {"-signal", false, option_action::ignore},
    {"-split_pathfile", false, option_action::ignore},
    {"-cpuinst", false, option_action::ignore},
    {"-fragment_files", false, option_action::ignore},
    {"-separate_files", false, option_action::ignore},
    {"-base10", false, option_action::ignore},
    {"-base16", false, option_action::ignore},
    {"-enable_quoted_csv_fields", false, option_action::ignore},
    {"-no_whitespace", false, option_action::ignore},
    {"-verbose", false, option_action::ignore},
    {"-v", false, option_action::ignore},
    {"-append", false, option_action::ignore},
    {"-l2", false, option_action::ignore},
    {"-l3", false, option_action::ignore}};
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
// instants). `default_time` stands in when the value has no time part. Epoch seconds
// ("@1704153600") and ISO times with a UTC offset read as the message window reads them.
bool read_window_bound(const std::string& value, const char* default_time, int64_t& seconds) {
  const date_time_text text = split_date_time(value);
  const char separator = value.find('/') != std::string::npos ? '/' : '-';
  ko::_windows_systemtime st{};
  uint64_t ticks = 0;
  ko::fine_time bound;
  // The date reader would take "2024-01-02T10:00:00+01:00" for the date alone, so these forms
  // go first.
  if (value.starts_with('@') || value.find('T') != std::string::npos) {
    if (!parse_time_value(value, default_time != nullptr, bound)) return false;
    ticks = bound.ticks;
  } else if (ko::parse_date_time_ordered(text.date.c_str(), text.clock_or(default_time),
                                         WINDOW_DATE_ORDER, separator, st)) {
    ticks = ko::systemtime_to_ticks(st);
  } else {
    return false;
  }
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

void record(cmd_params& params, std::string_view name, std::string value) {
  params.other_options.emplace_back(std::string(name), std::move(value));
}

bool checks_output(std::string_view name) {
  return std::any_of(std::begin(SHARED_OPTIONS), std::end(SHARED_OPTIONS), [name](const auto& o) {
    return o.action == option_action::check_output && o.name == name;
  });
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

uint32_t online_processors() {
  const long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n < 1 ? 1 : static_cast<uint32_t>(std::min<long>(n, THREADS_MAX));
}

// 0 asks for the online processors.
bool read_thread_count(const std::string& value, uint32_t& threads) {
  uint32_t n = 0;
  if (!parse_count(value, n) || n > THREADS_MAX) return false;
  threads = n == 0 ? online_processors() : n;
  return true;
}

// What the value of an option of this kind may be, as its refusal says.
std::string_view forms_of(option_action action) {
  switch (action) {
    case option_action::check_output:
      return "a file that can be written";
    case option_action::check_alias:
      return "alias,path pairs separated by |";
    case option_action::enumdir:
      return "a folder";
    case option_action::num_subdirs:
      return "a number of folder levels";
    case option_action::filter:
      return "name patterns such as *.pcap, or a list of them";
    case option_action::start_time:
    case option_action::stop_time:
      return "a date and time such as \"2026/12/06 20:57:02\" or 2026-12-06T20:57:02+01:00, or "
             "@epoch seconds";
    case option_action::date_format:
      return "a date layout of 8 or 10 characters such as mm/dd/yyyy";
    case option_action::time_format:
      return "a time layout such as hh:mm:ss";
    case option_action::diags:
      return "a file for the timing line";
    case option_action::threads:
      return "a number of threads up to 64, 0 for every core";
    default:
      return "a value";
  }
}

// Acts on one occurrence of `option` (`value` is empty for a flag). False when the run must end,
// with the refusal of a value that cannot be read in `refusal`.
bool take_option(cmd_params& params, const shared_option& option, const std::string& value,
                 const message_writer& messages, std::string& refusal) {
  const auto refuse = [&] {
    refusal = unreadable_value_text(option.name, value, forms_of(option.action));
    return false;
  };
  int64_t seconds = 0;
  switch (option.action) {
    case option_action::refuse:
      messages.write("This option is not offered in this build\n");
      return false;
    case option_action::check_output:
      if (!can_write(value)) {
        messages.write("prob opening file %s for output, aborting\n", value.c_str());
        return false;
      }
      record(params, option.name, value);
      return true;
    case option_action::check_alias:
      if (!alias_balanced(value)) {
        messages.write("imbalanced alias to true pathfiles, aborting\n");
        return false;
      }
      record(params, option.name, value);
      return true;
    case option_action::ignore:
      record(params, option.name, value);
      return true;
    case option_action::enumdir:
      params.enumdir = true;
      params.enumdir_path = expand_environment(value);
      return true;
    case option_action::num_subdirs:
      return parse_count(value, params.num_subdirs) || refuse();
    case option_action::filter: {
      std::vector<filter_entry> entries = parse_filters(value);
      params.filters.insert(params.filters.end(), std::make_move_iterator(entries.begin()),
                            std::make_move_iterator(entries.end()));
      return true;
    }
    case option_action::start_time:
      if (!read_window_bound(value, nullptr, seconds)) return refuse();
      params.file_time_start_given = true;
      params.file_time_start = seconds;
      params.file_time_stop = INT64_MAX;
      return true;
    case option_action::stop_time:
      if (!read_window_bound(value, STOP_TIME_OF_DAY, seconds)) return refuse();
      params.file_time_stop_given = true;
      params.file_time_stop = seconds;
      return true;
    case option_action::date_format:
      return valid_date_format(value) || refuse();
    case option_action::time_format:
      return valid_time_format(value) || refuse();
    case option_action::diags:
      params.diags_file = value;
      return true;
    case option_action::threads:
      return read_thread_count(value, params.threads) || refuse();
    case option_action::pipe:
      params.pipe = true;
      return true;
    case option_action::profile:
      params.profile = true;
      return true;
    case option_action::quiet:
      params.flush_stderr = false;
      return true;
  }
  return true;
}

// Options that gather (the checked files, the alias lists, the filters and the options kept
// unused) take every occurrence; the others take their first, and a repeat is left on the list
// for the program's leftover check to name.
bool takes_every_occurrence(option_action action) {
  return action == option_action::check_output || action == option_action::check_alias ||
         action == option_action::ignore || action == option_action::filter;
}

// The next occurrence of `option`, consumed. A value option given last has no value, which
// refuses the line.
bool find_option(const shared_option& option, arg_list& args, std::string& value,
                 std::string& refusal) {
  value.clear();
  if (!option.takes_value) return find_flag(option.name, args);
  const value_lookup found = find_value(option.name, args, value);
  if (found == value_lookup::no_value) {
    refusal = missing_value_text(option.name, forms_of(option.action));
  }
  return found == value_lookup::found;
}

}  // namespace

uint32_t default_thread_count() {
  return std::min(online_processors(), THREADS_DEFAULT_MAX);
}

cmd_params::~cmd_params() = default;

bool parse_shared_options(cmd_params& params, arg_list& args, const message_writer& messages,
                          std::string& refusal) {
  refusal.clear();
  if (args.empty()) return false;
  params.threads = default_thread_count();
  std::string value;
  for (const shared_option& option : SHARED_OPTIONS) {
    const bool every = takes_every_occurrence(option.action);
    while (find_option(option, args, value, refusal)) {
      if (!take_option(params, option, value, messages, refusal)) return false;
      if (!every) break;
    }
    if (!refusal.empty()) return false;
  }
  warn_options_without_effect(params, messages);
  return true;
}

option_arity shared_option_arity(std::string_view name) {
  return arity_in(std::span<const shared_option>(SHARED_OPTIONS), name);
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
