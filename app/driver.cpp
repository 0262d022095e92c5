#include "app/driver.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <vector>

#include "app/cmd_params.h"
#include "app/list_input.h"
#include "app/name_filter.h"
#include "app/options.h"
#include "app/progress_line.h"
#include "capture/packet_handler.h"
#include "capture/pcap_reader.h"
#include "support/error_writer.h"
#include "support/fileio.h"
#include "support/ko_time.h"
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
    "   -frame <\"1 2 3 ..\"> - only process the frame numbers specified",
    "   -srcip <src ip>     - src ip use dotted decimal notation",
    "   -dstip <dst ip>     - dst ip use dotted decimal notation",
    "   -srcipv6 <src ip>   - src ip v6 use colon delimited hex notation",
    "   -dstipv6 <dst ip>   - dst ip v6 use colon delimited hex notation",
    "   -track_replies      - given src & dst above, process replies",
    "   -min_size <size>    - output those frames >= the specified size",
    "   -start_time <\"mm/dd/yy hh:mm:ss\">",
    "   -stop_time <\"mm/dd/yy hh:mm:ss\">",
    "   -find_pattern <\"byte sequence delimited by spaces\">",
    "   -find_pattern_h <\"hex byte sequence delimited by spaces\">",
    "   -icmp_type <\"type1 type2\"> - process only these icmp types ",
    "   -icmp_code <\"code1 code2\"> - process only these icmp codes ",
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
};

