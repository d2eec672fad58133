#include "parent/host_connection.h"

#include <utility>

namespace LarkParent {

using namespace AnonRpc;

namespace {

void ClosePipe(PipeHandle& handle) {
  PipeClose(std::exchange(handle, kInvalidPipe));
}

}  // namespace

HostConnection::HostConnection(const ParentEnds& ends) : ends_(ends) {}

HostConnection::~HostConnection() {
  Close();
}

void HostConnection::Serve(const std::string& method, ReverseHandler handler) {
  handlers_[method] = std::move(handler);
}

void HostConnection::OnNotification(NotificationHandler handler) {
  onNotification_ = std::move(handler);
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
    if (!WriteRequest(ends_.requestWrite, id, method, payload)) {
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
  return WriteAll(ends_.requestWrite, bytes);
}

void HostConnection::CloseRequestPipe() {
  std::lock_guard writeLock(writeLock_);
  ClosePipe(ends_.requestWrite);
}

void HostConnection::CloseNotifyPipe() {
  notifyReader_.Join(std::chrono::milliseconds::zero());
  ClosePipe(ends_.notifyRead);
}

void HostConnection::CloseReversePipes() {
  reverseServer_.Join(std::chrono::milliseconds::zero());
  ClosePipe(ends_.reverseRequestRead);
  ClosePipe(ends_.reverseResponseWrite);
}

void HostConnection::Close() {
  CancelLockHolder(writeLock_, writeCancel_);
  responseReader_.Join(std::chrono::milliseconds::zero());
  CloseNotifyPipe();
  CloseReversePipes();
  ClosePipe(ends_.responseRead);
  std::lock_guard writeLock(writeLock_);
  ClosePipe(ends_.requestWrite);
}

void HostConnection::ReadResponses() {
  while (std::optional<Response> response = ReadResponse(ends_.responseRead)) {
    if (observer_)
      observer_(
          Pipe::Response,
          EncodeResponse(response->id, static_cast<RpcStatus>(response->status), response->body));
    std::lock_guard lock(callsLock_);
    const auto found = calls_.find(response->id);
    if (found == calls_.end()) continue;
    found->second->result = CallResult{response->status, std::move(response->body)};
    found->second->done = true;
    answered_.notify_all();
  }
  std::lock_guard lock(callsLock_);
  responsesEnded_ = true;
  for (auto& [id, call] : calls_) call->done = true;  // no answer will come
  answered_.notify_all();
}

void HostConnection::ServeReverseCalls() {
  while (std::optional<Request> request = ReadRequest(ends_.reverseRequestRead)) {
    if (observer_)
      observer_(Pipe::ReverseRequest,
                EncodeRequest(request->id, request->method, request->payload));
    const auto found = handlers_.find(request->method);
    std::optional<CallResult> answer =
        found == handlers_.end() ? CallResult{static_cast<std::uint32_t>(RpcStatus::MethodNotFound),
                                              "Method not found: " + request->method}
                                 : found->second(request->payload);
    if (answer && observer_)
      observer_(Pipe::ReverseResponse,
                EncodeResponse(request->id, static_cast<RpcStatus>(answer->status), answer->body));
    if (answer && !WriteResponse(ends_.reverseResponseWrite, request->id,
                                 static_cast<RpcStatus>(answer->status), answer->body))
      return;
  }
}

void HostConnection::ReadNotifications() {
  while (std::optional<Notification> note = ReadNotification(ends_.notifyRead)) {
    if (observer_) observer_(Pipe::Notify, EncodeNotification(note->type, note->payload));
    if (onNotification_) onNotification_(*note);
  }
}

}  // namespace LarkParent
