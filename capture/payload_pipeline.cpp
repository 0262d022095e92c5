#include "capture/payload_pipeline.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <functional>
#include <new>
#include <system_error>

#include "report/sink_set.h"
#include "support/run_control.h"

namespace nelo {

namespace {

// Batches per payload thread: one being worked on and one waiting for it, so no thread waits
// while the reader fills the next.
constexpr size_t BATCHES_PER_THREAD = 2;
// Bytes of a batch for each packet it has a record for: the flood's echo messages take about
// 120 bytes of frame and 300 of report line, their dumps 800 more.
constexpr size_t BATCH_BYTES_PER_PACKET = 2048;

// With the most threads, a batch still has room for a few dozen packets.
static_assert(PIPELINE_MEMORY_MAX / (PIPELINE_THREADS_MAX * BATCHES_PER_THREAD + 1) >=
              64 * BATCH_BYTES_PER_PACKET);

size_t batch_count(uint32_t threads) {
  return threads < 2 ? 0 : std::min(threads, PIPELINE_THREADS_MAX) * BATCHES_PER_THREAD + 1;
}

// Each batch's bytes, so that the batches with their packet records stay within
// PIPELINE_MEMORY_MAX.
size_t batch_bytes(uint32_t threads, size_t record_size) {
  const size_t batches = batch_count(threads);
  if (batches == 0) return 0;
  const size_t share = PIPELINE_MEMORY_MAX / batches;
  return std::min(PIPELINE_BATCH_BYTES_MAX,
                  share * BATCH_BYTES_PER_PACKET / (BATCH_BYTES_PER_PACKET + record_size));
}

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
  to.message = from.message;
  to.quoted = from.quoted;
  to.details = from.details;
}

// `part` of `from`, at the same place in the copy of `from` at `to`.
byte_span moved(byte_span part, byte_span from, const uint8_t* to) {
  return {to + (part.data() - from.data()), part.size()};
}

}  // namespace

payload_pipeline::payload_pipeline(sink_set& sinks, uint32_t threads)
    : m_sinks(sinks),
      m_need(sinks.need()),
      m_workers_wanted(threads < 2 ? 0 : std::min(threads, PIPELINE_THREADS_MAX) - 1),
      m_batch_bytes(batch_bytes(threads, sizeof(held_packet))),
      m_batch_packets(static_cast<uint32_t>(
          std::min<size_t>(PIPELINE_BATCH_PACKETS_MAX, m_batch_bytes / BATCH_BYTES_PER_PACKET))) {
  m_batches.resize(batch_count(threads));
  const mutex_lock lock(m_mutex);
  m_worked.assign(m_batches.size(), false);
}

payload_pipeline::~payload_pipeline() {
  {
    const mutex_lock lock(m_mutex);
    m_quit = true;
  }
  m_work.notify_all();
  for (std::thread& t : m_threads) t.join();
}

payload_pipeline::batch* payload_pipeline::make_filling(batch& b) {
  if (!b.bytes) {
    b.bytes = std::make_unique_for_overwrite<uint8_t[]>(m_batch_bytes);
    b.packets = std::make_unique<held_packet[]>(m_batch_packets);
  }
  return &b;
}

void payload_pipeline::start_workers() {
  m_workers_tried = true;
  const stop_signals_blocked blocked;  // the workers inherit the mask
  for (uint32_t i = 0; i < m_workers_wanted; ++i) {
    try {
      m_threads.emplace_back(&payload_pipeline::run_worker, this);
    } catch (const std::system_error&) {
      break;  // fewer workers still help; with none, the reader works on every batch
    }
  }
}

bool payload_pipeline::take(const decoded_packet& packet) {
  if (m_batches.empty()) return false;
  batch* filling = m_filling;
  const bool pending = m_written < m_closed || (filling != nullptr && filling->count > 0);
  if (!pending && (packet.payload.size() < PIPELINE_PAYLOAD_MIN ||
                   m_written_at_once < PIPELINE_START_MESSAGES)) {
    ++m_written_at_once;
    return false;
  }
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
  if (size > m_batch_bytes) {
    drain();
    return false;
  }
  // A text that would not fit even an empty batch beside its frame is made by the reader.
  const size_t text = m_sinks.text_bound(packet);
  const bool reader_formats = text > m_batch_bytes - size;
  const size_t reserved = reader_formats ? 0 : text;
  if (filling != nullptr &&
      (filling->count == m_batch_packets ||
       filling->used + filling->text_reserved + size + reserved > m_batch_bytes)) {
    close_filling();
    filling = nullptr;
  }
  if (filling == nullptr) filling = m_filling = make_filling(slot(m_closed));
  uint8_t* copy = filling->bytes.get() + filling->used;
  std::memcpy(copy, packet.frame.data(), packet.frame.size());
  filling->used += size;
  filling->text_reserved += reserved;
  filling->any_reader_formats = filling->any_reader_formats || reader_formats;
  held_packet& held = filling->packets[filling->count++];
  held.note = m_sinks.note_message(packet);
  held.reader_formats = reader_formats;
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
  settle();
}

