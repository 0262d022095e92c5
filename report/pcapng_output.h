// The pcapng blocks that -write_capture writes, and the joiner that makes one file of the block
// streams of many captures. Each capture's sink writes a stream of its own: a Section Header
// Block, then an Interface Description Block for each (link type, time resolution) the capture
// meets, numbered from 0 in the capture, before the first Enhanced Packet Block that uses it.
// Such a stream can be written by a list worker before anyone knows which interfaces the captures
// before it met, so the joiner, the one writer in front of the file, numbers them for the run:
// it drops each stream's section header (the file has one, written when the joiner is made),
// writes an interface the file does not have yet under the next free id and drops one it has,
// and patches each packet block's interface id to the file's. Since only the capture whose turn
// it is writes to the joiner, the file is the same whatever the threads.
// Every block is little-endian; the file's interfaces have no snap length (0).
#ifndef NELO_REPORT_PCAPNG_OUTPUT_H_
#define NELO_REPORT_PCAPNG_OUTPUT_H_

#include <cstdint>
#include <ostream>
#include <streambuf>
#include <string_view>
#include <utility>
#include <vector>

#include "packet/capture_record.h"

namespace nelo {

// The Enhanced Packet Block option that holds the "<capture> frame <n>" comment.
inline constexpr uint16_t PCAPNG_OPTION_COMMENT = 1;
// The Interface Description Block option that gives the time resolution.
inline constexpr uint16_t PCAPNG_OPTION_TSRESOL = 9;

void append_section_header(std::vector<uint8_t>& out);
// An interface of `link_type` whose stamps count 10^-time_digits seconds.
void append_interface(std::vector<uint8_t>& out, uint32_t link_type, uint8_t time_digits);
// The frame of `record`, whole as captured, with its captured and wire lengths, at `stamp`, on
// the capture-local interface `interface`, with `comment`.
void append_enhanced_packet(std::vector<uint8_t>& out, uint32_t interface, uint64_t stamp,
                            const capture_record& record, std::string_view comment);

// The record's time in units of 10^-time_digits seconds since 1970, as a packet block holds it.
// False, with `stamp` 0, when it has none that a packet block can hold: no time at all, a time
// before 1970 or one shown as no date, or one past the 64-bit count.
bool pcapng_stamp(const capture_record& record, uint64_t& stamp);

// Takes the block streams of the captures, one after another, and writes them to `file` as one
// section. A block stream that is not one (a length below 12 or not a multiple of 4, a packet
// block on an interface its stream did not describe) fails the stream, as a failed write to
// `file` does.
class pcapng_joiner : public std::streambuf {
 public:
  // Writes the file's Section Header Block to `file` at once.
  explicit pcapng_joiner(std::ostream& file);

 protected:
  std::streamsize xsputn(const char* s, std::streamsize n) override;
  int_type overflow(int_type c) override;
  int sync() override;

 private:
  // Takes the whole blocks at the front of [data, data + size); returns how many bytes they
  // made, or -1 when a block is not one or a write failed.
  int64_t take_blocks(const uint8_t* data, size_t size);
  bool take_block(const uint8_t* block, uint32_t size);

  std::ostream& m_file;
  std::vector<uint8_t> m_partial;                          // the start of a block not yet whole
  std::vector<std::pair<uint32_t, uint8_t>> m_interfaces;  // the file's, by id
  std::vector<uint32_t> m_local;  // the file's id of each interface of the current stream
  bool m_failed = false;
};

}  // namespace nelo

#endif  // NELO_REPORT_PCAPNG_OUTPUT_H_
