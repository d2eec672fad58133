#include "parent/host_connection.h"

#include <utility>

namespace LarkParent {

using namespace AnonRpc;

HostConnection::HostConnection(ParentEnds ends) : ends_(std::move(ends)) {}

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
  responseReader_.Start([this] { ReadResponses(); });
  reverseServer_.Start([this] { ServeReverseCalls(); });
  notifyReader_.Start([this] { ReadNotifications(); });
}

std::optional<CallResult> HostConnection::Call(std::string_view method, std::string_view payload,
                                               std::chrono::milliseconds timeout) {
  auto call = std::make_shared<PendingCall>();
  std::uint32_t id;
  {
    std::lock_guard writeLock(writeLock_);
    id = nextId_++;
    {
      std::lock_guard lock(callsLock_);
      if (responsesEnded_) return std::nullopt;
      calls_[id] = call;
    }
    PipeCancel::Scope cancellable(writeCancel_);
    if (observer_) observer_(Pipe::Request, EncodeRequest(id, method, payload));
    if (!WriteRequest(ends_.requestWrite.Get(), id, method, payload)) {
      std::lock_guard lock(callsLock_);
      calls_.erase(id);
      return std::nullopt;
    }
  }
  std::unique_lock lock(callsLock_);
  answered_.wait_for(lock, timeout, [&] { return call->done; });
  calls_.erase(id);
  return call->result;
}

bool HostConnection::SendRaw(std::string_view bytes) {
  return Write(bytes);
}

bool HostConnection::Write(std::string_view bytes) {
  std::lock_guard writeLock(writeLock_);
  PipeCancel::Scope cancellable(writeCancel_);
  if (observer_) observer_(Pipe::Request, bytes);
  return WriteAll(ends_.requestWrite.Get(), bytes);
}

void HostConnection::CloseRequestPipe() {
  std::lock_guard writeLock(writeLock_);
  ends_.requestWrite.Reset();
}

void HostConnection::CloseResponsePipe() {
  responseReader_.Join(std::chrono::milliseconds::zero());
  ends_.responseRead.Reset();
}

void HostConnection::CloseNotifyPipe() {
  StopReader(notifyReader_, notificationsStopping_);
  ends_.notifyRead.Reset();
}

void HostConnection::PauseReverseCalls(bool paused) {
  std::lock_guard lock(callsLock_);
  reversePaused_ = paused;
  answered_.notify_all();
}

void HostConnection::PauseNotifications(bool paused) {
  std::lock_guard lock(callsLock_);
  notificationsPaused_ = paused;
  answered_.notify_all();
}

bool HostConnection::WaitForHostEnds(std::chrono::milliseconds timeout) {
  std::unique_lock lock(callsLock_);
  return answered_.wait_for(lock, timeout, [this] { return readersEnded_ == 3; });
}

void HostConnection::CloseReversePipes() {
  StopReader(reverseServer_, reverseStopping_);
  ends_.reverseRequestRead.Reset();
  ends_.reverseResponseWrite.Reset();
}

void HostConnection::StopReader(PipeThread& reader, bool& stopping) {
  {
    std::lock_guard lock(callsLock_);
    stopping = true;  // a paused reader waits on this lock, not on the pipe
    answered_.notify_all();
  }
  reader.Join(std::chrono::milliseconds::zero());
}

bool HostConnection::Unpaused(const bool& paused, const bool& stopping) {
  std::unique_lock lock(callsLock_);
  answered_.wait(lock, [&] { return !paused || stopping; });
  return !stopping;
}

void HostConnection::Close() {
  CancelLockHolder(writeLock_, writeCancel_);
  CloseResponsePipe();
  CloseNotifyPipe();
  CloseReversePipes();
  std::lock_guard writeLock(writeLock_);
  ends_.requestWrite.Reset();
}

void HostConnection::ReadResponses() {
  try {
    while (std::optional<Response> response = ReadResponse(ends_.responseRead.Get())) {
      if (observer_)
        observer_(
            Pipe::Response,
            EncodeResponse(response->id, static_cast<RpcStatus>(response->status), response->body));
      {
        std::lock_guard lock(callsLock_);
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
  std::lock_guard lock(callsLock_);
  responsesEnded_ = true;
  for (auto& [id, call] : calls_) call->done = true;  // no answer will come
  answered_.notify_all();
  ++readersEnded_;
}

void HostConnection::ServeReverseCalls() {
  try {
    for (;;) {
      if (!Unpaused(reversePaused_, reverseStopping_)) break;
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
    while (Unpaused(notificationsPaused_, notificationsStopping_)) {
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
  std::lock_guard lock(callsLock_);
  ++readersEnded_;
  answered_.notify_all();
}

}  // namespace LarkParent
