#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "protocol/lark_protocol.h"
#include "rpc/pipe_io.h"
#include "rpc/pipe_thread.h"
#include "rpc/request_writer.h"
#include "rpc/rpc_exception.h"
#include "rpc/unique_pipe.h"
#include "sync/mutex.h"

namespace AnonRpc {

// How long a call waits for its answer before it fails with RpcTimeoutException.
struct CallTimeouts {
  std::chrono::milliseconds call{LarkProtocol::kReverseCallTimeout};
  std::chrono::milliseconds async{LarkProtocol::kReverseCallTimeout};
};

// The host's calls to the parent: request frames go out on revReqWrite, one reader thread
// matches the response frames on revResRead to the waiting calls. Owns both handles from
// construction. Call and CallAsync may be used from any thread, before Start as well; Start and
// Stop belong to the owner. One timer thread, started with the first call or Start, times out
// every call, however many are in flight: a call's time-out covers its wait for its turn to
// write and its request write too; a write still blocked then is cancelled, again every few
// milliseconds until it has returned (a cancel can land just before it blocks), so no call
// outlives its time-out by more than that, even when the parent never reads.
class RpcCaller {
 public:
  using Clock = std::chrono::steady_clock;

  RpcCaller(UniquePipe revReqWrite, UniquePipe revResRead, CallTimeouts timeouts = {});
  ~RpcCaller();
  RpcCaller(const RpcCaller&) = delete;
  RpcCaller& operator=(const RpcCaller&) = delete;

  // Returns the response body, or throws RpcException (the parent's error text, "Pipe broken",
  // "RpcCaller stopped", a refused argument or a failed write) or RpcTimeoutException.
  std::string Call(const std::string& method, const std::string& payload);

  // Returns once the request is written; the future yields the body or the call's exception,
  // "Async RPC timeout" when no answer came in time. Throws RpcException for a refused argument
  // or a failed write.
  std::future<std::string> CallAsync(const std::string& method, const std::string& payload);

  // Starts the reader and timer threads unless running; throws std::system_error when a thread
  // cannot be created.
  void Start();

  // Ends the reader (cancelling its read), the timer and any request write in progress, closes
  // revResRead and fails every pending call with "RpcCaller stopped". Bounded even when the
  // parent neither reads, writes nor closes. Later calls fail at once. Any thread; a second call,
  // or one racing the first, does nothing. With a grace, calls in progress first get up to that
  // long to complete (an answer may be on its way), however many are still made meanwhile.
  void Stop(std::chrono::milliseconds grace = std::chrono::milliseconds::zero());

  const CallTimeouts& Timeouts() const { return timeouts_; }

  // Where the id counter goes on, as if that many calls had been made.
  void SetNextIdForTest(std::uint32_t id) { nextId_.store(id); }

 private:
  // One call waiting for its answer. It is completed once, by whichever comes first: the
  // answer, a time-out, a stop or a broken pipe; later completions do nothing.
  class PendingCall {
   public:
    enum class Kind { Value, Error, Timeout };
    struct Outcome {
      Kind kind;
      std::string text;  // the body, or the exception's message
    };

    // An asynchronous call completes a promise; a synchronous one is waited for with Wait.
    explicit PendingCall(bool async);
    std::future<std::string> Future();

    void Complete(Kind kind, std::string text);
    // The outcome, or nullopt when the deadline passed first.
    std::optional<Outcome> Wait(Clock::time_point deadline);

   private:
    LarkSync::Mutex mutex_;
    LarkSync::ConditionVariable completed_;
    std::optional<Outcome> outcome_ LARK_GUARDED_BY(mutex_);
    std::optional<std::promise<std::string>> promise_ LARK_GUARDED_BY(mutex_);
  };

  using Kind = PendingCall::Kind;
  static std::exception_ptr ExceptionFor(Kind kind, const std::string& message);

  struct Deadline {
    Clock::time_point when;
    std::uint32_t id;
    std::weak_ptr<PendingCall> call;
  };
  // Registers the call under a fresh id and writes the request frame; returns the id. A write
  // still blocked at `deadline` is cancelled. A write that failed, whatever cut it short, may
  // have left part of a frame in the pipe: from then on every request fails at once. A call
  // whose turn to write has not come by its deadline is completed as timed out. An asynchronous
  // call's deadline reaches the timer before its write can block.
  std::uint32_t SendRequest(const std::string& method, const std::string& payload,
                            const std::shared_ptr<PendingCall>& call, Clock::time_point deadline,
                            bool async);
  void AddDeadline(Deadline deadline) LARK_EXCLUDES(timerLock_);
  void ReadResponses();
  void EnsureTimer();
  void RunTimer();
  void TimeOut(const Deadline& due);
  void StopTimer();
  void FailAllPending(const std::string& message);
  bool RemovePending(std::uint32_t id, const std::shared_ptr<PendingCall>& call);

  UniquePipe revReqWrite_;
  UniquePipe revResRead_;
  const CallTimeouts timeouts_;

  RequestWriter writer_;
  std::atomic<std::uint32_t> nextId_{1};
  LarkSync::Mutex pendingLock_;
  std::map<std::uint32_t, std::shared_ptr<PendingCall>> pending_ LARK_GUARDED_BY(pendingLock_);
  LarkSync::ConditionVariable pendingEmptied_;
  std::atomic<bool> running_{false};  // the reader's
  std::atomic<bool> stopped_{false};
  PipeThread reader_;

  LarkSync::Mutex timerLock_;
  LarkSync::ConditionVariable timerSignal_;
  // In deadline order. Calls reach the timer in any order, so one may come after a call made
  // later than it.
  std::deque<Deadline> deadlines_ LARK_GUARDED_BY(timerLock_);
  // Counts what the timer must look at again.
  std::uint64_t timerChanges_ LARK_GUARDED_BY(timerLock_) = 0;
  bool timerStopping_ LARK_GUARDED_BY(timerLock_) = false;
  std::thread timer_;
};

}  // namespace AnonRpc
