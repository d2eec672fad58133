// The pipe RPC layer against raw pipe I/O of the same bytes in the same pattern, measured in the
// same run: the round trip of a small Call, notifications per second, and the threads alive
// during a burst of asynchronous calls. Then larkhostctl's decoding of recorded frames, 4 MiB
// against 1 MiB. Pin the process (taskset -c 0) for stable ratios.

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench/bench_util.h"
#include "parent/pipe_set.h"
#include "protocol/lark_protocol.h"
#include "rpc/notify_sender.h"
#include "rpc/rpc_caller.h"
#include "rpc/wire.h"
#include "support/process_stats.h"
#include "tools/decode.h"

namespace AnonRpc {
namespace {

using lark::bench::Clock;
using lark::bench::Median;
using lark::bench::Row;
using lark::bench::SecondsSince;

constexpr int kRounds = 7;
constexpr int kRoundTrips = 2000;
constexpr int kNotifications = 10000;  // the queue's bound: nothing is dropped

struct PipePair {
  PipePair() { CreatePipePair(&read, &write); }
  UniquePipe read;
  UniquePipe write;
};

void WriteRaw(PipeHandle handle, const std::string& bytes) {
  std::uint32_t written = 0;
  PipeWrite(handle, bytes.data(), static_cast<std::uint32_t>(bytes.size()), &written);
}

void ReadRaw(PipeHandle handle, std::size_t n) {
  std::string buffer;
  ReadExact(handle, static_cast<std::uint32_t>(n), buffer);
}

// The parent's side of a round trip, identical for both measurements: read the request's
// header and method, write the answer's header and body.
void AnswerRequests(PipeHandle requests, PipeHandle responses, int count) {
  for (int i = 0; i < count; ++i) {
    std::optional<Request> request = ReadRequest(requests);
    if (!request) return;
    WriteResponse(responses, request->id, RpcStatus::Ok, "true");
  }
}

// A running caller whose parent answers `count` requests on a thread of its own.
struct CallerWithParent {
  explicit CallerWithParent(int count) {
    UniquePipe callerWrite;
    UniquePipe callerRead;
    DuplicatePipe(requests.write, &callerWrite);
    DuplicatePipe(responses.read, &callerRead);
    caller = std::make_unique<RpcCaller>(std::move(callerWrite), std::move(callerRead));
    caller->Start();
    parent = std::thread(AnswerRequests, requests.read.Get(), responses.write.Get(), count);
  }
  ~CallerWithParent() {
    parent.join();
    caller->Stop();
  }
  PipePair requests;
  PipePair responses;
  std::unique_ptr<RpcCaller> caller;
  std::thread parent;
};

double CallRoundTrip() {
  CallerWithParent rig(kRoundTrips);
  const auto start = Clock::now();
  for (int i = 0; i < kRoundTrips; ++i) rig.caller->Call(LarkProtocol::kIsRunMethod, "");
  return SecondsSince(start) / kRoundTrips;
}

double RawRoundTrip() {
  PipePair requests;
  PipePair responses;
  std::thread parent(AnswerRequests, requests.read.Get(), responses.write.Get(), kRoundTrips);
  const FrameHeaderBytes header = EncodeHeader(RequestHeader{kRequestMagic, 1, 5, 0});
  const std::string headerBytes(reinterpret_cast<const char*>(header.data()), header.size());
  const std::string method = LarkProtocol::kIsRunMethod;
  const auto start = Clock::now();
  for (int i = 0; i < kRoundTrips; ++i) {
    WriteRaw(requests.write.Get(), headerBytes);
    WriteRaw(requests.write.Get(), method);
    ReadRaw(responses.read.Get(), kFrameHeaderBytes);
    ReadRaw(responses.read.Get(), 4);
  }
  const double seconds = SecondsSince(start);
  parent.join();
  return seconds / kRoundTrips;
}

void DrainNotifications(PipeHandle handle, int count) {
  for (int i = 0; i < count; ++i)
    if (!ReadNotification(handle)) return;
}

double SenderRate(const std::string& payload) {
  PipePair pipe;
  UniquePipe senderWrite;
  DuplicatePipe(pipe.write, &senderWrite);
  NotifySender sender(std::move(senderWrite), nullptr);
  sender.Start();
  std::thread parent(DrainNotifications, pipe.read.Get(), kNotifications);
  const auto start = Clock::now();
  for (int i = 0; i < kNotifications; ++i) sender.Enqueue("2", payload);
  parent.join();
  const double seconds = SecondsSince(start);
  sender.Stop();
  return seconds / kNotifications;
}

double RawRate(const std::string& payload) {
  PipePair pipe;
  std::thread parent(DrainNotifications, pipe.read.Get(), kNotifications);
  const NotifyHeaderBytes header =
      EncodeHeader(NotifyHeader{kNotifyMagic, 1, static_cast<std::uint32_t>(payload.size())});
  const std::string headerBytes(reinterpret_cast<const char*>(header.data()), header.size());
  const auto start = Clock::now();
  for (int i = 0; i < kNotifications; ++i) {
    WriteRaw(pipe.write.Get(), headerBytes);
    WriteRaw(pipe.write.Get(), "2");
    if (!payload.empty()) WriteRaw(pipe.write.Get(), payload);
    PipeFlush(pipe.write.Get());
  }
  parent.join();
  return SecondsSince(start) / kNotifications;
}

void ThreadsDuringAsyncBurst() {
  CallerWithParent rig(1000);
  const std::size_t before = lark::test::ThreadCount();
  std::size_t most = before;
  std::vector<std::future<std::string>> calls;
  for (int i = 0; i < 1000; ++i) {
    calls.push_back(rig.caller->CallAsync(LarkProtocol::kCefControlMethod, "x"));
    if (i % 50 == 0) most = std::max(most, lark::test::ThreadCount());
  }
  for (auto& call : calls) call.wait();
  Row("threads during 1000 CallAsync, at most / before", static_cast<double>(most),
      static_cast<double>(before), "", 1, "flat");
}

// The JSON-RPC peer's figures, measured by bench/jsonrpc/bench.js in the same run and handed
// over as its JSON line in LARK_JSONRPC_PEER. The raw ping-pong's own multiple is printed too:
// no caller over these pipes can beat it.
void CompareWithPeer(double callSeconds, double rawCallSeconds, double heartbeatSeconds) {
  const char* peer = std::getenv("LARK_JSONRPC_PEER");
  if (peer == nullptr) return;
  try {
    const nlohmann::json figures = nlohmann::json::parse(peer);
    const double peerCall = figures.at("roundTripUs").get<double>() / 1e6;
    const double peerRate = figures.at("notificationsPerSecond").get<double>();
    // Rates: ours over the peer's.
    Row("round trips/s: Call / vscode-jsonrpc (Node, stdio)", 1 / callSeconds, 1 / peerCall, "/s",
        1, ">= 10");
    Row("round trips/s: raw ping-pong / vscode-jsonrpc", 1 / rawCallSeconds, 1 / peerCall, "/s", 1,
        "(the most any caller can reach)");
    Row("notifications/s: heartbeats / vscode-jsonrpc", 1 / heartbeatSeconds, peerRate, "/s", 1,
        ">= 5");
  } catch (const std::exception& error) {
    std::fprintf(stderr, "vscode-jsonrpc figures unreadable: %s\n", error.what());
  }
}

// larkhostctl decode of a request pipe's raw bytes, whole frames of about 100 bytes, its lines
// counted instead of printed: time grows with the bytes, not with their square.
double DecodeSeconds(std::size_t bytes) {
  std::string frames;
  for (std::uint32_t id = 1; frames.size() < bytes; ++id)
    frames += EncodeRequest(id, LarkProtocol::kCefControlMethod, std::string(80, 'x'));
  std::size_t lines = 0;
  const double seconds = Median(kRounds, [&] {
    std::istringstream in(frames);
    std::string failure;
    const Clock::time_point start = Clock::now();
    Larkhostctl::Decode(
        in, "bench", Larkhostctl::Pipe::Request, {}, [&](std::string_view) { ++lines; }, &failure);
    return SecondsSince(start);
  });
  if (lines == 0) std::fprintf(stderr, "decode printed nothing\n");
  return seconds;
}

int RunBenchmarks() {
  std::fprintf(stderr, "rpc_bench: medians of %d rounds\n", kRounds);
  const double call = Median(kRounds, CallRoundTrip);
  const double raw = Median(kRounds, RawRoundTrip);
  Row("Call round trip (IsRun -> true) / raw ping-pong", call, raw, "us", 1e6, "<= 1.3");

  double heartbeat = 0;
  for (const std::string& payload : {std::string(), std::string(4096, 'p')}) {
    const double sender = Median(kRounds, [&] { return SenderRate(payload); });
    const double rawRate = Median(kRounds, [&] { return RawRate(payload); });
    if (payload.empty()) heartbeat = sender;
    // Rates: the sender's over raw writes, so the ratio reads as a share of raw speed.
    Row(payload.empty() ? "notifications/s, 13-byte heartbeats / raw writes"
                        : "notifications/s, 4 KiB payloads / raw writes",
        1 / sender, 1 / rawRate, "/s", 1, ">= 0.8");
  }
  ThreadsDuringAsyncBurst();
  CompareWithPeer(call, raw, heartbeat);
  Row("larkhostctl decode of raw request frames, 4 MiB / 1 MiB", DecodeSeconds(4 << 20),
      DecodeSeconds(1 << 20), "ms", 1e3, "~4 (linear)");
  return 0;
}

}  // namespace
}  // namespace AnonRpc

int main() {
  return AnonRpc::RunBenchmarks();
}
