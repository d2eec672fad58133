#include "rpc/rpc_caller.h"

#include "rpc/wire.h"

namespace AnonRpc {

namespace {

void CheckArguments(const std::string& method, const std::string& payload) {
  if (method.empty()) throw RpcException("Method name is empty");
  if (method.size() > kMaxFieldBytes) throw RpcException("Method too large");
  if (payload.size() > kMaxFieldBytes) throw RpcException("Payload too large");
}

template <typename Exception>
void Fail(RpcCaller::Promise& promise, const std::string& message) {
  try {
    promise.set_exception(std::make_exception_ptr(Exception(message)));
  } catch (...) {
    // already satisfied
  }
}

}  // namespace

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
  auto promise = std::make_shared<Promise>();
  std::future<std::string> future = promise->get_future();
  const std::uint32_t id = SendRequest(method, payload, promise);
  if (future.wait_for(timeouts_.call) != std::future_status::ready && RemovePending(id, promise)) {
    throw RpcTimeoutException("RPC call timeout");
  }
  // Ready, or completed by the reader or a stop just as the time ran out.
  return future.get();
}

std::future<std::string> RpcCaller::CallAsync(const std::string& method,
                                              const std::string& payload) {
  CheckArguments(method, payload);
  auto promise = std::make_shared<Promise>();
  std::future<std::string> future = promise->get_future();
  const std::uint32_t id = SendRequest(method, payload, promise);
  {
    std::lock_guard lock(timerLock_);
    deadlines_.push_back({std::chrono::steady_clock::now() + timeouts_.async, id, promise});
  }
  timerSignal_.notify_one();
  return future;
}

std::uint32_t RpcCaller::SendRequest(const std::string& method, const std::string& payload,
                                     const std::shared_ptr<Promise>& promise) {
  const std::uint32_t id = nextId_.fetch_add(1);
  {
    std::lock_guard lock(pendingLock_);
    pending_[id] = promise;  // before the first byte, so the answer always finds its entry
  }
  std::lock_guard writeLock(writeLock_);
  bool written;
  {
    PipeCancel::Scope cancellable(writeCancel_);
    written = WriteRequest(revReqWrite_, id, method, payload);
  }
  if (!written) {
    const std::uint32_t error = LastPipeError();
    RemovePending(id, promise);
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

    std::shared_ptr<Promise> promise;
    {
      std::lock_guard lock(pendingLock_);
      const auto found = pending_.find(header.id);
      if (found == pending_.end()) continue;  // timed out, or never asked for
      promise = std::move(found->second);
      pending_.erase(found);
    }
    if (header.status != 0) {
      Fail<RpcException>(*promise, body);
    } else {
      try {
        promise->set_value(std::move(body));
      } catch (...) {
      }
    }
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
    if (std::chrono::steady_clock::now() < next.when) {
      timerSignal_.wait_until(lock, next.when);
      continue;
    }
    deadlines_.pop_front();
    lock.unlock();
    // A call that has completed has dropped its promise; nothing is left to do for it.
    if (std::shared_ptr<Promise> promise = next.promise.lock()) {
      std::lock_guard pendingLock(pendingLock_);
      const auto found = pending_.find(next.id);
      if (found != pending_.end() && found->second == promise) {
        pending_.erase(found);
        Fail<RpcTimeoutException>(*promise, "Async RPC timeout");
      }
    }
    lock.lock();
  }
  deadlines_.clear();
}

void RpcCaller::FailAllPending(const std::string& message) {
  std::lock_guard lock(pendingLock_);
  for (auto& [id, promise] : pending_) Fail<RpcException>(*promise, message);
  pending_.clear();
}

bool RpcCaller::RemovePending(std::uint32_t id, const std::shared_ptr<Promise>& promise) {
  std::lock_guard lock(pendingLock_);
  const auto found = pending_.find(id);
  if (found == pending_.end() || found->second != promise) return false;
  pending_.erase(found);
  return true;
}

}  // namespace AnonRpc
