#include "app/list_workers.h"

#include <algorithm>
#include <functional>
#include <system_error>

#include "support/error_writer.h"
#include "support/run_control.h"

namespace nelo {

namespace {

// What the captures waiting for their turn hold in memory, shared among the workers; past its
// share, a worker spills to a temporary file. Beside the workers' read buffers this keeps a walk
// on the most workers within tens of MiB. The floor keeps the blocks that carry a file back
// large. With few workers, the cap holds a busy capture's report whole (30 MB of mixed traffic
// reports under 100 KiB) and no file is needed; a flood gains nothing from more: a walk of flood
// cuts on two workers takes as long with 256 KiB each as with 16 MiB.
constexpr size_t HOLD_BUDGET = 16u << 20;
constexpr size_t HOLD_SHARE_MIN = 256u << 10;
constexpr size_t HOLD_SHARE_MAX = 4u << 20;

size_t hold_share(uint32_t workers) {
  return std::clamp<size_t>(HOLD_BUDGET / std::max<uint32_t>(workers, 1), HOLD_SHARE_MIN,
                            HOLD_SHARE_MAX);
}

}  // namespace

struct list_workers::worker {
  worker(const list_outputs& outputs, output_turns& turns, size_t hold_limit,
         const std::string& spill_dir)
      : output(turns, hold_limit, spill_dir),
        notes(output.stream(output_dest::err), outputs.err_terminal),
        sinks(*outputs.settings.output,
              {&output.stream(outputs.file != nullptr ? output_dest::file : output_dest::out),
               outputs.flush_each_line,
               outputs.capture != nullptr ? &output.stream(output_dest::capture) : nullptr,
               &notes}) {}
  ordered_output output;
  message_writer notes;
  sink_set sinks;  // writes into `output`, so it is made after it
  walk_position ended_at;
};

list_workers::list_workers(const list_outputs& outputs, uint32_t count) : m_outputs(outputs) {
  const stop_signals_blocked blocked;  // the workers inherit the mask
  const size_t hold_limit = hold_share(count);
  const std::string spill_dir = temp_directory();
  for (uint32_t i = 0; i < count; ++i) {
    m_workers.push_back(std::make_unique<worker>(outputs, m_turns, hold_limit, spill_dir));
    try {
      m_threads.emplace_back(&list_workers::run, this, std::ref(*m_workers.back()));
    } catch (const std::system_error&) {
      // Fewer workers than asked for still walk the list; none, and the caller walks it.
      m_workers.pop_back();
      break;
    }
  }
}

list_workers::~list_workers() {
  {
    const mutex_lock lock(m_mutex);
    m_closing = true;
  }
  m_changed.notify_all();
  for (std::thread& t : m_threads) t.join();
}

void list_workers::walk(const std::string& name) {
  mutex_lock lock(m_mutex);
  while (m_has_pending) m_changed.wait(m_mutex);
  m_pending = name;
  m_has_pending = true;
  lock.unlock();
  m_changed.notify_all();
}

void list_workers::run(worker& w) {
  std::string name;
  for (;;) {
    uint64_t job = 0;
    {
      const mutex_lock lock(m_mutex);
      while (!m_has_pending && !m_closing) m_changed.wait(m_mutex);
      if (!m_has_pending) return;
      name.swap(m_pending);
      m_has_pending = false;
      job = m_next_job++;
    }
    m_changed.notify_all();
    walk_one(w, name, job);
  }
}

void list_workers::walk_one(worker& w, const std::string& name, uint64_t job) {
  std::ostream& report_real = m_outputs.file != nullptr ? *m_outputs.file : m_outputs.out;
  w.output.begin(job, &m_outputs.out, &m_outputs.err, m_outputs.file, m_outputs.capture);
  // A capture taken after a stop was asked for is one the walk without workers never starts.
  const bool walked = !stop_requested();
  if (walked) {
    std::ostream& announce =
        w.output.stream(m_outputs.announce_to_err ? output_dest::err : output_dest::out);
    const message_writer messages(w.output.stream(output_dest::err), m_outputs.err_terminal);
    // A skipped output file leaves the position empty: it was not walked.
    w.ended_at = {};
    walk_capture(name, -1, w.sinks, {announce, messages, nullptr, &w.ended_at}, m_outputs.settings);
  }
  w.output.finish();
  // Only the job whose turn it is gets here, one after another.
  if (m_outputs.run_sinks != nullptr && !w.output.dropped()) {
    w.sinks.hand_over(*m_outputs.run_sinks);
  }
  // A capture whose output was dropped after a stop is not where the output ends.
  if (walked && !w.output.dropped() && !w.ended_at.capture.empty() &&
      m_outputs.written_last != nullptr) {
    *m_outputs.written_last = w.ended_at;
  }
  if (!m_outputs.flush_each_line) {
    report_real.flush();
    m_outputs.out.flush();
    if (report_real.fail() || m_outputs.out.fail()) request_stop_for_write_failure();
  }
  m_turns.pass(job);
}

}  // namespace nelo
