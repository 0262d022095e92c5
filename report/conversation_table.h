// The conversations of a run as -summary shows them: what the messages of each one came to. A
// walk fills a table for the capture it is in; when the capture ends its table is merged into the
// run's, capture after capture in the order of the list, so a run walked on several threads adds
// up exactly as a run walked on one. A conversation is what place_message says it is, and a reply
// is paired with its request as reply_pairing.h says, inside its capture.
//
// What a conversation keeps is bounded and grows only when its messages need it: a conversation
// of one message, as a ping sweep makes by the ten thousand, keeps one fixed record (its counts,
// one fingerprint, what each direction's payloads showed and where its sample of at most
// PAYLOAD_SAMPLE_MAX payload bytes is, which conversations with equal samples share); byte
// histograms, fingerprints beyond the first and a second waiting request only once there are any.
#ifndef NELO_REPORT_CONVERSATION_TABLE_H_
#define NELO_REPORT_CONVERSATION_TABLE_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "packet/decoded_packet.h"
#include "report/ko_stats.h"
#include "report/reply_pairing.h"
#include "support/ko_time.h"

namespace nelo {

// While every payload of a conversation equals its first, a first payload of at most this many
// bytes past the time stamp stands for all of them; a longer one gets a histogram at once.
inline constexpr size_t PAYLOAD_SAMPLE_MAX = 64;
// Distinct payloads are counted exactly up to this many; beyond, only that there are more.
inline constexpr uint32_t DISTINCT_PAYLOADS_MAX = 256;
// A payload value this close to the capture time, in seconds, is the sender's time stamp.
inline constexpr uint64_t PAYLOAD_STAMP_SLACK_SECONDS = 86'400;
// The time stamp a payload begins with: a 64-bit count of seconds and as much again for the
// fraction (a 64-bit struct timeval), or the same in 32 bits.
inline constexpr size_t PAYLOAD_STAMP_64_SIZE = 16;
inline constexpr size_t PAYLOAD_STAMP_32_SIZE = 8;
// "entropy high": data bodies of at least this entropy over at least this many bytes.
inline constexpr double HIGH_ENTROPY_BITS = 6.5;
inline constexpr uint64_t HIGH_ENTROPY_BYTES_MIN = 1024;
// "no replies": at least this many echo requests and not one echo reply.
inline constexpr uint64_t NO_REPLIES_REQUESTS_MIN = 3;
// "replies answer nothing": at least this many echo replies answer no captured request, and more
// than one in this many of the replies.
inline constexpr uint64_t STRAY_REPLIES_MIN = 3;
inline constexpr uint64_t STRAY_REPLIES_SHARE = 4;

// A sender field rises by less than this from one message to the next in its first word (a
// second count, or a millisecond counter: 18 hours or a minute) and less than the other when
// only a later word (the fraction of a second) changes.
inline constexpr uint64_t CLOCK_STEP_MAX = uint64_t{1} << 16;
inline constexpr uint64_t CLOCK_FRACTION_STEP_MAX = uint64_t{1} << 20;

// The signs a row's notes name, in the order they are written.
enum conversation_note : uint8_t {
  NOTE_CARRIES_DATA = 1 << 0,
  NOTE_PAYLOADS_VARY = 1 << 1,
  NOTE_ENTROPY_HIGH = 1 << 2,
  NOTE_REPLY_DIFFERS = 1 << 3,
  NOTE_STRAY_REPLIES = 1 << 4,
  NOTE_NO_REPLIES = 1 << 5,
};

// How many leading bytes of `payload` are the sender's time stamp, for the payloads and entropy
// columns: PAYLOAD_STAMP_64_SIZE when its first 8 bytes, read as a 64-bit number in either byte
// order, are within PAYLOAD_STAMP_SLACK_SECONDS of the record's time in Unix seconds, else
// PAYLOAD_STAMP_32_SIZE when its first 4 bytes are; never more than the payload holds. 0 for a
// record whose time is not shown, and for every other payload.
size_t payload_stamp_size(byte_span payload, const capture_record& record);

// A 64-bit fingerprint of payload bytes: equal bytes give equal fingerprints, and different ones
// almost never do. It only tells payloads apart; nothing depends on it being hard to forge. It is
// the standard library's string hash, so saved tables carry a probe of it (see summary_file.h).
uint64_t payload_fingerprint(byte_span bytes);

// One conversation as the summary shows it, made from the table when the rows are written.
struct summary_row {
  const conversation_key* key = nullptr;
  const char* message = nullptr;  // the name of the conversation's first message
  std::string_view tunnels;       // the tunnels of its first message, as the report line says
  std::optional<ko::fine_time> first, last;
  uint64_t requests = 0;
  uint64_t replies = 0;
  uint64_t unanswered = 0;
  uint64_t bytes = 0;  // payload bytes, both directions
  uint32_t size_min = 0;
  uint32_t size_max = 0;
  uint32_t payloads = 0;  // distinct payloads past the time stamp, at most DISTINCT_PAYLOADS_MAX
  bool payloads_capped = false;  // there were more than DISTINCT_PAYLOADS_MAX
  double entropy = 0;            // bits per byte of the payload bytes past the time stamp
  uint32_t files = 0;
  const std::string* first_file = nullptr;
  uint64_t first_frame = 0;
  uint8_t notes = 0;  // conversation_note bits
};

// The byte counts of payloads that are not all alike.
using wide_histogram = std::array<uint64_t, 256>;

// What the echo payloads of one direction (the requests, or the replies) showed. The first
// SENDER_FIELD_MAX bytes are a sender field when, read as a clock or counter in one of two
// layouts (four big-endian 32-bit words; four little-endian 32-bit words, which also read a
// little-endian 64-bit time of seconds and fraction until 2106), each message's follows the one
// before in its capture as a clock
// does (see CLOCK_STEP_MAX), and they do not all agree; only payloads of SENDER_FIELD_MAX bytes
// or more are read as clocks. The
// body is what follows the sender field, or the whole payload without one; every body is looked
// at both ways until the end decides.
struct direction_signs {
  std::array<uint8_t, SENDER_FIELD_MAX> head{};  // of the last message, zero-filled
  uint32_t whole_shape = 0;                      // of the first whole payload that has one
  uint32_t tail_shape = 0;  // of the first payload past SENDER_FIELD_MAX bytes that has one
  bool seen : 1 = false;
  bool heads_differ : 1 = false;
  bool last_whole : 1 = false;  // the last payload holds a whole head
  bool rose : 1 = false;        // two whole heads in a row differed
  bool rising_big_endian : 1 = false;
  bool rising_le32 : 1 = false;
  bool whole_data : 1 = false;  // some whole payload is no pattern
  bool tail_data : 1 = false;
  bool whole_shaped : 1 = false;
  bool tail_shaped : 1 = false;
  bool whole_vary : 1 = false;  // two whole payloads of different shapes
  bool tail_vary : 1 = false;
};

// What a conversation keeps beyond the common case of one payload over and over, made when it
// first needs any of it.
struct conversation_extra {
  std::vector<uint64_t> more_fingerprints;         // distinct payloads after the first
  std::unique_ptr<wide_histogram> histogram;       // payload bytes past the time stamp
  std::unique_ptr<wide_histogram> data_histogram;  // data bodies past SENDER_FIELD_MAX bytes
  request_window window;                           // every request waiting, once more than one is
  std::string tunnels;
};

// What the table keeps of one conversation: a plain record of fixed size, plus `extra` when its
// messages need more.
struct conversation_state {
  conversation_key key;
  uint8_t first_type = 0;  // of the conversation's first message, whose name the row shows
  uint8_t first_code = 0;
  uint8_t first_sub_tick_ns = 0;
  uint8_t last_sub_tick_ns = 0;
  uint8_t sample_len = 0;  // payload bytes past the time stamp: every message's are the sample
  bool timed : 1 = false;
  bool distinct_capped : 1 = false;
  bool reply_differs : 1 = false;
  bool pending_set : 1 = false;          // `pending_seq` waits for its reply
  bool requests_in_capture : 1 = false;  // echo requests in the capture being walked
  uint16_t distinct = 0;
  uint16_t pending_seq = 0;
  uint32_t pending_tag = 0;  // the waiting request's whole payload fingerprint
  uint32_t sample_at = 0;    // in the table's sample bytes
  uint32_t first_capture = 0;
  uint32_t files = 1;
  uint32_t size_min = UINT32_MAX;
  uint32_t size_max = 0;
  uint64_t first_frame = 0;
  uint64_t requests = 0;
  uint64_t replies = 0;
  uint64_t unanswered = 0;
  uint64_t stray_replies = 0;  // echo replies that answered none of their capture's requests
  uint64_t bytes = 0;
  uint64_t first_ticks = 0;
  uint64_t last_ticks = 0;
  uint64_t first_fingerprint = 0;  // of the first payload past the time stamp
  direction_signs request_signs;
  direction_signs reply_signs;
  std::unique_ptr<conversation_extra> extra;
};

// The rows of a table in the order first seen, in blocks that never move: growing, the table
// never holds two copies of its rows, as a vector does while it moves them, and a row is found
// with one step more than in a vector.
class row_store {
 public:
  size_t size() const { return m_size; }
  bool empty() const { return m_size == 0; }
  conversation_state& operator[](size_t i) { return m_blocks[i / BLOCK_ROWS][i % BLOCK_ROWS]; }
  const conversation_state& operator[](size_t i) const {
    return m_blocks[i / BLOCK_ROWS][i % BLOCK_ROWS];
  }
  // A new row at the end, as a default conversation_state.
  conversation_state& add() {
    if (m_size % BLOCK_ROWS == 0) {
      m_blocks.push_back(std::make_unique<conversation_state[]>(BLOCK_ROWS));
    }
    return (*this)[m_size++];
  }

