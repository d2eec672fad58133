#include "rpc/pipe_thread.h"

#include "sync/thread_start.h"

namespace AnonRpc {

PipeThread::~PipeThread() {
  Join(std::chrono::milliseconds::zero());
}

void PipeThread::Start(std::function<void()> body) {
  cancel_ = std::make_unique<PipeCancel>();
  {
    LarkSync::MutexLock lock(mutex_);
    finished_ = false;
  }
  PipeCancel* cancel = cancel_.get();
  thread_ = std::thread([this, cancel, body = std::move(body)] {
    LarkSync::ReserveStackForCrashReports();
    try {
      PipeCancel::Scope scope(*cancel);
      body();
    } catch (...) {
      // Out of memory, most likely: the worker ends as it would on a broken pipe, and never
      // takes the process down.
    }
    LarkSync::MutexLock lock(mutex_);
    finished_ = true;
    finishedSignal_.notify_all();
  });
}

void PipeThread::Join(std::chrono::milliseconds grace, const std::function<void()>& overdue) {
  if (!thread_.joinable()) return;
  LarkSync::MutexLock lock(mutex_);
  if (!finishedSignal_.wait_for(lock, grace,
                                [this]() LARK_REQUIRES(mutex_) { return finished_; })) {
    if (overdue) {
      lock.Unlock();
      overdue();
      lock.Lock();
    }
    // A cancel can land just before the thread enters its call; the next round catches it.
    while (!finished_) {
      cancel_->Cancel();
      finishedSignal_.wait_for(lock, kCancelRetry,
                               [this]() LARK_REQUIRES(mutex_) { return finished_; });
    }
  }
  lock.Unlock();
  thread_.join();
}

}  // namespace AnonRpc
