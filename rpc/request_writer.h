#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

#include "rpc/pipe_io.h"
#include "sync/mutex.h"

namespace AnonRpc {

// The write end of a request pipe that callers on any thread share, one whole frame at a time.
// Each write is bounded by its caller's deadline, the wait for its turn included: a peer that
// stops reading blocks a write once the pipe's buffer is full, and every write behind it. The
// owner's timer calls CancelOverdue, which cancels a write still blocked at its deadline. A write
// that failed, whatever cut it short, may have left part of a frame in the pipe, so from then on
// every write fails at once with the error that ended it.
class RequestWriter {
 public:
  using Clock = std::chrono::steady_clock;
  // A deadline that never passes.
  static constexpr Clock::time_point kNoDeadline = Clock::time_point::max();

  enum class Outcome {
    Written,
    Failed,    // with the error; the pipe is no longer usable
    TimedOut,  // before its turn came; nothing was written, the pipe is still in step
  };

  // `watchChanged` runs on the writing thread, outside this writer's lock, whenever a write
  // with a deadline begins: the owner's timer must call CancelOverdue again.
  explicit RequestWriter(std::function<void()> watchChanged);
  RequestWriter(const RequestWriter&) = delete;
  RequestWriter& operator=(const RequestWriter&) = delete;

  // Runs `write` on this thread once no other write is in progress; it makes the pipe calls of
  // one frame and returns whether they succeeded (LastPipeError() saying why not).
  Outcome Write(Clock::time_point deadline, const std::function<bool()>& write,
                std::uint32_t* error);

  // For the owner's timer: cancels the write in progress if its deadline has passed, again
  // every kCancelRetry until it has returned, and says when to look again, if at all.
  std::optional<Clock::time_point> CancelOverdue(Clock::time_point now);

  // Fails every later write with CancelledPipeError() (unless one failed before) and cancels
  // the one in progress, again every few milliseconds, until it has returned. Any thread; a
  // second call does nothing more.
  void Stop();

 private:
  const std::function<void()> watchChanged_;
  PipeCancel cancel_;  // bound to whichever thread has the turn
  LarkSync::Mutex mutex_;
  LarkSync::ConditionVariable turnFree_;
  bool busy_ LARK_GUARDED_BY(mutex_) = false;
  Clock::time_point deadline_ LARK_GUARDED_BY(mutex_);    // of the write in progress
  Clock::time_point nextCancel_ LARK_GUARDED_BY(mutex_);  // the deadline, then every kCancelRetry
  bool cancelled_ LARK_GUARDED_BY(mutex_) = false;        // by the timer, for that write
  std::optional<std::uint32_t> failure_ LARK_GUARDED_BY(mutex_);
};

}  // namespace AnonRpc