void payload_pipeline::finish() {
  settle();
}

void payload_pipeline::run_worker() {
  const mutex_lock lock(m_mutex);
  for (;;) {
    while (!m_quit && m_claimed >= m_queued) m_work.wait(m_mutex);
    if (m_quit) return;
    work_next();
    m_done.notify_one();
  }
}

void payload_pipeline::work_next() {
  const size_t at = slot_of(m_claimed++);
  m_mutex.unlock();
  work(m_batches[at]);
  m_mutex.lock();
  m_worked[at] = true;
}

void payload_pipeline::work(batch& b) const {
  // The texts follow the frames, each where the one before it ends.
  text_target texts(reinterpret_cast<char*>(b.bytes.get()) + b.used, m_batch_bytes - b.used);
  const bool writes_text = m_sinks.writes_text();
  for (uint32_t i = 0; i < b.count; ++i) {
    held_packet& held = b.packets[i];
    held.digest = digest_payload(held.packet, m_need);
    if (writes_text && !held.reader_formats) {
      const size_t start = texts.used();
      m_sinks.format_text(held.packet, held.digest, held.note, texts);
      // The bounds leave room for every text; should one not fit all the same, the reader
      // makes it.
      if (texts.overflowed()) {
        texts.rewind(start);
        held.reader_formats = true;
        b.any_reader_formats = true;
      }
    }
    held.text_end = texts.used();
  }
}

void payload_pipeline::queue_filling() {
  ++m_closed;
  {
    const mutex_lock lock(m_mutex);
    m_queued = m_closed;
  }
  m_filling = nullptr;
  m_work.notify_one();
}

void payload_pipeline::close_filling() {
  if (!m_workers_tried) start_workers();
  queue_filling();
  // Write what is ready; wait only when the next batch to fill is still taken.
  while (m_written < m_closed) {
    bool head_done = false;
    {
      const mutex_lock lock(m_mutex);
      head_done = m_worked[slot_of(m_written)];
    }
    if (!head_done && m_closed - m_written < m_batches.size()) break;
    write_head();
  }
}

void payload_pipeline::write_batch(const batch& b) {
  const char* texts = reinterpret_cast<const char*>(b.bytes.get()) + b.used;
  if (!b.any_reader_formats) {
    const size_t end = b.count > 0 ? b.packets[b.count - 1].text_end : 0;
    m_sinks.write_texts({texts, end}, b.count);
  } else {
    // The texts made by the workers go out in runs, around those the reader makes.
    size_t from = 0;
    uint32_t first = 0;
    for (uint32_t i = 0; i < b.count; ++i) {
      const held_packet& held = b.packets[i];
      if (!held.reader_formats) continue;
      m_sinks.write_texts({texts + from, held.text_end - from}, i - first);
      m_sinks.write_text(held.packet, held.digest, held.note);
      from = held.text_end;
      first = i + 1;
    }
    const size_t end = b.count > 0 ? b.packets[b.count - 1].text_end : 0;
    m_sinks.write_texts({texts + from, end - from}, b.count - first);
  }
  if (m_sinks.takes_messages()) {
    for (uint32_t i = 0; i < b.count; ++i) {
      const held_packet& held = b.packets[i];
      m_sinks.take_message(held.packet, held.digest);
    }
  }
}

void payload_pipeline::write_head() {
  const size_t at = slot_of(m_written);
  batch& head = m_batches[at];
  {
    const mutex_lock lock(m_mutex);
    while (!m_worked[at]) {
      // Rather than wait, the reader works on a batch no worker has taken yet.
      if (m_claimed < m_queued) {
        work_next();
        continue;
      }
      m_done.wait(m_mutex);
    }
  }
  write_batch(head);
  head.used = 0;
  head.text_reserved = 0;
  head.count = 0;
  head.any_reader_formats = false;
  ++m_written;
  const mutex_lock lock(m_mutex);
  m_worked[at] = false;
}

void payload_pipeline::settle() {
  if (m_filling != nullptr && m_filling->count > 0) queue_filling();
  while (m_written < m_closed) write_head();
}

}  // namespace nelo
