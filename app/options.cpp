#include "app/options.h"

#include <algorithm>
#include <span>

#include "app/option_warnings.h"
#include "app/value_readers.h"
#include "support/ascii_text.h"

namespace nelo {

namespace {

struct program_option {
  std::string_view name;
  bool takes_value;
  std::string_view forms;  // what the value may be, as a refusal says
};

constexpr char ADDRESS_FORMS[] = "an IPv4 or IPv6 address, a prefix, or a list of them";
constexpr char IPV6_ADDRESS_FORMS[] = "an IPv6 address, a prefix, or a list of them";
constexpr char TIME_FORMS[] =
    "a date and time such as \"12/06/2026 20:57:02\" or 2026-12-06T20:57:02+01:00, or @epoch "
    "seconds";

// The options of this program, as the leftover check and the refusals need to know them;
// parse_options looks each of them up.
constexpr program_option PROGRAM_OPTIONS[] = {
    {"-ifile", true, "a capture file, or - for standard input"},
    {"-ofile", true, "a file for the report"},
    {"-write_capture", true, "a file for the pcapng capture"},
    {"-icmp_id", true, "identifiers 0 to 65535, or a list of them"},
    {"-icmp_type", true,
     "type numbers 0 to 255 or names such as echo, echo-reply, unreach, or a list of them"},
    {"-icmp_code", true, "code numbers 0 to 255 or names such as port-unreach, or a list of them"},
    {"-frame", true, "frame numbers from 1 and ranges such as 1-500, or a list of them"},
    {"-find_pattern_h", true,
     "hex bytes separated by blanks, or one hex string such as 474e55; ? for any byte"},
    {"-find_pattern", true, "bytes 0 to 255 as numbers, separated by blanks; ? for any byte"},
    {"-find_text", true, "the text to look for"},
    {"-min_size", true, "a size in bytes"},
    {"-dstip", true, ADDRESS_FORMS},
    {"-srcip", true, ADDRESS_FORMS},
    {"-dstipv6", true, IPV6_ADDRESS_FORMS},
    {"-srcipv6", true, IPV6_ADDRESS_FORMS},
    {"-tunnel_ip", true, ADDRESS_FORMS},
    {"-proto", true, "icmp or icmpv6"},
    {"-start_time", true, TIME_FORMS},
    {"-stop_time", true, TIME_FORMS},
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
    {"-save_summary", true, "a file for the saved conversation table"},
    {"-merge", true, "a saved conversation table, or - for their names on standard input"},
    {"-no_reassembly", false, ""},
};

// An ICMP identifier is a 16-bit field.
constexpr uint64_t ICMP_ID_MAX = 0xffff;

option_arity arity_of(std::string_view word) {
  const option_arity own = arity_in(std::span<const program_option>(PROGRAM_OPTIONS), word);
  return own != option_arity::unknown ? own : shared_option_arity(word);
}

std::string_view forms_of(std::string_view name) {
  for (const program_option& option : PROGRAM_OPTIONS) {
    if (option.name == name) return option.forms;
  }
  return {};
}

// Reads the program options in turn; the first value that cannot be read leaves its refusal,
// and every later lookup is skipped.
class option_reader {
 public:
  explicit option_reader(arg_list& args) : m_args(args) {}

  // The value of `name`, consumed; false when the option is absent or the line is refused
  // already. Given last with no value, the option refuses the line.
  bool take(std::string_view name, std::string& value) {
    if (refused()) return false;
    const value_lookup found = find_value(name, m_args, value);
    if (found == value_lookup::no_value) m_refusal = missing_value_text(name, forms_of(name));
    return found == value_lookup::found;
  }

  // Reads the value of `name` with `read` (value text -> bool) when it is given, and refuses the
  // line when that fails.
  template <typename Reader>
  void read(std::string_view name, Reader read) {
    std::string value;
    if (take(name, value) && !read(value)) {
      m_refusal = unreadable_value_text(name, value, forms_of(name));
    }
  }

  bool refused() const { return !m_refusal.empty(); }
  const std::string& refusal() const { return m_refusal; }

