// Arbitrary bytes as a capture file, walked by the reader through the whole per-packet pipeline
// (decoding, every filter, the report line and each dump form). The first CONFIG_SIZE bytes of
// the input choose the settings; the rest is the file, handed over through an in-memory file so
// that the reader's own open, stat and read paths run. A setting may wrap the file in gzip or
// zstd first, then cut or damage the compressed bytes, so the decompressing path is walked with
// the same captures.
#include <fcntl.h>
#include <unistd.h>

#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "app/value_readers.h"
#include "capture/packet_handler.h"
#include "capture/pcap_reader.h"
#include "fuzz/fuzz_input.h"
#include "report/sink_set.h"
#include "support/ko_time.h"
#include "support/run_control.h"
#include "support/wire.h"

namespace {

using nelo::fuzz::byte_source;

constexpr size_t CONFIG_SIZE = 128;
constexpr size_t MAX_PATTERN_RUNS = 4;
constexpr size_t MAX_LIST_VALUES = 4;

// Wildcard counts are mostly small, sometimes near the 32-bit limit to probe the sums.
uint32_t wildcard_count(byte_source& in) {
  const uint8_t pick = in.u8();
  if (pick >= 0xF0) return in.u32();
  return pick % 24;
}

void choose_pattern(byte_source& in, nelo::byte_pattern& pattern) {
  pattern.reset();
  const size_t runs = in.u8() % (MAX_PATTERN_RUNS + 1);
  for (size_t i = 0; i < runs; ++i) {
    nelo::pattern_run run;
    const size_t literal_len = in.u8() % 5;
    // Only the first run may be wildcards alone.
    const size_t len = (i > 0 && literal_len == 0) ? 1 : literal_len;
    for (size_t b = 0; b < len; ++b) run.literal.push_back(static_cast<char>(in.u8()));
    run.wildcards = wildcard_count(in);
    pattern.total_len += run.literal.size() + run.wildcards;
    pattern.runs.push_back(run);
  }
  if (pattern.total_len == 0) pattern.reset();
}

uint64_t list_value(byte_source& in) {
  const uint8_t pick = in.u8();
  return pick >= 0xF8 ? in.u64() : in.u8();
}

// A type or code of either protocol or of both, as names and numbers give them.
nelo::icmp_value icmp_item(byte_source& in) {
  const uint8_t value = static_cast<uint8_t>(list_value(in));
  const uint8_t families = in.u8() % 3;
  return {value, families != 2, families != 1};
}

nelo::ipv4_prefix ipv4_address(uint32_t address) {
  return {address, ~uint32_t{0}};
}

void add_ipv6_address(std::string_view bytes, std::vector<nelo::ipv6_prefix>& items) {
  if (bytes.size() != 16) return;
  const auto* b = reinterpret_cast<const uint8_t*>(bytes.data());
  items.push_back({nelo::load_be64(b), nelo::load_be64(b + 8), ~uint64_t{0}, ~uint64_t{0}});
}

void choose_settings(byte_source& in, nelo::filter_settings& filters, nelo::output_settings& output,
                     nelo::report_target& report) {
  const uint8_t filters_a = in.u8();
  const uint8_t filters_b = in.u8();
  const uint8_t forms = in.u8();

  if (filters_a & 0x01) {
    // Through the option's reader, which keeps the ranges sorted and apart as the filter needs.
    const size_t n = 1 + in.u8() % 8;
    std::string frames;
    for (size_t i = 0; i < n; ++i) {
      const uint64_t first = 1 + in.u8();
      frames += std::to_string(first) + '-' + std::to_string(first + in.u8() % 4) + ',';
    }
    nelo::parse_frame_list(frames, filters.frames);
  }
  if (filters_a & 0x02) filters.min_size = in.u16();
  if (filters_a & 0x04) {
    // Around the record times the files carry, so that the window sometimes splits them.
    filters.start_time.ticks = ko::TICKS_1601_TO_1970 + uint64_t{in.u32()} * ko::TICKS_PER_SECOND;
    filters.stop_time.ticks =
        filters.start_time.ticks + uint64_t{in.u32()} * ko::TICKS_PER_SECOND / 16;
    if (in.flag()) filters.stop_time.ticks = 0;
  }
  if (filters_a & 0x08) filters.src_ip.push_back(ipv4_address(in.u32()));
  if (filters_a & 0x10) filters.dst_ip.push_back(ipv4_address(in.u32()));
  if (filters_a & 0x20) add_ipv6_address(in.bytes(16), filters.src_ipv6);
  if (filters_a & 0x40) add_ipv6_address(in.bytes(16), filters.dst_ipv6);
  filters.track_replies = (filters_a & 0x80) != 0;

  if (filters_b & 0x01) choose_pattern(in, filters.pattern);
  if (filters_b & 0x02) {
    const size_t n = 1 + in.u8() % MAX_LIST_VALUES;
    for (size_t i = 0; i < n; ++i) filters.icmp_types.push_back(icmp_item(in));
  }
  if (filters_b & 0x04) {
    const size_t n = 1 + in.u8() % MAX_LIST_VALUES;
    for (size_t i = 0; i < n; ++i) filters.icmp_codes.push_back(icmp_item(in));
  }
  if (filters_b & 0x08) {
    const size_t n = 1 + in.u8() % MAX_LIST_VALUES;
    for (size_t i = 0; i < n; ++i) filters.icmp_ids.insert(in.u16());
  }
  if (filters_b & 0x10) {
    if (in.flag()) {
      add_ipv6_address(in.bytes(16), filters.tunnel_ip.ipv6);
    } else {
      filters.tunnel_ip.ipv4.push_back(ipv4_address(in.u32()));
    }
  }
  // JSON lines, with the form's keys below.
  output.json = (filters_b & 0x20) != 0;
  filters.reassemble = (filters_b & 0x40) == 0;

  // Output forms: hex with both dumps, ascii, binary, strings, or the metadata line alone.
  switch (forms % 5) {
    case 0:
      output.format = nelo::output_format::hex;
      output.dump_hdr = true;
      output.dump_payload = true;
      break;
    case 1:
      output.format = nelo::output_format::ascii;
      break;
    case 2:
      output.format = nelo::output_format::binary;
      break;
    case 3:
      output.format = nelo::output_format::strings;
      break;
    default:
      output.format = nelo::output_format::hex;
      output.dump_meta = true;
      output.dump_hdr = false;
      output.dump_payload = false;
      return;
  }
  if (forms % 5 != 0) {
    output.dump_hdr = (forms & 0x10) != 0;
    output.dump_payload = (forms & 0x20) != 0;
  }
  output.dump_meta = (forms & 0x40) != 0;
  report.flush_each_line = (forms & 0x80) != 0;
}

void append_gzip_member(std::vector<uint8_t>& file, const uint8_t* data, size_t size) {
  z_stream z = {};
  if (deflateInit2(&z, 1, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) return;
  const size_t at = file.size();
  file.resize(at + deflateBound(&z, static_cast<uLong>(size)) + 32);
  z.next_in = const_cast<Bytef*>(data);
  z.avail_in = static_cast<uInt>(size);
  z.next_out = file.data() + at;
  z.avail_out = static_cast<uInt>(file.size() - at);
  const bool whole = deflate(&z, Z_FINISH) == Z_STREAM_END;
  file.resize(at + (whole ? z.total_out : 0));
  deflateEnd(&z);
}

// How the file bytes reach the reader: as they are, or compressed (gzip in one member or two
// split where the input chooses, zstd in one frame), then perhaps cut short or with a byte
// flipped at a chosen place.
std::vector<uint8_t> wrapped_file(byte_source& config, const uint8_t* data, size_t size) {
  const uint8_t wrap = config.u8();
  const uint16_t damage_at = config.u16();
  std::vector<uint8_t> file;
  switch (wrap % 4) {
    case 0:
      return std::vector<uint8_t>(data, data + size);
    case 1:
      append_gzip_member(file, data, size);
      break;
    case 2: {
      const size_t split = size > 0 ? damage_at % size : 0;
      append_gzip_member(file, data, split);
      append_gzip_member(file, data + split, size - split);
      break;
    }
    default: {
      file.resize(ZSTD_compressBound(size));
      const size_t n = ZSTD_compress(file.data(), file.size(), data, size, 1);
      file.resize(ZSTD_isError(n) ? 0 : n);
      break;
    }
  }
  if (!file.empty() && (wrap & 0x10) != 0) file.resize(damage_at % file.size());
  if (!file.empty() && (wrap & 0x20) != 0) file[damage_at % file.size()] ^= (wrap | 1);
  return file;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  nelo::fuzz::silence_stdout_once();
  byte_source config(data, size < CONFIG_SIZE ? size : CONFIG_SIZE);
  const uint8_t* file_bytes = data + config.remaining();
  const size_t file_size = size - config.remaining();

  nelo::filter_settings filters;
  nelo::output_settings output;
  nelo::report_target report;
  choose_settings(config, filters, output, report);
  nelo::fuzz::discard_buf discard;
  // Now and then the report stream fails part-way, which must end the walk cleanly.
  const uint16_t fail_after = config.u16();
  nelo::fuzz::failing_buf failing(fail_after % 4096);
  std::ostream out((fail_after & 0x8000) != 0 ? static_cast<std::streambuf*>(&failing)
                                              : static_cast<std::streambuf*>(&discard));
  report.out = &out;
  // The data forms and the capture of the kept frames, which the fuzzer reaches beside the rest.
  const uint8_t sinks_chosen = config.u8();
  output.csv = !output.json && (sinks_chosen & 0x01) != 0;
  output.summary = (sinks_chosen & 0x02) != 0;
  const bool keep_frames = (sinks_chosen & 0x04) != 0;
  if (keep_frames) report.capture = &out;
  nelo::sink_set sinks(output, report);
  sinks.begin_run();
  nelo::packet_ctx ctx{&filters, &sinks};
  ctx.keep_frames = keep_frames;

  const std::vector<uint8_t> bytes = wrapped_file(config, file_bytes, file_size);
  nelo::fuzz::memory_file file(bytes.data(), bytes.size());
  if (!file.ok()) return 0;
  nelo::reset_stop_requests();
  nelo::capture_reader reader;
  if (reader.open_file(file.path()) == nelo::capture_open::opened) {
    sinks.begin_capture(file.path());
    reader.walk(nelo::handle_packet, &ctx, nullptr);
    nelo::finish_reassembly(ctx, true);
    sinks.end_capture();
  }
  sinks.end_run();
  nelo::reset_stop_requests();
  return 0;
}
