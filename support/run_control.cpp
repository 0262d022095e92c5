#include "support/run_control.h"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <initializer_list>

namespace nelo {

namespace {

// Atomics rather than volatile sig_atomic_t: list workers read them on other threads. Only a
// lock-free atomic may be touched by a signal handler.
std::atomic<int> g_stop_signal{0};
std::atomic<int> g_write_failed{0};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void on_stop_signal(int signo) {
  g_stop_signal = signo;
}

}  // namespace

// The signals a person or a scheduler sends to end a run.
constexpr int STOP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

void install_stop_signals() {
  struct sigaction action = {};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: a blocked read returns EINTR, so the reader notices the stop at once.
  action.sa_flags = 0;
  for (int signo : STOP_SIGNALS) sigaction(signo, &action, nullptr);
}

int stop_signal() {
  return g_stop_signal;
}

bool stop_requested() {
  return g_stop_signal != 0 || g_write_failed != 0;
}

void request_stop_for_write_failure() {
  g_write_failed = 1;
}

bool write_failed() {
  return g_write_failed != 0;
}

void reraise_stop_signal() {
  const int signo = g_stop_signal.load();
  if (signo == 0) return;
  signal(signo, SIG_DFL);
  raise(signo);
}

void reset_stop_requests() {
  g_stop_signal = 0;
  g_write_failed = 0;
}

stop_signals_blocked::stop_signals_blocked() {
  sigset_t stops;
  sigemptyset(&stops);
  for (int signo : STOP_SIGNALS) sigaddset(&stops, signo);
  pthread_sigmask(SIG_BLOCK, &stops, &m_saved);
}

stop_signals_blocked::~stop_signals_blocked() {
  pthread_sigmask(SIG_SETMASK, &m_saved, nullptr);
}

}  // namespace nelo
