#include "rpc/request_writer.h"

#include <utility>

#include "rpc/pipe_thread.h"

namespace AnonRpc {

RequestWriter::RequestWriter(std::function<void()> watchChanged)
    : watchChanged_(std::move(watchChanged)) {}

RequestWriter::Outcome RequestWriter::Write(Clock::time_point deadline,
                                            const std::function<bool()>& write,
                                            std::uint32_t* error) {
  {
    LarkSync::MutexLock lock(mutex_);
    const auto free = [this]() LARK_REQUIRES(mutex_) { return !busy_ || failure_.has_value(); };
    if (deadline == kNoDeadline) {
      turnFree_.wait(lock, free);
    } else if (!turnFree_.wait_until(lock, deadline, free)) {
      return Outcome::TimedOut;
    }
    if (failure_) {
      *error = *failure_;
      return Outcome::Failed;
    }
    busy_ = true;
    deadline_ = deadline;
    nextCancel_ = deadline;
    cancelled_ = false;
  }
  if (deadline != kNoDeadline && watchChanged_) watchChanged_();
  bool written = false;
  try {
    PipeCancel::Scope cancellable(cancel_);
    written = write();
  } catch (...) {
    // Part of a frame may be out: as after a failed write, no write follows this one.
    LarkSync::MutexLock lock(mutex_);
    busy_ = false;
    if (!failure_) failure_ = CancelledPipeError();
    turnFree_.notify_all();
    throw;
  }
  const std::uint32_t lastError = LastPipeError();
  LarkSync::MutexLock lock(mutex_);
  busy_ = false;
  // The frame went out whole just as the time ran out: the pipe is still in step.
  if (written && cancelled_) cancel_.Rearm();
  if (!written && !failure_) failure_ = lastError;
  turnFree_.notify_all();
  if (written) return Outcome::Written;
  *error = *failure_;
  return Outcome::Failed;
}

std::optional<RequestWriter::Clock::time_point> RequestWriter::CancelOverdue(
    Clock::time_point now) {
  LarkSync::MutexLock lock(mutex_);
  if (!busy_ || deadline_ == kNoDeadline) return std::nullopt;
  if (nextCancel_ > now) return nextCancel_;
  // Under the lock, which the writer takes to give up its turn: this can only hit that write.
  // Once is not enough: a cancel can land just before the write blocks, and be lost.
  cancelled_ = true;
  cancel_.Cancel();
  nextCancel_ = now + kCancelRetry;
  return nextCancel_;
}

void RequestWriter::Stop() {
  LarkSync::MutexLock lock(mutex_);
  if (!failure_) failure_ = CancelledPipeError();
  turnFree_.notify_all();
  while (busy_) {
    cancel_.Cancel();
    turnFree_.wait_for(lock, kCancelRetry, [this]() LARK_REQUIRES(mutex_) { return !busy_; });
  }
}

}  // namespace AnonRpc
