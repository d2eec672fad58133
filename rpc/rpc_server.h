#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <string>

#include "rpc/pipe_io.h"
#include "rpc/pipe_thread.h"
#include "rpc/unique_pipe.h"
#include "rpc/wire.h"
#include "sync/mutex.h"

namespace AnonRpc {

// Takes the request payload, returns the result text; may throw.
using RpcHandler = std::function<std::string(const std::string& payload)>;

// Answers the parent's calls: one thread reads request frames from fwdReqRead, one at a time,
// runs the handler registered under the method name and writes its result to fwdResWrite.
// Owns the three forward handles from construction and closes them at Stop and destruction.
// Handlers run on the server thread with no lock held. A handler that calls Stop only ends the
// loop after it returns; the join and the closing then wait for destruction.
class RpcServer {
 public:
  RpcServer(UniquePipe fwdReqRead, UniquePipe fwdReqWrite, UniquePipe fwdResWrite);
  ~RpcServer();
  RpcServer(const RpcServer&) = delete;
  RpcServer& operator=(const RpcServer&) = delete;

  // Replaces any handler already registered under the name. Any thread, any time.
  void RegisterMethod(const std::string& name, RpcHandler handler);

  // Starts the server thread unless it runs; a thread that cannot be created throws
  // std::system_error.
  void Start();

  // Wakes the server thread with the stop frame, joins it and closes the handles. Returns in
  // bounded time even when the wake-up cannot be written and the parent neither writes nor
  // closes: the thread's blocked pipe call is then cancelled. A handler still running when the
  // grace has passed may wait on something else: `releaseHandler` (if given) runs then, once, on
  // this thread, to let it go. A second call does nothing.
  void Stop(const std::function<void()>& releaseHandler = {});

 private:
  // One request: read, dispatch, reply. False ends the server thread.
  bool HandleOne();

  void Reply(std::uint32_t id, RpcStatus status, std::string_view body);

  UniquePipe fwdReqRead_;
  UniquePipe fwdReqWrite_;
  UniquePipe fwdResWrite_;
  LarkSync::Mutex registryLock_;
  std::map<std::string, RpcHandler> registry_ LARK_GUARDED_BY(registryLock_);
  std::atomic<bool> running_{false};
  PipeThread thread_;
};

}  // namespace AnonRpc
