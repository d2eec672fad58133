#pragma once

// One thread that sends the parent a heartbeat notification (type "2", empty payload) every
// period and, every tenth tick, checks the process's private bytes: above kMemoryLimitBytes it
// logs the breach, asks for the host's shutdown, and sends no more. Portable: what it needs of
// the system comes through the memory probe and the shutdown request it is given.

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <thread>

#include "host/memory_counters.h"
#include "protocol/lark_protocol.h"
#include "rpc/endpoint_slot.h"
#include "sync/mutex.h"

namespace LarkHost {

inline constexpr std::chrono::nanoseconds kHeartbeatPeriod = LarkProtocol::kHeartbeatPeriod;
inline constexpr std::uint64_t kMemoryLimitBytes = 1048576000;  // 1000 MiB

struct HeartbeatSettings {
  std::chrono::nanoseconds period = kHeartbeatPeriod;
  std::function<std::optional<MemoryCounters>()> memoryProbe = ReadMemoryCounters;
};

// Start and Stop belong to one owner thread (the host's main thread). The heartbeats go to the
// endpoint published in `endpoint` at each tick (none while nothing is published);
// `requestShutdown` runs on the heartbeat's thread on a breach.
class Heartbeat {
 public:
  Heartbeat(AnonRpc::EndpointSlot& endpoint, std::function<void()> requestShutdown,
            HeartbeatSettings settings = {});
  ~Heartbeat();  // stops
  Heartbeat(const Heartbeat&) = delete;
  Heartbeat& operator=(const Heartbeat&) = delete;

  // Starts the thread unless it runs; throws std::system_error when it cannot be created.
  void Start();
  // Stops the thread and joins it, promptly (the wake-up cannot be lost), also after a breach.
  // A second call does nothing.
  void Stop();

 private:
  void Beat();

  AnonRpc::EndpointSlot& endpoint_;
  const std::function<void()> requestShutdown_;
  const HeartbeatSettings settings_;
  LarkSync::Mutex mutex_;
  bool running_ LARK_GUARDED_BY(mutex_) = false;
  LarkSync::ConditionVariable signal_;
  std::thread thread_;
};

}  // namespace LarkHost
