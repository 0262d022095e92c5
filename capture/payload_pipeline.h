// Payload work and text for one capture on several threads. The reader keeps the walk, the
// filters, what depends on the order of messages (the pairing of replies, the column header, the
// summary and the capture file) and every write; the packets it keeps are copied, frame and all,
// into batches that worker threads hash, measure and format, each message's text into its own
// batch, and the reader writes each batch's text back in frame order once its work is done,
// with one write where it can. So the report is byte for byte what a one-thread walk writes,
// while MD5, the statistics and the formatting run on every core.
//
// Memory is bounded whatever the thread count: a ring of 2N+1 batches that share at most
// PIPELINE_MEMORY_MAX, each with room for a fixed number of bytes and packets, frames and
// texts together. A message is only taken when the most text its sinks could write fits too;
// one whose text alone would not fit a batch is taken for its payload work, and the reader
// formats it when it writes it. A frame larger than a batch, and tiny payloads met while nothing
// is pending, are written by the reader at once, as without threads: handing them to another
// thread costs more than the work; so are a capture's first messages. Batches are allocated, and
// workers started, only once a capture has that many messages and fills a batch, so a small
// capture costs what it costs with one thread.
#ifndef NELO_CAPTURE_PAYLOAD_PIPELINE_H_
#define NELO_CAPTURE_PAYLOAD_PIPELINE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "packet/capture_record.h"
#include "packet/decoded_packet.h"
#include "report/message_sink.h"
#include "report/payload_digest.h"
#include "support/thread_annotations.h"

namespace nelo {

class sink_set;

// The smallest payload that starts handing packets on while nothing is pending: from 56 bytes
// MD5 takes two blocks, and hashing costs more than copying the packet and handing it over
// (measured on payloads of one size: 56 and 64 bytes run in 0.65x the one-thread time on two
// cores, 16 and 32 bytes in 1.2x).
inline constexpr size_t PIPELINE_PAYLOAD_MIN = 56;
// The messages of a capture the reader writes itself before it hands any on: a capture that ends
// sooner is done before a batch's memory and a worker would pay for themselves (making a batch
// costs about what 300 report lines of the flood cost).
inline constexpr uint32_t PIPELINE_START_MESSAGES = 256;
// The batches of one pipeline together, records of their packets included, and the most one
// batch holds: with few threads each batch has the largest size, with many they share the total.
inline constexpr size_t PIPELINE_MEMORY_MAX = 24u << 20;
inline constexpr size_t PIPELINE_BATCH_BYTES_MAX = 1u << 20;
inline constexpr uint32_t PIPELINE_BATCH_PACKETS_MAX = 512;
// The most threads one pipeline uses: more would share its memory in batches too small to pay.
inline constexpr uint32_t PIPELINE_THREADS_MAX = 64;

class payload_pipeline {
 public:
  // Up to `threads` (at most PIPELINE_THREADS_MAX) threads do payload work and format:
  // `threads - 1` workers, and the reader while it waits for a batch. The reader writes the packets
  // to `sinks`, which must outlive the pipeline and do some payload work or write some text. Stop
  // signals are blocked in the workers.
  payload_pipeline(sink_set& sinks, uint32_t threads);
  payload_pipeline(const payload_pipeline&) = delete;
  payload_pipeline& operator=(const payload_pipeline&) = delete;
  // Drops whatever is still pending; call `finish` first to write it.
  ~payload_pipeline();

  // False when `threads` was below 2; the walk then does its payload work itself.
  bool started() const { return !m_batches.empty(); }

  // Takes the kept `packet` (its frame is copied, and its payload when that lies elsewhere),
  // notes it with the sinks, and returns true, or returns false when the caller is to write it
  // now: nothing is pending and its payload is small or the capture has not yet had
  // PIPELINE_START_MESSAGES messages, or its frame is larger than a batch (everything pending is
  // written first).
  bool take(const decoded_packet& packet) EXCLUDES(m_mutex);

  // Writes every packet taken so far, in order, waiting for their payload work.
  void drain() EXCLUDES(m_mutex);

  // The end of a capture: writes what is pending. A stopped run writes it too: it is bounded
  // by the batches, and the stop line then names the last frame whose message was written.
  void finish() EXCLUDES(m_mutex);

 private:
  struct held_packet {
    capture_record record;
    decoded_packet packet;
    payload_digest digest;
    message_note note;
    size_t text_end = 0;          // where its text ends among the batch's texts
    bool reader_formats = false;  // its text is made by the reader as it writes it
  };
  // The frames fill the bytes from the front; the texts follow them once the batch is closed.
  struct batch {
    std::unique_ptr<uint8_t[]> bytes;
    std::unique_ptr<held_packet[]> packets;
    size_t used = 0;           // by frames
    size_t text_reserved = 0;  // the most text the packets the workers format can have
    uint32_t count = 0;
    bool any_reader_formats = false;
  };

  size_t slot_of(uint64_t sequence) const { return sequence % m_batches.size(); }
  batch& slot(uint64_t sequence) { return m_batches[slot_of(sequence)]; }
  // `b`, the batch to fill next, with its memory.
  batch* make_filling(batch& b);
  void start_workers();
  void run_worker() EXCLUDES(m_mutex);
  // The payload work and the texts of the packets of `b`.
  void work(batch& b) const;
  // Claims the oldest closed batch no thread has taken and works on it, letting the mutex go for
  // the while.
  void work_next() REQUIRES(m_mutex);
  void queue_filling() EXCLUDES(m_mutex);
  void close_filling() EXCLUDES(m_mutex);
  void write_batch(const batch& b);
  void write_head() EXCLUDES(m_mutex);
  void settle() EXCLUDES(m_mutex);

  sink_set& m_sinks;
  const digest_need m_need;
  const uint32_t m_workers_wanted;
  const size_t m_batch_bytes;
  const uint32_t m_batch_packets;
  // The batches' bytes and packets belong to one thread at a time, as the sequence numbers
  // below hand them on: the reader fills and writes them, one worker (or the reader) works on
  // them.
  std::vector<batch> m_batches;
  // Batch sequence numbers: those below m_closed are full, those below m_claimed are being or
  // have been worked on, those below m_written are written and free again. The batch at
  // m_closed is the one filling, m_filling, once a packet is taken for it. m_filling, m_closed and
  // m_written are the reader's own; the workers see m_closed as m_queued.
  batch* m_filling = nullptr;
  uint64_t m_closed = 0;
  uint64_t m_written = 0;
  mutex m_mutex;
  uint64_t m_queued GUARDED_BY(m_mutex) = 0;
  uint64_t m_claimed GUARDED_BY(m_mutex) = 0;
  std::vector<bool> m_worked GUARDED_BY(m_mutex);  // per slot: its batch's work is done
  bool m_quit GUARDED_BY(m_mutex) = false;
  condition m_work;                // a batch was closed, or the workers are to quit
  condition m_done;                // a batch was worked on
  uint32_t m_written_at_once = 0;  // messages take() left to the caller while nothing was pending
  bool m_workers_tried = false;
  std::vector<std::thread> m_threads;
};

}  // namespace nelo

#endif  // NELO_CAPTURE_PAYLOAD_PIPELINE_H_
