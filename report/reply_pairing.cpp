#include "report/reply_pairing.h"

#include <algorithm>
#include <cstring>

#include "report/icmp_types.h"
#include "support/wire.h"

namespace nelo {

namespace {

struct exchange_type {
  exchange_kind kind;
  message_role role;
};

exchange_type exchange_of(bool ipv6, uint8_t type) {
  if (ipv6) {
    if (type == ICMP6_ECHO_REQUEST) return {exchange_kind::echo, message_role::request};
    if (type == ICMP6_ECHO_REPLY) return {exchange_kind::echo, message_role::reply};
    return {exchange_kind::none, message_role::single};
  }
  switch (type) {
    case ICMP_ECHO:
      return {exchange_kind::echo, message_role::request};
    case ICMP_ECHOREPLY:
      return {exchange_kind::echo, message_role::reply};
    case ICMP_TSTAMP:
      return {exchange_kind::timestamp, message_role::request};
    case ICMP_TSTAMPREPLY:
      return {exchange_kind::timestamp, message_role::reply};
    case ICMP_MASKREQ:
      return {exchange_kind::address_mask, message_role::request};
    case ICMP_MASKREPLY:
      return {exchange_kind::address_mask, message_role::reply};
    default:
      return {exchange_kind::none, message_role::single};
  }
}

}  // namespace

size_t conversation_key_hash::operator()(const conversation_key& key) const {
  // Every message of a run looks its conversation up, so the key is folded a word at a time
  // rather than hashed byte by byte; the table's prime bucket count spreads what is left.
  uint64_t words[5];
  std::memcpy(words, key.requester.data(), 16);
  std::memcpy(words + 2, key.responder.data(), 16);
  words[4] = uint64_t{key.id} | uint64_t{key.type} << 16 | uint64_t{key.code} << 24 |
             uint64_t{static_cast<uint8_t>(key.kind)} << 32 | uint64_t{key.ipv6} << 40;
  constexpr uint64_t GOLDEN_RATIO = 0x9E3779B97F4A7C15ull;
  uint64_t hash = 0;
  for (const uint64_t word : words) hash = (hash ^ word) * GOLDEN_RATIO;
  return static_cast<size_t>(hash ^ hash >> 32);
}

message_place place_message(const decoded_packet& packet) {
  message_place place;
  conversation_key& key = place.key;
  const bool ipv6 = packet.ip.ipv6;
  const message_fields& message = packet.message;
  const size_t address_size = ipv6 ? IPV6_ADDRESS_SIZE : IPV4_ADDRESS_SIZE;
  key.ipv6 = ipv6;

  const exchange_type exchange = exchange_of(ipv6, message.type);
  place.role = exchange.role;
  key.kind = exchange.kind;
  // A reply goes from the responder to the requester.
  const bool reply = exchange.role == message_role::reply;
  std::memcpy(key.requester.data(), reply ? message.destination : message.source, address_size);
  std::memcpy(key.responder.data(), reply ? message.source : message.destination, address_size);
  if (exchange.kind == exchange_kind::none) {
    key.type = message.type;
    key.code = message.code;
    return place;
  }
  // Every type of an exchange has an identifier and a sequence number.
  key.id = message.id;
  place.has_seq = message.has_seq;
  place.seq = message.seq;
  return place;
}

bool request_window::add(const pending_request& request) {
  const bool full = m_pending.size() == REQUEST_WINDOW;
  if (full) m_pending.erase(m_pending.begin());
  m_pending.push_back(request);
  return full;
}

std::optional<pending_request> request_window::answer(uint16_t seq) {
  const auto found = std::find_if(m_pending.begin(), m_pending.end(),
                                  [&](const pending_request& r) { return r.seq == seq; });
  if (found == m_pending.end()) return std::nullopt;
  const pending_request request = *found;
  m_pending.erase(found);
  return request;
}

std::optional<int64_t> round_trip_ns(const pending_request& request, const capture_record& record) {
  if (!request.timed || record.time == record_time::absent) return std::nullopt;
  constexpr int64_t NS_PER_TICK = 100;
  // Ticks count from 1601, so their difference fits a signed 64-bit count of nanoseconds for
  // any two times within 29,000 years of each other; a damaged stamp further off has no rtt.
  const int64_t ticks = static_cast<int64_t>(record.ticks - request.ticks);
  constexpr int64_t TICKS_MAX = INT64_MAX / NS_PER_TICK - 1;
  if (ticks > TICKS_MAX || ticks < -TICKS_MAX) return std::nullopt;
  return ticks * NS_PER_TICK + (int64_t{record.sub_tick_ns} - int64_t{request.sub_tick_ns});
}

std::optional<reply_match> reply_pairing::see(const decoded_packet& packet) {
  const message_place place = place_message(packet);
  if (place.role == message_role::single || !place.has_seq) return std::nullopt;
  auto found = m_windows.find(place.key);
  if (found == m_windows.end()) {
    // A reply nobody asked for opens no conversation a later reply could use.
    if (place.role == message_role::reply) return std::nullopt;
    if (m_windows.size() >= m_limit) drop_answered();
    if (m_windows.size() >= m_limit) {
      ++m_untracked;
      return std::nullopt;
    }
    found = m_windows.emplace(place.key, request_window{}).first;
  }
  const capture_record& record = *packet.record;
  if (place.role == message_role::request) {
    found->second.add({record.frame_number, record.ticks, 0, place.seq, record.sub_tick_ns,
                       record.time != record_time::absent});
    return std::nullopt;
  }
  const std::optional<pending_request> request = found->second.answer(place.seq);
  if (!request) return std::nullopt;
  return reply_match{request->frame, round_trip_ns(*request, record)};
}

void reply_pairing::end_capture() {
  m_windows = {};
  m_untracked = 0;
}

void reply_pairing::drop_answered() {
  std::erase_if(m_windows, [](const auto& entry) { return entry.second.empty(); });
}

}  // namespace nelo
