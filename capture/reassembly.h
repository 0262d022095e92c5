// Whole IP datagrams from their fragments, at any IP layer the decoder meets. The decoder hands
// on each fragment with where it stood in the frame; the reassembly copies what it needs (the
// first fragment's bytes up to its fragmentable part, the fragments' data) and hands back a whole
// datagram as one frame of its own: the first fragment's headers followed by the reassembled
// data, which the decoder then walks on from the fragmented header as if it had been one frame.
//
// Memory is bounded whatever the capture holds: REASSEMBLY_BYTES_MAX of memory held for waiting
// datagrams (their data where it will lie, a bit a byte for what arrived, their bookkeeping) and
// REASSEMBLY_PENDING_MAX datagrams waiting; a datagram waits at most REASSEMBLY_TIMEOUT_TICKS of
// capture time. A datagram given up early is handed back as far as its data runs without a gap,
// so the caller can report what arrived; datagrams are given up one at a time, so handing them
// back never holds more than one copy. Each fragment costs time in proportion to its bytes,
// whatever order the fragments arrive in. Unfragmented traffic never reaches this unit.
#ifndef NELO_CAPTURE_REASSEMBLY_H_
#define NELO_CAPTURE_REASSEMBLY_H_

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <span>
#include <utility>
#include <vector>

#include "capture/encapsulation.h"
#include "capture/link_layer.h"
#include "packet/capture_record.h"
#include "packet/decoded_packet.h"

namespace nelo {

inline constexpr uint64_t REASSEMBLY_BYTES_MAX = 64u << 20;
inline constexpr size_t REASSEMBLY_PENDING_MAX = 8192;
inline constexpr uint64_t REASSEMBLY_TIMEOUT_TICKS = 60 * 10'000'000ull;  // 60 s of 100 ns
// What a waiting datagram costs before any of its data: its record, its key, where it stood.
inline constexpr uint64_t REASSEMBLY_DATAGRAM_CHARGE = 2048;
// The largest IPv4 datagram, and the largest IPv6 payload without a jumbogram option.
inline constexpr uint32_t IP_DATAGRAM_MAX = 65535;

// Where the decoder stood in a frame: the link header, the encapsulations opened so far and the
// IP header it was in. Kept with a first fragment, so that the whole datagram is walked on from
// the same place.
struct decode_point {
  link_header link;
  encapsulation_path path;
  bool ipv6 = false;
  // Set, with ipv6, as each IP header and then the ICMP header are found; read only once found.
  uint32_t ip_offset;
  uint32_t icmp_offset;
};

// IP version, the IPv4 protocol (0 for IPv6), the identification and both addresses: the
// fragments of one datagram share them.
using fragment_key = std::array<uint8_t, 2 + 4 + 2 * IPV6_ADDRESS_SIZE>;

// The network a datagram travelled in: its VLAN ids and, for each encapsulation in front of its
// IP header, the type, key and id, with the outer addresses (or, for MPLS, the labels). Two
// datagrams with the same addresses and identification in two networks never meet.
inline constexpr size_t NETWORK_LAYER_KEY_SIZE =
    ENCAPSULATION_NAME_MAX + 1 + 4 + 4 + 2 * IPV6_ADDRESS_SIZE;
using network_key =
    std::array<uint8_t, 1 + 2 * MAX_VLAN_TAGS + 1 + ENCAPSULATIONS_MAX * NETWORK_LAYER_KEY_SIZE>;

// One fragment as the decoder found it. Plain fields, set all at once by the decoder when it
// meets a fragment: every record has one ready, and almost none is a fragment.
struct ip_fragment {
  fragment_key key;
  uint32_t header_end;  // where its fragmentable part starts in the frame
  uint32_t length;      // bytes of that part the IP header claims and the frame holds
  uint32_t claimed;     // bytes of that part the IP header claims, captured or not
  uint32_t offset;      // its place in the datagram's fragmentable part
  uint32_t data_max;    // the longest fragmentable part a datagram may have
  uint8_t protocol;     // the header its fragmentable part starts with
  bool more;            // more fragments follow
  // The first fragment shows a protocol nelo does not read: its datagram is dropped, and the
  // rest of it is not kept either.
  bool unread;
};

// A datagram handed back: a frame of its own, with the record the report shows it at.
struct reassembled_datagram {
  capture_record record;       // `bytes` points into `frame`; the length is the datagram's
  std::vector<uint8_t> frame;  // the first fragment's bytes up to its fragmentable part, then data
  decode_point point;          // where the decoder stood at the fragmented IP header
  next_header next;            // the fragmentable part: its first header and where it starts
  std::vector<uint64_t> fragments;  // frame numbers, in the order the fragments arrived
  // The frames kept whole (see `add`), in arrival order, their bytes in `kept_bytes`.
  std::vector<capture_record> kept_frames;
  std::vector<uint8_t> kept_bytes;
  // Bytes of `frame` the datagram would not carry had it travelled whole: the Fragment header of
  // each IPv6 layer made whole. The record's length leaves them out.
  uint32_t uncounted = 0;
  bool overlap = false;
  bool oversized = false;
  bool incomplete = false;
};

class fragment_reassembly {
 public:
  // Notes the datagrams that waited too long by the capture time of `record`, to be given up by
  // give_up_next_expired, oldest first; true when there are any. Inline: every record asks while
  // any is pending.
  bool note_time(const capture_record& record) {
    if (!m_by_time.empty() && record.time != record_time::absent &&
        record.ticks > m_by_time.begin()->first &&
        record.ticks - m_by_time.begin()->first > REASSEMBLY_TIMEOUT_TICKS) {
      note_expired(record.ticks);
    }
    return !m_expired.empty();
  }

