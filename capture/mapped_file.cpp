#include "capture/mapped_file.h"

#include <errno.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

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

mapped_source::mapped_source(int fd, size_t window_size)
    : m_fd(fd),
      m_page(page_size()),
      m_window_size(round_up(std::max<size_t>(window_size, 1), m_page)) {}

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

bool mapped_source::move_window(uint64_t offset, size_t want) {
  if (!refresh_size()) return false;
  // The last page is read, not lent, so that every lent byte has a page after it to touch.
  const uint64_t pages_end = round_up(m_size, m_page);
  const uint64_t limit = pages_end > m_page ? pages_end - m_page : 0;
  if (offset > limit || want > limit - offset) return false;
  // A window of several huge pages starts and ends on their grid, so that the kernel maps each
  // huge folio of the page cache with one entry instead of 512.
  const uint64_t grain = m_window_size >= HUGE_PAGE_SIZE ? HUGE_PAGE_SIZE : m_page;
  const uint64_t start = offset & ~(grain - 1);
  const uint64_t end =
      std::min(limit, std::max(start + m_window_size, round_up(offset + want, grain)));
  // No hints: on a warm page cache MADV_SEQUENTIAL and MADV_POPULATE_READ changed nothing
  // measurable, and MAP_POPULATE and MADV_WILLNEED cost 10-15% more than the faults they spare.
  if (!m_window.map(m_fd, start, static_cast<size_t>(end - start) + m_page)) return false;
  m_window_offset = start;
  m_lent = static_cast<size_t>(end - start);
  m_reached = std::max(m_reached, end);
  return true;
}

uint64_t mapped_source::settle_cut(bool& unreadable) {
  const uint64_t zeros = m_window_offset + m_window.zeros_from();
  m_window.clear_cut();
  refresh_size();
  unreadable = zeros < m_size;
  return std::min(zeros, m_size);
}

void mapped_source::read_from(uint64_t offset) {
  m_window.release();
  m_read_at = offset;
  m_reached = std::max(m_reached, offset);
}

}  // namespace nelo
