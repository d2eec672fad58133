#include "rpc/rpc_caller.h"

#include "rpc/wire.h"

namespace AnonRpc {

namespace {

using Kind = RpcCaller::PendingCall::Kind;

void CheckArguments(const std::string& method, const std::string& payload) {
  if (method.empty()) throw RpcException("Method name is empty");
  if (method.size() > kMaxFieldBytes) throw RpcException("Method too large");
  if (payload.size() > kMaxFieldBytes) throw RpcException("Payload too large");
}

std::exception_ptr ExceptionFor(Kind kind, const std::string& message) {
  if (kind == Kind::Timeout) return std::make_exception_ptr(RpcTimeoutException(message));
  return std::make_exception_ptr(RpcException(message));
}

}  // namespace

RpcCaller::PendingCall::PendingCall(bool async) {
  if (async) promise_.emplace();
}

std::future<std::string> RpcCaller::PendingCall::Future() {
  return promise_->get_future();
}

void RpcCaller::PendingCall::Complete(Kind kind, std::string text) {
  {
    std::lock_guard lock(mutex_);
    if (outcome_) return;
    if (promise_) {
      // The future's owner waits on the promise; this record only remembers the completion.
      if (kind == Kind::Value) {
        promise_->set_value(std::move(text));
      } else {
        promise_->set_exception(ExceptionFor(kind, text));
      }
      outcome_ = Outcome{kind, {}};
      return;
    }
    outcome_ = Outcome{kind, std::move(text)};
  }
  completed_.notify_all();
}

std::optional<RpcCaller::PendingCall::Outcome> RpcCaller::PendingCall::Wait(
    std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  if (!completed_.wait_for(lock, timeout, [this] { return outcome_.has_value(); }))
    return std::nullopt;
  return outcome_;
}

RpcCaller::RpcCaller(PipeHandle revReqWrite, PipeHandle revResRead, CallTimeouts timeouts)
    : revReqWrite_(revReqWrite), revResRead_(revResRead), timeouts_(timeouts) {}

RpcCaller::~RpcCaller() {
  Stop();
  StopTimer();  // started by CallAsync before Start, perhaps
  FailAllPending("RpcCaller stopped");
  PipeClose(revResRead_);
  PipeClose(revReqWrite_);
}

std::string RpcCaller::Call(const std::string& method, const std::string& payload) {
  CheckArguments(method, payload);
  auto call = std::make_shared<PendingCall>(false);
  const std::uint32_t id = SendRequest(method, payload, call);
  std::optional<PendingCall::Outcome> outcome = call->Wait(timeouts_.call);
  if (!outcome) {
    if (RemovePending(id, call)) throw RpcTimeoutException("RPC call timeout");
    // Completed by the reader or a stop just as the time ran out: take that, promptly there.
    outcome = call->Wait(std::chrono::hours(1));
  }
  if (outcome->kind == Kind::Value) return std::move(outcome->text);
  std::rethrow_exception(ExceptionFor(outcome->kind, outcome->text));
}

std::future<std::string> RpcCaller::CallAsync(const std::string& method,
                                              const std::string& payload) {
  CheckArguments(method, payload);
  auto call = std::make_shared<PendingCall>(true);
  std::future<std::string> future = call->Future();
  const std::uint32_t id = SendRequest(method, payload, call);
  {
    std::lock_guard lock(timerLock_);
    deadlines_.push_back({std::chrono::steady_clock::now() + timeouts_.async, id, call});
  }
  timerSignal_.notify_one();
  return future;
}

std::uint32_t RpcCaller::SendRequest(const std::string& method, const std::string& payload,
                                     const std::shared_ptr<PendingCall>& call) {
  const std::uint32_t id = nextId_.fetch_add(1);
  {
    std::lock_guard lock(pendingLock_);
    pending_[id] = call;  // before the first byte, so the answer always finds its entry
  }
  std::lock_guard writeLock(writeLock_);
  bool written;
  {
    PipeCancel::Scope cancellable(writeCancel_);
    written = WriteRequest(revReqWrite_, id, method, payload);
  }
  if (!written) {
    const std::uint32_t error = LastPipeError();
    RemovePending(id, call);
    throw RpcException("Write request (err=" + std::to_string(error) + ")");
  }
  return id;
}

void RpcCaller::Start() {
  if (running_.exchange(true)) return;
  try {
    reader_.Start([this] { ReadResponses(); });
    std::lock_guard lock(timerLock_);
    if (!timer_.joinable()) {
      timerStopping_ = false;
      timer_ = std::thread([this] { RunTimer(); });
    }
  } catch (...) {
    running_.store(false);
    reader_.Join(std::chrono::milliseconds::zero());
    throw;
  }
}

void RpcCaller::Stop() {
  if (!running_.exchange(false)) return;
  CancelLockHolder(writeLock_, writeCancel_);
  // Closing a handle does not end a read blocked on it on Windows; cancel the read, then close.
  reader_.Join(std::chrono::milliseconds::zero());
  PipeClose(revResRead_);
  revResRead_ = kInvalidPipe;
  StopTimer();
  FailAllPending("RpcCaller stopped");
}

void RpcCaller::StopTimer() {
  {
    std::lock_guard lock(timerLock_);
    timerStopping_ = true;
  }
  timerSignal_.notify_all();
  if (timer_.joinable()) timer_.join();
}

void RpcCaller::ReadResponses() {
  while (running_.load()) {
    FrameHeaderBytes bytes;
    if (!ReadHeader(revResRead_, bytes)) break;
    const ResponseHeader header = DecodeResponseHeader(bytes);
    if (header.magic != kResponseMagic || header.bodyLength > kMaxFieldBytes) break;
    std::string body;
    if (!ReadExact(revResRead_, header.bodyLength, body)) break;

    std::shared_ptr<PendingCall> call;
    {
      std::lock_guard lock(pendingLock_);
      const auto found = pending_.find(header.id);
      if (found == pending_.end()) continue;  // timed out, or never asked for
      call = std::move(found->second);
      pending_.erase(found);
    }
    call->Complete(header.status == 0 ? Kind::Value : Kind::Error, std::move(body));
  }
  // While stopping, Stop fails the pending calls itself.
  if (running_.load()) FailAllPending("Pipe broken");
}

void RpcCaller::RunTimer() {
  std::unique_lock lock(timerLock_);
  while (!timerStopping_) {
    if (deadlines_.empty()) {
      timerSignal_.wait(lock, [this] { return timerStopping_ || !deadlines_.empty(); });
      continue;
    }
    const Deadline next = deadlines_.front();
    if (timerSignal_.wait_until(lock, next.when, [this] { return timerStopping_; })) continue;
    deadlines_.pop_front();
    lock.unlock();
    // A call that has completed has let its record go; nothing is left to do for it.
    if (std::shared_ptr<PendingCall> call = next.call.lock()) {
      std::lock_guard pendingLock(pendingLock_);
      const auto found = pending_.find(next.id);
      if (found != pending_.end() && found->second == call) {
        pending_.erase(found);
        call->Complete(Kind::Timeout, "Async RPC timeout");
      }
    }
    lock.lock();
  }
  deadlines_.clear();
}

void RpcCaller::FailAllPending(const std::string& message) {
  std::lock_guard lock(pendingLock_);
  for (auto& [id, call] : pending_) call->Complete(Kind::Error, message);
  pending_.clear();
}

bool RpcCaller::RemovePending(std::uint32_t id, const std::shared_ptr<PendingCall>& call) {
  std::lock_guard lock(pendingLock_);
  const auto found = pending_.find(id);
  if (found == pending_.end() || found->second != call) return false;
  pending_.erase(found);
  return true;
}

}  // namespace AnonRpc
