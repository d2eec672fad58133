#include "rpc/rpc_caller.h"

#include <iterator>

#include "rpc/wire.h"

namespace AnonRpc {

namespace {

void CheckArguments(const std::string& method, const std::string& payload) {
  if (method.empty()) throw RpcException("Method name is empty");
  if (method.size() > kMaxFieldBytes) throw RpcException("Method too large");
  if (payload.size() > kMaxFieldBytes) throw RpcException("Payload too large");
}

}  // namespace

std::exception_ptr RpcCaller::ExceptionFor(Kind kind, const std::string& message) {
  if (kind == Kind::Timeout) return std::make_exception_ptr(RpcTimeoutException(message));
  return std::make_exception_ptr(RpcException(message));
}

RpcCaller::PendingCall::PendingCall(bool async) {
  if (async) promise_.emplace();
}

std::future<std::string> RpcCaller::PendingCall::Future() {
  LarkSync::MutexLock lock(mutex_);
  return promise_->get_future();
}

void RpcCaller::PendingCall::Complete(Kind kind, std::string text) {
  {
    LarkSync::MutexLock lock(mutex_);
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
    Clock::time_point deadline) {
  LarkSync::MutexLock lock(mutex_);
  if (!completed_.wait_until(lock, deadline,
                             [this]() LARK_REQUIRES(mutex_) { return outcome_.has_value(); }))
    return std::nullopt;
  return outcome_;
}

RpcCaller::RpcCaller(UniquePipe revReqWrite, UniquePipe revResRead, CallTimeouts timeouts)
    : revReqWrite_(std::move(revReqWrite)),
      revResRead_(std::move(revResRead)),
      timeouts_(timeouts),
      writer_([this] {
        {
          LarkSync::MutexLock lock(timerLock_);
          ++timerChanges_;
        }
        timerSignal_.notify_one();
      }) {}

RpcCaller::~RpcCaller() {
  Stop();
}

std::string RpcCaller::Call(const std::string& method, const std::string& payload) {
  CheckArguments(method, payload);
  EnsureTimer();
  const Clock::time_point deadline = Clock::now() + timeouts_.call;
  auto call = std::make_shared<PendingCall>(false);
  const std::uint32_t id = SendRequest(method, payload, call, deadline, false);
  std::optional<PendingCall::Outcome> outcome = call->Wait(deadline);
  if (!outcome) {
    if (RemovePending(id, call)) throw RpcTimeoutException("RPC call timeout");
    // Taken by the reader or a stop just as the time ran out: its outcome is on the way.
    outcome = call->Wait(Clock::now() + timeouts_.call);
    if (!outcome) throw RpcTimeoutException("RPC call timeout");
  }
  if (outcome->kind == Kind::Value) return std::move(outcome->text);
  std::rethrow_exception(ExceptionFor(outcome->kind, outcome->text));
}

std::future<std::string> RpcCaller::CallAsync(const std::string& method,
                                              const std::string& payload) {
  CheckArguments(method, payload);
  EnsureTimer();
  const Clock::time_point deadline = Clock::now() + timeouts_.async;
  auto call = std::make_shared<PendingCall>(true);
  std::future<std::string> future = call->Future();
  SendRequest(method, payload, call, deadline, true);
  return future;
}

std::uint32_t RpcCaller::SendRequest(const std::string& method, const std::string& payload,
                                     const std::shared_ptr<PendingCall>& call,
                                     Clock::time_point deadline, bool async) {
  std::uint32_t id;
  {
    LarkSync::MutexLock lock(pendingLock_);
    // Once the counter has come round, an id may still wait for its answer: never share it.
    do {
      id = nextId_.fetch_add(1);
    } while (pending_.count(id) != 0);
    pending_[id] = call;  // before the first byte, so the answer always finds its entry
  }
  // An asynchronous call's deadline is known to the timer before its write can block.
  if (async) {
    try {
      AddDeadline({deadline, id, call});
    } catch (...) {
      RemovePending(id, call);  // no memory for the deadline: nothing was sent
      throw;
    }
  }
  std::uint32_t error = 0;
  switch (writer_.Write(
      deadline, [&] { return WriteRequest(revReqWrite_.Get(), id, method, payload); }, &error)) {
    case RequestWriter::Outcome::Written:
      break;
    case RequestWriter::Outcome::TimedOut:
      if (RemovePending(id, call))
        call->Complete(Kind::Timeout, async ? "Async RPC timeout" : "RPC call timeout");
      break;
    case RequestWriter::Outcome::Failed:
      RemovePending(id, call);
      throw RpcException("Write request (err=" + std::to_string(error) + ")");
  }
  return id;
}

void RpcCaller::AddDeadline(Deadline deadline) {
  {
    LarkSync::MutexLock lock(timerLock_);
    auto at = deadlines_.end();
    while (at != deadlines_.begin() && std::prev(at)->when > deadline.when) --at;
    deadlines_.insert(at, std::move(deadline));
    ++timerChanges_;
  }
  timerSignal_.notify_one();
}

void RpcCaller::Start() {
  if (stopped_.load() || running_.exchange(true)) return;
  try {
    reader_.Start([this] { ReadResponses(); });
    EnsureTimer();
  } catch (...) {
    running_.store(false);
    reader_.Join(std::chrono::milliseconds::zero());
    throw;
  }
}

void RpcCaller::Stop(std::chrono::milliseconds grace) {
  if (grace > std::chrono::milliseconds::zero()) {
    LarkSync::MutexLock lock(pendingLock_);
    pendingEmptied_.wait_for(lock, grace,
                             [this]() LARK_REQUIRES(pendingLock_) { return pending_.empty(); });
  }
  if (stopped_.exchange(true)) return;
  running_.store(false);
  writer_.Stop();
  // Closing a handle does not end a read blocked on it on Windows; cancel the read, then close.
  reader_.Join(std::chrono::milliseconds::zero());
  revResRead_.Reset();
  StopTimer();
  FailAllPending("RpcCaller stopped");
}

void RpcCaller::EnsureTimer() {
  LarkSync::MutexLock lock(timerLock_);
  if (!timer_.joinable() && !timerStopping_) timer_ = std::thread([this] { RunTimer(); });
}

void RpcCaller::StopTimer() {
  {
    LarkSync::MutexLock lock(timerLock_);
    timerStopping_ = true;
  }
  timerSignal_.notify_all();
  if (timer_.joinable()) timer_.join();
}

void RpcCaller::ReadResponses() {
  try {
    while (running_.load()) {
      std::optional<Response> response = ReadResponse(revResRead_.Get());
      if (!response) break;
      std::shared_ptr<PendingCall> call;
      {
        LarkSync::MutexLock lock(pendingLock_);
        const auto found = pending_.find(response->id);
        if (found == pending_.end()) continue;  // timed out, or never asked for
        call = std::move(found->second);
        pending_.erase(found);
        if (pending_.empty()) pendingEmptied_.notify_all();
      }
      call->Complete(response->status == 0 ? Kind::Value : Kind::Error, std::move(response->body));
    }
  } catch (...) {
    // No memory for a body: the stream cannot go on, as if the pipe had broken.
  }
  // While stopping, Stop fails the pending calls itself.
  if (running_.load()) FailAllPending("Pipe broken");
}

void RpcCaller::RunTimer() {
  LarkSync::MutexLock lock(timerLock_);
  while (!timerStopping_) {
    const Clock::time_point now = Clock::now();
    const std::optional<Clock::time_point> writeDue = writer_.CancelOverdue(now);
    if (!deadlines_.empty() && deadlines_.front().when <= now) {
      Deadline due = std::move(deadlines_.front());
      deadlines_.pop_front();
      lock.Unlock();
      TimeOut(due);
      lock.Lock();
      continue;
    }
    std::optional<Clock::time_point> next;
    if (!deadlines_.empty()) next = deadlines_.front().when;
    if (writeDue) next = next ? std::min(*next, *writeDue) : *writeDue;
    const std::uint64_t seen = timerChanges_;
    const auto changed = [&]() LARK_REQUIRES(timerLock_) {
      return timerStopping_ || timerChanges_ != seen;
    };
    if (next) {
      timerSignal_.wait_until(lock, *next, changed);
    } else {
      timerSignal_.wait(lock, changed);
    }
  }
  deadlines_.clear();
}

void RpcCaller::TimeOut(const Deadline& due) {
  // A call that has completed has let its record go; nothing is left to do for it.
  std::shared_ptr<PendingCall> call = due.call.lock();
  if (!call) return;
  LarkSync::MutexLock pendingLock(pendingLock_);
  const auto found = pending_.find(due.id);
  if (found == pending_.end() || found->second != call) return;
  pending_.erase(found);
  if (pending_.empty()) pendingEmptied_.notify_all();
  try {
    call->Complete(Kind::Timeout, "Async RPC timeout");
  } catch (...) {
    // No memory for the exception: this call is lost, the timer goes on with the others.
  }
}

void RpcCaller::FailAllPending(const std::string& message) {
  LarkSync::MutexLock lock(pendingLock_);
  for (auto& [id, call] : pending_) call->Complete(Kind::Error, message);
  pending_.clear();
  pendingEmptied_.notify_all();
}

bool RpcCaller::RemovePending(std::uint32_t id, const std::shared_ptr<PendingCall>& call) {
  LarkSync::MutexLock lock(pendingLock_);
  const auto found = pending_.find(id);
  if (found == pending_.end() || found->second != call) return false;
  pending_.erase(found);
  if (pending_.empty()) pendingEmptied_.notify_all();
  return true;
}

}  // namespace AnonRpc
