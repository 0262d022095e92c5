#include "capture/reassembly.h"

#include <algorithm>
#include <cstring>

namespace nelo {

namespace {

// A fragment costs at least the room its frame number takes, so that a flood of empty or
// duplicated fragments is bounded too.
constexpr uint64_t FRAGMENT_CHARGE_MIN = sizeof(uint64_t);
// The Fragment header an IPv6 datagram carries only while it is fragmented.
constexpr uint32_t IPV6_FRAGMENT_HEADER_SIZE = 8;

}  // namespace

std::unique_ptr<reassembled_datagram> fragment_reassembly::add(
    const capture_record& record, const decode_point& point, const ip_fragment& fragment,
    std::vector<std::unique_ptr<reassembled_datagram>>& given_up, uint32_t uncounted,
    std::span<const capture_record> keep) {
  auto known = m_by_key.find(fragment.key);
  if (known != m_by_key.end()) {
    datagram& d = m_by_order.find(known->second)->second;
    if (d.unread) return nullptr;
    if (fragment.unread) {
      // Whatever arrived of it is of no use now; the rest of it is dropped as it comes.
      m_held -= d.held;
      datagram dropped;
      dropped.key = d.key;
      dropped.first_ticks = d.first_ticks;
      dropped.timed = d.timed;
      dropped.unread = true;
      d = std::move(dropped);
      return nullptr;
    }
  }

  const bool first = fragment.offset == 0;
  uint64_t kept_size = 0;
  for (const capture_record& frame : keep) kept_size += frame.captured_len;
  const uint64_t charge = fragment.unread
                              ? 0
                              : std::max<uint64_t>(fragment.length, FRAGMENT_CHARGE_MIN) +
                                    (first ? fragment.header_end : 0) + kept_size;
  // Room is made oldest first; that may give up this fragment's own datagram, and the fragment
  // then starts it anew.
  while (!m_by_order.empty() &&
         (m_held + charge > REASSEMBLY_BYTES_MAX ||
          (known == m_by_key.end() && m_by_order.size() >= REASSEMBLY_PENDING_MAX))) {
    give_up(m_by_order.begin()->first, given_up);
    known = m_by_key.find(fragment.key);
  }

  uint64_t order = 0;
  if (known == m_by_key.end()) {
    order = m_next_order++;
    datagram fresh;
    fresh.key = fragment.key;
    fresh.timed = record.time != record_time::absent;
    fresh.first_ticks = record.ticks;
    fresh.unread = fragment.unread;
    m_by_order.emplace(order, std::move(fresh));
    m_by_key.emplace(fragment.key, order);
    if (record.time != record_time::absent) m_by_time.emplace(record.ticks, order);
    if (fragment.unread) return nullptr;
  } else {
    order = known->second;
  }
  datagram& d = m_by_order.find(order)->second;
  d.frames.push_back(record.frame_number);
  for (const capture_record& frame : keep) {
    d.kept_frames.push_back(frame);
    d.kept_frames.back().bytes = nullptr;
    d.kept_bytes.insert(d.kept_bytes.end(), frame.bytes, frame.bytes + frame.captured_len);
  }
  d.held += charge;
  m_held += charge;

  if (first && !d.have_first) {
    d.have_first = true;
    d.first = record;
    d.first.bytes = nullptr;
    d.headers.assign(record.bytes, record.bytes + fragment.header_end);
    d.point = point;
    d.next = {carrier::ip_protocol, fragment.protocol, 0, fragment.header_end};
    d.uncounted = uncounted;
  }
  uint32_t length = fragment.length;
  // What reaches past the largest datagram is cut off, as a receiver would have to.
  if (fragment.offset >= fragment.data_max) {
    d.oversized = true;
    length = 0;
  } else if (fragment.data_max - fragment.offset < length) {
    d.oversized = true;
    length = fragment.data_max - fragment.offset;
  }
  if (!fragment.more) {
    // A last fragment that starts past the largest datagram still ends it there, else the
    // datagram could never be whole.
    const uint32_t end = std::min(fragment.offset, fragment.data_max) + length;
    // A second end that disagrees with the first is two datagrams in one: the first one holds.
    if (d.have_last && d.end != end) d.overlap = true;
    if (!d.have_last) {
      d.have_last = true;
      d.end = end;
    }
  }
  if (take_data(d, record.bytes + fragment.header_end, fragment.offset, length)) d.overlap = true;

  if (!d.have_first || !d.have_last || gapless(d) < d.end) return nullptr;
  std::unique_ptr<reassembled_datagram> whole = hand_back(d, d.end);
  whole->record.frame_number = record.frame_number;
  whole->record.ticks = record.ticks;
  whole->record.time = record.time;
  whole->record.sub_tick_ns = record.sub_tick_ns;
  release(m_by_order.find(order));
  return whole;
}

void fragment_reassembly::give_up_all(
    std::vector<std::unique_ptr<reassembled_datagram>>& given_up) {
  while (!m_by_order.empty()) give_up(m_by_order.begin()->first, given_up);
}

void fragment_reassembly::give_up_expired(
    uint64_t now, std::vector<std::unique_ptr<reassembled_datagram>>& given_up) {
  // Times need not rise through a capture: those that ran out are given up oldest first.
  std::vector<uint64_t> orders;
  for (const auto& [ticks, order] : m_by_time) {
    if (ticks >= now || now - ticks <= REASSEMBLY_TIMEOUT_TICKS) break;
    orders.push_back(order);
  }
  std::sort(orders.begin(), orders.end());
  for (const uint64_t order : orders) give_up(order, given_up);
}

void fragment_reassembly::give_up(uint64_t order,
                                  std::vector<std::unique_ptr<reassembled_datagram>>& given_up) {
  const auto found = m_by_order.find(order);
  datagram& d = found->second;
  if (!d.unread) {
    ++m_incomplete;
    if (d.have_first) {
      std::unique_ptr<reassembled_datagram> part = hand_back(d, gapless(d));
      part->incomplete = true;
      given_up.push_back(std::move(part));
    }
  }
  release(found);
}

void fragment_reassembly::release(std::map<uint64_t, datagram>::iterator found) {
  const datagram& d = found->second;
  m_held -= d.held;
  m_by_key.erase(d.key);
  if (d.timed) m_by_time.erase({d.first_ticks, found->first});
  m_by_order.erase(found);
}

bool fragment_reassembly::take_data(datagram& d, const uint8_t* data, uint32_t offset,
                                    uint32_t length) {
  std::vector<piece>& pieces = d.pieces;
  // Keeps [from, from + count) as a new piece at `index`, or as more of the piece in front when
  // it follows on in both the datagram and the bytes, so fragments that arrive in order stay one
  // piece. Returns the index of the piece that follows it.
  const auto keep = [&d, &pieces, data, offset](size_t index, uint32_t from, uint32_t count) {
    const auto at = static_cast<uint32_t>(d.bytes.size());
    d.bytes.insert(d.bytes.end(), data + (from - offset), data + (from - offset) + count);
    if (index > 0) {
      piece& before = pieces[index - 1];
      if (before.offset + before.length == from && before.at + before.length == at) {
        before.length += count;
        return index;
      }
    }
    pieces.insert(pieces.begin() + static_cast<std::ptrdiff_t>(index), piece{from, count, at});
    return index + 1;
  };
  bool differs = false;
  const uint32_t end = offset + length;
  uint32_t at = offset;
  // The pieces are sorted and apart: the first that ends past `offset` is found by halving, so a
  // datagram of many small fragments costs no more than it must.
  size_t index = static_cast<size_t>(
      std::partition_point(pieces.begin(), pieces.end(),
                           [offset](const piece& p) { return p.offset + p.length <= offset; }) -
      pieces.begin());
  while (at < end) {
    if (index == pieces.size() || pieces[index].offset >= end) {
      keep(index, at, end - at);
      break;
    }
    const piece p = pieces[index];
    if (p.offset > at) {
      index = keep(index, at, p.offset - at);
      at = p.offset;
      continue;
    }
    const uint32_t stop = std::min(end, p.offset + p.length);
    if (std::memcmp(d.bytes.data() + p.at + (at - p.offset), data + (at - offset), stop - at) !=
        0) {
      differs = true;
    }
    at = stop;
    ++index;
  }
  return differs;
}

uint32_t fragment_reassembly::gapless(const datagram& d) {
  uint32_t end = 0;
  for (const piece& p : d.pieces) {
    if (p.offset > end) break;
    end = std::max(end, p.offset + p.length);
  }
  return end;
}

std::unique_ptr<reassembled_datagram> fragment_reassembly::hand_back(datagram& d, uint32_t length) {
  auto whole = std::make_unique<reassembled_datagram>();
  std::vector<uint8_t>& frame = whole->frame;
  // The pieces run on without a gap up to `length`, so appending them in turn lays each at its
  // place, with no byte written twice.
  frame.reserve(d.headers.size() + length);
  frame.assign(d.headers.begin(), d.headers.end());
  for (const piece& p : d.pieces) {
    if (p.offset >= length) break;
    const uint8_t* bytes = d.bytes.data() + p.at;
    frame.insert(frame.end(), bytes, bytes + std::min(p.length, length - p.offset));
  }
  whole->record = d.first;
  whole->record.bytes = frame.data();
  whole->record.captured_len = static_cast<uint32_t>(frame.size());
  // The datagram's length as it would have travelled whole: an IPv6 one without its Fragment
  // header, with everything in front of it in the first fragment's frame.
  whole->uncounted = d.uncounted + (d.point.ipv6 ? IPV6_FRAGMENT_HEADER_SIZE : 0);
  whole->record.wire_len = static_cast<uint32_t>(frame.size()) - whole->uncounted;
  whole->point = d.point;
  whole->next = d.next;
  whole->fragments = std::move(d.frames);
  // The bytes move with their buffer, so the records may point into it from here on.
  whole->kept_bytes = std::move(d.kept_bytes);
  whole->kept_frames = std::move(d.kept_frames);
  const uint8_t* kept = whole->kept_bytes.data();
  for (capture_record& frame : whole->kept_frames) {
    frame.bytes = kept;
    kept += frame.captured_len;
  }
  whole->overlap = d.overlap;
  whole->oversized = d.oversized;
  return whole;
}

}  // namespace nelo
