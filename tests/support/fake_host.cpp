// A stand-in host for the launcher's tests. Takes six handle values from its command line and
// runs one exchange over them: answers one request on the forward pipes by echoing its payload
// with status 0, sends the notification "hello" / "from-child", calls the parent's "Ping" with
// "ping", expects "pong" and sends the notification "done" with an empty payload. Then, by the
// request's payload:
//   a decimal number   exits with that code
//   "stay"             never exits
//   "linger"           exits with 9 once the parent closes its end of the reverse response pipe
// Other exit codes: 100 + the number of arguments when they are not six handle values; 3 when a
// pipe fails during the exchange; 4 when the reverse call is not answered "pong".

#include <windows.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "rpc/rpc_endpoint.h"
#include "rpc/wire.h"

namespace {

bool ParseHandle(const char* text, AnonRpc::PipeHandle* handle) {
  char* end = nullptr;
  *handle = std::strtoull(text, &end, 10);
  return end != text && *end == '\0' && AnonRpc::IsValidPipe(*handle);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace AnonRpc;
  PipeHandles h;
  PipeHandle* const ends[] = {&h.fwdReqRead,  &h.fwdReqWrite, &h.fwdResWrite,
                              &h.revReqWrite, &h.revResRead,  &h.ntyWrite};
  const int usage = 100 + (argc - 1);
  if (argc != 7) return usage;
  for (int i = 0; i < 6; ++i)
    if (!ParseHandle(argv[i + 1], ends[i])) return usage;

  const std::optional<Request> request = ReadRequest(h.fwdReqRead);
  if (!request || !WriteResponse(h.fwdResWrite, request->id, RpcStatus::Ok, request->payload) ||
      !WriteAll(h.ntyWrite, EncodeNotification("hello", "from-child")) ||
      !WriteRequest(h.revReqWrite, 1, "Ping", "ping"))
    return 3;
  const std::optional<Response> answer = ReadResponse(h.revResRead);
  if (!answer || answer->id != 1 || answer->status != 0 || answer->body != "pong") return 4;
  if (!WriteAll(h.ntyWrite, EncodeNotification("done", ""))) return 3;

  if (request->payload == "stay")
    for (;;) Sleep(INFINITE);
  // Not the request pipe: under Wine a read end never sees the end of a pipe whose write end
  // was inherited, even once every handle to it is closed.
  if (request->payload == "linger") {
    while (ReadResponse(h.revResRead)) {
    }
    return 9;
  }
  return std::atoi(request->payload.c_str());
}
