// Payload work for one capture on several threads. The reader keeps the walk, the filters and
// every write; the packets it keeps are copied, frame and all, into fixed batches that worker
// threads hash and measure, and the reader writes each batch back in frame order once its work
// is done. So the report is byte for byte what a one-thread walk writes, while MD5 and the
// statistics of large payloads run on every core.
//
// Memory is bounded: a fixed ring of batches, each with room for a fixed number of bytes and
// packets, whatever the payload sizes. A frame larger than a batch, and tiny payloads met while
// nothing is pending, are written by the reader at once, as without threads: handing them to
// another thread costs more than hashing them.
#ifndef NELO_CAPTURE_PAYLOAD_PIPELINE_H_
#define NELO_CAPTURE_PAYLOAD_PIPELINE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "packet/capture_record.h"
#include "packet/decoded_packet.h"
#include "report/payload_digest.h"
#include "support/thread_annotations.h"

namespace nelo {

class sink_set;

// The smallest payload that starts handing packets on while nothing is pending: from 56 bytes
// MD5 takes two blocks, and hashing costs more than copying the packet and handing it over
// (measured on payloads of one size: 56 and 64 bytes run in 0.65x the one-thread time on two
// cores, 16 and 32 bytes in 1.2x).
inline constexpr size_t PIPELINE_PAYLOAD_MIN = 56;
inline constexpr size_t PIPELINE_BATCH_BYTES = 1u << 20;
inline constexpr uint32_t PIPELINE_BATCH_PACKETS = 512;

class payload_pipeline {
 public:
  // Up to `threads` threads do payload work: `threads - 1` workers, and the reader while it
  // waits for a batch. The reader writes the packets to `sinks`, which must outlive the pipeline
  // and need some payload work. Stop signals are blocked in the workers.
  payload_pipeline(sink_set& sinks, uint32_t threads);
  payload_pipeline(const payload_pipeline&) = delete;
  payload_pipeline& operator=(const payload_pipeline&) = delete;
  // Drops whatever is still pending; call `finish` first to write it.
  ~payload_pipeline();

  // False when no worker could be started; the walk then does its payload work itself.
  bool started() const { return !m_threads.empty(); }

  // Takes the kept `packet` (its frame is copied, and its payload when that lies elsewhere) and
  // returns true, or returns false when the
  // caller is to write it now: nothing is pending and its payload is small, or its frame is
  // larger than a batch (everything pending is written first).
  bool take(const decoded_packet& packet) EXCLUDES(m_mutex);

  // Writes every packet taken so far, in order, waiting for their payload work.
  void drain() EXCLUDES(m_mutex);

  // The end of a capture: writes what is pending, or drops it when a stop was requested, since
  // a stopped run ends after the lines already written.
  void finish() EXCLUDES(m_mutex);

 private:
  struct held_packet {
    capture_record record;
    decoded_packet packet;
    payload_digest digest;
  };
  struct batch {
    std::unique_ptr<uint8_t[]> bytes;
    std::unique_ptr<held_packet[]> packets;
    size_t used = 0;
    uint32_t count = 0;
  };

  size_t slot_of(uint64_t sequence) const { return sequence % m_batches.size(); }
  batch& slot(uint64_t sequence) { return m_batches[slot_of(sequence)]; }
  void run_worker() EXCLUDES(m_mutex);
  void hash(batch& b) const;
  // Claims the oldest closed batch no thread has taken and hashes it, letting the mutex go for
  // the while.
  void hash_next() REQUIRES(m_mutex);
  void queue_filling() EXCLUDES(m_mutex);
  void close_filling() EXCLUDES(m_mutex);
  void write_head(bool write) EXCLUDES(m_mutex);
  void settle(bool write) EXCLUDES(m_mutex);

  sink_set& m_sinks;
  const digest_need m_need;
  // The batches' bytes and packets belong to one thread at a time, as the sequence numbers
  // below hand them on: the reader fills and writes them, one worker (or the reader) hashes them.
  std::vector<batch> m_batches;
  // Batch sequence numbers: those below m_closed are full, those below m_claimed are being or
  // have been hashed, those below m_written are written and free again. The batch at m_closed
  // is the one filling. m_filling, m_closed and m_written are the reader's own; the workers see
  // m_closed as m_queued.
  batch* m_filling = nullptr;
  uint64_t m_closed = 0;
  uint64_t m_written = 0;
  mutex m_mutex;
  uint64_t m_queued GUARDED_BY(m_mutex) = 0;
  uint64_t m_claimed GUARDED_BY(m_mutex) = 0;
  std::vector<bool> m_hashed GUARDED_BY(m_mutex);  // per slot: its batch's payload work is done
  bool m_quit GUARDED_BY(m_mutex) = false;
  condition m_work;  // a batch was closed, or the workers are to quit
  condition m_done;  // a batch was hashed
  std::vector<std::thread> m_threads;
};

}  // namespace nelo

#endif  // NELO_CAPTURE_PAYLOAD_PIPELINE_H_
