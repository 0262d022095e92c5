#include "capture/mapped_file.h"

#include <errno.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <system_error>
#include <utility>

#include "support/run_control.h"

namespace nelo {

namespace {

// Room for every window list walks hold at once (one per thread, at most 64) and then some. A
// window that finds every slot taken is not mapped: its file is read instead.
constexpr int GUARD_SLOTS = 128;

// One live window: the addresses it covers, where the guard put zeros and whether it did.
struct guard_slot {
  std::atomic<bool> taken{false};
  std::atomic<uintptr_t> begin{0};
  std::atomic<uintptr_t> end{0};  // 0 while the slot is being filled or emptied
  std::atomic<uintptr_t> zeros_from{0};
  std::atomic<bool> cut{false};
};

static_assert(std::atomic<uintptr_t>::is_always_lock_free && std::atomic<bool>::is_always_lock_free,
              "the signal handler touches nothing but lock-free atomics");

// A signal handler reaches nothing but globals, so the windows alive in every thread are
// registered here, along with the action the guard replaced (set once, before the guard is
// installed) and the page mask the handler rounds with.
guard_slot g_slots[GUARD_SLOTS];
struct sigaction g_previous;
uintptr_t g_page_mask = 0;

// The size the page cache's largest folios are mapped in (a page table's worth of pages).
constexpr uint64_t HUGE_PAGE_SIZE = 2u << 20;

uint64_t round_up(uint64_t n, uint64_t page) {
  return (n + page - 1) & ~(page - 1);
}

// Maps zeros over the rest of the window holding `at`, from its page on, so that the faulting
// access reads them when it is tried again, and raises the window's flag. False when `at` is in
// no live window.
bool zero_rest_of_window(uintptr_t at) {
  for (guard_slot& slot : g_slots) {
    const uintptr_t end = slot.end.load(std::memory_order_acquire);
    const uintptr_t begin = slot.begin.load(std::memory_order_relaxed);
    if (at < begin || at >= end) continue;
    const uintptr_t page = at & ~g_page_mask;
    // mmap is a bare system call on Linux: safe in a signal handler, though POSIX does not list it.
    void* zeros = ::mmap(reinterpret_cast<void*>(page), end - page, PROT_READ,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
    if (zeros == MAP_FAILED) return false;
    if (page < slot.zeros_from.load(std::memory_order_relaxed)) {
      slot.zeros_from.store(page, std::memory_order_relaxed);
    }
    slot.cut.store(true, std::memory_order_relaxed);
    return true;
  }
  return false;
}

void on_sigbus(int signo, siginfo_t* info, void*) {
  const int saved_errno = errno;
  // A positive code: the kernel raised it for an access, which is tried again on return.
  const bool fault = info != nullptr && info->si_code > 0;
  if (!fault || !zero_rest_of_window(reinterpret_cast<uintptr_t>(info->si_addr))) {
    // Not a window's: the action the guard replaced takes it, as the access faults again, or as
    // a signal another process sent is raised again once this handler returns.
    ::sigaction(SIGBUS, &g_previous, nullptr);
    if (!fault) ::raise(signo);
  }
  errno = saved_errno;
}

// Installs the guard the first time a window is mapped, in whichever thread that is; false when
// it cannot be installed, and no file is then mapped.
bool guard_installed() {
  static const bool installed = [] {
    g_page_mask = page_size() - 1;
    if (::sigaction(SIGBUS, nullptr, &g_previous) != 0) return false;
    struct sigaction action = {};
    action.sa_sigaction = on_sigbus;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    return ::sigaction(SIGBUS, &action, nullptr) == 0;
  }();
  return installed;
}

int take_slot(uintptr_t begin, uintptr_t end) {
  for (int i = 0; i < GUARD_SLOTS; ++i) {
    bool free = false;
    guard_slot& slot = g_slots[i];
    if (!slot.taken.compare_exchange_strong(free, true, std::memory_order_acquire)) continue;
    slot.cut.store(false, std::memory_order_relaxed);
    slot.zeros_from.store(end, std::memory_order_relaxed);
    slot.begin.store(begin, std::memory_order_relaxed);
    slot.end.store(end, std::memory_order_release);
    return i;
  }
  return -1;
}

void free_slot(int i) {
  guard_slot& slot = g_slots[i];
  slot.end.store(0, std::memory_order_relaxed);
  slot.begin.store(0, std::memory_order_relaxed);
  slot.taken.store(false, std::memory_order_release);
}

}  // namespace

size_t page_size() {
  static const size_t size = [] {
    const long n = ::sysconf(_SC_PAGESIZE);
    return n > 0 ? static_cast<size_t>(n) : size_t{4096};
  }();
  return size;
}

bool mapped_window::map(int fd, uint64_t offset, size_t len) {
  if (len == 0 || !guard_installed()) return false;
  void* at = ::mmap(nullptr, len, PROT_READ, MAP_SHARED, fd, static_cast<off_t>(offset));
  if (at == MAP_FAILED) return false;
  const auto begin = reinterpret_cast<uintptr_t>(at);
  const int slot = take_slot(begin, begin + len);
  if (slot < 0) {
    ::munmap(at, len);
    return false;
  }
  release();
  m_data = static_cast<uint8_t*>(at);
  m_len = len;
  m_slot = slot;
  return true;
}

void mapped_window::release() {
  if (m_data == nullptr) return;
  free_slot(m_slot);
  ::munmap(m_data, m_len);
  m_data = nullptr;
  m_len = 0;
  m_slot = -1;
}

void mapped_window::take(mapped_window& other) {
  release();
  std::swap(m_data, other.m_data);
  std::swap(m_len, other.m_len);
  std::swap(m_slot, other.m_slot);
}

const std::atomic<bool>& mapped_window::cut() const {
  return m_slot >= 0 ? g_slots[m_slot].cut : NEVER_CUT;
}

size_t mapped_window::zeros_from() const {
  if (m_slot < 0) return m_len;
  return g_slots[m_slot].zeros_from.load(std::memory_order_relaxed) -
         reinterpret_cast<uintptr_t>(m_data);
}

void mapped_window::clear_cut() {
  if (m_slot >= 0) g_slots[m_slot].cut.store(false, std::memory_order_relaxed);
}

window_populator::~window_populator() {
  if (!m_started) return;
  {
    mutex_lock lock(m_mutex);
    m_quit = true;
  }
  m_changed.notify_all();
  m_thread.join();
}

void window_populator::post(const uint8_t* at, size_t len) {
  if (!m_started) {
    if (m_unavailable) return;
    const stop_signals_blocked blocked;  // the thread inherits the mask
    try {
      m_thread = std::thread(&window_populator::run, this);
    } catch (const std::system_error&) {
      // Populating is a hint: without the thread the walk takes its own faults.
      m_unavailable = true;
      return;
    }
    m_started = true;
  }
  {
    mutex_lock lock(m_mutex);
    m_waiting = at;
    m_waiting_len = len;
  }
  m_changed.notify_all();
}

void window_populator::forget(const uint8_t* at) {
  if (!m_started || at == nullptr) return;
  mutex_lock lock(m_mutex);
  if (m_waiting == at) m_waiting = nullptr;
  while (m_busy == at) m_changed.wait(m_mutex);
}

void window_populator::retire(mapped_window& window) {
  {
    mutex_lock lock(m_mutex);
    m_retired.take(window);
  }
  m_changed.notify_all();
}

void window_populator::run() {
  mutex_lock lock(m_mutex);
  for (;;) {
    while (!m_quit && m_waiting == nullptr && m_retired.data() == nullptr) m_changed.wait(m_mutex);
    if (m_quit) return;
    if (m_retired.data() != nullptr) {
      mapped_window old;
      old.take(m_retired);
      lock.unlock();
      old.release();  // the walk's thread no longer waits for the page tables to go
      lock.lock();
      continue;
    }
    const uint8_t* at = m_busy = m_waiting;
    const size_t len = m_waiting_len;
    m_waiting = nullptr;
    lock.unlock();
    // EINVAL before Linux 5.14, EFAULT past the end of a cut file: the walk then faults as
    // without this thread, and the guard sees to a cut.
    ::madvise(const_cast<uint8_t*>(at), len, MADV_POPULATE_READ);
    lock.lock();
    m_busy = nullptr;
    m_changed.notify_all();
  }
}

mapped_source::mapped_source(int fd, size_t window_size, bool populate_ahead)
    : m_fd(fd),
      m_page(page_size()),
      m_window_size(round_up(std::max<size_t>(window_size, 1), m_page)),
      m_populate_ahead(populate_ahead) {}

mapped_source::~mapped_source() {
  drop_next();
}

ssize_t mapped_source::read_some(uint8_t* to, size_t max) {
  for (;;) {
    const ssize_t n = ::pread(m_fd, to, max, static_cast<off_t>(m_read_at));
    if (n >= 0) {
      m_read_at += static_cast<uint64_t>(n);
      m_reached = std::max(m_reached, m_read_at);
      return n;
    }
    if (errno != EINTR || stop_requested()) return -1;
  }
}

bool mapped_source::refresh_size() {
  struct stat st;
  if (::fstat(m_fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  m_size = static_cast<uint64_t>(st.st_size);
  return true;
}

// A window of several huge pages starts and ends on their grid, so that the kernel maps each huge
// folio of the page cache with one entry instead of 512.
void mapped_source::window_bounds(uint64_t offset, size_t want, uint64_t limit, uint64_t& start,
                                  uint64_t& end) const {
  const uint64_t grain = m_window_size >= HUGE_PAGE_SIZE ? HUGE_PAGE_SIZE : m_page;
  start = offset & ~(grain - 1);
  end = std::min(limit, std::max(start + m_window_size, round_up(offset + want, grain)));
}

bool mapped_source::move_window(uint64_t offset, size_t want) {
  if (!refresh_size()) return false;
  // The last page is read, not lent, so that every lent byte has a page after it to touch.
  const uint64_t pages_end = round_up(m_size, m_page);
  const uint64_t limit = pages_end > m_page ? pages_end - m_page : 0;
  if (offset > limit || want > limit - offset) return false;
  // The window about to go may still be in the populator's hands when the walk outran it.
  m_populator.forget(m_window.data());
  if (!take_next(offset, want, limit)) {
    drop_next();
    uint64_t start = 0, end = 0;
    window_bounds(offset, want, limit, start, end);
    // No hints on this thread: on a warm page cache MADV_SEQUENTIAL and MADV_POPULATE_READ
    // changed nothing measurable, and MAP_POPULATE and MADV_WILLNEED cost 10-15% more than the
    // faults they spare.
    if (!m_window.map(m_fd, start, static_cast<size_t>(end - start) + m_page)) return false;
    m_window_offset = start;
    m_lent = static_cast<size_t>(end - start);
  }
  m_reached = std::max(m_reached, m_window_offset + m_lent);
  if (m_populate_ahead) map_next(limit);
  return true;
}

bool mapped_source::take_next(uint64_t offset, size_t want, uint64_t limit) {
  if (m_next.data() == nullptr || offset < m_next_offset ||
      offset + want > m_next_offset + m_next_lent || m_next_offset + m_next_lent > limit) {
    return false;
  }
  // The populator may still be filling it: the walk's own faults then meet its work halfway.
  m_populator.retire(m_window);
  m_window.take(m_next);
  m_window_offset = m_next_offset;
  m_lent = m_next_lent;
  return true;
}

// The walk leaves a window with its last record, which may start well before the window's end:
// the next window starts a huge page before it (where the window is larger than that) so as to
// hold that record in all but rare cases.
void mapped_source::map_next(uint64_t limit) {
  const uint64_t lent_end = m_window_offset + m_lent;
  if (m_next.data() != nullptr || lent_end >= limit) return;
  const uint64_t grain = m_window_size >= HUGE_PAGE_SIZE ? HUGE_PAGE_SIZE : m_page;
  const uint64_t from = lent_end > HUGE_PAGE_SIZE ? lent_end - HUGE_PAGE_SIZE : 0;
  uint64_t start = 0, end = 0;
  window_bounds(std::max(from, m_window_offset + grain), 0, limit, start, end);
  if (end <= lent_end || !m_next.map(m_fd, start, static_cast<size_t>(end - start) + m_page)) {
    return;
  }
  m_next_offset = start;
  m_next_lent = static_cast<size_t>(end - start);
  m_populator.post(m_next.data(), m_next.size());
}

void mapped_source::drop_next() {
  if (m_next.data() == nullptr) return;
  m_populator.forget(m_next.data());
  m_next.release();
}

uint64_t mapped_source::settle_cut(bool& unreadable) {
  const uint64_t zeros = m_window_offset + m_window.zeros_from();
  m_window.clear_cut();
  refresh_size();
  unreadable = zeros < m_size;
  return std::min(zeros, m_size);
}

void mapped_source::read_from(uint64_t offset) {
  drop_next();
  m_populator.forget(m_window.data());
  m_window.release();
  m_read_at = offset;
  m_reached = std::max(m_reached, offset);
}

}  // namespace nelo
