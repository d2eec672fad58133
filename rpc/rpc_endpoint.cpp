#include "rpc/rpc_endpoint.h"

namespace AnonRpc {

RpcEndpoint::RpcEndpoint(HostPipes pipes, std::function<void()> onNotifyPipeBroken,
                         CallTimeouts timeouts)
    : server_(std::move(pipes.fwdReqRead), std::move(pipes.fwdReqWrite),
              std::move(pipes.fwdResWrite)),
      caller_(std::move(pipes.revReqWrite), std::move(pipes.revResRead), timeouts),
      sender_(std::move(pipes.ntyWrite), std::move(onNotifyPipeBroken)) {}

RpcEndpoint::~RpcEndpoint() {
  StopAll();
}

void RpcEndpoint::StartAll() {
  server_.Start();
  caller_.Start();
  sender_.Start();
}

void RpcEndpoint::StopAll() {
  // A handler still running after the server's grace waits on the parent through the caller (a
  // request write the parent does not read, or an answer): stopping the caller lets it return.
  server_.Stop([this] { caller_.Stop(); });
  caller_.Stop();
  sender_.Stop();
}

}  // namespace AnonRpc
