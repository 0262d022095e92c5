// Stopping a walk early. An analyst's Ctrl-C, a TERM from a job scheduler or a hang-up must not
// lose report lines that were already formatted, and a report that can no longer be written
// must not let the walk go on producing nothing. Both set one flag that the capture reader
// tests once per record; the driver then flushes and ends the run. The flag is the only state
// a signal handler may touch, which is why it lives outside every record.
#ifndef NELO_SUPPORT_RUN_CONTROL_H_
#define NELO_SUPPORT_RUN_CONTROL_H_

#include <signal.h>

#include <csignal>

namespace nelo {

// Installs handlers for SIGINT, SIGTERM and SIGHUP that request a stop.
void install_stop_signals();
// The signal that requested the stop, or 0.
int stop_signal();
// True once a signal or a write failure asked the walk to end.
bool stop_requested();
// Asks the walk to end because the report can no longer be written.
void request_stop_for_write_failure();
bool write_failed();
// Restores the default action of the stop signal and raises it again, so the shell sees the
// conventional status for that signal. Returns only when no signal was caught.
void reraise_stop_signal();
// Clears every request (for tests that run several walks in one process).
void reset_stop_requests();

// Blocks the stop signals in the calling thread for its lifetime, and restores the mask after.
// A thread started meanwhile inherits the mask: stop signals are for the walk's thread, which
// checks for them between records.
class stop_signals_blocked {
 public:
  stop_signals_blocked();
  stop_signals_blocked(const stop_signals_blocked&) = delete;
  stop_signals_blocked& operator=(const stop_signals_blocked&) = delete;
  ~stop_signals_blocked();

 private:
  sigset_t m_saved;
};

}  // namespace nelo

#endif  // NELO_SUPPORT_RUN_CONTROL_H_
