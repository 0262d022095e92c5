// What every container reader shares while it walks one capture: the buffer, the handler and
// its context, the running frame number and the observer. A container reader parses its own
// headers and calls `hand_on` once per packet record; everything after that (frame numbering,
// the handler call, telling the observer of link types nelo does not decode) is common. Nothing
// here writes text: how a walk ended, and why, is returned as data for the caller to word.
#ifndef NELO_CAPTURE_CAPTURE_WALK_H_
#define NELO_CAPTURE_CAPTURE_WALK_H_

#include <cstdint>
#include <ostream>
#include <string>

#include "capture/read_buffer.h"
#include "packet/capture_record.h"
#include "support/ko_time.h"

namespace nelo {

struct packet_ctx;

// Called once per packet record, in file order. The record's bytes are valid only during the
// call. Returns how many messages were kept; the walk only counts them.
using packet_handler = int (*)(const capture_record& record, packet_ctx* ctx);

// How far a walk has got: bytes read of the file's size and the records the handler kept.
struct walk_progress {
  const std::string* path = nullptr;
  uint64_t bytes_read = 0;
  uint64_t file_size = 0;  // 0 when unknown
  uint64_t reported = 0;
  bool finished = false;  // the last call of a walk
};

// What a walk tells its caller while it runs, never per record: how far it has got, after every
// refill of the read buffer (only when `on_progress` is set), and the first record of each link
// type it does not decode. Either function may be null.
struct walk_observer {
  void (*on_progress)(void* user, const walk_progress& progress) = nullptr;
  void (*on_link_type_skipped)(void* user, uint32_t link_type) = nullptr;
  void* user = nullptr;
};

// Records longer than this end the walk as damaged, in every container.
inline constexpr uint32_t MAX_RECORD_LENGTH = 64u << 20;

// Why a container walk ended.
enum class walk_end {
  finished,    // the data ended after a whole record
  stopped,     // a stop was requested
  cut_header,  // the data ended inside a record or block header
  cut_record,  // the final record was cut short; it was handed on with the bytes present
  damaged,     // a record or block failed its checks; the rest is not read
  read_error,  // the source failed
};

// What a damaged record or block got wrong; each cause names the numbers that show it.
enum class damage_cause : uint8_t {
  none,
  file_header,              // the file header no longer reads as one the walk knows
  captured_above_snaplen,   // value: the captured length; limit: the snaplen
  record_above_limit,       // value: the record's length; limit: MAX_RECORD_LENGTH
  block_below_minimum,      // value: the block's total length; limit: 12
  block_not_multiple_of_4,  // value: the block's total length
  block_above_limit,        // value: the block's total length; limit: MAX_RECORD_LENGTH
  block_past_end,           // value: the block's total length; limit: the bytes left
  trailer_differs,          // value: the trailing copy; limit: the total length
  byte_order_unknown,       // value: the byte-order field of a section header
  section_version,          // value: the major version of a later section
  section_header_short,     // value: the block's total length; limit: the least it may be
  interface_short,          // the same for an Interface Description Block
  simple_packet_short,      // the same for a Simple Packet Block
  packet_block_short,       // the same for an Enhanced or obsolete Packet Block
  captured_past_block,      // value: the captured length; limit: the bytes its block holds
};

// Why a walk ended as damaged: plain data, so that finding it costs nothing.
struct walk_damage {
  damage_cause cause = damage_cause::none;
  uint64_t value = 0;
  uint64_t limit = 0;
};

// The link types a walk has already said it does not decode; a few are plenty for one file.
inline constexpr int LINK_TYPES_NOTED_MAX = 8;

struct capture_walk {
  capture_walk(read_buffer& buffer, byte_source& source, packet_handler handler, packet_ctx* ctx,
               const walk_observer* observer)
      : buffer(buffer),
        source(source),
        handler(handler),
        ctx(ctx),
        events(observer),
        observer(observer != nullptr && observer->on_progress != nullptr ? observer : nullptr) {}

