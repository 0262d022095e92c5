#include "app/driver.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <vector>

#include "app/cmd_params.h"
#include "app/file_walk.h"
#include "app/list_input.h"
#include "app/list_workers.h"
#include "app/name_filter.h"
#include "app/options.h"
#include "app/progress_line.h"
#include "capture/pcap_reader.h"
#include "report/pcapng_output.h"
#include "report/summary_file.h"
#include "support/error_writer.h"
#include "support/fileio.h"
#include "support/ko_time_format.h"
#include "support/run_control.h"

namespace nelo {

namespace {

constexpr int EXIT_REFUSED = -1;
// Output buffers for reports nobody reads line by line: a few write calls per megabyte.
constexpr size_t REPORT_BUFFER_SIZE = 1u << 20;
constexpr char DEFAULT_DATE_FORMAT[] = "mm/dd/yyyy";
constexpr char HEADER_TIME_FORMAT[] = "hh:mm:ss";

constexpr const char* USAGE_FILTER_LINES[] = {
    "  Any combination of these options can be used for filtering",
    "   -frame <\"1 2 3 ..\"> - only process the frame numbers specified (ranges: 1-500)",
    "   -srcip <src ip>     - src ip, v4 or v6, a prefix or a list of them",
    "   -dstip <dst ip>     - dst ip, v4 or v6, a prefix or a list of them",
    "   -srcipv6 <src ip>   - src ip v6 use colon delimited hex notation",
    "   -dstipv6 <dst ip>   - dst ip v6 use colon delimited hex notation",
    "   -track_replies      - given src & dst above, process replies",
    "   -tunnel_ip <ip>     - only messages through a tunnel from or to this ip (v4 or v6,",
    "                         a prefix or a list of them)",
    "   -proto <icmp|icmpv6> - only messages of this protocol",
    "   -min_size <size>    - output those frames >= the specified size",
    "   -start_time <\"mm/dd/yy hh:mm:ss\">",
    "   -stop_time <\"mm/dd/yy hh:mm:ss\">",
    "   -find_pattern <\"byte sequence delimited by spaces\">",
    "   -find_pattern_h <\"hex byte sequence delimited by spaces\">",
    "   -find_text <text>   - text, as ASCII or UTF-16LE",
    "   -icmp_type <\"type1 type2\"> - process only these icmp types (or names: echo,unreach)",
    "   -icmp_code <\"code1 code2\"> - process only these icmp codes (or names: port-unreach)",
    "   -icmp_id <\"1 2 3 ...\">     - process only these icmp ID numbers",
    "   -filter <*partial*|*.ext>  - filters stdin data from -pipe option",
    "   -enumdir <dir>      - process the files of a directory instead of stdin",
    "   -num_subdirs <n>    - with -enumdir, also walk n levels of subdirectories",
    "   -cmd_start_time <\"yyyy/mm/dd hh:mm:ss\"> - with -filter, files modified at or after",
    "   -cmd_stop_time <\"yyyy/mm/dd hh:mm:ss\">  - with -filter, files modified at or before",
};
constexpr const char* USAGE_OUTPUT_LINES[] = {
    "  Any combination these options can be used for output",
    "   -dump_meta          - output metadata (only for non-binary output)",
    "   -dump_hdr           - output packet header",
    "   -dump_payload       - output packet payload data",
    "   -ofile <out file>   - output results to specified file",
    "   -json               - one JSON object a line instead of the report (JSON Lines)",
    "   -csv                - comma-separated values (RFC 4180) instead of the report",
    "   -summary            - one row per ICMP conversation instead of a line per message",
    "   -save_summary <file> - with -summary, also save the conversation table for -merge",
    "   -merge <file|->     - the summary of saved tables (names on stdin with -), in order",
    "   -write_capture <file> - also write the frames of the kept messages to a pcapng file",
};
constexpr const char* USAGE_FORMAT_LINES[] = {
    "  Only one of these options can be used for formatting (default is hex)",
    "   -binary             - output data as binary (use with -ofile option)",
    "   -ascii              - output data in ascii form",
    "   -strings            - output any strings (include unicode)",
};
constexpr const char* USAGE_RUN_LINES[] = {
    "  Any combination of these options can be used for the run",
    "   -dateformat <fmt>   - date format of the run header (default mm/dd/yyyy)",
    "   -profile            - write the elapsed time to stderr at the end",
    "   -quiet              - do not flush stderr at the end, nor show progress",
    "   -no_reassembly      - report a fragmented message at its first fragment, as far as it goes",
    "   -threads <n>        - use n threads: with -pipe or -enumdir walk n files at once,",
    "                         else share the work of one file (0: every core; default:",
    "                         every core, at most 16)",
};

enum class info_request { none, usage, gnu_help, gnu_version };

// The first word that asks for help or the version decides. The GNU forms answer on standard
// output, as scripts and help2man expect; the older ones keep the usage on standard error.
info_request find_info_request(const arg_list& args) {
  if (args.size() == 1) return info_request::usage;
  for (const std::string& word : args) {
    if (same_option(word, "--help")) return info_request::gnu_help;
    if (same_option(word, "--version")) return info_request::gnu_version;
    for (const char* help : {"-h", "-help", "/?"})
      if (same_option(word, help)) return info_request::usage;
  }
  return info_request::none;
}

// Answers a request for help or the version; false when there is none.
bool answer_info_request(const arg_list& args, const run_io& io) {
  switch (find_info_request(args)) {
    case info_request::none:
      return false;
    case info_request::usage:
      print_usage(io.err, args.front());
      return true;
    case info_request::gnu_help:
      print_usage(io.out, args.front());
      return true;
    case info_request::gnu_version:
      io.out << PROGRAM_BANNER << '\n';
      io.out.flush();
      return true;
  }
  return false;
}

std::string run_header(const arg_list& args) {
  std::string date_format = DEFAULT_DATE_FORMAT;
  std::string value;
  // The shared parser says "invalid %s, using default format" of a bad one; so it must be.
  if (find_value_keep("-dateformat", args, value) && valid_date_format(value)) date_format = value;
  std::string date, clock;
  ko::format_date_time_custom(date, clock, ko::time_now(), date_format, HEADER_TIME_FORMAT);
  char host[256] = {};
  const std::string host_name =
      gethostname(host, sizeof host - 1) == 0 ? std::string(host) : std::string("<unk>");

  std::ostringstream header;
  header << PROGRAM_BANNER << '\n';
  header << "Run time: " << date << ' ' << clock << " UTC; Host: " << host_name << '\n';
  header << '"' << "Command line: " << command_line_text(args) << '"' << '\n';
  return header.str();
}

// The -ofile report follows the rule of standard output, so a terminal named there is written
// line by line as standard output would be. The descriptor is opened for the check alone: the
// report's stream does not lend its own.
bool wants_line_flush(const std::string& path) {
  const int fd = open(path.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return true;
  const bool wanted = output_wants_line_flush(fd);
  close(fd);
  return wanted;
}

// Flushes the report and standard output; false when either could not be written.
bool flush_outputs(std::ostream& report, std::ostream& out) {
  report.flush();
  out.flush();
  return !report.fail() && !out.fail();
}

bool directory_readable(const std::string& path) {
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return false;
  closedir(dir);
  return true;
}

// `-ifile -` needs standard input to itself, and a capture there rather than a person typing.
bool stdin_input_usable(const nelo_options& options, const run_io& io,
                        const message_writer& messages) {
  if (options.input_file != STDIN_NAME) return true;
  if (options.pipe) {
    messages.write("-ifile - and -pipe both read standard input, aborting\n");
    return false;
  }
  if (!options.enumdir && io.in_terminal) {
    messages.write("standard input is a terminal, not a capture, aborting\n");
    return false;
  }
  return true;
}

// A refused command line: the reason, the usage, and on a terminal the reason again, so that it
// does not scroll away above the usage. An empty reason was said already.
void refuse_command_line(const std::string& reason, const std::string& program_path,
                         const run_io& io, const message_writer& messages) {
  if (!reason.empty()) messages.write("%s\n", reason.c_str());
  print_usage(io.err, program_path);
  if (io.err_terminal && !reason.empty()) {
    io.err << reason << '\n';
    io.err.flush();
  }
}

// Evidence is never overwritten: a file that holds a capture is refused before anything opens
// it for writing. Every option that names a file to write asks here first.
bool may_overwrite(const std::string& path, const std::string& program_path, const run_io& io,
                   const message_writer& messages) {
  if (!file_holds_capture(path)) return true;
  refuse_command_line("Error: " + path + " holds a capture, it is never overwritten", program_path,
                      io, messages);
  return false;
}

// Both names lead to one file: the same inode, or, for a file not made yet, the same path.
bool same_target(const std::string& a, const std::string& b) {
  if (uni::same_file(a, b)) return true;
  std::error_code a_error, b_error;
  const std::filesystem::path a_path = std::filesystem::absolute(a, a_error).lexically_normal();
  const std::filesystem::path b_path = std::filesystem::absolute(b, b_error).lexically_normal();
  return !a_error && !b_error && a_path == b_path;
}

// -save_summary never writes over a capture or the report.
bool save_summary_allowed(const nelo_options& options, const std::string& program_path,
                          const run_io& io, const message_writer& messages) {
  const std::string& save = options.save_summary;
  if (save.empty()) return true;
  std::string refusal;
  if ((!options.input_file.empty() && options.input_file != STDIN_NAME &&
       same_target(save, options.input_file)) ||
      file_holds_capture(save)) {
    refusal = "Error: -save_summary: " + save + " holds a capture, it is never overwritten";
  } else if (!options.output_file.empty() && same_target(save, options.output_file)) {
    refusal = "Error: -save_summary: " + save + " is the -ofile report";
  }
  if (refusal.empty()) return true;
  refuse_command_line(refusal, program_path, io, messages);
  return false;
}

// The saved tables -merge names, merged in order; false, said, when one cannot be read.
bool merge_saved(const nelo_options& options, const run_io& io, const message_writer& messages,
                 conversation_table& merged) {
  std::vector<std::string> paths{options.merge_from};
  if (options.merge_from == STDIN_NAME) {
    std::string list;
    char buffer[4096];
    size_t got = 0;
    while (io.names != nullptr && (got = std::fread(buffer, 1, sizeof(buffer), io.names)) > 0) {
      list.append(buffer, got);
    }
    paths = summary_file_names(list);
    if (paths.empty()) {
      messages.write("Error: -merge: no saved table named on standard input\n");
      return false;
    }
  }
  std::string error;
  if (merge_summary_files(paths, merged, error)) return true;
  messages.write("Error: -merge: %s\n", error.c_str());
  return false;
}

// The -write_capture file, opened before the walk: the file's stream and, in front of it, the
// joiner that the sinks write their block streams to.
struct capture_output {
  std::vector<char> buffer;  // outlives the stream that uses it
  std::ofstream file;
  std::optional<pcapng_joiner> joiner;
  std::optional<std::ostream> stream;
};

// Refuses a -write_capture file that is the input, the -ofile report, or a capture already.
bool capture_file_allowed(const nelo_options& options, const std::string& program_path,
                          const run_io& io, const message_writer& messages) {
  const std::string& path = options.capture_file;
  if (!options.input_file.empty() && options.input_file != STDIN_NAME &&
      uni::same_file(path, options.input_file)) {
    messages.write("capture file %s is the input file, aborting\n", path.c_str());
    return false;
  }
  if (!options.output_file.empty() && same_target(path, options.output_file)) {
    messages.write("capture file %s is the output file, aborting\n", path.c_str());
    return false;
  }
  return may_overwrite(path, program_path, io, messages);
}

bool open_capture_file(const std::string& path, const message_writer& messages,
                       capture_output& capture) {
  capture.buffer.resize(REPORT_BUFFER_SIZE);
  capture.file.rdbuf()->pubsetbuf(capture.buffer.data(),
                                  static_cast<std::streamsize>(capture.buffer.size()));
  capture.file.open(path, std::ios::out | std::ios::trunc | std::ios::binary);
  if (!capture.file.good()) {
    messages.write("prob opening file %s for output, aborting\n", path.c_str());
    return false;
  }
  capture.joiner.emplace(capture.file);
  capture.stream.emplace(&*capture.joiner);
  return true;
}

// What a run writes besides standard output and standard error: the -ofile report and the
// -write_capture file, each open when its option was given.
struct run_outputs {
  report_target report;
  std::vector<char> file_buffer;  // outlives the stream that uses it
  std::ofstream file_out;
  capture_output capture;
};

// Opens every file the run writes, each refused when it is the input or another output or holds
// a capture; the report goes to standard output without -ofile. False, said, when one is refused
// or cannot be opened.
bool open_outputs(const nelo_options& options, const std::string& program_path, const run_io& io,
                  const message_writer& messages, run_outputs& outputs) {
  const bool write_capture = !options.capture_file.empty();
  if (write_capture && !capture_file_allowed(options, program_path, io, messages)) return false;
  report_target& report = outputs.report;
  report.out = &io.out;
  report.flush_each_line = io.out_line_flush;
  if (!options.output_file.empty()) {
    if (!options.input_file.empty() && options.input_file != STDIN_NAME &&
        uni::same_file(options.output_file, options.input_file)) {
      messages.write("output file %s is the input file, aborting\n", options.output_file.c_str());
      return false;
    }
    if (!may_overwrite(options.output_file, program_path, io, messages)) return false;
    std::ios::openmode mode = std::ios::out | std::ios::trunc;
    if (options.output.format == output_format::binary) mode |= std::ios::binary;
    outputs.file_buffer.resize(REPORT_BUFFER_SIZE);
    outputs.file_out.rdbuf()->pubsetbuf(outputs.file_buffer.data(),
                                        static_cast<std::streamsize>(outputs.file_buffer.size()));
    outputs.file_out.open(options.output_file, mode);
    if (!outputs.file_out.good()) {
      messages.write("prob opening file %s for output, aborting\n", options.output_file.c_str());
      return false;
    }
    report.out = &outputs.file_out;
    report.flush_each_line = wants_line_flush(options.output_file);
  }
  if (write_capture) {
    if (!open_capture_file(options.capture_file, messages, outputs.capture)) return false;
    report.capture = &*outputs.capture.stream;
    report.notes = &messages;
  }
  return true;
}

// Flushes and closes every output; false when any could not be written whole.
bool close_outputs(const run_io& io, run_outputs& outputs) {
  bool written = flush_outputs(*outputs.report.out, io.out) && !write_failed();
  if (outputs.file_out.is_open()) {
    outputs.file_out.close();
    written = written && !outputs.file_out.fail();
  }
  if (capture_output& capture = outputs.capture; capture.stream) {
    capture.stream->flush();
    capture.file.close();
    written = written && !capture.stream->fail() && !capture.file.fail();
  }
  return written;
}

int process_list(const nelo_options& options, sink_set& sinks, const run_io& io,
                 const walk_io& walk, const walk_settings& settings, std::ostream* file_out) {
  if (!options.pipe && !directory_readable(options.enumdir_path)) {
    walk.messages.write("prob accessing directory %s for read, aborting\n",
                        options.enumdir_path.c_str());
    return EXIT_REFUSED;
  }
  koportdir::stdin_stream_ex source(io.names);
  const bool opened =
      options.pipe ? source.open_stdin()
                   : source.open_dir(options.enumdir_path, options.num_subdirs, options.filters);
  if (!opened) return 0;

  std::optional<list_workers> workers;
  if (options.threads > 1) {
    workers.emplace(
        list_outputs{io.out, io.err, file_out, io.err_terminal,
                     options.output.json || options.output.csv, sinks.target().flush_each_line,
                     walk.ended_at, settings, sinks.target().capture, &sinks},
        options.threads);
    if (!workers->started()) workers.reset();
  }
  std::string name;
  uint64_t passed = 0;
  while (!stop_requested() && source.next_name(name, true)) {
    if (name.empty() || !name_passes_filters(options, name, options.filters)) continue;
    ++passed;
    if (workers) {
      workers->walk(name);
      continue;
    }
    walk_capture(name, -1, sinks, walk, settings);
    const report_target& report = sinks.target();
    if (!report.flush_each_line && !flush_outputs(*report.out, io.out)) {
      request_stop_for_write_failure();
    }
  }
  // The default depth walks the top folder alone: captures kept in subfolders are never seen.
  if (options.enumdir && !stop_requested() && source.dirs_not_walked() > 0) {
    walk.messages.write("%s: %s%llu subfolders were not walked (-num_subdirs %u)\n",
                        options.enumdir_path.c_str(), passed == 0 ? "no capture found; " : "",
                        static_cast<unsigned long long>(source.dirs_not_walked()),
                        options.num_subdirs);
  }
  return 0;
}

int process_one(const nelo_options& options, sink_set& sinks, const run_io& io, const walk_io& walk,
                const walk_settings& settings) {
  const std::string& name = options.input_file;
  // A file that cannot be walked, or whose compressed data is damaged, is a failed run.
  auto status_of = [](capture_read read) {
    return read == capture_read::walked ? 0 : EXIT_REFUSED;
  };
  if (name == STDIN_NAME) return status_of(walk_capture(name, io.in_fd, sinks, walk, settings));
  // A FIFO, or a pipe named as /dev/fd/N (`-ifile <(zcat x.gz)`), is read as it comes, as
  // standard input is.
  uni::fileio stream;
  if (stream.open_stream(name)) {
    return status_of(walk_capture(name, stream.descriptor(), sinks, walk, settings));
  }
  if (stop_signal() != 0) return EXIT_REFUSED;  // stopped while waiting for a FIFO's writer
  return status_of(walk_capture(name, -1, sinks, walk, settings));
}

// Walks the input (or takes the merged tables) into the sinks, saves the summary, closes the
// outputs and says what the run left out or could not write. Returns the run's status.
int walk_and_close(const nelo_options& options, const run_io& io, const message_writer& messages,
                   std::ostream& announce, run_outputs& outputs, conversation_table merged) {
  const bool list_mode = options.pipe || options.enumdir;
  // Several captures walked at once have no single position to show.
  const bool one_walk_at_a_time = !list_mode || options.threads <= 1;
  progress_line progress(STDERR_FILENO,
                         io.err_terminal && one_walk_at_a_time &&
                             progress_wanted(!options.flush_stderr, options.output_file.empty()));
  // Named after the list itself until a capture of it is walked.
  walk_position ended_at{list_mode ? (options.pipe ? STDIN_NAME : options.enumdir_path)
                                   : options.input_file};
  const walk_io walk{announce, messages, progress.observer(), &ended_at};
  const walk_settings settings = make_walk_settings(options);
  sink_set sinks(options.output, outputs.report);
  // Before any list worker writes, so what the run writes once comes first.
  sinks.begin_run();
  int status = 0;
  if (!options.merge_from.empty()) {
    sinks.summary()->take(std::move(merged));
  } else {
    status = list_mode ? process_list(options, sinks, io, walk, settings,
                                      outputs.file_out.is_open() ? &outputs.file_out : nullptr)
                       : process_one(options, sinks, io, walk, settings);
  }
  sinks.end_run();
  if (std::string error; !options.save_summary.empty() && stop_signal() == 0 &&
                         !sinks.summary()->save(options.save_summary, error)) {
    messages.write("prob writing %s, aborting\n", error.c_str());
    status = EXIT_REFUSED;
  }
  progress.clear();
  if (const uint64_t left_out = sinks.summary_untracked(); left_out > 0) {
    messages.write("%llu messages of conversations beyond the first %zu are not in the summary\n",
                   static_cast<unsigned long long>(left_out), CONVERSATIONS_MAX);
  }
  const bool written = close_outputs(io, outputs);
  if (!written && stop_signal() == 0) {
    messages.write("prob writing output, aborting\n");
    status = EXIT_REFUSED;
  }
  // After the last whole line, so that whoever reads on knows where the report stops short.
  if (const int signo = stop_signal(); signo != 0) {
    messages.write("nelo: stopped by signal %d after frame %llu of %s; the output is incomplete\n",
                   signo, static_cast<unsigned long long>(ended_at.frame),
                   ended_at.capture.c_str());
  }
  return status;
}

int run(const arg_list& original_args, const run_io& io, cmdline_ctx& run_ctx) {
  arg_list args = original_args;
  if (args.empty()) return EXIT_REFUSED;
  if (answer_info_request(args, io)) return 0;
  const message_writer messages(io.err, io.err_terminal);
  // With -json or -csv the report stream carries the data alone; what a person reads goes to
  // standard error.
  const bool data_only = has_option_keep("-json", args) || has_option_keep("-csv", args);
  std::ostream& announce = data_only ? io.err : io.out;
  announce << run_header(args) << '\n';
  announce.flush();
  // Every command names its input, which takes a value, except a bare -pipe.
  if (args.size() < 3 && !(args.size() == 2 && same_option(args[1], "-pipe"))) {
    io.err << "error... try: \"" << args.front() << " -ifile <pcap file>\"\n";
    io.err.flush();
    return EXIT_REFUSED;
  }

  nelo_options options;
  std::string refusal;
  if (!parse_options(options, args, messages, refusal)) {
    refuse_command_line(refusal, args.front(), io, messages);
    return EXIT_REFUSED;
  }
  run_ctx.bind(options);
  if (option_conflict conflict; !check_option_combinations(options, conflict)) {
    if (conflict.with_usage) {
      refuse_command_line(conflict.reason, args.front(), io, messages);
    } else {
      messages.write("%s\n", conflict.reason.c_str());
    }
    return EXIT_REFUSED;
  }
  if (!save_summary_allowed(options, args.front(), io, messages)) return EXIT_REFUSED;
  conversation_table merged;
  if (!options.merge_from.empty() && !merge_saved(options, io, messages, merged)) {
    return EXIT_REFUSED;
  }
  if (!stdin_input_usable(options, io, messages)) return EXIT_REFUSED;
  run_outputs outputs;
  if (!open_outputs(options, args.front(), io, messages, outputs)) return EXIT_REFUSED;
  return walk_and_close(options, io, messages, announce, outputs, std::move(merged));
}

}  // namespace

std::string program_name(const std::string& program_path) {
  const size_t slash = program_path.find_last_of('/');
  return slash == std::string::npos ? program_path : program_path.substr(slash + 1);
}

void print_usage(std::ostream& out, const std::string& program_path) {
  std::ostringstream usage;
  usage << std::string(77, '-') << "\n\n" << PROGRAM_BANNER << "\n\nUsage\n\n";
  usage << ' ' << program_name(program_path)
        << " [-ifile <pcap file> | -pipe | -help] [options]\n\n";
  for (const char* line : USAGE_FILTER_LINES) usage << line << '\n';
  usage << '\n';
  for (const char* line : USAGE_OUTPUT_LINES) usage << line << '\n';
  usage << '\n';
  for (const char* line : USAGE_FORMAT_LINES) usage << line << '\n';
  usage << '\n';
  for (const char* line : USAGE_RUN_LINES) usage << line << '\n';
  usage << '\n';
  out << usage.str();
  out.flush();
}

std::string command_line_text(const arg_list& args) {
  std::string text;
  if (has_option_keep("-pipe", args)) text += "<filelist> ... | ";
  for (size_t i = 0; i < args.size(); ++i) {
    if (i > 0) text += ' ';
    if (args[i].find(' ') != std::string::npos)
      text += '\'' + args[i] + '\'';
    else
      text += args[i];
  }
  return text;
}

int run_nelo(const arg_list& args, const run_io& io) {
  cmdline_ctx run_ctx(io.err);
  return run(args, io, run_ctx);
}

bool output_wants_line_flush(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return true;
  if (S_ISREG(st.st_mode)) return false;
  if (S_ISCHR(st.st_mode)) return isatty(fd) != 0;
  return true;
}

}  // namespace nelo
