#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <utility>

#include "rpc/pipe_io.h"
#include "rpc/pipe_thread.h"
#include "rpc/unique_pipe.h"
#include "sync/mutex.h"

namespace AnonRpc {

// One-way notifications to the parent on ntyWrite. Producers on any thread Enqueue; one writer
// thread writes the frames in arrival order. The queue keeps at most kQueueBound entries and
// kQueueByteBound bytes of types and payloads, and drops the oldest past either, counting and
// logging each drop; the newest entry always stays. An entry with a field above kMaxFieldBytes
// is never queued: the parent would refuse its frame, so it is dropped, counted and logged with
// its size. A failed write ends the writer and calls onPipeBroken on it (once, and only while
// running). Owns ntyWrite from construction.
class NotifySender {
 public:
  static constexpr std::size_t kQueueBound = 10000;
  static constexpr std::size_t kQueueByteBound = std::size_t{64} << 20;

  NotifySender(UniquePipe ntyWrite, std::function<void()> onPipeBroken);
  ~NotifySender();
  NotifySender(const NotifySender&) = delete;
  NotifySender& operator=(const NotifySender&) = delete;

  // False for an empty type or a field above kMaxFieldBytes (nothing queued). Never waits for
  // the pipe. Before Start and after Stop the entry is only queued, never written.
  bool Enqueue(const std::string& type, const std::string& payload);

  // Starts the writer unless running; throws std::system_error when it cannot be created.
  void Start();

  // Discards what is queued, lets a write in progress finish (cancelling it if the parent has
  // stopped reading), joins the writer and closes ntyWrite. A second call does nothing.
  void Stop();

  std::uint64_t DroppedCount() const { return dropped_.load(); }
  std::size_t QueuedCount();

 private:
  using Entry = std::pair<std::string, std::string>;  // type, payload

  void WriteQueued();
  bool WriteFrame(const Entry& entry);

  UniquePipe ntyWrite_;
  const std::function<void()> onPipeBroken_;
  std::atomic<bool> running_{false};
  LarkSync::Mutex queueLock_;
  std::deque<Entry> queue_ LARK_GUARDED_BY(queueLock_);
  std::size_t queuedBytes_ LARK_GUARDED_BY(queueLock_) = 0;
  LarkSync::ConditionVariable queueSignal_;
  std::atomic<std::uint64_t> dropped_{0};
  PipeThread writer_;
};

}  // namespace AnonRpc