 private:
  static constexpr size_t BLOCK_ROWS = 4096;
  std::vector<std::unique_ptr<conversation_state[]>> m_blocks;
  size_t m_size = 0;
};

class conversation_table {
 public:
  conversation_table() = default;
  conversation_table(conversation_table&&) = default;
  conversation_table& operator=(conversation_table&&) = default;

  // The capture whose messages follow; a table of one capture names it once.
  void begin_capture(const std::string& name);
  // Takes in one kept message of the capture begun last. A message of a conversation beyond
  // CONVERSATIONS_MAX is only counted (untracked()).
  void add(const decoded_packet& packet);
  // The capture has ended: its requests still waiting are unanswered.
  void end_capture();
  // Adds the conversations of `later`, whose captures all come after this table's, and empties
  // it; conversations new to this table beyond CONVERSATIONS_MAX are counted in untracked().
  void merge(conversation_table&& later);

  size_t size() const { return m_rows.size(); }
  // Captures begun, in this table and those merged into it.
  uint64_t captures_walked() const { return m_walked; }
  // The conversation first seen `index`-th, as it stands.
  summary_row row(size_t index) const;
  // Messages of conversations the table had no room for.
  uint64_t untracked() const { return m_untracked; }

 private:
  // Saves and reads back the whole table (report/summary_file.h).
  friend struct summary_file_codec;

