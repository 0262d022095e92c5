#include "capture/payload_pipeline.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <new>
#include <system_error>

#include "report/sink_set.h"
#include "support/run_control.h"

namespace nelo {

namespace {

// Batches per payload thread: one being hashed and one waiting for it, so no thread waits while
// the reader fills the next.
constexpr size_t BATCHES_PER_THREAD = 2;

bool lies_within(byte_span part, byte_span whole) {
  const std::less_equal<const uint8_t*> at_or_before;
  return at_or_before(whole.data(), part.data()) &&
         at_or_before(part.data() + part.size(), whole.data() + whole.size());
}

uintptr_t aligned(uintptr_t address) {
  return (address + alignof(uint64_t) - 1) / alignof(uint64_t) * alignof(uint64_t);
}

// `from` into `to`, with only the encapsulation layers it has: most packets have none, and the
// path is most of a packet's size.
void copy_packet(const decoded_packet& from, decoded_packet& to) {
  to.record = from.record;
  to.frame = from.frame;
  to.link = from.link;
  to.tunnels.count = from.tunnels.count;
  std::copy_n(from.tunnels.layers, from.tunnels.count, to.tunnels.layers);
  to.ip = from.ip;
  to.icmp = from.icmp;
  to.headers = from.headers;
  to.payload = from.payload;
  to.fragments = from.fragments;
}

// `part` of `from`, at the same place in the copy of `from` at `to`.
byte_span moved(byte_span part, byte_span from, const uint8_t* to) {
  return {to + (part.data() - from.data()), part.size()};
}

}  // namespace

payload_pipeline::payload_pipeline(sink_set& sinks, uint32_t threads)
    : m_sinks(sinks), m_need(sinks.need()) {
  if (threads < 2) return;
  m_batches.resize(threads * BATCHES_PER_THREAD + 1);
  for (batch& b : m_batches) {
    b.bytes = std::make_unique_for_overwrite<uint8_t[]>(PIPELINE_BATCH_BYTES);
    b.packets = std::make_unique<held_packet[]>(PIPELINE_BATCH_PACKETS);
  }
  m_filling = &m_batches.front();
  {
    const mutex_lock lock(m_mutex);
    m_hashed.assign(m_batches.size(), false);
  }
  const stop_signals_blocked blocked;  // the workers inherit the mask
  for (uint32_t i = 1; i < threads; ++i) {
    try {
      m_threads.emplace_back(&payload_pipeline::run_worker, this);
    } catch (const std::system_error&) {
      break;  // fewer workers still help; none, and the walk hashes alone
    }
  }
}

payload_pipeline::~payload_pipeline() {
  {
    const mutex_lock lock(m_mutex);
    m_quit = true;
  }
  m_work.notify_all();
  for (std::thread& t : m_threads) t.join();
}

bool payload_pipeline::take(const decoded_packet& packet) {
  batch* filling = m_filling;
  if (filling == nullptr) return false;
  const bool pending = m_written < m_closed || filling->count > 0;
  if (!pending && packet.payload.size() < PIPELINE_PAYLOAD_MIN) return false;
  // A payload the decoder holds outside the frame travels with the frame's copy, and so do the
  // frame numbers of a message made of fragments, behind it at their own alignment.
  const bool payload_in_frame = lies_within(packet.payload, packet.frame);
  const size_t bytes = packet.frame.size() + (payload_in_frame ? 0 : packet.payload.size());
  const std::span<const uint64_t> frames = packet.fragments.frames;
  // The fragments' frames kept whole follow the frame numbers: their records, then their bytes.
  const std::span<const capture_record> kept = packet.fragments.frame_records;
  size_t kept_bytes = 0;
  for (const capture_record& frame : kept) kept_bytes += frame.captured_len;
  static_assert(alignof(capture_record) == alignof(uint64_t));
  // Room to align the frame numbers wherever the packet's bytes end.
  const size_t size =
      (frames.empty() ? bytes : bytes + alignof(uint64_t) - 1 + frames.size_bytes()) +
      kept.size_bytes() + kept_bytes;
  if (size > PIPELINE_BATCH_BYTES) {
    drain();
    return false;
  }
  if (filling->count == PIPELINE_BATCH_PACKETS || filling->used + size > PIPELINE_BATCH_BYTES) {
    close_filling();
    filling = m_filling;
  }
  uint8_t* copy = filling->bytes.get() + filling->used;
  std::memcpy(copy, packet.frame.data(), packet.frame.size());
  filling->used += size;
  held_packet& held = filling->packets[filling->count++];
  held.record = *packet.record;
  held.record.bytes = copy;
  copy_packet(packet, held.packet);
  held.packet.record = &held.record;
  held.packet.frame = {copy, packet.frame.size()};
  held.packet.ip.bytes = moved(packet.ip.bytes, packet.frame, copy);
  held.packet.icmp = moved(packet.icmp, packet.frame, copy);
  held.packet.headers = moved(packet.headers, packet.frame, copy);
  if (payload_in_frame) {
    held.packet.payload = moved(packet.payload, packet.frame, copy);
  } else {
    uint8_t* payload = copy + packet.frame.size();
    if (!packet.payload.empty()) {
      std::memcpy(payload, packet.payload.data(), packet.payload.size());
    }
    held.packet.payload = {payload, packet.payload.size()};
  }
  if (!frames.empty()) {
    const auto end = reinterpret_cast<uintptr_t>(copy + bytes);
    auto* copied = reinterpret_cast<uint64_t*>(aligned(end));
    std::copy(frames.begin(), frames.end(), copied);
    held.packet.fragments.frames = {copied, frames.size()};
    if (!kept.empty()) {
      auto* records = reinterpret_cast<capture_record*>(copied + frames.size());
      uint8_t* frame_bytes = reinterpret_cast<uint8_t*>(records + kept.size());
      for (size_t i = 0; i < kept.size(); ++i) {
        ::new (static_cast<void*>(records + i)) capture_record(kept[i]);
        records[i].bytes = frame_bytes;
        std::memcpy(frame_bytes, kept[i].bytes, kept[i].captured_len);
        frame_bytes += kept[i].captured_len;
      }
      held.packet.fragments.frame_records = {records, kept.size()};
    }
  }
  return true;
}

void payload_pipeline::drain() {
  settle(true);
}

void payload_pipeline::finish() {
  settle(!stop_requested());
}

void payload_pipeline::run_worker() {
  const mutex_lock lock(m_mutex);
  for (;;) {
    while (!m_quit && m_claimed >= m_queued) m_work.wait(m_mutex);
    if (m_quit) return;
    hash_next();
    m_done.notify_one();
  }
}

void payload_pipeline::hash_next() {
  const size_t at = slot_of(m_claimed++);
  m_mutex.unlock();
  hash(m_batches[at]);
  m_mutex.lock();
  m_hashed[at] = true;
}

void payload_pipeline::hash(batch& b) const {
  for (uint32_t i = 0; i < b.count; ++i) {
    held_packet& held = b.packets[i];
    held.digest = digest_payload(held.packet, m_need);
  }
}

void payload_pipeline::queue_filling() {
  ++m_closed;
  {
    const mutex_lock lock(m_mutex);
    m_queued = m_closed;
  }
  m_filling = &slot(m_closed);
  m_work.notify_one();
}

void payload_pipeline::close_filling() {
  queue_filling();
  // Write what is ready; wait only when the next batch to fill is still taken.
  while (m_written < m_closed) {
    bool head_done = false;
    {
      const mutex_lock lock(m_mutex);
      head_done = m_hashed[slot_of(m_written)];
    }
    if (!head_done && m_closed - m_written < m_batches.size()) break;
    write_head(true);
  }
}

void payload_pipeline::write_head(bool write) {
  const size_t at = slot_of(m_written);
  batch& head = m_batches[at];
  {
    const mutex_lock lock(m_mutex);
    while (!m_hashed[at]) {
      // Rather than wait, the reader hashes a batch no worker has taken yet.
      if (m_claimed < m_queued) {
        hash_next();
        continue;
      }
      m_done.wait(m_mutex);
    }
  }
  if (write) {
    for (uint32_t i = 0; i < head.count; ++i) {
      const held_packet& held = head.packets[i];
      m_sinks.write_message(held.packet, held.digest);
    }
  }
  head.used = 0;
  head.count = 0;
  ++m_written;
  const mutex_lock lock(m_mutex);
  m_hashed[at] = false;
}

void payload_pipeline::settle(bool write) {
  if (m_filling == nullptr) return;
  if (m_filling->count > 0) queue_filling();
  while (m_written < m_closed) write_head(write);
}

}  // namespace nelo
