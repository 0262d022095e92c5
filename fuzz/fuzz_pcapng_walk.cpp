// Arbitrary bytes as the blocks of a pcapng file, walked through the whole per-packet pipeline
// with every dump on. Inputs that do not open with a section header get a little-endian one put
// in front, so the fuzzer spends its time inside the block walk rather than at the door.
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <vector>

#include "capture/packet_handler.h"
#include "capture/pcap_reader.h"
#include "capture/pcapng_file.h"
#include "fuzz/fuzz_input.h"
#include "report/sink_set.h"
#include "support/run_control.h"

namespace {

// Block type, total length 28, byte-order magic, version 1.0, section length unknown, length.
constexpr uint8_t SECTION_HEADER[] = {0x0a, 0x0d, 0x0d, 0x0a, 28, 0, 0,    0,    0x4d, 0x3c,
                                      0x2b, 0x1a, 1,    0,    0,  0, 0xff, 0xff, 0xff, 0xff,
                                      0xff, 0xff, 0xff, 0xff, 28, 0, 0,    0};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  nelo::fuzz::silence_stdout_once();
  std::vector<uint8_t> file;
  if (size < sizeof SECTION_HEADER || data[0] != SECTION_HEADER[0] ||
      data[1] != SECTION_HEADER[1]) {
    file.assign(SECTION_HEADER, SECTION_HEADER + sizeof SECTION_HEADER);
  }
  file.insert(file.end(), data, data + size);

  nelo::fuzz::discard_buf discard;
  std::ostream out(&discard);
  nelo::report_target report;
  report.out = &out;
  nelo::output_settings output;
  output.dump_meta = true;
  output.dump_hdr = true;
  output.dump_payload = true;
  nelo::filter_settings filters;
  // A time window so that stamps and their conversions are compared, not only computed.
  filters.start_time = {1, 0};
  filters.stop_time = {~uint64_t{0} >> 1, 0};
  nelo::sink_set sinks(output, report);
  nelo::packet_ctx ctx{&filters, &sinks};

  nelo::fuzz::memory_file memory(file.data(), file.size());
  if (!memory.ok()) return 0;
  nelo::reset_stop_requests();
  nelo::capture_reader reader;
  if (reader.open_file(memory.path()) == nelo::capture_open::opened) {
    reader.walk(nelo::handle_packet, &ctx, nullptr);
    nelo::finish_reassembly(ctx, true);
  }
  return 0;
}
