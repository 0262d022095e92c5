#include "app/progress_line.h"

#include <time.h>
#include <unistd.h>

#include <cstdio>

#include "support/error_writer.h"

namespace nelo {

namespace {

// The longest file name shown; longer names keep their end, which tells files apart best.
constexpr size_t SHOWN_NAME_MAX = 48;

uint64_t monotonic_ns() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1'000'000'000u + static_cast<uint64_t>(ts.tv_nsec);
}

std::string size_text(uint64_t bytes) {
  char text[32];
  if (bytes >= (1ull << 30))
    std::snprintf(text, sizeof text, "%.1f GiB", static_cast<double>(bytes) / (1ull << 30));
  else
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1ull << 20));
  return text;
}

void write_all(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n <= 0) return;  // a status line is not worth retrying or reporting
    done += static_cast<size_t>(n);
  }
}

}  // namespace

progress_line::progress_line(int fd, bool enabled) : m_fd(fd), m_enabled(enabled) {
  m_observer.on_progress = &progress_line::on_progress;
  m_observer.user = this;
  m_last_draw_ns = monotonic_ns();  // nothing is drawn for walks shorter than one interval
}

progress_line::~progress_line() {
  clear();
}

std::string progress_line::render(const walk_progress& progress, uint64_t reported_before) {
  std::string name = progress.path != nullptr ? *progress.path : std::string();
  if (name.size() > SHOWN_NAME_MAX) name = "..." + name.substr(name.size() - SHOWN_NAME_MAX + 3);
  std::string text = "nelo: " + name + "  " + size_text(progress.bytes_read);
  if (progress.file_size > 0) {
    const uint64_t percent = progress.bytes_read >= progress.file_size
                                 ? 100
                                 : progress.bytes_read * 100 / progress.file_size;
    text += " of " + size_text(progress.file_size) + " (" + std::to_string(percent) + "%)";
  }
  text += "  " + std::to_string(reported_before + progress.reported) + " packets reported";
  return text;
}

void progress_line::on_progress(void* user, const walk_progress& progress) {
  static_cast<progress_line*>(user)->update(progress);
}

void progress_line::update(const walk_progress& progress) {
  if (progress.finished) {
    m_reported_before += progress.reported;
    clear();
    return;
  }
  const uint64_t now = monotonic_ns();
  if (now - m_last_draw_ns < PROGRESS_INTERVAL_NS) return;
  m_last_draw_ns = now;
  write_all(m_fd, std::string(LINE_CLEAR_SEQUENCE) + render(progress, m_reported_before));
  m_shown = true;
}

void progress_line::clear() {
  if (!m_shown) return;
  write_all(m_fd, LINE_CLEAR_SEQUENCE);
  m_shown = false;
}

bool progress_wanted(bool quiet, bool report_to_stdout) {
  if (quiet || isatty(STDERR_FILENO) == 0) return false;
  return !(report_to_stdout && isatty(STDOUT_FILENO) != 0);
}

}  // namespace nelo
