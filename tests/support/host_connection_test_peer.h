#pragma once

// The parent kit's connection as a faulty parent drives it: malformed bytes, one pipe let go,
// readers that stop reading, answers nobody waits for. Kept out of the kit's header, which
// plug-ins see.

#include <chrono>
#include <cstdint>
#include <functional>
#include <string_view>
#include <utility>

#include "parent/host_connection.h"

namespace LarkParent {

class HostConnectionTestPeer {
 public:
  explicit HostConnectionTestPeer(HostConnection& connection) : connection_(connection) {}

  // Raw bytes onto the forward request pipe, for malformed input.
  bool SendRaw(std::string_view bytes) {
    std::uint32_t error = 0;
    return connection_.writer_.Write(
               AnonRpc::RequestWriter::kNoDeadline,
               [&] {
                 if (connection_.observer_) connection_.observer_(Pipe::Request, bytes);
                 return AnonRpc::WriteAll(connection_.ends_.requestWrite.Get(), bytes);
               },
               &error) == AnonRpc::RequestWriter::Outcome::Written;
  }

  // The parent letting go of one pipe, as a parent that goes away would; the thread that reads
  // it ends first.
  void CloseRequestPipe() {
    connection_.writer_.Stop();
    connection_.ends_.requestWrite.Reset();
  }
  void CloseResponsePipe() { connection_.CloseResponsePipe(); }
  void CloseNotifyPipe() { connection_.CloseNotifyPipe(); }
  void CloseReversePipes() { connection_.CloseReversePipes(); }

  // While paused, the host's calls (or notifications) are not read at all, as by a parent that
  // has stopped reading them; they pile up in the pipe until it is resumed.
  void PauseReverseCalls(bool paused) { Pause(HostConnection::Gated::ReverseCalls, paused); }
  void PauseNotifications(bool paused) { Pause(HostConnection::Gated::Notifications, paused); }

  // Responses that no call waits for (a protocol error answered with id 0, an answer that came
  // after its call gave up), on the response reader's thread. Before Start.
  void OnStrayResponse(std::function<void(const AnonRpc::Response&)> handler) {
    connection_.onStrayResponse_ = std::move(handler);
  }

  // True once the host's ends of the three pipes the connection reads have all closed (end of
  // pipe on each), within the time-out: what the parent sees when the host process has gone and
  // nothing else holds its ends. Reverse calls must not be paused.
  bool WaitForHostEnds(std::chrono::milliseconds timeout) {
    LarkSync::MutexLock lock(connection_.callsLock_);
    return connection_.answered_.wait_for(
        lock, timeout,
        [this]() LARK_REQUIRES(connection_.callsLock_) { return connection_.readersEnded_ == 3; });
  }

 private:
  void Pause(HostConnection::Gated reader, bool paused) {
    LarkSync::MutexLock lock(connection_.callsLock_);
    connection_.GateOf(reader).paused = paused;
    connection_.answered_.notify_all();
  }

  HostConnection& connection_;
};

}  // namespace LarkParent