 private:
  arg_list& m_args;
  std::string m_refusal;
};

// The protocols of -proto.
bool read_protocol(std::string_view value, filter_settings& selection) {
  const std::string name = lower_text(trim_blanks(value));
  selection.icmpv4 = name == "icmp";
  selection.icmpv6 = name == "icmpv6";
  return selection.icmpv4 || selection.icmpv6;
}

// What no lookup took is an option given again or a word nelo does not know. Only the first
// occurrence of an option is read (one given last with no value included), so a value option still
// present is a repeat, and its value goes with it; a repeated flag changes nothing and is let be.
// Any other word refuses the line: a mistyped filter would otherwise leave the whole capture
// reported as though it had been asked for. False with "Error: unknown option <word>" as the
// refusal.
bool check_leftover_words(const arg_list& rest, std::string& refusal,
                          const message_writer& messages) {
  std::vector<std::string> repeated;
  for (size_t i = 1; i < rest.size(); ++i) {
    const std::string& word = rest[i];
    const option_arity arity = arity_of(word);
    if (arity == option_arity::unknown) {
      refusal = "Error: unknown option " + word;
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

bool parse_options(nelo_options& options, arg_list& args, const message_writer& messages,
                   std::string& refusal) {
  refusal.clear();
  if (!parse_shared_options(options, args, messages, refusal)) return false;

  option_reader reader(args);
  std::string value;
  if (reader.take("-ifile", value)) options.input_file = value;
  if (reader.take("-ofile", value)) options.output_file = value;
  if (reader.take("-write_capture", value)) options.capture_file = value;
  if (reader.take("-save_summary", value)) options.save_summary = value;
  if (reader.take("-merge", value)) options.merge_from = value;
  filter_settings& selection = options.selection;
  output_settings& output = options.output;
  reader.read("-icmp_id", [&](const std::string& v) {
    std::vector<uint64_t> ids;
    if (!parse_number_list(v, ICMP_ID_MAX, ids)) return false;
    selection.icmp_ids = {ids.begin(), ids.end()};
    return true;
  });
  reader.read("-icmp_type", [&](const std::string& v) {
    return parse_icmp_values(v, false, selection.icmp_types);
  });
  reader.read("-icmp_code", [&](const std::string& v) {
    return parse_icmp_values(v, true, selection.icmp_codes);
  });
  reader.read("-frame",
              [&](const std::string& v) { return parse_frame_list(v, selection.frames); });
  // The pattern options share the one pattern; the last of them looked up wins.
  reader.read("-find_pattern_h",
              [&](const std::string& v) { return parse_byte_pattern(v, true, selection.pattern); });
  reader.read("-find_pattern", [&](const std::string& v) {
    return parse_byte_pattern(v, false, selection.pattern);
  });
  reader.read("-find_text", [&](const std::string& v) {
    return parse_text_pattern(v, selection.pattern, selection.pattern_utf16);
  });
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
  reader.read("-min_size",
              [&](const std::string& v) { return parse_count(v, selection.min_size); });
  // -dstip and -srcip take either family; the IPv6 options add to the same filters.
  reader.read("-dstip", [&](const std::string& v) {
    return parse_address_list(v, true, selection.dst_ip, selection.dst_ipv6);
  });
  reader.read("-srcip", [&](const std::string& v) {
    return parse_address_list(v, true, selection.src_ip, selection.src_ipv6);
  });
  std::vector<ipv4_prefix> no_v4;
  std::vector<ipv6_prefix> v6;
  reader.read("-dstipv6", [&](const std::string& v) {
    if (!parse_address_list(v, false, no_v4, v6)) return false;
    selection.dst_ipv6.insert(selection.dst_ipv6.end(), v6.begin(), v6.end());
    return true;
  });
  reader.read("-srcipv6", [&](const std::string& v) {
    if (!parse_address_list(v, false, no_v4, v6)) return false;
    selection.src_ipv6.insert(selection.src_ipv6.end(), v6.begin(), v6.end());
    return true;
  });
  reader.read("-tunnel_ip", [&](const std::string& v) {
    return parse_address_list(v, true, selection.tunnel_ip.ipv4, selection.tunnel_ip.ipv6) &&
           selection.tunnel_ip.on();
  });
  reader.read("-proto", [&](const std::string& v) { return read_protocol(v, selection); });
  reader.read("-start_time", [&](const std::string& v) {
    if (!parse_time_value(v, false, selection.start_time)) return false;
    selection.stop_time = {~uint64_t{0}, 0};
    return true;
  });
  reader.read("-stop_time",
              [&](const std::string& v) { return parse_time_value(v, true, selection.stop_time); });
  if (reader.refused()) {
    refusal = reader.refusal();
    return false;
  }
  // A start alone has an open end (the largest time), so only two given bounds can cross.
  if (selection.start_time > selection.stop_time) {
    messages.write("-start_time is after -stop_time: no message can match\n");
  }

  if (!check_leftover_words(args, refusal, messages)) return false;

  if (!output.dump_hdr && !output.dump_payload) {
    if (output.dump_meta) {
      output.format = output_format::ascii;
    } else {
      output.dump_meta = true;
      if (output.format == output_format::strings || output.format == output_format::ascii)
        output.dump_payload = true;
    }
  }

  return !options.input_file.empty() || options.pipe || options.enumdir ||
         !options.merge_from.empty();
}

bool check_option_combinations(nelo_options& options, option_conflict& conflict) {
  const bool merge = !options.merge_from.empty();
  if (options.output.csv && options.output.json) {
    conflict = {"Error: -csv and -json cannot be combined"};
  } else if (merge && (!options.input_file.empty() || options.pipe || options.enumdir)) {
    conflict = {"Error: -merge: reads saved tables, not captures (no -ifile, -pipe or -enumdir)"};
  } else if (merge && !options.capture_file.empty()) {
    conflict = {"Error: -merge: has no messages for -write_capture"};
  } else if (merge && selects_messages(options.selection)) {
    conflict = {"Error: -merge: saved tables hold no messages to select (no filters)"};
  } else if (!options.save_summary.empty() && !options.output.summary && !merge) {
    conflict = {"Error: -save_summary: needs -summary or -merge"};
  } else if ((options.output.summary || merge) && options.dumps_given) {
    conflict = {"Error: -summary cannot be combined with dumps"};
  } else if ((options.output.json || options.output.csv) && options.binary_or_ascii_given) {
    conflict = {std::string(options.output.json ? "-json" : "-csv") +
                    " cannot be combined with -binary or -ascii, aborting",
                false};
  } else {
    if (merge) options.output.summary = true;
    return true;
  }
  return false;
}

}  // namespace nelo
