#include "parent/host_connection.h"

#include <optional>
#include <string>
#include <utility>

namespace LarkParent {

using namespace AnonRpc;

namespace {

// Why a reader stopped of its own accord.
enum class Refusal { None, BadMagic, TooLarge, NoMemory };

std::string Describe(Refusal refusal) {
  switch (refusal) {
    case Refusal::BadMagic:
      return "a frame with a wrong magic";
    case Refusal::TooLarge:
      return "a frame announcing a field above " + std::to_string(kMaxFieldBytes) + " bytes";
    default:
      return "a frame there is no memory for";
  }
}

Refusal RefusalOf(ReadStatus status) {
  switch (status) {
    case ReadStatus::BadMagic:
      return Refusal::BadMagic;
    case ReadStatus::TooLarge:
      return Refusal::TooLarge;
    default:
      return Refusal::None;  // the pipe failed or ended
  }
}

// Closes `end`, which only the reader's thread uses until the reader has been joined, and
// reports why.
void Refuse(const HostConnection::RefusalHandler& report, Pipe pipe, UniquePipe& end,
            Refusal refusal) {
  // Kept open, the pipe would fill and block the host's writer for good.
  end.Reset();
  if (!report) return;
  try {
    report(pipe, Describe(refusal));
  } catch (...) {
    // No memory for the reason, or the handler failed: the pipe is closed all the same.
  }
}

}  // namespace

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

void HostConnection::OnRefusal(RefusalHandler handler) {
  onRefusal_ = std::move(handler);
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
    answered_.wait_until(lock, deadline, [&]() LARK_REQUIRES(callsLock_) { return call->done; });
  calls_.erase(id);
  return call->result;
}

void HostConnection::RunWriteTimer() {
  LarkSync::MutexLock lock(timerLock_);
  while (!timerStopping_) {
    const std::optional<RequestWriter::Clock::time_point> due =
        writer_.CancelOverdue(RequestWriter::Clock::now());
    const std::uint64_t seen = timerChanges_;
    const auto changed = [&]() LARK_REQUIRES(timerLock_) {
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
  answered_.wait(lock, [&]() LARK_REQUIRES(callsLock_) { return !gate.paused || gate.stopping; });
  return !gate.stopping;
}

void HostConnection::StopHandlers() {
  CloseNotifyPipe();
  CloseReversePipes();
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
  Refusal refused = Refusal::None;
  try {
    for (;;) {
      ResponseRead read = ReadResponseFrame(ends_.responseRead.Get());
      if (read.status != ReadStatus::Ok) {
        refused = RefusalOf(read.status);
        break;
      }
      Response* const response = &read.response;
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
    refused = Refusal::NoMemory;  // for a body: no answer can be read any more
  }
  if (refused != Refusal::None) Refuse(onRefusal_, Pipe::Response, ends_.responseRead, refused);
  LarkSync::MutexLock lock(callsLock_);
  responsesEnded_ = true;
  for (auto& [id, call] : calls_) call->done = true;  // no answer will come
  answered_.notify_all();
  ++readersEnded_;
}

void HostConnection::ServeReverseCalls() {
  Refusal refused = Refusal::None;
  try {
    for (;;) {
      if (!Unpaused(Gated::ReverseCalls)) break;
      RequestRead read = ReadRequestFrame(ends_.reverseRequestRead.Get());
      if (read.status != ReadStatus::Ok) {
        refused = RefusalOf(read.status);
        break;
      }
      const Request* const request = &read.request;
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
    refused = Refusal::NoMemory;  // for a request: the host's calls go unanswered from here on
  }
  if (refused != Refusal::None)
    Refuse(onRefusal_, Pipe::ReverseRequest, ends_.reverseRequestRead, refused);
  ReaderEnded();
}

void HostConnection::ReadNotifications() {
  Refusal refused = Refusal::None;
  try {
    while (Unpaused(Gated::Notifications)) {
      NotificationRead read = ReadNotificationFrame(ends_.notifyRead.Get());
      if (read.status != ReadStatus::Ok) {
        refused = RefusalOf(read.status);
        break;
      }
      const Notification* const note = &read.notification;
      if (observer_) observer_(Pipe::Notify, EncodeNotification(note->type, note->payload));
      if (onNotification_) onNotification_(*note);
    }
  } catch (...) {
    refused = Refusal::NoMemory;  // for a notification: none can be read any more
  }
  if (refused != Refusal::None) Refuse(onRefusal_, Pipe::Notify, ends_.notifyRead, refused);
  ReaderEnded();
}

void HostConnection::ReaderEnded() {
  LarkSync::MutexLock lock(callsLock_);
  ++readersEnded_;
  answered_.notify_all();
}

}  // namespace LarkParent
