// The conversations of a run as -summary shows them: what the messages of each one came to. A
// walk fills a table for the capture it is in; when the capture ends its table is merged into the
// run's, capture after capture in the order of the list, so a run walked on several threads adds
// up exactly as a run walked on one. A conversation is what place_message says it is, and a reply
// is paired with its request as reply_pairing.h says, inside its capture.
//
// What a conversation keeps is bounded and grows only when its messages need it: a conversation
// of one message, as a ping sweep makes by the ten thousand, keeps its counts, one fingerprint and
// at most PAYLOAD_SAMPLE_MAX payload bytes; a byte histogram is made only once its payloads
// differ, and fingerprints beyond the first only once there are several.
#ifndef NELO_REPORT_CONVERSATION_TABLE_H_
#define NELO_REPORT_CONVERSATION_TABLE_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "packet/decoded_packet.h"
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
// "entropy high": varying payloads of at least this entropy over at least this many bytes.
inline constexpr double HIGH_ENTROPY_BITS = 6.5;
inline constexpr uint64_t HIGH_ENTROPY_BYTES_MIN = 1024;
// "no replies": at least this many echo requests and not one echo reply.
inline constexpr uint64_t NO_REPLIES_REQUESTS_MIN = 3;

// The signs a row's notes name, in the order they are written.
enum conversation_note : uint8_t {
  NOTE_REPLY_DIFFERS = 1 << 0,
  NOTE_PAYLOADS_VARY = 1 << 1,
  NOTE_ENTROPY_HIGH = 1 << 2,
  NOTE_NO_REPLIES = 1 << 3,
};

// How many leading bytes of `payload` are the sender's time stamp: PAYLOAD_STAMP_64_SIZE when
// its first 8 bytes, read as a 64-bit number in either byte order, are within
// PAYLOAD_STAMP_SLACK_SECONDS of the record's time in Unix seconds, else PAYLOAD_STAMP_32_SIZE
// when its first 4 bytes are; never more than the payload holds. 0 for a record whose time is
// not shown, and for every other payload.
size_t payload_stamp_size(byte_span payload, const capture_record& record);

// One conversation as the summary shows it, made from the table when the rows are written.
struct summary_row {
  const conversation_key* key = nullptr;
  const char* message = nullptr;  // the name of the conversation's first message
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

// What the table keeps of one conversation.
struct conversation_state {
  conversation_key key;
  const char* message = nullptr;
  uint64_t first_frame = 0;
  uint64_t requests = 0;
  uint64_t replies = 0;
  uint64_t unanswered = 0;
  uint64_t bytes = 0;
  ko::fine_time first{};
  ko::fine_time last{};
  // The first payload fingerprint past the time stamp, of any message and of the echo requests
  // and replies apart; further distinct ones follow in `more_fingerprints`.
  uint64_t first_fingerprint = 0;
  uint64_t request_fingerprint = 0;
  uint64_t reply_fingerprint = 0;
  // Payload bytes past the time stamp: `sample_copies` times the sample, or the histogram.
  uint64_t sample_copies = 0;
  uint32_t sample_at = 0;  // in the table's sample bytes
  uint32_t first_capture = 0;
  uint32_t files = 1;
  uint32_t size_min = UINT32_MAX;
  uint32_t size_max = 0;
  uint16_t distinct = 0;
  uint8_t sample_len = 0;
  bool timed = false;
  bool requests_seen = false;  // echo requests; request_fingerprint is set
  bool replies_seen = false;   // echo replies; reply_fingerprint is set
  bool requests_vary = false;
  bool replies_vary = false;
  bool reply_differs = false;
  bool distinct_capped = false;
  std::vector<uint64_t> more_fingerprints;
  std::unique_ptr<wide_histogram> histogram;
  request_window window;  // of the capture being walked
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
  conversation_state* find_or_open(const conversation_key& key);
  // The slot that holds `key`, or the empty one where it belongs.
  uint32_t& slot_of(const conversation_key& key);
  void grow_index();
  void add_payload_bytes(conversation_state& c, byte_span past);
  void take_payload_bytes(conversation_state& c, const conversation_state& later,
                          const conversation_table& from);
  std::span<const uint8_t> sample_of(const conversation_state& c) const;

  std::vector<conversation_state> m_rows;  // in the order first seen
  std::vector<uint32_t> m_slots;           // open addressing over m_rows: index + 1, 0 when free
  unsigned m_slot_bits = 0;                // m_slots has 2^m_slot_bits entries
  std::vector<uint8_t> m_samples;          // the conversations' samples, end to end
  std::vector<std::string> m_captures;     // the names rows point to
  uint64_t m_untracked = 0;
  uint64_t m_walked = 0;
  // The sample whose entropy row() worked out last: the hosts of a sweep all get the same
  // payload, and its entropy would otherwise cost more than the rest of their rows. row() is
  // called by the one thread that writes the table.
  struct entropy_memo {
    std::vector<uint8_t> sample;
    double bits = 0;
    bool set = false;
  };
  mutable entropy_memo m_entropy_memo;
};

}  // namespace nelo

#endif  // NELO_REPORT_CONVERSATION_TABLE_H_
