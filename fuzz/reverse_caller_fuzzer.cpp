// Arbitrary bytes as the parent's answers to the host's calls, with calls waiting: each call
// must end with an answer or a documented failure once the stream ends, and nothing may crash or
// hang.

#include <cstddef>
#include <cstdint>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "protocol/lark_protocol.h"
#include "rpc/rpc_caller.h"
#include "rpc/unique_pipe.h"
#include "rpc/wire.h"

namespace AnonRpc {

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  UniquePipe requestRead, requestWrite, responseRead, responseWrite;
  if (!CreatePipePair(&requestRead, &requestWrite) ||
      !CreatePipePair(&responseRead, &responseWrite))
    __builtin_trap();
  {
    RpcCaller caller(std::move(requestWrite), std::move(responseRead));
    caller.Start();
    std::vector<std::future<std::string>> calls;
    for (int i = 0; i < 3; ++i)
      calls.push_back(caller.CallAsync(LarkProtocol::kCefControlMethod, "x"));
    std::string waited = "none";
    std::thread waiting([&] {
      try {
        waited = caller.Call(LarkProtocol::kGetJwtMethod, "");
      } catch (const RpcException&) {
        waited = "failed";
      }
    });
    std::thread parent([&] {
      // Every call waits before the first answer comes: a call made after the stream has ended
      // would wait out its time-out, as nobody reads answers any more.
      for (int i = 0; i < 4; ++i)
        if (!ReadRequest(requestRead.Get())) __builtin_trap();
      WriteAll(responseWrite.Get(), data, static_cast<std::uint32_t>(size));
      responseWrite.Reset();  // the end of the stream ends every call still waiting
    });
    for (std::future<std::string>& call : calls) {
      try {
        call.get();
      } catch (const RpcException&) {
      }
    }
    waiting.join();
    parent.join();
    if (waited == "none") __builtin_trap();
    caller.Stop();
  }
  return 0;
}

}  // namespace AnonRpc
