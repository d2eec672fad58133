// Arbitrary bytes from a hostile host on the three pipes the parent kit reads (answers, the
// host's calls, notifications): the kit must read what is whole, refuse the rest without
// allocating what a header announces, and see every pipe end once the host's ends close.

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <thread>

#include "parent/host_connection.h"
#include "parent/pipe_set.h"
#include "protocol/lark_protocol.h"
#include "support/host_connection_test_peer.h"

namespace AnonRpc {

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  HostPipes host;
  LarkParent::ParentEnds ends;
  if (!LarkParent::CreatePipeSet(&host, &ends)) __builtin_trap();
  LarkParent::HostConnection parent(std::move(ends));
  parent.Serve(LarkProtocol::kGetJwtMethod, [](const std::string&) {
    return LarkParent::CallResult{0, "token"};
  });
  parent.OnNotification([](const Notification&) {});
  parent.Start();

  // The first two bytes split the rest into the three streams.
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const std::size_t body = bytes.size() > 2 ? bytes.size() - 2 : 0;
  const std::size_t first = body == 0 ? 0 : static_cast<std::uint8_t>(bytes[0]) * body / 256;
  const std::size_t second =
      body == 0 ? 0 : first + static_cast<std::uint8_t>(bytes[1]) * (body - first) / 256;
  const std::string_view rest = bytes.substr(bytes.size() - body);
  const std::string_view streams[] = {rest.substr(0, first), rest.substr(first, second - first),
                                      rest.substr(second)};
  UniquePipe* const writeEnds[] = {&host.fwdResWrite, &host.revReqWrite, &host.ntyWrite};

  host.revResRead.Reset();  // the parent's answers to the host's calls fail at once
  std::thread writers[3];
  for (int i = 0; i < 3; ++i) {
    writers[i] = std::thread([&, i] {
      WriteAll(writeEnds[i]->Get(), streams[i]);
      writeEnds[i]->Reset();
    });
  }
  for (std::thread& writer : writers) writer.join();
  if (!LarkParent::HostConnectionTestPeer(parent).WaitForHostEnds(std::chrono::seconds(30)))
    __builtin_trap();
  parent.Close();
  return 0;
}

}  // namespace AnonRpc
