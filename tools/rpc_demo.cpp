// Drives a request server over real anonymous pipes and prints every frame that crosses them.

#include <cstdio>
#include <string>

#include "rpc/rpc_server.h"
#include "rpc/wire.h"

namespace {

using namespace AnonRpc;

void PrintFrame(const char* direction, std::string_view bytes) {
  std::printf("%s %2zu bytes:", direction, bytes.size());
  for (unsigned char c : bytes) std::printf(" %02X", c);
  std::printf("\n");
}

}  // namespace

int main() {
  PipeHandle requestRead, requestWrite, responseRead, responseWrite, parentWrite;
  if (!CreatePipePair(&requestRead, &requestWrite) ||
      !CreatePipePair(&responseRead, &responseWrite) ||
      !DuplicatePipe(requestWrite, &parentWrite)) {
    std::fprintf(stderr, "cannot create pipes (error %u)\n", LastPipeError());
    return 1;
  }

  RpcServer server(requestRead, requestWrite, responseWrite);
  server.RegisterMethod("IsRun", [](const std::string&) { return std::string("true"); });
  server.RegisterMethod("Echo", [](const std::string& payload) { return payload; });
  server.Start();

  struct Step {
    std::uint32_t id;
    const char* method;
    const char* payload;
  };
  const Step steps[] = {{7, "IsRun", ""}, {8, "Echo", "hello"}, {9, "isrun", ""}};
  int failures = 0;
  for (const Step& step : steps) {
    std::printf("-> %s(\"%s\") id %u\n", step.method, step.payload, step.id);
    const std::string request = EncodeRequest(step.id, step.method, step.payload);
    PrintFrame("   request ", request);
    if (!WriteAll(parentWrite, request)) return 1;
    const std::optional<Response> response = ReadResponse(responseRead);
    if (!response) return 1;
    PrintFrame("   response", EncodeResponse(response->id, static_cast<RpcStatus>(response->status),
                                             response->body));
    std::printf("<- id %u status %u \"%s\"\n", response->id, response->status,
                response->body.c_str());
    failures += response->id != step.id;
  }
  server.Stop();
  PipeClose(parentWrite);
  PipeClose(responseRead);
  std::printf("server stopped; %d mismatched ids\n", failures);
  return failures == 0 ? 0 : 1;
}