  conversation_state* find_or_open(const conversation_key& key);
  // A slot of the index holds a row's number + 1 in its low bits and a tag of its key's hash in
  // the high ones; 0 when free.
  static constexpr uint64_t SLOT_ROW_MASK = 0xffffffff;
  static constexpr unsigned SLOT_TAG_SHIFT = 32;
  static constexpr uint64_t SLOT_TAG_MASK = 0xffffffff;
  struct slot_ref {
    uint64_t* at;
    uint64_t tag;
    size_t row() const { return (*at & SLOT_ROW_MASK) - 1; }
    void fill(size_t row) const { *at = tag | (row + 1); }
  };
  // The slot that holds `key`, or the empty one where it belongs.
  slot_ref slot_of(const conversation_key& key);
  void grow_index();
  void add_payload_bytes(conversation_state& c, byte_span past);
  // Keeps `past` as the sample of `c`, sharing the bytes of the sample kept last when equal.
  void keep_sample(conversation_state& c, std::span<const uint8_t> past);
  // Takes a reply with sequence number `seq` and whole payload fingerprint `tag` out of the
  // requests of `c` waiting; false when it answers none of them.
  bool answer(conversation_state& c, uint16_t seq, bool echo, uint32_t tag);
  void take_payload_bytes(conversation_state& c, const conversation_state& later,
                          const conversation_table& from);
  std::span<const uint8_t> sample_of(const conversation_state& c) const;

  row_store m_rows;
  std::vector<uint64_t> m_slots;   // open addressing over m_rows, as slot_ref reads them
  unsigned m_slot_bits = 0;        // m_slots has 2^m_slot_bits entries
  std::vector<uint8_t> m_samples;  // the conversations' samples, end to end
  uint32_t m_last_sample_at = 0;   // the sample kept last, which the next equal one shares
  uint8_t m_last_sample_len = 0;
  std::vector<std::string> m_captures;  // the names rows point to
  uint64_t m_untracked = 0;
  uint64_t m_walked = 0;
  // The sample whose entropy row() worked out last: the hosts of a sweep all get the same
  // payload, and its entropy would otherwise cost more than the rest of their rows. row() is
  // called by the one thread that writes the table.
  struct entropy_memo {
    uint32_t at = 0;
    uint8_t len = 0;
    double bits = 0;
    bool set = false;
  };
  mutable entropy_memo m_entropy_memo;
};

}  // namespace nelo

#endif  // NELO_REPORT_CONVERSATION_TABLE_H_