bool is_help_request(const arg_list& args) {
  if (args.size() == 1) return true;
  for (const std::string& word : args) {
    for (const char* help : {"-h", "-help", "/?", "--help"})
      if (same_option(word, help)) return true;
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

// Whether someone may be reading the report line by line: a terminal, a pipe or a socket.
// A regular file or a device such as /dev/null is only read once the run is over, so its
// lines may wait in the stream's buffer.
bool wants_line_flush(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return true;
  if (S_ISREG(st.st_mode)) return false;
  if (S_ISCHR(st.st_mode)) return isatty(fd) != 0;
  return true;
}

bool wants_line_flush(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return true;
  if (S_ISREG(st.st_mode)) return false;
  if (S_ISCHR(st.st_mode)) return false;  // a terminal named as -ofile is rare; /dev/null is not
  return true;
}

// Flushes the report and standard output; false when either could not be written.
bool flush_outputs(std::ostream& out) {
  out.flush();
  const bool stdout_ok = std::fflush(stdout) == 0 && !std::ferror(stdout);
  return !out.fail() && stdout_ok;
}

bool directory_readable(const std::string& path) {
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return false;
  closedir(dir);
  return true;
}

// `-ifile -` needs standard input to itself, and a capture there rather than a person typing.
bool stdin_input_usable(const nelo_options& options) {
  if (options.input_file != STDIN_NAME) return true;
  if (options.pipe) {
    write_error("-ifile - and -pipe both read standard input, aborting\n");
    return false;
  }
  if (!options.enumdir && isatty(STDIN_FILENO) != 0) {
    write_error("standard input is a terminal, not a capture, aborting\n");
    return false;
  }
  return true;
}

int process_list(const nelo_options& options, packet_ctx& ctx, const walk_observer* observer) {
  if (!options.pipe && !directory_readable(options.enumdir_path)) {
    write_error("prob accessing directory %s for read, aborting\n", options.enumdir_path.c_str());
    return EXIT_REFUSED;
  }
  koportdir::stdin_stream_ex source(&options);
  const bool opened =
      options.pipe ? source.open_stdin()
                   : source.open_dir(options.enumdir_path, options.num_subdirs, options.filters);
  if (!opened) return 0;

  std::string name;
  while (!stop_requested() && source.next_name(name, true)) {
    if (name.empty() || !name_passes_filters(options, name, options.filters)) continue;
    // Reading the report file back into itself would grow it without end.
    if (!options.output_file.empty() && uni::same_file(name, options.output_file)) continue;
    ctx.header_pending = true;
    // A damaged compressed file has had its say; the list goes on.
    const bool ok =
        read_capture_file(name, handle_packet, &ctx, observer) != capture_read::not_read;
    if (ok && options.output_file.empty()) std::cout << '\n';
    if (!ctx.flush_each_line && !flush_outputs(*ctx.out)) request_stop_for_write_failure();
  }
  return 0;
}

int process_one(const nelo_options& options, packet_ctx& ctx, const walk_observer* observer) {
  if (options.input_file == STDIN_NAME) {
    return read_capture_stdin(handle_packet, &ctx, observer) == capture_read::walked ? 0
                                                                                     : EXIT_REFUSED;
  }
  {
    uni::fileio probe(options.input_file, false, false);
    if (!probe.is_open()) {
      write_error("prob accessing file %s for read, aborting\n", options.input_file.c_str());
      return EXIT_REFUSED;
    }
  }
  // A file that cannot be walked, or whose compressed data is damaged, is a failed run.
  return read_capture_file(options.input_file, handle_packet, &ctx, observer) ==
                 capture_read::walked
             ? 0
             : EXIT_REFUSED;
}

int run(const arg_list& original_args, cmdline_ctx& run_ctx) {
  arg_list args = original_args;
  if (args.empty()) return EXIT_REFUSED;
  if (is_help_request(args)) {
    print_usage(args.front());
    return 0;
  }
  // Before anything reaches standard output: its buffer can only be set while it is unused.
  if (!wants_line_flush(STDOUT_FILENO)) {
    // glibc ignores the size unless it is given the buffer; stdio keeps using it until exit.
    static char stdout_buffer[REPORT_BUFFER_SIZE];
    std::setvbuf(stdout, stdout_buffer, _IOFBF, sizeof stdout_buffer);
  }
  std::cout << run_header(args) << '\n';
  std::cout.flush();
  if (args.size() < 3) {
    std::fprintf(stderr, "error... try: \"%s -ifile <pcap file>\"\n", args.front().c_str());
    return EXIT_REFUSED;
  }

  nelo_options options;
  if (!parse_options(options, args)) {
    print_usage(args.front());
    return EXIT_REFUSED;
  }
  run_ctx.bind(options);
  if (!stdin_input_usable(options)) return EXIT_REFUSED;
  packet_ctx ctx = make_packet_ctx(options);

  ctx.out = &std::cout;
  ctx.flush_each_line = wants_line_flush(STDOUT_FILENO);
  std::vector<char> file_buffer;  // outlives the stream that uses it
  std::ofstream file_out;
  if (!options.output_file.empty()) {
    if (!options.input_file.empty() && options.input_file != STDIN_NAME &&
        uni::same_file(options.output_file, options.input_file)) {
      write_error("output file %s is the input file, aborting\n", options.output_file.c_str());
      return EXIT_REFUSED;
    }
    std::ios::openmode mode = std::ios::out | std::ios::trunc;
    if (options.format == output_format::binary) mode |= std::ios::binary;
    file_buffer.resize(REPORT_BUFFER_SIZE);
    file_out.rdbuf()->pubsetbuf(file_buffer.data(),
                                static_cast<std::streamsize>(file_buffer.size()));
    file_out.open(options.output_file, mode);
    if (!file_out.good()) {
      write_error("prob opening file %s for output, aborting\n", options.output_file.c_str());
      return EXIT_REFUSED;
    }
    ctx.out = &file_out;
    ctx.flush_each_line = wants_line_flush(options.output_file);
  }

  install_stop_signals();
  progress_line progress(STDERR_FILENO,
                         progress_wanted(!options.flush_stderr, options.output_file.empty()));
  int status = (options.pipe || options.enumdir) ? process_list(options, ctx, progress.observer())
                                                 : process_one(options, ctx, progress.observer());
  progress.clear();
  bool written = flush_outputs(*ctx.out) && !write_failed();
  if (file_out.is_open()) {
    file_out.close();
    written = written && !file_out.fail();
  }
  reraise_stop_signal();
  if (!written) {
    write_error("prob writing output, aborting\n");
    status = EXIT_REFUSED;
  }
  return status;
}

}  // namespace

std::string program_name(const std::string& program_path) {
  const size_t slash = program_path.find_last_of('/');
  return slash == std::string::npos ? program_path : program_path.substr(slash + 1);
}

void print_usage(const std::string& program_path) {
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
  std::cerr << usage.str();
  std::cerr.flush();
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

int run_nelo(int argc, const char* const* argv) {
  cmdline_ctx run_ctx;
  return run(make_arg_list(argc, argv), run_ctx);
}

}  // namespace nelo
