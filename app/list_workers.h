// Walking the captures of a list on several threads. Each worker walks one capture at a time
// with its own sinks (the run's settings are shared, read only), into an `ordered_output`
// that holds the capture's announcements, report and messages until every capture named before it
// has been written. So standard output, the report file and standard error get exactly what a walk
// of one capture after another writes, in the same order, and at most one capture per worker is in
// flight. The workers share a fixed budget of memory for what they hold; past its share, a worker
// goes on into a temporary file in $TMPDIR (or /tmp), so a busy capture never holds up the others.
// A worker's sinks are told where each capture they walk begins and ends; the end of the run is
// told to the driver's own sinks only, so a worker's sinks hand what they keep for the whole run
// to the driver's after each capture, in the list's order.
#ifndef NELO_APP_LIST_WORKERS_H_
#define NELO_APP_LIST_WORKERS_H_

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "app/file_walk.h"
#include "support/ordered_output.h"
#include "support/thread_annotations.h"

namespace nelo {

// Where the captures' output goes, as the sequential walk would write it.
struct list_outputs {
  std::ostream& out;             // standard output
  std::ostream& err;             // standard error
  std::ostream* file;            // the -ofile report, or null when the report goes to `out`
  bool err_terminal = false;     // for the messages' line clearing
  bool announce_to_err = false;  // -json: announcements go to standard error
  bool flush_each_line = true;   // someone may read the report line by line
  // Where the walk of the last capture written ended, or null; set once that capture's output
  // is written, so it matches the order of the output.
  walk_position* written_last = nullptr;
  walk_settings settings;
  std::ostream* capture = nullptr;  // the -write_capture joiner's stream, or null
  // The driver's sinks, which gather what the workers' sinks keep for the whole run; or null.
  sink_set* run_sinks = nullptr;
};

class list_workers {
 public:
  // Starts up to `count` workers. Stop signals are blocked in the workers, so they interrupt the
  // thread that reads the list.
  list_workers(const list_outputs& outputs, uint32_t count);
  list_workers(const list_workers&) = delete;
  list_workers& operator=(const list_workers&) = delete;
  // Waits until every capture handed on is written.
  ~list_workers() EXCLUDES(m_mutex);

  // False when no worker could be started; the caller then walks the list itself.
  bool started() const { return !m_threads.empty(); }
  // Hands the capture `name` to the next free worker; blocks while all are busy. A capture whose
  // turn comes after a stop request is not walked.
  void walk(const std::string& name) EXCLUDES(m_mutex);

 private:
  struct worker;
  void run(worker& w) EXCLUDES(m_mutex);
  void walk_one(worker& w, const std::string& name, uint64_t job);

  const list_outputs m_outputs;
  output_turns m_turns;
  mutex m_mutex;
  condition m_changed;
  std::string m_pending GUARDED_BY(m_mutex);
  bool m_has_pending GUARDED_BY(m_mutex) = false;
  bool m_closing GUARDED_BY(m_mutex) = false;
  uint64_t m_next_job GUARDED_BY(m_mutex) = 0;
  std::vector<std::unique_ptr<worker>> m_workers;
  std::vector<std::thread> m_threads;
};

}  // namespace nelo

#endif  // NELO_APP_LIST_WORKERS_H_
