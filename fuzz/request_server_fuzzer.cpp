// Arbitrary bytes as the parent's request stream: the server must answer well-formed frames,
// refuse the rest, never crash and never hang.

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <thread>

#include "rpc/rpc_server.h"
#include "rpc/unique_pipe.h"
#include "rpc/wire.h"

namespace AnonRpc {

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  UniquePipe requestRead, requestWrite, responseRead, responseWrite;
  if (!CreatePipePair(&requestRead, &requestWrite) ||
      !CreatePipePair(&responseRead, &responseWrite))
    __builtin_trap();

  // No wake-up handle: the stream's end, or a protocol error, ends the server thread.
  RpcServer server(std::move(requestRead), UniquePipe(), std::move(responseWrite));
  server.RegisterMethod("Echo", [](const std::string& payload) { return payload; });
  server.RegisterMethod("Std",
                        [](const std::string&) -> std::string { throw std::runtime_error("std"); });
  server.RegisterMethod("Other", [](const std::string&) -> std::string { throw 7; });
  server.Start();

  std::thread parent([&] {
    WriteAll(requestWrite.Get(), data, static_cast<std::uint32_t>(size));
    requestWrite.Reset();
  });
  // Every answer must be a whole response frame with a known status.
  std::thread reader([&] {
    for (;;) {
      FrameHeaderBytes header;
      if (!ReadHeader(responseRead.Get(), header)) return;
      const ResponseHeader h = DecodeResponseHeader(header);
      if (h.magic != kResponseMagic || h.status > 3) __builtin_trap();
      std::string body;
      // Bodies may exceed the read limit (a long unknown method name); read them in parts.
      for (std::uint32_t left = h.bodyLength; left > 0;) {
        const std::uint32_t part = left < kMaxFieldBytes ? left : kMaxFieldBytes;
        if (!ReadExact(responseRead.Get(), part, body)) __builtin_trap();
        left -= part;
      }
    }
  });
  parent.join();
  server.Stop();  // the thread has ended or is waiting: either way this returns
  reader.join();
  return 0;
}

}  // namespace AnonRpc
