#pragma once

// The one mutex, lock and condition variable of the project, annotated for clang's
// thread-safety analysis. On Windows they are an SRW lock and a Win32 condition variable:
// MinGW's standard ones go through winpthreads semaphores, a kernel object per wait, which
// under Wine costs a wineserver round trip each time, as much as a pipe round trip. Elsewhere
// they wrap the standard ones.

#include <chrono>

#if !defined(_WIN32)
#include <condition_variable>
#include <mutex>
#endif

#include "sync/thread_annotations.h"

namespace LarkSync {

class LARK_CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() LARK_ACQUIRE();
  bool try_lock() LARK_TRY_ACQUIRE(true);
  void unlock() LARK_RELEASE();

 private:
  friend class ConditionVariable;
#if defined(_WIN32)
  void* srwLock_ = nullptr;  // SRWLOCK_INIT
#else
  std::mutex mutex_;
#endif
};

struct AdoptLock {};
inline constexpr AdoptLock kAdoptLock{};

// Holds a mutex for its scope; Unlock/Lock let a holder drop it around a call out.
class LARK_SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) LARK_ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  MutexLock(Mutex& mutex, AdoptLock) LARK_REQUIRES(mutex) : mutex_(mutex) {}
  ~MutexLock() LARK_RELEASE() {
    if (held_) mutex_.unlock();
  }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  void Unlock() LARK_RELEASE() {
    held_ = false;
    mutex_.unlock();
  }
  void Lock() LARK_ACQUIRE() {
    mutex_.lock();
    held_ = true;
  }

 private:
  friend class ConditionVariable;
  Mutex& mutex_;
  bool held_ = true;
};

// The analysis cannot see that a wait releases and retakes the lock, nor that the predicate
// runs with it held: the waits are unchecked, and callers mark their predicates REQUIRES.
class ConditionVariable {
 public:
  ConditionVariable() = default;
  ConditionVariable(const ConditionVariable&) = delete;
  ConditionVariable& operator=(const ConditionVariable&) = delete;

  void notify_one();
  void notify_all();

  void wait(MutexLock& lock);
  template <typename Predicate>
  void wait(MutexLock& lock, Predicate ready) LARK_NO_THREAD_SAFETY_ANALYSIS {
    while (!ready()) wait(lock);
  }
  template <typename Clock, typename Duration, typename Predicate>
  bool wait_until(MutexLock& lock, const std::chrono::time_point<Clock, Duration>& deadline,
                  Predicate ready) LARK_NO_THREAD_SAFETY_ANALYSIS {
    while (!ready()) {
      const auto left = deadline - Clock::now();
      if (left <= Duration::zero()) return ready();
      WaitAtMost(lock, std::chrono::ceil<std::chrono::milliseconds>(left));
    }
    return true;
  }
  template <typename Rep, typename Period, typename Predicate>
  bool wait_for(MutexLock& lock, const std::chrono::duration<Rep, Period>& timeout,
                Predicate ready) LARK_NO_THREAD_SAFETY_ANALYSIS {
    return wait_until(lock, std::chrono::steady_clock::now() + timeout, ready);
  }

 private:
  // May return early; the predicate loops above decide.
  void WaitAtMost(MutexLock& lock, std::chrono::milliseconds timeout);
#if defined(_WIN32)
  void* condition_ = nullptr;  // CONDITION_VARIABLE_INIT
#else
  std::condition_variable condition_;
#endif
};

}  // namespace LarkSync
