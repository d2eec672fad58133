#pragma once

// The parent's side of the six pipes: calls into the host, serves the host's reverse calls by
// method name, and receives its notifications. Portable, so that the host's pipe workers can be
// driven by a real peer natively as well as under Windows.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "rpc/pipe_io.h"
#include "rpc/pipe_thread.h"
#include "rpc/request_writer.h"
#include "rpc/unique_pipe.h"
#include "rpc/wire.h"
#include "sync/mutex.h"

namespace LarkParent {

// The parent's ends, owned; the other ends of the same pipes belong to the host.
struct ParentEnds {
  AnonRpc::UniquePipe requestWrite;          // forward request pipe
  AnonRpc::UniquePipe responseRead;          // forward response pipe
  AnonRpc::UniquePipe reverseRequestRead;    // host's calls
  AnonRpc::UniquePipe reverseResponseWrite;  // answers to them
  AnonRpc::UniquePipe notifyRead;            // notifications
};

// A host's answer. The status says whether the method ran (0) or why not, with the body as the
// message; a method that ran may still refuse, which its result text says with an "error:"
// prefix ("error:not_initialized"), so Ok() alone does not mean that the call succeeded.
struct CallResult {
  std::uint32_t status = 0;
  std::string body;
  bool Ok() const { return status == 0; }
  bool Refused() const { return Ok() && body.compare(0, 6, "error:") == 0; }
  bool Succeeded() const { return Ok() && !Refused(); }
};

// The parent's five pipe ends, named by what crosses them.
enum class Pipe { Request, Response, ReverseRequest, ReverseResponse, Notify };

// Owns the ParentEnds from construction. Serve and OnNotification before Start; Call from any
// thread after it. Handlers run on the connection's own threads. Close (or destruction) cancels
// every blocked read of those threads and any request write in progress, so it never hangs.
// A call's time-out covers the whole call: its turn to write, the request write (a host that
// stops reading its requests blocks a write once the pipe's buffer is full) and the answer. A
// request write cut short leaves part of a frame in the pipe, so from then on every call fails
// at once.
// A frame it refuses (a wrong magic, a field announced above kMaxFieldBytes, or one there is no
// memory for) ends that pipe's reading as if the host had closed it; the connection then closes
// its own end of that pipe, so that the host's writes to it fail instead of blocking for good,
// and reports why.
class HostConnectionTestPeer;

class HostConnection {
 public:
  // The answer to one reverse call; nullopt leaves the host waiting (for time-out tests).
  using ReverseHandler = std::function<std::optional<CallResult>(const std::string& payload)>;
  using NotificationHandler = std::function<void(const AnonRpc::Notification&)>;
  // Why the connection stopped reading a pipe of its own accord; once per pipe, on its reader's
  // thread, after its end of that pipe was closed.
  using RefusalHandler = std::function<void(Pipe pipe, const std::string& reason)>;
  // Sees every whole frame as its bytes, on the thread that moves it: a frame to be written just
  // before the write, a frame read once it is complete. For tools that trace or record the
  // traffic; set it before Start, and it must not call into the connection. A malformed frame
  // ends its reader unseen.
  using FrameObserver = std::function<void(Pipe pipe, std::string_view frame)>;

  explicit HostConnection(ParentEnds ends);
  ~HostConnection();
  HostConnection(const HostConnection&) = delete;
  HostConnection& operator=(const HostConnection&) = delete;

  void Serve(const std::string& method, ReverseHandler handler);
  void OnNotification(NotificationHandler handler);
  void OnRefusal(RefusalHandler handler);
  void ObserveFrames(FrameObserver observer);
  // Throws std::system_error when a thread cannot be created.
  void Start();

  // nullopt when no answer came within the time-out, the request could not be written in that
  // time, or the pipes failed.
  std::optional<CallResult> Call(std::string_view method, std::string_view payload,
                                 std::chrono::milliseconds timeout = std::chrono::seconds(30));

  void Close();

  // Stops reading notifications and the host's calls and closes those pipes: once it returns no
  // handler runs again (one already running is waited for), while calls still work. For a
  // parent whose handlers' state is going away before the host has ended.
  void StopHandlers();

  // Whether any answer to a call has come; from any thread.
  bool Answered() const { return anyAnswer_.load(); }

 private:
  // The tests' faults: raw bytes, one pipe let go, readers paused, stray answers seen.
  friend class HostConnectionTestPeer;

  // Under callsLock_, which the analysis cannot name from in here.
  struct PendingCall {
    std::optional<CallResult> result;
    bool done = false;
  };

  // Each lets go of its pipes once the thread that reads them has ended.
  void CloseResponsePipe();
  void CloseNotifyPipe();
  void CloseReversePipes();
  void ReadResponses();
  void ServeReverseCalls();
  void ReadNotifications();
  void ReaderEnded();
  // The two readers a test can pause.
  enum class Gated { ReverseCalls, Notifications };
  struct Gate {
    bool paused = false;
    bool stopping = false;
  };
  Gate& GateOf(Gated reader) LARK_REQUIRES(callsLock_) {
    return reader == Gated::ReverseCalls ? reverseGate_ : notificationsGate_;
  }
  // Waits while the reader is paused; false once it is stopping.
  bool Unpaused(Gated reader) LARK_EXCLUDES(callsLock_);
  void StopReader(AnonRpc::PipeThread& thread, Gated reader) LARK_EXCLUDES(callsLock_);
  void RunWriteTimer();
  void StopWriteTimer();

  ParentEnds ends_;

  AnonRpc::RequestWriter writer_;
  std::atomic<std::uint32_t> nextId_{1};
  std::atomic<bool> anyAnswer_{false};
  LarkSync::Mutex timerLock_;
  LarkSync::ConditionVariable timerSignal_;
  std::uint64_t timerChanges_ LARK_GUARDED_BY(timerLock_) = 0;  // what the timer must look at again
  bool timerStopping_ LARK_GUARDED_BY(timerLock_) = false;
  std::thread writeTimer_;

  LarkSync::Mutex callsLock_;
  LarkSync::ConditionVariable answered_;
  std::map<std::uint32_t, std::shared_ptr<PendingCall>> calls_ LARK_GUARDED_BY(callsLock_);
  bool responsesEnded_ LARK_GUARDED_BY(callsLock_) = false;
  int readersEnded_ LARK_GUARDED_BY(callsLock_) = 0;  // of the three
  Gate reverseGate_ LARK_GUARDED_BY(callsLock_);
  Gate notificationsGate_ LARK_GUARDED_BY(callsLock_);

  std::map<std::string, ReverseHandler> handlers_;
  NotificationHandler onNotification_;
  std::function<void(const AnonRpc::Response&)> onStrayResponse_;  // set by the tests only
  RefusalHandler onRefusal_;
  FrameObserver observer_;

  AnonRpc::PipeThread responseReader_;
  AnonRpc::PipeThread reverseServer_;
  AnonRpc::PipeThread notifyReader_;
};

}  // namespace LarkParent
