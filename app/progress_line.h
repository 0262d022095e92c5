// The status line shown on a terminal during long walks: the current file, how much of it has
// been read, and how many packets have been reported so far. It is drawn only when standard
// error is a terminal that the report itself does not write to, at most a few times a second
// and only at buffer refills, and it is cleared before the next file starts and at the end, so
// nothing of it is left in the terminal's scroll-back or in any redirected output.
#ifndef NELO_APP_PROGRESS_LINE_H_
#define NELO_APP_PROGRESS_LINE_H_

#include <cstdint>
#include <string>

#include "capture/pcap_reader.h"

namespace nelo {

// Refreshes at most this often.
inline constexpr uint64_t PROGRESS_INTERVAL_NS = 250'000'000;

class progress_line {
 public:
  // `fd` is where the line is drawn (standard error); `enabled` says whether to draw at all.
  progress_line(int fd, bool enabled);
  progress_line(const progress_line&) = delete;
  progress_line& operator=(const progress_line&) = delete;
  ~progress_line();

  // The observer to hand to `walk_capture`; null when the line is off.
  const walk_observer* observer() const { return m_enabled ? &m_observer : nullptr; }

  // The text of the line for a walk's state, e.g.
  // "nelo: big.pcap  512.0 MiB of 1.0 GiB (50%)  1234 packets reported".
  static std::string render(const walk_progress& progress, uint64_t reported_before);

  // Clears the line if it is shown.
  void clear();

 private:
  static void on_progress(void* user, const walk_progress& progress);
  void update(const walk_progress& progress);

  int m_fd;
  bool m_enabled;
  bool m_shown = false;
  uint64_t m_last_draw_ns = 0;
  uint64_t m_reported_before = 0;  // packets of the files already walked
  walk_observer m_observer;
};

// Whether a progress line belongs on this run: standard error is a terminal, -quiet was not
// given, and the report does not go to that terminal.
bool progress_wanted(bool quiet, bool report_to_stdout);

}  // namespace nelo

#endif  // NELO_APP_PROGRESS_LINE_H_
