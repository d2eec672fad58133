#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "rpc/pipe_io.h"
#include "sync/mutex.h"

namespace AnonRpc {

// How often a cancel that must take effect is repeated until its call has returned: one can land
// just before the call blocks and be lost.
inline constexpr std::chrono::milliseconds kCancelRetry{10};

// A worker thread that blocks in pipe calls, with the one stop path every worker needs: give the
// body a grace period to return on its own (after the owner's orderly wake-up), then cancel its
// blocked pipe call, again every few milliseconds, until it has returned; then join. Only pipe
// calls are cancelled, so a body that is busy elsewhere is waited for. Nothing the body throws
// leaves the thread: it just ends there.
class PipeThread {
 public:
  PipeThread() = default;
  ~PipeThread();  // joins, cancelling at once
  PipeThread(const PipeThread&) = delete;
  PipeThread& operator=(const PipeThread&) = delete;

  // Throws std::system_error when the thread cannot be created.
  void Start(std::function<void()> body);

  bool Joinable() const { return thread_.joinable(); }
  bool IsCurrentThread() const { return thread_.get_id() == std::this_thread::get_id(); }

  // Must not be called from the thread itself. `overdue`, if given, runs once on the calling
  // thread when the grace has passed and the body still runs, before the first cancel: the
  // owner's chance to release a body that waits on something no pipe cancel reaches.
  void Join(std::chrono::milliseconds grace, const std::function<void()>& overdue = {});

 private:
  std::thread thread_;
  std::unique_ptr<PipeCancel> cancel_;
  LarkSync::Mutex mutex_;
  LarkSync::ConditionVariable finishedSignal_;
  bool finished_ LARK_GUARDED_BY(mutex_) = false;
};

}  // namespace AnonRpc