  // Adds the fragment `fragment` of `record`, met with the decoder at `point`; `uncounted` bytes
  // in front of it (a datagram's own reassembled frame) are left out of a whole datagram's length.
  // The frames in `keep` (the fragment's own frame, or those a reassembled one came in) are
  // copied whole and handed back with the datagram, their bytes counted against the budget; a
  // run that writes no frames passes none. Returns the whole datagram once its fragments cover
  // it, else null. The datagrams given up to make room go into `given_up` first, oldest first.
  std::unique_ptr<reassembled_datagram> add(
      const capture_record& record, const decode_point& point, const ip_fragment& fragment,
      std::vector<std::unique_ptr<reassembled_datagram>>& given_up, uint32_t uncounted = 0,
      std::span<const capture_record> keep = {});

  // Gives up the datagram that waited longest, into `given_up`; false when none waits. The end
  // of a capture calls it until none is left, reporting each in turn.
  bool give_up_oldest(std::vector<std::unique_ptr<reassembled_datagram>>& given_up);

  // After note_time: gives up the next of the datagrams that ran out, into `given_up`; false
  // when none is left.
  bool give_up_next_expired(std::vector<std::unique_ptr<reassembled_datagram>>& given_up);

  // Datagrams given up so far, with or without their first fragment; those dropped for their
  // protocol do not count.
  uint64_t incomplete() const { return m_incomplete; }
  bool pending() const { return !m_by_order.empty(); }

 private:
  struct datagram_key {
    fragment_key ip;
    network_key network;
    auto operator<=>(const datagram_key&) const = default;
  };
  using key_map = std::map<datagram_key, uint64_t>;
  struct datagram {
    key_map::iterator key;
    uint64_t first_ticks = 0;  // of the fragment that arrived first
    bool timed = false;        // that fragment had a time
    bool unread = false;
    bool have_first = false;
    bool have_last = false;
    bool overlap = false;
    bool oversized = false;
    uint32_t end = 0;      // the fragmentable part's length the last fragment gives
    uint32_t claimed = 0;  // how far the fragments' IP headers say the data reaches
    uint32_t gapless = 0;  // how far the data held runs from the start without a gap
    uint64_t held = 0;
    std::vector<uint8_t> bytes;     // the data, each byte at its offset
    std::vector<uint64_t> arrived;  // a bit a byte of `bytes`: set for the bytes held
    std::vector<uint64_t> frames;
    std::vector<capture_record> kept_frames;  // their `bytes` are not set until handed back
    std::vector<uint8_t> kept_bytes;
    // Of the first fragment.
    capture_record first;
    std::vector<uint8_t> headers;
    decode_point point;
    next_header next;
    uint32_t uncounted = 0;
  };

  void note_expired(uint64_t now);
  void give_up(uint64_t order, std::vector<std::unique_ptr<reassembled_datagram>>& given_up);
  void release(std::map<uint64_t, datagram>::iterator found);
  // Makes room in `d` for data up to `need`; returns the bytes of memory that took.
  static uint64_t make_room(datagram& d, uint32_t need, uint32_t data_max);
  // Keeps the bytes of [offset, offset + length) not yet held; true when a byte already held
  // differs from the one brought again.
  static bool take_data(datagram& d, const uint8_t* data, uint32_t offset, uint32_t length);
  static std::unique_ptr<reassembled_datagram> hand_back(datagram& d, uint32_t length);

  std::map<uint64_t, datagram> m_by_order;  // by arrival of each datagram's first fragment seen
  key_map m_by_key;
  std::deque<uint64_t> m_expired;  // the orders of the datagrams that ran out, oldest first
  std::set<std::pair<uint64_t, uint64_t>> m_by_time;  // (first ticks, order) of the timed ones
  uint64_t m_next_order = 0;
  uint64_t m_held = 0;
  uint64_t m_incomplete = 0;
};

}  // namespace nelo

#endif  // NELO_CAPTURE_REASSEMBLY_H_
