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
  server_.Stop();
  caller_.Stop();
  sender_.Stop();
}

}  // namespace AnonRpc
