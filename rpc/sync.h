#pragma once

// The mutex and condition variable of the pipe workers' hand-offs. On Windows they are an SRW
// lock and a Win32 condition variable: MinGW's standard ones go through winpthreads semaphores,
// a kernel object per wait, which under Wine costs a wineserver round trip each time, as much
// as a pipe round trip. Elsewhere they are the standard ones. Both work with std::lock_guard
// and std::unique_lock and offer the same waits.

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace AnonRpc {

#if defined(_WIN32)

class Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock();
  bool try_lock();
  void unlock();

 private:
  friend class ConditionVariable;
  void* srwLock_ = nullptr;  // SRWLOCK_INIT
};

class ConditionVariable {
 public:
  ConditionVariable() = default;
  ConditionVariable(const ConditionVariable&) = delete;
  ConditionVariable& operator=(const ConditionVariable&) = delete;

  void notify_one();
  void notify_all();

  void wait(std::unique_lock<Mutex>& lock);
  template <typename Predicate>
  void wait(std::unique_lock<Mutex>& lock, Predicate ready) {
    while (!ready()) wait(lock);
  }
  template <typename Clock, typename Duration, typename Predicate>
  bool wait_until(std::unique_lock<Mutex>& lock,
                  const std::chrono::time_point<Clock, Duration>& deadline, Predicate ready) {
    while (!ready()) {
      const auto left = deadline - Clock::now();
      if (left <= Duration::zero()) return ready();
      WaitAtMost(lock, std::chrono::ceil<std::chrono::milliseconds>(left));
    }
    return true;
  }
  template <typename Rep, typename Period, typename Predicate>
  bool wait_for(std::unique_lock<Mutex>& lock, const std::chrono::duration<Rep, Period>& timeout,
                Predicate ready) {
    return wait_until(lock, std::chrono::steady_clock::now() + timeout, ready);
  }

 private:
  void WaitAtMost(std::unique_lock<Mutex>& lock, std::chrono::milliseconds timeout);
  void* condition_ = nullptr;  // CONDITION_VARIABLE_INIT
};

#else

using Mutex = std::mutex;
using ConditionVariable = std::condition_variable;

#endif

}  // namespace AnonRpc
