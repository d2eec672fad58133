#include "parent/host_connection.h"

#include <utility>

namespace LarkParent {

using namespace AnonRpc;

HostConnection::HostConnection(ParentEnds ends)
    : ends_(std::move(ends)), writer_([this] {
        {
          LarkSync::MutexLock lock(timerLock_);
          ++timerChanges_;
        }
        timerSignal_.notify_one();
      }) {}

HostConnection::~HostConnection() {
  Close();
}

void HostConnection::Serve(const std::string& method, ReverseHandler handler) {
  handlers_[method] = std::move(handler);
}

void HostConnection::OnNotification(NotificationHandler handler) {
  onNotification_ = std::move(handler);
}

void HostConnection::OnStrayResponse(std::function<void(const Response&)> handler) {
  onStrayResponse_ = std::move(handler);
}

void HostConnection::ObserveFrames(FrameObserver observer) {
  observer_ = std::move(observer);
}

void HostConnection::Start() {
  writeTimer_ = std::thread([this] { RunWriteTimer(); });
  responseReader_.Start([this] { ReadResponses(); });
  reverseServer_.Start([this] { ServeReverseCalls(); });
  notifyReader_.Start([this] { ReadNotifications(); });
}

std::optional<CallResult> HostConnection::Call(std::string_view method, std::string_view payload,
                                               std::chrono::milliseconds timeout) {
  const auto deadline = RequestWriter::Clock::now() + timeout;
  auto call = std::make_shared<PendingCall>();
  const std::uint32_t id = nextId_++;
  {
    LarkSync::MutexLock lock(callsLock_);
    if (responsesEnded_) return std::nullopt;
    calls_[id] = call;
  }
  std::uint32_t error = 0;
  const RequestWriter::Outcome written = writer_.Write(
      deadline,
      [&] {
        if (observer_) observer_(Pipe::Request, EncodeRequest(id, method, payload));
        return WriteRequest(ends_.requestWrite.Get(), id, method, payload);
      },
      &error);
  LarkSync::MutexLock lock(callsLock_);
  if (written == RequestWriter::Outcome::Written)
    answered_.wait_until(lock, deadline, [&]() REQUIRES(callsLock_) { return call->done; });
  calls_.erase(id);
  return call->result;
}

bool HostConnection::SendRaw(std::string_view bytes) {
  std::uint32_t error = 0;
  return writer_.Write(
             RequestWriter::kNoDeadline,
             [&] {
               if (observer_) observer_(Pipe::Request, bytes);
               return WriteAll(ends_.requestWrite.Get(), bytes);
             },
             &error) == RequestWriter::Outcome::Written;
}

void HostConnection::CloseRequestPipe() {
  writer_.Stop();
  ends_.requestWrite.Reset();
}

void HostConnection::RunWriteTimer() {
  LarkSync::MutexLock lock(timerLock_);
  while (!timerStopping_) {
    const std::optional<RequestWriter::Clock::time_point> due =
        writer_.CancelOverdue(RequestWriter::Clock::now());
    const std::uint64_t seen = timerChanges_;
    const auto changed = [&]() REQUIRES(timerLock_) {
      return timerStopping_ || timerChanges_ != seen;
    };
    if (due) {
      timerSignal_.wait_until(lock, *due, changed);
    } else {
      timerSignal_.wait(lock, changed);
    }
  }
}

void HostConnection::StopWriteTimer() {
  {
    LarkSync::MutexLock lock(timerLock_);
    timerStopping_ = true;
  }
  timerSignal_.notify_all();
  if (writeTimer_.joinable()) writeTimer_.join();
}

void HostConnection::CloseResponsePipe() {
  responseReader_.Join(std::chrono::milliseconds::zero());
  ends_.responseRead.Reset();
}

void HostConnection::CloseNotifyPipe() {
  StopReader(notifyReader_, Gated::Notifications);
  ends_.notifyRead.Reset();
}

void HostConnection::PauseReverseCalls(bool paused) {
  LarkSync::MutexLock lock(callsLock_);
  reverseGate_.paused = paused;
  answered_.notify_all();
}

void HostConnection::PauseNotifications(bool paused) {
  LarkSync::MutexLock lock(callsLock_);
  notificationsGate_.paused = paused;
  answered_.notify_all();
}

bool HostConnection::WaitForHostEnds(std::chrono::milliseconds timeout) {
  LarkSync::MutexLock lock(callsLock_);
  return answered_.wait_for(lock, timeout,
                            [this]() REQUIRES(callsLock_) { return readersEnded_ == 3; });
}

void HostConnection::CloseReversePipes() {
  StopReader(reverseServer_, Gated::ReverseCalls);
  ends_.reverseRequestRead.Reset();
  ends_.reverseResponseWrite.Reset();
}

void HostConnection::StopReader(PipeThread& thread, Gated reader) {
  {
    LarkSync::MutexLock lock(callsLock_);
    GateOf(reader).stopping = true;  // a paused reader waits on this lock, not on the pipe
    answered_.notify_all();
  }
  thread.Join(std::chrono::milliseconds::zero());
}

bool HostConnection::Unpaused(Gated reader) {
  LarkSync::MutexLock lock(callsLock_);
  const Gate& gate = GateOf(reader);
  answered_.wait(lock, [&]() REQUIRES(callsLock_) { return !gate.paused || gate.stopping; });
  return !gate.stopping;
}

void HostConnection::Close() {
  writer_.Stop();
  StopWriteTimer();
  CloseResponsePipe();
  CloseNotifyPipe();
  CloseReversePipes();
  ends_.requestWrite.Reset();
}

void HostConnection::ReadResponses() {
  try {
    while (std::optional<Response> response = ReadResponse(ends_.responseRead.Get())) {
      anyAnswer_.store(true);
      if (observer_)
        observer_(
            Pipe::Response,
            EncodeResponse(response->id, static_cast<RpcStatus>(response->status), response->body));
      {
        LarkSync::MutexLock lock(callsLock_);
        const auto found = calls_.find(response->id);
        if (found != calls_.end()) {
          found->second->result = CallResult{response->status, std::move(response->body)};
          found->second->done = true;
          answered_.notify_all();
          continue;
        }
      }
      if (onStrayResponse_) onStrayResponse_(*response);
    }
  } catch (...) {
    // No memory for a body: no answer can be read any more.
  }
  LarkSync::MutexLock lock(callsLock_);
  responsesEnded_ = true;
  for (auto& [id, call] : calls_) call->done = true;  // no answer will come
  answered_.notify_all();
  ++readersEnded_;
}

void HostConnection::ServeReverseCalls() {
  try {
    for (;;) {
      if (!Unpaused(Gated::ReverseCalls)) break;
      std::optional<Request> request = ReadRequest(ends_.reverseRequestRead.Get());
      if (!request) break;
      if (observer_)
        observer_(Pipe::ReverseRequest,
                  EncodeRequest(request->id, request->method, request->payload));
      const auto found = handlers_.find(request->method);
      std::optional<CallResult> answer =
          found == handlers_.end()
              ? CallResult{static_cast<std::uint32_t>(RpcStatus::MethodNotFound),
                           "Method not found: " + request->method}
              : found->second(request->payload);
      if (answer && observer_)
        observer_(
            Pipe::ReverseResponse,
            EncodeResponse(request->id, static_cast<RpcStatus>(answer->status), answer->body));
      if (answer && !WriteResponse(ends_.reverseResponseWrite.Get(), request->id,
                                   static_cast<RpcStatus>(answer->status), answer->body))
        break;
    }
  } catch (...) {
    // No memory for a request: the host's calls go unanswered from here on.
  }
  ReaderEnded();
}

void HostConnection::ReadNotifications() {
  try {
    while (Unpaused(Gated::Notifications)) {
      std::optional<Notification> note = ReadNotification(ends_.notifyRead.Get());
      if (!note) break;
      if (observer_) observer_(Pipe::Notify, EncodeNotification(note->type, note->payload));
      if (onNotification_) onNotification_(*note);
    }
  } catch (...) {
    // No memory for a notification: none can be read any more.
  }
  ReaderEnded();
}

void HostConnection::ReaderEnded() {
  LarkSync::MutexLock lock(callsLock_);
  ++readersEnded_;
  answered_.notify_all();
}

}  // namespace LarkParent
