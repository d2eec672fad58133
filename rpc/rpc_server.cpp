#include "rpc/rpc_server.h"

#include <exception>
#include <system_error>

namespace AnonRpc {

namespace {

// Time the server thread gets to read the wake-up frame, or to finish a reply that the parent
// is still owed, before its pipe call is cancelled.
constexpr std::chrono::milliseconds kStopGrace{1000};

}  // namespace

RpcServer::RpcServer(UniquePipe fwdReqRead, UniquePipe fwdReqWrite, UniquePipe fwdResWrite)
    : fwdReqRead_(std::move(fwdReqRead)),
      fwdReqWrite_(std::move(fwdReqWrite)),
      fwdResWrite_(std::move(fwdResWrite)) {}

RpcServer::~RpcServer() {
  Stop();
  thread_.Join(kStopGrace);  // only left running when a handler called Stop
}

void RpcServer::RegisterMethod(const std::string& name, RpcHandler handler) {
  LarkSync::MutexLock lock(registryLock_);
  registry_[name] = std::move(handler);
}

void RpcServer::Start() {
  if (running_.exchange(true)) return;
  try {
    thread_.Start([this] {
      try {
        while (running_.load() && HandleOne()) {
        }
      } catch (...) {
        // Out of memory while reading a frame: stop serving rather than end the process.
      }
    });
  } catch (...) {
    running_.store(false);
    throw;
  }
}

void RpcServer::Stop(const std::function<void()>& releaseHandler) {
  if (!running_.exchange(false)) return;
  // From a handler: the loop ends when it returns, and destruction joins.
  if (thread_.IsCurrentThread()) return;

  // The wake-up write can block on a full request pipe, so it gets a cancellable thread too.
  PipeThread waker;
  if (fwdReqWrite_.IsValid()) {
    try {
      waker.Start([handle = fwdReqWrite_.Get()] {
        const FrameHeaderBytes wake = EncodeHeader(RequestHeader{kRequestMagic, 0, 0, 0});
        std::uint32_t written = 0;
        PipeWrite(handle, wake.data(), static_cast<std::uint32_t>(wake.size()), &written);
      });
    } catch (const std::system_error&) {
      // No waker: the grace period runs out and the read is cancelled instead.
    }
  }
  thread_.Join(kStopGrace, releaseHandler);
  waker.Join(std::chrono::milliseconds::zero());
  fwdReqRead_.Reset();
  fwdReqWrite_.Reset();
  fwdResWrite_.Reset();
}

bool RpcServer::HandleOne() {
  RequestRead read = ReadRequestFrame(fwdReqRead_.Get());
  if (read.status == ReadStatus::PipeFailed) return false;
  if (!running_.load()) return false;  // the stop wake-up frame
  if (read.status == ReadStatus::BadMagic) {
    Reply(0, RpcStatus::ProtocolError, "Invalid request magic");
    return false;
  }
  if (read.status == ReadStatus::TooLarge) {
    Reply(read.request.id, RpcStatus::ProtocolError, "Field too large");
    return false;
  }
  const Request& request = read.request;

  RpcHandler handler;
  {
    LarkSync::MutexLock lock(registryLock_);
    const auto found = registry_.find(request.method);
    if (found == registry_.end()) {
      // The name is cut short where the answer would pass the limit the parent reads to.
      std::string body = "Method not found: ";
      body.append(request.method, 0, kMaxFieldBytes - body.size());
      Reply(request.id, RpcStatus::MethodNotFound, body);
      return true;
    }
    handler = found->second;
  }

  std::string result;
  RpcStatus status = RpcStatus::Ok;
  try {
    result = handler(request.payload);
  } catch (const std::exception& error) {
    status = RpcStatus::HandlerError;
    result = error.what();
  } catch (...) {
    status = RpcStatus::HandlerError;
    result = "Unknown error";
  }
  Reply(request.id, status, result);
  return true;
}

void RpcServer::Reply(std::uint32_t id, RpcStatus status, std::string_view body) {
  WriteResponse(fwdResWrite_.Get(), id, status, body);  // a lost reply is not reported
}

}  // namespace AnonRpc
