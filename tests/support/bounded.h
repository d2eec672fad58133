#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <thread>

namespace lark::test {

// Runs fn on another thread and fails the whole test binary at once if it has not returned
// within the limit, so that a hang shows as a failure instead of a stuck run.
inline void ReturnsWithin(std::chrono::seconds limit, const std::function<void()>& fn,
                          const char* what = "call") {
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  std::thread runner([&] {
    fn();
    std::lock_guard lock(mutex);
    finished = true;
    done.notify_all();
  });
  std::unique_lock lock(mutex);
  if (!done.wait_for(lock, limit, [&] { return finished; })) {
    std::fprintf(stderr, "HANG: %s did not return within %llds\n", what,
                 static_cast<long long>(limit.count()));
    std::fflush(stderr);
    std::_Exit(3);
  }
  lock.unlock();
  runner.join();
}

}  // namespace lark::test
