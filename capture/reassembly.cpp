#include "capture/reassembly.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "support/wire.h"

namespace nelo {

namespace {

// A fragment costs at least the room its frame number takes, so that a flood of empty or
// duplicated fragments is bounded too.
constexpr uint64_t FRAGMENT_CHARGE_MIN = sizeof(uint64_t);
// The Fragment header an IPv6 datagram carries only while it is fragmented.
constexpr uint32_t IPV6_FRAGMENT_HEADER_SIZE = 8;
constexpr uint32_t BITS = 64;

constexpr uint32_t IPV4_ADDRESSES_AT = 12;
constexpr uint32_t IPV6_ADDRESSES_AT = 8;

// The end of the run of bytes from `from` whose bits in `bits` are all `set`, at most `to`.
uint32_t run_end(const std::vector<uint64_t>& bits, uint32_t from, uint32_t to, bool set) {
  while (from < to) {
    const uint32_t shift = from % BITS;
    uint64_t word = bits[from / BITS];
    if (!set) word = ~word;
    // The first bit from `from` on that differs; the shift brings in ones past the word's end.
    const uint64_t differs = ~(word >> shift);
    const auto same = static_cast<uint32_t>(std::countr_zero(differs));
    if (same < BITS - shift) return std::min(from + same, to);
    from += BITS - shift;
  }
  return to;
}

void set_bits(std::vector<uint64_t>& bits, uint32_t from, uint32_t to) {
  while (from < to) {
    const uint32_t shift = from % BITS;
    const uint32_t count = std::min(BITS - shift, to - from);
    const uint64_t mask = count == BITS ? ~uint64_t{0} : ((uint64_t{1} << count) - 1) << shift;
    bits[from / BITS] |= mask;
    from += count;
  }
}

// The outer addresses of an encapsulation with an outer IP header, or the labels of an MPLS
// stack, into `out` (room for two IPv6 addresses); nothing past the captured bytes.
void put_layer_place(const uint8_t* frame, uint32_t len, const encapsulation& layer, uint8_t* out) {
  uint32_t from = 0;
  uint32_t size = 0;
  if (layer.kind->outer_ip) {
    from = layer.outer_ip + (layer.outer_ipv6 ? IPV6_ADDRESSES_AT : IPV4_ADDRESSES_AT);
    size = layer.outer_ipv6 ? 2 * IPV6_ADDRESS_SIZE : 2 * IPV4_ADDRESS_SIZE;
  } else if (layer.labels > 0) {
    from = layer.header;
    size = std::min<uint32_t>(layer.labels * MPLS_LABEL_ENTRY_SIZE, 2 * IPV6_ADDRESS_SIZE);
  }
  if (from >= len) return;
  std::copy_n(frame + from, std::min(size, len - from), out);
}

// The room a datagram's data takes when it must reach `need`: once its end is known (`end`, or 0)
// the datagram's size; until then room grows by doubling, so a datagram that arrives in order is
// copied a bounded number of times.
size_t room_for(size_t capacity, uint32_t need, uint32_t end, uint32_t data_max) {
  if (need <= capacity) return capacity;
  if (end != 0) return std::max(need, end);
  return std::max<size_t>(need, std::min<size_t>(2 * capacity, data_max));
}

// The memory that room of `capacity` bytes and its bits take.
size_t room_size(size_t capacity) {
  return capacity + (capacity + BITS - 1) / BITS * sizeof(uint64_t);
}

network_key network_of(const capture_record& record, const decode_point& point) {
  network_key key{};
  uint8_t* p = key.data();
  *p++ = point.link.vlan_count;
  for (int i = 0; i < point.link.vlan_count; ++i) {
    p[0] = static_cast<uint8_t>(point.link.vlan_ids[i] >> 8);
    p[1] = static_cast<uint8_t>(point.link.vlan_ids[i]);
    p += 2;
  }
  p = key.data() + 1 + 2 * MAX_VLAN_TAGS;
  *p++ = point.path.count;
  for (int i = 0; i < point.path.count; ++i) {
    const encapsulation& layer = point.path.layers[i];
    // A kind's name tells it from every other.
    std::copy(layer.kind->name.begin(), layer.kind->name.end(), p);
    p += ENCAPSULATION_NAME_MAX;
    p[0] = static_cast<uint8_t>(layer.has_key | layer.has_id << 1 | layer.outer_ipv6 << 2);
    if (layer.has_key) store_be32(p + 1, layer.key);
    if (layer.has_id) store_be32(p + 5, layer.id);
    put_layer_place(record.bytes, record.captured_len, layer, p + 9);
    p += NETWORK_LAYER_KEY_SIZE - ENCAPSULATION_NAME_MAX;
  }
  return key;
}

}  // namespace

std::unique_ptr<reassembled_datagram> fragment_reassembly::add(
    const capture_record& record, const decode_point& point, const ip_fragment& fragment,
    std::vector<std::unique_ptr<reassembled_datagram>>& given_up, uint32_t uncounted,
    std::span<const capture_record> keep) {
  const datagram_key key{fragment.key, network_of(record, point)};
  auto known = m_by_key.find(key);
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
  const uint32_t start = std::min(fragment.offset, fragment.data_max);
  const uint32_t length = std::min(fragment.length, fragment.data_max - start);
  // What this fragment costs: its frame number, the headers it brings, the frames kept, the room
  // its data takes in its datagram, which it may start.
  const auto charge_of = [&](const datagram* d) -> uint64_t {
    if (fragment.unread) return 0;
    uint64_t charge = FRAGMENT_CHARGE_MIN + (first ? fragment.header_end : 0) + kept_size;
    const size_t capacity = d != nullptr ? d->bytes.capacity() : 0;
    const uint32_t end =
        d != nullptr && d->have_last ? d->end : (fragment.more ? 0 : start + length);
    charge +=
        room_size(room_for(capacity, start + length, end, fragment.data_max)) - room_size(capacity);
    return charge + (d == nullptr ? REASSEMBLY_DATAGRAM_CHARGE : 0);
  };
  // Room is made oldest first; that may give up this fragment's own datagram, and the fragment
  // then starts it anew.
  while (!m_by_order.empty()) {
    const datagram* d = known == m_by_key.end() ? nullptr : &m_by_order.find(known->second)->second;
    if (m_held + charge_of(d) <= REASSEMBLY_BYTES_MAX &&
        (d != nullptr || m_by_order.size() < REASSEMBLY_PENDING_MAX)) {
      break;
    }
    give_up(m_by_order.begin()->first, given_up);
    known = m_by_key.find(key);
  }

  uint64_t order = 0;
  if (known == m_by_key.end()) {
    order = m_next_order++;
    datagram fresh;
    fresh.key = m_by_key.emplace(key, order).first;
    fresh.timed = record.time != record_time::absent;
    fresh.first_ticks = record.ticks;
    fresh.unread = fragment.unread;
    fresh.held = fragment.unread ? 0 : REASSEMBLY_DATAGRAM_CHARGE;
    m_held += fresh.held;
    m_by_order.emplace(order, std::move(fresh));
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
  uint64_t took = FRAGMENT_CHARGE_MIN + kept_size;

  if (first && !d.have_first) {
    d.have_first = true;
    d.first = record;
    d.first.bytes = nullptr;
    d.headers.assign(record.bytes, record.bytes + fragment.header_end);
    d.point = point;
    d.next = {carrier::ip_protocol, fragment.protocol, 0, fragment.header_end};
    d.uncounted = uncounted;
    took += fragment.header_end;
  }
  // What reaches past the largest datagram is cut off, as a receiver would have to.
  if (length < fragment.length || fragment.offset >= fragment.data_max) d.oversized = true;
  d.claimed = std::max(d.claimed, start + std::min(fragment.claimed, fragment.data_max - start));
  if (!fragment.more) {
    // A last fragment that starts past the largest datagram still ends it there, else the
    // datagram could never be whole.
    const uint32_t end = start + length;
    // A second end that disagrees with the first is two datagrams in one: the first one holds.
    if (d.have_last && d.end != end) d.overlap = true;
    if (!d.have_last) {
      d.have_last = true;
      d.end = end;
    }
  }
  took += make_room(d, start + length, fragment.data_max);
  d.held += took;
  m_held += took;
  if (take_data(d, record.bytes + fragment.header_end, start, length)) d.overlap = true;

  if (!d.have_first || !d.have_last || d.gapless < d.end) return nullptr;
  std::unique_ptr<reassembled_datagram> whole = hand_back(d, d.end);
  whole->record.frame_number = record.frame_number;
  whole->record.ticks = record.ticks;
  whole->record.time = record.time;
  whole->record.sub_tick_ns = record.sub_tick_ns;
  release(m_by_order.find(order));
  return whole;
}

bool fragment_reassembly::give_up_oldest(
    std::vector<std::unique_ptr<reassembled_datagram>>& given_up) {
  if (m_by_order.empty()) return false;
  give_up(m_by_order.begin()->first, given_up);
  return true;
}

void fragment_reassembly::note_expired(uint64_t now) {
  // Times need not rise through a capture: those that ran out are given up oldest first.
  m_expired.clear();
  for (const auto& [ticks, order] : m_by_time) {
    if (ticks >= now || now - ticks <= REASSEMBLY_TIMEOUT_TICKS) break;
    m_expired.push_back(order);
  }
  std::sort(m_expired.begin(), m_expired.end());
}

bool fragment_reassembly::give_up_next_expired(
    std::vector<std::unique_ptr<reassembled_datagram>>& given_up) {
  while (!m_expired.empty()) {
    const uint64_t order = m_expired.front();
    m_expired.pop_front();
    if (m_by_order.count(order) != 0) {
      give_up(order, given_up);
      return true;
    }
  }
  return false;
}

void fragment_reassembly::give_up(uint64_t order,
                                  std::vector<std::unique_ptr<reassembled_datagram>>& given_up) {
  const auto found = m_by_order.find(order);
  datagram& d = found->second;
  if (!d.unread) {
    ++m_incomplete;
    if (d.have_first) {
      std::unique_ptr<reassembled_datagram> part = hand_back(d, d.gapless);
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

uint64_t fragment_reassembly::make_room(datagram& d, uint32_t need, uint32_t data_max) {
  if (need <= d.bytes.size()) return 0;
  const size_t before = d.bytes.capacity() + d.arrived.capacity() * sizeof(uint64_t);
  if (need > d.bytes.capacity()) {
    d.bytes.reserve(room_for(d.bytes.capacity(), need, d.have_last ? d.end : 0, data_max));
    d.arrived.reserve((d.bytes.capacity() + BITS - 1) / BITS);
  }
  d.bytes.resize(need);
  d.arrived.resize((need + BITS - 1) / BITS, 0);
  return d.bytes.capacity() + d.arrived.capacity() * sizeof(uint64_t) - before;
}

bool fragment_reassembly::take_data(datagram& d, const uint8_t* data, uint32_t offset,
                                    uint32_t length) {
  bool differs = false;
  const uint32_t end = offset + length;
  for (uint32_t at = offset; at < end;) {
    const bool held = (d.arrived[at / BITS] >> (at % BITS) & 1) != 0;
    const uint32_t stop = run_end(d.arrived, at, end, held);
    if (held) {
      if (std::memcmp(d.bytes.data() + at, data + (at - offset), stop - at) != 0) differs = true;
    } else {
      std::memcpy(d.bytes.data() + at, data + (at - offset), stop - at);
      set_bits(d.arrived, at, stop);
    }
    at = stop;
  }
  // The run from the start only grows, so finding its end costs each byte once in all.
  if (offset <= d.gapless) {
    d.gapless = run_end(d.arrived, d.gapless, static_cast<uint32_t>(d.bytes.size()), true);
  }
  return differs;
}

std::unique_ptr<reassembled_datagram> fragment_reassembly::hand_back(datagram& d, uint32_t length) {
  auto whole = std::make_unique<reassembled_datagram>();
  std::vector<uint8_t>& frame = whole->frame;
  frame.reserve(d.headers.size() + length);
  frame.assign(d.headers.begin(), d.headers.end());
  frame.insert(frame.end(), d.bytes.begin(), d.bytes.begin() + length);
  whole->record = d.first;
  whole->record.bytes = frame.data();
  whole->record.captured_len = static_cast<uint32_t>(frame.size());
  // The datagram's length as it would have travelled whole: an IPv6 one without its Fragment
  // header, with everything in front of it in the first fragment's frame. The data may be cut
  // short, by a gap or by the capture; the fragments' IP headers still say how far it reached.
  whole->uncounted = d.uncounted + (d.point.ipv6 ? IPV6_FRAGMENT_HEADER_SIZE : 0);
  const uint32_t reached = d.have_last ? d.end : std::max(length, d.claimed);
  whole->record.wire_len = static_cast<uint32_t>(d.headers.size()) + reached - whole->uncounted;
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
