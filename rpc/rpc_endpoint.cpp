#include "rpc/rpc_endpoint.h"

namespace AnonRpc {

RpcEndpoint::RpcEndpoint(const PipeHandles& h, std::function<void()> onNotifyPipeBroken,
                         CallTimeouts timeouts)
    : server_(h.fwdReqRead, h.fwdReqWrite, h.fwdResWrite),
      caller_(h.revReqWrite, h.revResRead, timeouts),
      sender_(h.ntyWrite, std::move(onNotifyPipeBroken)) {}

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
