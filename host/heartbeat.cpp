#include "host/heartbeat.h"

#include "logging/log.h"
#include "rpc/rpc_endpoint.h"
#include "sync/thread_start.h"

namespace LarkHost {

using LarkLogging::LogLine;

namespace {}  // namespace

Heartbeat::Heartbeat(AnonRpc::EndpointSlot& endpoint, std::function<void()> requestShutdown,
                     HeartbeatSettings settings)
    : endpoint_(endpoint),
      requestShutdown_(std::move(requestShutdown)),
      settings_(std::move(settings)) {}

Heartbeat::~Heartbeat() {
  Stop();
}

void Heartbeat::Start() {
  LarkSync::MutexLock lock(mutex_);
  if (running_) return;
  thread_ = std::thread([this] { Beat(); });
  running_ = true;
}

void Heartbeat::Stop() {
  {
    // Under the mutex: the thread is either waiting (and is woken) or will see the flag.
    LarkSync::MutexLock lock(mutex_);
    if (!running_) return;
    running_ = false;
  }
  signal_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void Heartbeat::Beat() {
  LarkSync::ReserveStackForCrashReports();
  LarkSync::MutexLock lock(mutex_);
  std::uint32_t ticks = 0;
  while (running_) {
    const auto deadline = std::chrono::steady_clock::now() + settings_.period;
    signal_.wait_until(lock, deadline, [this]() LARK_REQUIRES(mutex_) { return !running_; });
    if (!running_) return;

    try {
      if (AnonRpc::EndpointSlot::Lease endpoint = endpoint_.Acquire())
        endpoint->Sender().Enqueue(LarkProtocol::kHeartbeatType, "");

      if (++ticks % 10 == 0 && settings_.memoryProbe) {
        const std::optional<MemoryCounters> counters = settings_.memoryProbe();
        if (counters && counters->privateUsage > kMemoryLimitBytes) {
          LogLine("StartHeartbeat::<lambda_1>::operator ()",
                  "Memory limit exceeded -- private=", counters->privateUsage >> 20,
                  " MB > limit=", kMemoryLimitBytes >> 20,
                  " MB, working=", counters->workingSetSize >> 20, " MB. Requesting shutdown.");
          if (requestShutdown_) requestShutdown_();
          return;  // running stays set: no more heartbeats until the owner stops us
        }
      }
    } catch (...) {
      // Out of memory, most likely: this tick is lost, the next may fare better.
    }
  }
}

}  // namespace LarkHost
