#include "app/options.h"

#include <arpa/inet.h>

#include <algorithm>
#include <iostream>
#include <span>

#include "app/option_warnings.h"
#include "app/value_readers.h"
#include "support/ascii_text.h"
#include "support/ko_time_parse.h"

namespace nelo {

namespace {

struct program_option {
  std::string_view name;
  bool takes_value;
  std::string_view without_value;  // what the run does when the value is missing
};

// The options of this program, as the leftover check and the missing-value message need to know
// them; parse_options looks each of them up.
constexpr program_option PROGRAM_OPTIONS[] = {
    {"-ifile", true, "no input file"},
    {"-ofile", true, "report to standard output"},
    {"-write_capture", true, "no capture file written"},
    {"-icmp_id", true, "filter off"},
    {"-icmp_type", true, "filter off"},
    {"-icmp_code", true, "filter off"},
    {"-frame", true, "filter off"},
    {"-find_pattern_h", true, "no pattern read"},
    {"-find_pattern", true, "no pattern read"},
    {"-min_size", true, "filter off"},
    {"-dstip", true, "filter off"},
    {"-srcip", true, "filter off"},
    {"-dstipv6", true, "filter off"},
    {"-srcipv6", true, "filter off"},
    {"-tunnel_ip", true, "filter off"},
    {"-start_time", true, "no start time"},
    {"-stop_time", true, "no stop time"},
    {"-dump_meta", false, ""},
    {"-dump_hdr", false, ""},
    {"-dump_payload", false, ""},
    {"-binary", false, ""},
    {"-ascii", false, ""},
    {"-strings", false, ""},
    {"-track_replies", false, ""},
    {"-json", false, ""},
    {"-csv", false, ""},
    {"-summary", false, ""},
    {"-no_reassembly", false, ""},
};

// ICMP and ICMPv6 carry their type and code in one byte each.
constexpr uint64_t ICMP_FIELD_MAX = 255;

option_arity arity_of(std::string_view word) {
  const option_arity own = arity_in(std::span<const program_option>(PROGRAM_OPTIONS), word);
  return own != option_arity::unknown ? own : shared_option_arity(word);
}

// A list that keeps no item leaves its filter off, which is said once for the whole value
// rather than item by item.
template <typename List>
void warn_list(const message_writer& messages, std::string_view name, const std::string& value,
               const List& field, const unread_words& unread) {
  if (field.empty()) {
    warn_unread_value(messages, name, value, "filter off");
  } else {
    warn_unread_words(messages, name, unread);
  }
}

// The value of the program option `name`, consumed. Given last with no value, the option counts
// as absent and says what that means.
bool take_value(const message_writer& messages, std::string_view name, arg_list& args,
                std::string& value) {
  const value_lookup found = find_value(name, args, value);
  if (found == value_lookup::no_value) {
    for (const program_option& option : PROGRAM_OPTIONS) {
      if (option.name == name) warn_no_value(messages, name, option.without_value);
    }
  }
  return found == value_lookup::found;
}

void read_number_option(const message_writer& messages, std::string_view name, arg_list& args,
                        uint32_t& field) {
  std::string value;
  if (!take_value(messages, name, args, value)) return;
  bool whole = false;
  if (!parse_number(value, field, &whole)) field = 0;
  if (!whole) warn_unread_value(messages, name, value, "read as " + std::to_string(field));
}

void read_list_option(const message_writer& messages, std::string_view name, arg_list& args,
                      std::vector<uint64_t>& field, uint64_t max_value) {
  std::string value;
  if (!take_value(messages, name, args, value)) return;
  unread_words unread;
  field = parse_number_list(value, LIST_DELIMITERS, &unread, max_value);
  warn_list(messages, name, value, field, unread);
}

void read_frame_option(const message_writer& messages, arg_list& args, std::set<uint64_t>& field) {
  std::string value;
  if (!take_value(messages, "-frame", args, value)) return;
  unread_words unread;
  const std::vector<uint64_t> frames = parse_frame_list(value, &unread);
  warn_list(messages, "-frame", value, frames, unread);
  field = {frames.begin(), frames.end()};
}

void read_ipv4_option(const message_writer& messages, std::string_view name, arg_list& args,
                      std::vector<ipv4_prefix>& field) {
  std::string value;
  if (!take_value(messages, name, args, value)) return;
  unread_words unread;
  field = parse_ipv4_prefixes(value, &unread);
  warn_unread_words(messages, name, unread);
}

// An IPv6 value none of whose items can be compared with a packet's address leaves the filter
// off, which is said once for the whole value.
void read_ipv6_option(const message_writer& messages, std::string_view name, arg_list& args,
                      std::vector<ipv6_prefix>& field) {
  std::string value;
  if (!take_value(messages, name, args, value)) return;
  unread_words unread;
  field = parse_ipv6_prefixes(value, &unread);
  warn_list(messages, name, value, field, unread);
}

// One address, IPv4 or IPv6, in its usual text form.
void read_tunnel_option(const message_writer& messages, arg_list& args, tunnel_endpoint& field) {
  std::string value;
  if (!take_value(messages, "-tunnel_ip", args, value)) return;
  field.ipv6 = value.find(':') != std::string::npos;
  field.on = inet_pton(field.ipv6 ? AF_INET6 : AF_INET, value.c_str(), field.address) == 1;
  if (!field.on) warn_unread_value(messages, "-tunnel_ip", value, "filter off");
}

void read_pattern_option(const message_writer& messages, std::string_view name, bool hex_mode,
                         arg_list& args, byte_pattern& pattern) {
  std::string value;
  if (!take_value(messages, name, args, value)) return;
  unread_words unread;
  if (!parse_byte_pattern(value, hex_mode, pattern, &unread)) pattern.reset();
  warn_unread_words(messages, name, unread);
}

// What no lookup took is an option given again or a word nelo does not know. Only the first
// occurrence of an option is read (one given last with no value included), so a value option still
// present is a repeat, and its value goes with it; a repeated flag changes nothing and is let be.
// Any other word refuses the line: a mistyped filter would otherwise leave the whole capture
// reported as though it had been asked for. False after "Error: unknown option %s".
bool check_leftover_words(const message_writer& messages, const arg_list& rest) {
  std::vector<std::string> repeated;
  for (size_t i = 1; i < rest.size(); ++i) {
    const std::string& word = rest[i];
    const option_arity arity = arity_of(word);
    if (arity == option_arity::unknown) {
      messages.write("Error: unknown option %s\n", word.c_str());
      return false;
    }
    if (arity == option_arity::flag) continue;
    ++i;
    const std::string name = lower_text(word);
    if (std::find(repeated.begin(), repeated.end(), name) == repeated.end()) {
      repeated.push_back(name);
    }
  }
  for (const std::string& name : repeated) warn_repeated_option(messages, name);
  return true;
}

}  // namespace

bool parse_options(nelo_options& options, arg_list& args, const message_writer& messages) {
  if (!parse_shared_options(options, args, messages)) return false;

  std::string value;
  if (take_value(messages, "-ifile", args, value)) options.input_file = value;
  if (take_value(messages, "-ofile", args, value)) options.output_file = value;
  if (take_value(messages, "-write_capture", args, value)) options.capture_file = value;
  filter_settings& selection = options.selection;
  output_settings& output = options.output;
  std::vector<uint64_t> icmp_ids;
  read_list_option(messages, "-icmp_id", args, icmp_ids, UINT64_MAX);
  selection.icmp_ids = {icmp_ids.begin(), icmp_ids.end()};
  read_list_option(messages, "-icmp_type", args, selection.icmp_types, ICMP_FIELD_MAX);
  read_list_option(messages, "-icmp_code", args, selection.icmp_codes, ICMP_FIELD_MAX);
  read_frame_option(messages, args, selection.frames);
  read_pattern_option(messages, "-find_pattern_h", true, args, selection.pattern);
  read_pattern_option(messages, "-find_pattern", false, args, selection.pattern);
  if (find_flag("-dump_meta", args)) output.dump_meta = true;
  if (find_flag("-dump_hdr", args)) output.dump_hdr = true;
  if (find_flag("-dump_payload", args)) output.dump_payload = true;
  options.dumps_given = output.dump_meta || output.dump_hdr || output.dump_payload;
  // Later flags overwrite earlier ones: -strings wins over -ascii, which wins over -binary.
  if (find_flag("-binary", args)) {
    output.format = output_format::binary;
    options.binary_or_ascii_given = true;
  }
  if (find_flag("-ascii", args)) {
    output.format = output_format::ascii;
    options.binary_or_ascii_given = true;
  }
  if (find_flag("-strings", args)) output.format = output_format::strings;
  if (find_flag("-track_replies", args)) selection.track_replies = true;
  if (find_flag("-json", args)) output.json = true;
  if (find_flag("-csv", args)) output.csv = true;
  if (find_flag("-summary", args)) output.summary = true;
  if (find_flag("-no_reassembly", args)) selection.reassemble = false;
  read_number_option(messages, "-min_size", args, selection.min_size);
  read_ipv4_option(messages, "-dstip", args, selection.dst_ip);
  read_ipv4_option(messages, "-srcip", args, selection.src_ip);
  read_ipv6_option(messages, "-dstipv6", args, selection.dst_ipv6);
  read_ipv6_option(messages, "-srcipv6", args, selection.src_ipv6);
  read_tunnel_option(messages, args, selection.tunnel_ip);

  if (take_value(messages, "-start_time", args, value)) {
    ko::fine_time bound;
    if (ko::parse_time_bound(value, false, bound)) selection.start_time = bound;
    if (selection.start_time.ticks == 0) {
      messages.write("Error: invalid filter start time\n");
      return false;
    }
    selection.stop_time = {~uint64_t{0}, 0};
  }
  if (take_value(messages, "-stop_time", args, value)) {
    ko::fine_time bound;
    // Dropping the end of the window would report messages the user asked to leave out.
    if (!ko::parse_time_bound(value, true, bound)) {
      messages.write("Error: invalid filter stop time\n");
      return false;
    }
    selection.stop_time = bound;
    if (selection.start_time.ticks != 0 && selection.start_time > selection.stop_time) {
      messages.write("-start_time is after -stop_time: no message can match\n");
    }
  }

  if (!check_leftover_words(messages, args)) return false;

  if (!output.dump_hdr && !output.dump_payload) {
    if (output.dump_meta) {
      output.format = output_format::ascii;
    } else {
      output.dump_meta = true;
      if (output.format == output_format::strings || output.format == output_format::ascii)
        output.dump_payload = true;
    }
  }

  return !options.input_file.empty() || options.pipe || options.enumdir;
}

}  // namespace nelo
