// Which conversation an ICMP message belongs to, and which request a reply answers. Echo,
// timestamp and address-mask messages are exchanges: the requests of one host and the replies of
// the other, with one identifier, form one conversation whichever way a message goes. Every other
// message is a conversation of one direction by its source, destination, type and code.
//
// A reply answers the earliest request of its conversation with the same sequence number that no
// reply has answered yet and that is still among the conversation's last REQUEST_WINDOW
// unanswered requests, in the same capture. The window bounds what a conversation remembers,
// whatever the capture holds: a flood of requests nobody answers keeps 64 of them, not millions.
#ifndef NELO_REPORT_REPLY_PAIRING_H_
#define NELO_REPORT_REPLY_PAIRING_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

#include "packet/decoded_packet.h"

namespace nelo {

inline constexpr size_t REQUEST_WINDOW = 64;
// The most conversations one table follows; what comes after is counted, not kept.
inline constexpr size_t CONVERSATIONS_MAX = 1'000'000;

enum class exchange_kind : uint8_t { none, echo, timestamp, address_mask };
enum class message_role : uint8_t { single, request, reply };

// For an exchange, `requester` sends the requests; for a single message, it is the source. IPv4
// addresses fill the first four bytes.
struct conversation_key {
  std::array<uint8_t, 16> requester{};
  std::array<uint8_t, 16> responder{};
  uint16_t id = 0;   // of an exchange
  uint8_t type = 0;  // of a single message
  uint8_t code = 0;  // of a single message
  exchange_kind kind = exchange_kind::none;
  bool ipv6 = false;
  bool operator==(const conversation_key&) const = default;
};

struct conversation_key_hash {
  size_t operator()(const conversation_key& key) const;
};

// Where a message stands in its conversation.
struct message_place {
  conversation_key key;
  message_role role = message_role::single;
  uint16_t seq = 0;
  bool has_seq = false;  // the sequence number was captured
};

// The conversation of `packet`, a decoded message. A reply seen alone makes its receiver the
// requester, which is what the key of its request says too.
message_place place_message(const decoded_packet& packet);

// A request still waiting for its reply, with what its caller wants back when one comes.
struct pending_request {
  uint64_t frame = 0;
  uint64_t ticks = 0;
  uint64_t tag = 0;  // the caller's, e.g. a fingerprint of the payload
  uint16_t seq = 0;
  uint8_t sub_tick_ns = 0;
  bool timed = false;
};

// The last REQUEST_WINDOW unanswered requests of one conversation in one capture, oldest first;
// its owner empties it when the capture ends. Grows with what it holds: most conversations never
// hold more than one.
class request_window {
 public:
  // Adds a request. When the window is full the oldest one falls out, unanswered: then true.
  bool add(const pending_request& request);
  // Takes out the earliest request with sequence number `seq`, or nothing.
  std::optional<pending_request> answer(uint16_t seq);
  bool empty() const { return m_pending.empty(); }
  size_t size() const { return m_pending.size(); }
  void clear() { m_pending = {}; }

 private:
  std::vector<pending_request> m_pending;
};

// What a reply answered: the request's frame, and the time between them when both have one.
struct reply_match {
  uint64_t request_frame = 0;
  std::optional<int64_t> rtt_ns;
};

// The time from `request` to the reply `record`, when both have a time.
std::optional<int64_t> round_trip_ns(const pending_request& request, const capture_record& record);

// Pairs the replies of one capture with their requests, message by message in the order they
// are reported.
class reply_pairing {
 public:
  // Follows at most `limit` conversations at once.
  explicit reply_pairing(size_t limit = CONVERSATIONS_MAX) : m_limit(limit) {}
  // Takes in the next kept message; returns the request it answers, when it is a reply that
  // answers one.
  std::optional<reply_match> see(const decoded_packet& packet);
  // The capture has ended: nothing of it can be answered any more.
  void end_capture();
  // Requests of this capture's conversations beyond the limit, which no reply can be paired
  // with; counted afresh for each capture.
  uint64_t untracked() const { return m_untracked; }

 private:
  // Lets go of the conversations with nothing waiting, to make room.
  void drop_answered();

  std::unordered_map<conversation_key, request_window, conversation_key_hash> m_windows;
  size_t m_limit;
  uint64_t m_untracked = 0;
};

}  // namespace nelo

#endif  // NELO_REPORT_REPLY_PAIRING_H_
