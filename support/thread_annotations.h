// Lock rules the compiler checks: clang's thread-safety analysis reads these marks on the state
// threads share (GUARDED_BY) and on the functions that take, need or must not hold a lock
// (ACQUIRE, RELEASE, REQUIRES, EXCLUDES). Other compilers see nothing. libstdc++'s std::mutex
// carries no marks, so shared state is locked with `mutex`, `mutex_lock` and `condition`, thin
// wrappers over the standard types that cost nothing more.
#ifndef NELO_SUPPORT_THREAD_ANNOTATIONS_H_
#define NELO_SUPPORT_THREAD_ANNOTATIONS_H_

#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define NELO_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define NELO_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) NELO_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY NELO_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) NELO_THREAD_ANNOTATION(guarded_by(x))
#define REQUIRES(...) NELO_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) NELO_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) NELO_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) NELO_THREAD_ANNOTATION(release_capability(__VA_ARGS__))

namespace nelo {

class condition;

class CAPABILITY("mutex") mutex {
 public:
  mutex() = default;
  mutex(const mutex&) = delete;
  mutex& operator=(const mutex&) = delete;

  void lock() ACQUIRE() { m_mutex.lock(); }
  void unlock() RELEASE() { m_mutex.unlock(); }

 private:
  friend class condition;
  std::mutex m_mutex;
};

// Holds `m` for its scope. It may let the mutex go for a while (unlock) and take it back (lock)
// within the scope; it releases it at the end only if it holds it then.
class SCOPED_CAPABILITY mutex_lock {
 public:
  explicit mutex_lock(mutex& m) ACQUIRE(m) : m_mutex(m) { m_mutex.lock(); }
  mutex_lock(const mutex_lock&) = delete;
  mutex_lock& operator=(const mutex_lock&) = delete;
  ~mutex_lock() RELEASE() {
    if (m_held) m_mutex.unlock();
  }

  void unlock() RELEASE() {
    m_mutex.unlock();
    m_held = false;
  }
  void lock() ACQUIRE() {
    m_mutex.lock();
    m_held = true;
  }

 private:
  mutex& m_mutex;
  bool m_held = true;
};

// A condition variable waited on under a `mutex`.
class condition {
 public:
  condition() = default;
  condition(const condition&) = delete;
  condition& operator=(const condition&) = delete;

  // Lets `m` go until notified (or woken spuriously), and holds it again on return: callers wait
  // in a loop over their own condition.
  void wait(mutex& m) REQUIRES(m) {
    std::unique_lock<std::mutex> lock(m.m_mutex, std::adopt_lock);
    m_changed.wait(lock);
    lock.release();
  }
  void notify_one() { m_changed.notify_one(); }
  void notify_all() { m_changed.notify_all(); }

 private:
  std::condition_variable m_changed;
};

}  // namespace nelo

#endif  // NELO_SUPPORT_THREAD_ANNOTATIONS_H_