  read_buffer& buffer;
  byte_source& source;
  packet_handler handler;
  packet_ctx* ctx;
  const walk_observer* events;    // told of link types not decoded, or null
  const walk_observer* observer;  // told of progress, or null
  walk_progress progress;
  uint64_t frame_number = 0;
  // For walk_end::cut_record: the bytes present and the captured length the header claimed.
  uint32_t cut_present = 0;
  uint32_t cut_claimed = 0;
  // For walk_end::damaged: what was wrong.
  walk_damage damage;
  // The last link type found decodable, so the check costs one comparison per record.
  uint32_t decoded_link_type = UINT32_MAX;
  uint32_t noted_link_types[LINK_TYPES_NOTED_MAX] = {};
  int noted_count = 0;
};

// Remembers a link type nelo decodes, so that its check costs one comparison per record; the
// first time a walk meets one it does not decode, tells the observer.
void note_link_type(capture_walk& walk, uint32_t link_type);

// Numbers `record` as the walk's next frame and hands it to the handler. Inline: it runs once
// per record.
inline void hand_on(capture_walk& walk, capture_record& record) {
  record.frame_number = ++walk.frame_number;
  if (record.link_type != walk.decoded_link_type) note_link_type(walk, record.link_type);
  if (walk.handler != nullptr) walk.progress.reported += walk.handler(record, walk.ctx);
}

// Counts a packet record that cannot be handed on (its interface was never described).
inline void skip_frame(capture_walk& walk) {
  ++walk.frame_number;
}

// Tells the observer how far the walk has got, when the buffer has been refilled since the
// last call.
inline void note_progress(capture_walk& walk) {
  if (walk.observer != nullptr && walk.buffer.take_refill()) {
    walk.progress.bytes_read = walk.source.file_bytes_read();
    walk.observer->on_progress(walk.observer->user, walk.progress);
  }
}

// Ends the walk as damaged, for `cause` shown by `value` and `limit`.
inline walk_end end_damaged(capture_walk& walk, damage_cause cause, uint64_t value = 0,
                            uint64_t limit = 0) {
  walk.damage = {cause, value, limit};
  return walk_end::damaged;
}

// Sets a record's stamp from its whole seconds since 1970 and the ticks after them, which a
// classic header may carry past a second or make negative. Every container applies this one rule:
// whole seconds of 0 are no time at all (tick 0), and a stamp before 1970 keeps only its whole
// seconds, for the time window; neither is shown. A stamp beyond the tick range has tick 0 and is
// not shown either. `sub_tick_ns` is kept for a stamp that is shown.
inline void set_record_stamp(capture_record& record, int64_t seconds, int64_t fraction_ticks,
                             uint8_t sub_tick_ns) {
  record.sub_tick_ns = 0;
  record.time = record_time::hidden;
  record.ticks = 0;
  if (seconds < ko::UNIX_SECONDS_MIN || seconds > ko::UNIX_SECONDS_MAX) return;
  const int64_t whole = ko::unix_seconds_to_ticks(seconds);
  if (seconds <= 0) {
    if (seconds < 0 && whole > 0) record.ticks = static_cast<uint64_t>(whole);
    return;
  }
  if (fraction_ticks > INT64_MAX - whole || whole + fraction_ticks <= 0) return;
  record.ticks = static_cast<uint64_t>(whole + fraction_ticks);
  record.time = record_time::shown;
  record.sub_tick_ns = sub_tick_ns;
}

// How a walk ends at a record or block header: the end of the data, a cut header or a failure.
inline walk_end end_at_header(const read_buffer& buffer) {
  if (buffer.failed()) return walk_end::read_error;
  return buffer.available() == 0 ? walk_end::finished : walk_end::cut_header;
}

}  // namespace nelo

#endif  // NELO_CAPTURE_CAPTURE_WALK_H_
