#pragma once

#include <functional>

#include "rpc/notify_sender.h"
#include "rpc/pipe_handles.h"
#include "rpc/pipe_io.h"
#include "rpc/rpc_caller.h"
#include "rpc/rpc_server.h"

namespace AnonRpc {

// The host's three pipe workers, built from the six handles (which pass into their ownership).
// Construction starts nothing and writes nothing. Destruction stops whatever still runs, in the
// order server, caller, sender, then destroys sender, caller, server.
class RpcEndpoint {
 public:
  RpcEndpoint(HostPipes pipes, std::function<void()> onNotifyPipeBroken,
              CallTimeouts timeouts = {});
  ~RpcEndpoint();
  RpcEndpoint(const RpcEndpoint&) = delete;
  RpcEndpoint& operator=(const RpcEndpoint&) = delete;

  // Server, then caller, then sender; each only if not yet running. A thread that cannot be
  // created throws std::system_error.
  void StartAll();
  // Server, then caller, then sender; a component already stopped is left alone. Bounded
  // whatever a handler is blocked in: one still running after the server's grace is released by
  // stopping the caller under it.
  void StopAll();

  RpcServer& Server() { return server_; }
  RpcCaller& Caller() { return caller_; }
  NotifySender& Sender() { return sender_; }

 private:
  RpcServer server_;
  RpcCaller caller_;
  NotifySender sender_;
};

}  // namespace AnonRpc
